// The calls of platform.h on files and paths, FileReader and CloseLater, on
// Windows.
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <direct.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "platform/file_calls.h"
#include "platform/platform.h"

namespace tov::platform {

int SystemAccess(const char *path, int mode) { return _access(path, mode); }

namespace {

void Fill(const struct _stat64 &st, FileStatus *status) {
  status->is_dir = (st.st_mode & _S_IFDIR) != 0;
  status->mode = static_cast<unsigned>(st.st_mode);
  status->size = static_cast<int64_t>(st.st_size);
  status->device = static_cast<uint64_t>(st.st_dev);
  status->inode = static_cast<uint64_t>(st.st_ino);
  status->modified_ns = static_cast<int64_t>(st.st_mtime) * 1000000000;
}

}  // namespace

// Signals do not end programs here: the console handler runs on a thread
// of its own.
SignalsHeldBack::SignalsHeldBack() : saved_() {}
SignalsHeldBack::~SignalsHeldBack() {}

int Stat(const char *path, FileStatus *status) {
  struct _stat64 st;
  if (_stat64(path, &st) != 0) return -1;
  Fill(st, status);
  return 0;
}

int StatOpen(FILE *stream, FileStatus *status) {
  struct _stat64 st;
  if (_fstat64(_fileno(stream), &st) != 0) return -1;
  Fill(st, status);
  return 0;
}

int Chmod(const char *path, unsigned mode) {
  return _chmod(path, static_cast<int>(mode & (_S_IREAD | _S_IWRITE)));
}

int Mkdir(const char *path) { return _mkdir(path); }

bool IsDirSep(char c) { return c == '/' || c == '\\'; }

bool IsAbsolutePath(const char *path) {
  if (path == nullptr || path[0] == '\0') return false;
  if (IsDirSep(path[0])) return true;
  return std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
}

char *RealPath(const char *path) {
  if (path == nullptr) return nullptr;
  return _fullpath(nullptr, path, 0);
}

// Reads at an offset share the one descriptor's position on Windows, and
// the update must be able to replace the file while it reads it.
bool FileReader::Open(const char *, int64_t, const FileStatus *) {
  return false;
}
void FileReader::Close() {}
int64_t FileReader::ReadAt(int64_t, char *, size_t) const {
  errno = EBADF;
  return -1;
}
bool FileReader::Changed() const { return true; }

// A file that is open cannot be replaced here, so no replacement holds one:
// a descriptor handed over is closed at once.
void CloseLater(int fd) {
  if (fd >= 0) _close(fd);
}
void WaitForLaterCloses() {}

}  // namespace tov::platform
