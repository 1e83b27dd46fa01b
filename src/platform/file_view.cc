// Read-only views of files, for reading large texts without copying them.
#include "platform/platform.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tov::platform {

#ifdef _WIN32

// A file with a view open cannot be replaced or renamed over: the update
// reads such files into memory instead.
bool FileView::Open(const char *, size_t) { return false; }

void FileView::Close() {}

#else

bool FileView::Open(const char *path, size_t size) {
  Close();
  if (path == nullptr || size == 0) return false;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  void *p = MAP_FAILED;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<uint64_t>(st.st_size) == size) {
    int flags = MAP_PRIVATE;
#ifdef MAP_POPULATE
    // All of it is read: mapped in one call rather than a fault at a time.
    flags |= MAP_POPULATE;
#endif
    p = mmap(nullptr, size, PROT_READ, flags, fd, 0);
  }
  close(fd);  // the mapping keeps the file
  if (p == MAP_FAILED) return false;
  data_ = static_cast<const char *>(p);
  size_ = size;
  return true;
}

void FileView::Close() {
  if (data_ != nullptr) munmap(const_cast<char *>(data_), size_);
  data_ = nullptr;
  size_ = 0;
}

#endif

}  // namespace tov::platform
