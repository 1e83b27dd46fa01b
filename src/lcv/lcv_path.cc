// Exported reference path resolution: the components of a reference, written
// in "LibraryNT", become the path of the file through the design-library
// service, with the names converted as the library's directory stores them.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

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

// True when `name`, a cell or view name as its directory is named, is no
// single name below its parent: "." or ".." or a name that holds a
// separator.  An empty name stands for an absent component.
bool LeavesParent(const char *name) {
  if (name[0] == '\0') return false;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return true;
  return std::strpbrk(name, "/\\") != nullptr;
}

// True when the file part `file` climbs out of the directory it is appended
// to: a ".." that goes back past every name before it, or one that ends the
// path at that directory itself.  "sub/../f" stays inside.
bool FileClimbsOut(const char *file) {
  int depth = 0;
  bool went_up = false;
  for (const char *part = file;;) {
    const size_t n = std::strcspn(part, "/\\");
    if (n == 2 && part[0] == '.' && part[1] == '.') {
      if (--depth < 0) return true;
      went_up = true;
    } else if (n != 0 && !(n == 1 && part[0] == '.')) {
      ++depth;
    }
    if (part[n] == '\0') return went_up && depth == 0;
    part += n + 1;
  }
}

// A NULL component is read as the empty name, the form in which parsed
// references carry absent components.
const char *OrEmpty(const char *name) { return name != nullptr ? name : ""; }

char *ResolvePath(const char *lib, const char *cell, const char *view,
                  const char *file, std::string *library_dir,
                  bool *climbs_out) {
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
  if (name_space != nullptr && std::strcmp(name_space, "LibraryUnix") == 0) {
    if (!ToLibraryUnix(cell, cell_name)) return nullptr;
    if (!ToLibraryUnix(view, view_name)) return nullptr;
    cell = cell_name;
    view = view_name;
  }
  // The names are checked as the directory holds them, after conversion:
  // "#2e#2e" is ".." there.
  if (climbs_out != nullptr &&
      (LeavesParent(cell) || LeavesParent(view) || FileClimbsOut(file))) {
    *climbs_out = true;
    return nullptr;
  }
  if (bevGetPath(0, 0, lib_name, cell, view, file, result.get(), kPathSize) !=
      0) {
    return nullptr;
  }
  if (library_dir != nullptr) library_dir->assign(lib_path.get());
  return result.release();  // the caller's from here on
}

}  // namespace

char *GetPath(const char *lib, const char *cell, const char *view,
              const char *file) {
  return core::Guard<char *>(nullptr, [&] {
    return ResolvePath(lib, cell, view, file, nullptr, nullptr);
  });
}

char *GetPathInLibrary(const char *lib, const char *cell, const char *view,
                       const char *file, std::string *library_dir,
                       bool *climbs_out) {
  *climbs_out = false;
  return core::Guard<char *>(nullptr, [&] {
    return ResolvePath(lib, cell, view, file, library_dir, climbs_out);
  });
}

}  // namespace tov::lcv

extern "C" TOVUPDTR_API char *lcvGetPath(const char *lib, const char *cell,
                                         const char *view, const char *file) {
  return tov::lcv::GetPath(lib, cell, view, file);
}
