// Exported reference path resolution: the components of a reference, written
// in "LibraryNT", become the path of the file through the design-library
// service, with the names converted as the library's directory stores them.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/guard.h"
#include "core/messages.h"
#include "services/design_library/bev.h"
#include "services/name_mapping/rix.h"
#include "tovUpdtr.h"

namespace tov::lcv {
namespace {

using core::Msg;

// Size of every buffer of one resolution: the converted names, the library's
// path and the returned path.
constexpr int kPathSize = 260;
// The conversion service is given no size: each name buffer must hold the
// longest name it ever writes.
static_assert(kPathSize >= static_cast<int>(kRixMaxName),
              "a converted name must fit its buffer");

struct FreeDeleter {
  void operator()(char *p) const { std::free(p); }
};
using HeapBuffer = std::unique_ptr<char, FreeDeleter>;

// Converts a "LibraryNT" name into "LibraryUnix"; a name that cannot be
// converted is reported.
bool ToLibraryUnix(const char *name, char *out) {
  if (rixMapper(rixLibraryNTToIdent, rixIdentToLibraryUnix, name, 0, out) !=
      0) {
    return true;
  }
  core::Report(0, Msg::kCouldntMapToUnix, name);
  return false;
}

// A NULL component is read as the empty name, the form in which parsed
// references carry absent components.
const char *OrEmpty(const char *name) { return name != nullptr ? name : ""; }

char *ResolvePath(const char *lib, const char *cell, const char *view,
                  const char *file) {
  lib = OrEmpty(lib);
  cell = OrEmpty(cell);
  view = OrEmpty(view);
  file = OrEmpty(file);

  char lib_name[kPathSize] = {};
  char cell_name[kPathSize] = {};
  char view_name[kPathSize] = {};
  HeapBuffer lib_path(static_cast<char *>(std::calloc(kPathSize, 1)));
  if (lib_path == nullptr) return nullptr;
  HeapBuffer result(static_cast<char *>(std::calloc(kPathSize, 1)));
  if (result == nullptr) return nullptr;

  if (!ToLibraryUnix(lib, lib_name)) return nullptr;
  if (bevGetPath(0, 0, lib_name, nullptr, nullptr, nullptr, lib_path.get(),
                 kPathSize) != 0) {
    return nullptr;
  }
  // Only a directory that stores its names in "LibraryUnix" needs the cell
  // and view converted; every other one (none recorded included) holds them
  // as the reference writes them.  The file name is never converted.
  const char *name_space = daxGetNameSpace(lib_path.get());
  int found;
  if (name_space != nullptr && std::strcmp(name_space, "LibraryUnix") == 0) {
    if (!ToLibraryUnix(cell, cell_name)) return nullptr;
    if (!ToLibraryUnix(view, view_name)) return nullptr;
    found = bevGetPath(0, 0, lib_name, cell_name, view_name, file, result.get(),
                       kPathSize);
  } else {
    found =
        bevGetPath(0, 0, lib_name, cell, view, file, result.get(), kPathSize);
  }
  if (found != 0) return nullptr;
  return result.release();  // the caller's from here on
}

}  // namespace

char *GetPath(const char *lib, const char *cell, const char *view,
              const char *file) {
  return core::Guard<char *>(
      nullptr, [&] { return ResolvePath(lib, cell, view, file); });
}

}  // namespace tov::lcv

extern "C" TOVUPDTR_API char *lcvGetPath(const char *lib, const char *cell,
                                         const char *view, const char *file) {
  return tov::lcv::GetPath(lib, cell, view, file);
}
