// The calls of platform.h on files and paths on POSIX systems, and
// FileReader: positional reads of files, for reading large texts a piece at
// a time into memory that is used again.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "platform/file_calls.h"
#include "platform/platform.h"

namespace tov::platform {

int SystemAccess(const char *path, int mode) {
  int native = F_OK;
  if (mode & kWriteOk) native |= W_OK;
  if (mode & kReadOk) native |= R_OK;
  return access(path, native);
}

namespace {

int64_t Nanoseconds(const struct timespec &t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

#ifdef __APPLE__
int64_t ModifiedNs(const struct stat &st) {
  return Nanoseconds(st.st_mtimespec);
}
int64_t ChangedNs(const struct stat &st) {
  return Nanoseconds(st.st_ctimespec);
}
#else
int64_t ModifiedNs(const struct stat &st) { return Nanoseconds(st.st_mtim); }
int64_t ChangedNs(const struct stat &st) { return Nanoseconds(st.st_ctim); }
#endif

void Fill(const struct stat &st, FileStatus *status) {
  status->is_dir = S_ISDIR(st.st_mode);
  status->mode = static_cast<unsigned>(st.st_mode);
  status->size = static_cast<int64_t>(st.st_size);
  status->device = static_cast<uint64_t>(st.st_dev);
  status->inode = static_cast<uint64_t>(st.st_ino);
  status->modified_ns = ModifiedNs(st);
}

}  // namespace

int Stat(const char *path, FileStatus *status) {
  struct stat st;
  if (stat(path, &st) != 0) return -1;
  Fill(st, status);
  return 0;
}

int StatOpen(FILE *stream, FileStatus *status) {
  struct stat st;
  if (fstat(fileno(stream), &st) != 0) return -1;
  Fill(st, status);
  return 0;
}

int Chmod(const char *path, unsigned mode) {
  return chmod(path, static_cast<mode_t>(mode & 07777));
}

int Mkdir(const char *path) { return mkdir(path, 0777); }

bool IsDirSep(char c) { return c == '/'; }

bool IsAbsolutePath(const char *path) {
  if (path == nullptr || path[0] == '\0') return false;
  return IsDirSep(path[0]);
}

SignalsHeldBack::SignalsHeldBack() {
  static_assert(sizeof(sigset_t) <= sizeof saved_, "a signal mask fits");
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGINT);
  sigaddset(&ending, SIGTERM);
  sigaddset(&ending, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &ending, reinterpret_cast<sigset_t *>(saved_));
}
SignalsHeldBack::~SignalsHeldBack() {
  pthread_sigmask(SIG_SETMASK, reinterpret_cast<sigset_t *>(saved_), nullptr);
}

char *RealPath(const char *path) {
  if (path == nullptr) return nullptr;
  return realpath(path, nullptr);
}

bool FileReader::Open(const char *path, int64_t size,
                      const FileStatus *expected) {
  Close();
  if (path == nullptr || size <= 0) return false;
  Fd fd(RetryOnInterrupt([&] { return open(path, O_RDONLY | O_CLOEXEC); }));
  if (fd.get() < 0) return false;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != size ||
      (expected != nullptr &&
       (static_cast<uint64_t>(st.st_dev) != expected->device ||
        static_cast<uint64_t>(st.st_ino) != expected->inode))) {
    return false;
  }
#ifdef POSIX_FADV_SEQUENTIAL
  // Read from front to back: the system may read ahead further.
  (void)posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  fd_ = fd.Release();
  size_ = size;
  mode_ = static_cast<unsigned>(st.st_mode);
  modified_ns_ = ModifiedNs(st);
  changed_ns_ = ChangedNs(st);
  return true;
}

void FileReader::Close() {
  if (fd_ >= 0) CloseLater(fd_);
  fd_ = -1;
}

int64_t FileReader::ReadAt(int64_t offset, char *buf, size_t n) const {
  size_t done = 0;
  while (done < n) {
    const ssize_t got = RetryOnInterrupt([&] {
      return pread(fd_, buf + done, n - done,
                   static_cast<off_t>(offset) + static_cast<off_t>(done));
    });
    if (got < 0) return -1;
    if (got == 0) break;  // the end of the file
    done += static_cast<size_t>(got);
  }
  return static_cast<int64_t>(done);
}

bool FileReader::Changed() const {
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0) return true;
  if (st.st_size != size_ || ModifiedNs(st) != modified_ns_) return true;
  // A new time of change with new permission bits is the file made
  // writable; one with the same bits may be content written in place by a
  // program that set the time of modification back.
  return ChangedNs(st) != changed_ns_ &&
         static_cast<unsigned>(st.st_mode) == mode_;
}

}  // namespace tov::platform
