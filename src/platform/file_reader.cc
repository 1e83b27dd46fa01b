// Positional reads of files, for reading large texts a piece at a time into
// memory that is used again.
#include "platform/platform.h"

#include <cerrno>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tov::platform {

#ifdef _WIN32

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

#else

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

}  // namespace

bool FileReader::Open(const char *path, int64_t size,
                      const FileStatus *expected) {
  Close();
  if (path == nullptr || size <= 0) return false;
  int fd;
  do {
    fd = open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != size ||
      (expected != nullptr &&
       (static_cast<uint64_t>(st.st_dev) != expected->device ||
        static_cast<uint64_t>(st.st_ino) != expected->inode))) {
    close(fd);
    return false;
  }
#ifdef POSIX_FADV_SEQUENTIAL
  // Read from front to back: the system may read ahead further.
  (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  fd_ = fd;
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
    const ssize_t got =
        pread(fd_, buf + done, n - done,
              static_cast<off_t>(offset) + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
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

#endif

}  // namespace tov::platform
