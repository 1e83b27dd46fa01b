// The calls of platform.h that are the same on every system; those that
// differ are in posix/files.cc and win32/files.cc.
#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/file_calls.h"

namespace tov::platform {
namespace {

AccessFn g_access = SystemAccess;

}  // namespace

int Access(const char *path, int mode) { return g_access(path, mode); }

void SetAccessForTesting(AccessFn fn) {
  g_access = fn != nullptr ? fn : SystemAccess;
}

bool SameFile(const FileStatus &a, const FileStatus &b) {
  // Where the system numbers no files (Windows' stat gives 0, and a device
  // number that differs between a look by name and one at an open file),
  // there is nothing to compare: the names alone were checked.
  if (a.inode == 0 || b.inode == 0) return true;
  return a.device == b.device && a.inode == b.inode;
}

bool SameContent(const FileStatus &a, const FileStatus &b) {
  return a.size == b.size && a.modified_ns == b.modified_ns && SameFile(a, b);
}

char *Strdup(const char *s) {
  if (s == nullptr) return nullptr;
  size_t n = std::strlen(s) + 1;
  char *copy = static_cast<char *>(std::malloc(n));
  if (copy != nullptr) std::memcpy(copy, s, n);
  return copy;
}

int Stricmp(const char *a, const char *b) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(a);
  const unsigned char *q = reinterpret_cast<const unsigned char *>(b);
  for (;; ++p, ++q) {
    // Bytes alike need no folding: most of two names that are compared
    // are.
    if (*p == *q) {
      if (*p == '\0') return 0;
      continue;
    }
    // Only A-Z fold, whatever the locale: names with bytes above 0x7F compare
    // exactly, on every platform alike.
    int c = (*p >= 'A' && *p <= 'Z') ? *p + ('a' - 'A') : *p;
    int d = (*q >= 'A' && *q <= 'Z') ? *q + ('a' - 'A') : *q;
    if (c != d) return c - d;
  }
}

int ErrorNumber() { return errno; }
void SetErrorNumber(int value) { errno = value; }

}  // namespace tov::platform
