#include "services/design_library/bev.h"

#include <cstdio>
#include <string>

namespace {
std::string &LastError() {
  static std::string *error = new std::string();
  return *error;
}
}  // namespace

// Accepts any file that can be opened; the definition format comes later.
int bevInit(const char *path, int, int, int, const char *) {
  LastError().clear();
  if (path == nullptr) {
    LastError() = "no library-definition file given";
    return 1;
  }
  FILE *f = std::fopen(path, "r");
  if (f == nullptr) {
    LastError() = std::string(path) + ": cannot be opened";
    return 1;
  }
  std::fclose(f);
  return 0;
}

extern "C" TOVUPDTR_API const char *bevLastError(void) {
  return LastError().c_str();
}
