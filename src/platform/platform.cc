#include "platform/platform.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <sys/stat.h>
#include <sys/types.h>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace tov::platform {
namespace {

int SystemAccess(const char *path, int mode) {
#ifdef _WIN32
  return _access(path, mode);
#else
  int native = F_OK;
  if (mode & kWriteOk) native |= W_OK;
  if (mode & kReadOk) native |= R_OK;
  return access(path, native);
#endif
}

AccessFn g_access = SystemAccess;

}  // namespace

int Access(const char *path, int mode) { return g_access(path, mode); }

void SetAccessForTesting(AccessFn fn) {
  g_access = fn != nullptr ? fn : SystemAccess;
}

namespace {

#ifdef _WIN32
using StatRecord = struct _stat64;
#else
using StatRecord = struct stat;
#endif

void Fill(const StatRecord &st, FileStatus *status) {
#ifdef _WIN32
  status->is_dir = (st.st_mode & _S_IFDIR) != 0;
#else
  status->is_dir = S_ISDIR(st.st_mode);
#endif
  status->mode = static_cast<unsigned>(st.st_mode);
  status->size = static_cast<int64_t>(st.st_size);
  status->device = static_cast<uint64_t>(st.st_dev);
  status->inode = static_cast<uint64_t>(st.st_ino);
#if defined(_WIN32)
  status->modified_ns = static_cast<int64_t>(st.st_mtime) * 1000000000;
#elif defined(__APPLE__)
  status->modified_ns =
      static_cast<int64_t>(st.st_mtimespec.tv_sec) * 1000000000 +
      st.st_mtimespec.tv_nsec;
#else
  status->modified_ns =
      static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
#endif
}

}  // namespace

int Stat(const char *path, FileStatus *status) {
  StatRecord st;
#ifdef _WIN32
  if (_stat64(path, &st) != 0) return -1;
#else
  if (stat(path, &st) != 0) return -1;
#endif
  Fill(st, status);
  return 0;
}

int StatOpen(FILE *stream, FileStatus *status) {
  StatRecord st;
#ifdef _WIN32
  if (_fstat64(_fileno(stream), &st) != 0) return -1;
#else
  if (fstat(fileno(stream), &st) != 0) return -1;
#endif
  Fill(st, status);
  return 0;
}

bool SameFile(const FileStatus &a, const FileStatus &b) {
  return a.device == b.device && a.inode == b.inode;
}

bool SameContent(const FileStatus &a, const FileStatus &b) {
  return a.size == b.size && a.modified_ns == b.modified_ns && SameFile(a, b);
}

int Chmod(const char *path, unsigned mode) {
#ifdef _WIN32
  return _chmod(path, static_cast<int>(mode & (_S_IREAD | _S_IWRITE)));
#else
  return chmod(path, static_cast<mode_t>(mode & 07777));
#endif
}

int Mkdir(const char *path) {
#ifdef _WIN32
  return _mkdir(path);
#else
  return mkdir(path, 0777);
#endif
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
    // Only A-Z fold, whatever the locale: names with bytes above 0x7F compare
    // exactly, on every platform alike.
    int c = (*p >= 'A' && *p <= 'Z') ? *p + ('a' - 'A') : *p;
    int d = (*q >= 'A' && *q <= 'Z') ? *q + ('a' - 'A') : *q;
    if (c != d || c == 0) return c - d;
  }
}

bool IsDirSep(char c) {
#ifdef _WIN32
  return c == '/' || c == '\\';
#else
  return c == '/';
#endif
}

bool IsAbsolutePath(const char *path) {
  if (path == nullptr || path[0] == '\0') return false;
  if (IsDirSep(path[0])) return true;
#ifdef _WIN32
  return std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
#else
  return false;
#endif
}

char *RealPath(const char *path) {
  if (path == nullptr) return nullptr;
#ifdef _WIN32
  return _fullpath(nullptr, path, 0);
#else
  return realpath(path, nullptr);
#endif
}

int ErrorNumber() { return errno; }
void SetErrorNumber(int value) { errno = value; }

}  // namespace tov::platform
