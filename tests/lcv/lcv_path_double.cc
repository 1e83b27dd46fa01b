#include "lcv_path_double.h"

#include <cstring>

#include "services/design_library/bev.h"
#include "services/hash/zu_hash.h"
#include "services/name_mapping/rix.h"

namespace tov::test {

ServiceDouble &Double() {
  static ServiceDouble *state = new ServiceDouble();
  return *state;
}

void ResetDouble() { Double() = ServiceDouble(); }

namespace {

std::string Shown(const char *s) { return s != nullptr ? s : "<null>"; }

// Copies `text` into `out` when it fits `size`; false otherwise.
bool Put(const std::string &text, char *out, size_t size) {
  if (text.size() >= size) return false;
  std::memcpy(out, text.c_str(), text.size() + 1);
  return true;
}

}  // namespace
}  // namespace tov::test

// The conversion functions are only handed on; the double tells them apart
// by address.
int rixLibraryNTToIdent(const char *, char *) { return 0; }
int rixIdentToLibraryUnix(const char *, char *) { return 0; }
int rixLibraryUnixToIdent(const char *, char *) { return 0; }
int rixIdentToLibraryNT(const char *, char *) { return 0; }
int rixMapName(const char *, const char *, const char *, int, char *) {
  return 0;
}

int rixMapper(rixNameFunc toIdent, rixNameFunc identToName, const char *name,
              int flags, char *out) {
  auto &d = tov::test::Double();
  auto fn = [](rixNameFunc f) -> std::string {
    if (f == rixLibraryNTToIdent) return "NTToIdent";
    if (f == rixIdentToLibraryUnix) return "IdentToUnix";
    return "?";
  };
  d.calls.push_back("rixMapper(" + fn(toIdent) + "," + fn(identToName) + "," +
                    tov::test::Shown(name) + "," + std::to_string(flags) + ")");
  if (name == nullptr || d.rejected.count(name) != 0) return 0;
  return tov::test::Put(std::string("u:") + name, out, kRixMaxName) ? 1 : 0;
}

int bevGetPath(int r1, int r2, const char *lib, const char *cell,
               const char *view, const char *file, char *out, int size) {
  auto &d = tov::test::Double();
  using tov::test::Shown;
  d.calls.push_back("bevGetPath(" + std::to_string(r1) + "," +
                    std::to_string(r2) + "," + Shown(lib) + "," + Shown(cell) +
                    "," + Shown(view) + "," + Shown(file) + "," +
                    std::to_string(size) + ")");
  size_t lookups = 0;
  for (const std::string &call : d.calls) lookups += call.rfind("bev", 0) == 0;
  int result = lookups == 1 ? d.library_result : d.file_result;
  if (result != 0) return result;
  std::string path = "/libs/" + Shown(lib);
  for (const char *part : {cell, view, file}) {
    if (part != nullptr && part[0] != '\0') path += std::string("/") + part;
  }
  return tov::test::Put(path, out, static_cast<size_t>(size)) ? 0 : 2;
}

const char *daxGetNameSpace(const char *libDir) {
  auto &d = tov::test::Double();
  d.calls.push_back("daxGetNameSpace(" + tov::test::Shown(libDir) + ")");
  return d.name_space ? d.name_space->c_str() : nullptr;
}

// Called by the library core, which the seam test links whole.
int bevInit(const char *, int, int, int, const char *) { return 0; }
const char *bevErrorReason(void) { return ""; }
const char *bevLibraryAt(size_t, const char **) { return nullptr; }
void zuInit4(int *, char **, int, int) {}
