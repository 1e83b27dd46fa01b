// The system calls of the write-back on POSIX systems
// (platform/file_calls.h).
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/vfs.h>
#include <sys/xattr.h>
#endif

#include "platform/file_calls.h"

namespace tov::platform {
namespace {

constexpr unsigned kPermissionBits = 0777;

}  // namespace

int StatPath(const std::string &path, StatRecord *st) {
  return stat(path.c_str(), st);
}
bool IsRegular(const StatRecord &st) { return S_ISREG(st.st_mode); }
bool MayWrite(const std::string &path) {
  return access(path.c_str(), W_OK) == 0;
}
unsigned LinkCount(const std::string &, const StatRecord &st) {
  return static_cast<unsigned>(st.st_nlink);
}
int OpenNew(const std::string &path, unsigned mode) {
  return RetryOnInterrupt([&] {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                static_cast<mode_t>(mode & kPermissionBits));
  });
}
int OpenExisting(const std::string &path, bool for_writing) {
  return OpenExistingPath(path.c_str(), for_writing);
}
int OpenExistingPath(const char *path, bool for_writing) {
  return RetryOnInterrupt([&] {
    return open(path, (for_writing ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
  });
}
int ReadSome(int fd, char *buf, size_t n) {
  const ssize_t got = RetryOnInterrupt(
      [&] { return read(fd, buf, n > (1 << 30) ? (1 << 30) : n); });
  return static_cast<int>(got);
}
bool WriteAt(int fd, const char *data, size_t len, int64_t offset) {
  while (len > 0) {
    const ssize_t n = RetryOnInterrupt(
        [&] { return pwrite(fd, data, len, static_cast<off_t>(offset)); });
    // A write that makes no progress would be tried for ever.
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}
bool Truncate(int fd, int64_t size) {
  return RetryOnInterrupt(
             [&] { return ftruncate(fd, static_cast<off_t>(size)); }) == 0;
}
bool Sync(int fd) {
  return RetryOnInterrupt([&] { return fsync(fd); }) == 0;
}
// Blocks reserved ahead are written in place later.  Where they are not,
// each block is only promised as the file is written, and replacing an
// existing file by rename makes the system allocate all of them and start
// writing them out then and there (ext4 does, to keep the new content from
// being lost in a crash); reserved ones leave nothing to do at the rename.
// Failure only means the blocks are found as the file is written.
void Preallocate(int fd, int64_t size) {
#if defined(__linux__)
  if (size > 0) (void)fallocate(fd, 0, 0, static_cast<off_t>(size));
#else
  (void)fd;
  (void)size;
#endif
}
// close() is not retried: after EINTR the descriptor is gone all the same.
int CloseFd(int fd) { return close(fd); }
// Whether the file system of the new file `fd` releases a replaced file on
// this machine, where holding the old file across its rename costs nothing.
// A network file system is left out: renaming over a file that is open
// there makes the client keep it under another name, visible in the
// directory, until the hold goes.
bool MayHoldOld(int fd) {
#ifdef __linux__
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53UL:      // ext2, ext3, ext4
    case 0x58465342UL:  // xfs
    case 0x9123683EUL:  // btrfs
    case 0xF2F52010UL:  // f2fs
    case 0x794C7630UL:  // overlayfs (over one of these, in containers)
    case 0x01021994UL:  // tmpfs
      return true;
    default:
      return false;
  }
#else
  (void)fd;
  return false;
#endif
}
// The old file, open for reading only, so that it outlives its rename.
int HoldOld(const std::string &path) {
  return RetryOnInterrupt([&] {
    return open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  });
}
// The new file can stand in for the old one only if it gets everything the
// old one has beside its content; where the system does not let it, the
// old file is rewritten in place instead, keeping all of it.  First, on the
// empty new file, the owner and group: the system allows them to root, and
// to the owner within his own groups.  (Nobody else can open the file: its
// bits are still the owner's alone.)
bool TakeOwner(int fd, const StatRecord &st) {
  struct stat now;
  if (fstat(fd, &now) != 0) return false;
  if (now.st_uid == st.st_uid && now.st_gid == st.st_gid) return true;
  return fchown(fd, st.st_uid, st.st_gid) == 0;
}

namespace {

#ifdef __linux__
// The names of the extended attributes of a file (ACLs are among them),
// from `list` called with a buffer and its size; false when they cannot be
// read.  A file system without extended attributes has none.
template <typename ListFn>
bool AttributeNames(const ListFn &list, std::vector<std::string> *names) {
  names->clear();
  std::string buf;
  for (;;) {
    const ssize_t need = list(nullptr, 0);
    if (need < 0) return errno == ENOTSUP;
    buf.resize(static_cast<size_t>(need));
    const ssize_t got = list(buf.empty() ? nullptr : &buf[0], buf.size());
    if (got >= 0) {
      buf.resize(static_cast<size_t>(got));
      break;
    }
    if (errno != ERANGE) return false;  // the list grew meanwhile: again
  }
  for (size_t at = 0; at < buf.size();) {
    size_t stop = buf.find('\0', at);
    if (stop == std::string::npos) stop = buf.size();
    if (stop > at) names->push_back(buf.substr(at, stop - at));
    at = stop + 1;
  }
  return true;
}

// The value of the attribute `name` of `path`; false when it cannot be read.
bool AttributeValue(const std::string &path, const std::string &name,
                    std::string *value) {
  for (;;) {
    const ssize_t need = getxattr(path.c_str(), name.c_str(), nullptr, 0);
    if (need < 0) return false;
    value->resize(static_cast<size_t>(need));
    const ssize_t got =
        getxattr(path.c_str(), name.c_str(),
                 value->empty() ? nullptr : &(*value)[0], value->size());
    if (got >= 0) {
      value->resize(static_cast<size_t>(got));
      return true;
    }
    if (errno != ERANGE) return false;
  }
}

// The extended attributes of `old_path`, exactly, on `fd`: each copied, and
// those the new file got of its own (from a directory's default ACL)
// removed.
bool TakeAttributes(int fd, const std::string &old_path) {
  std::vector<std::string> old_names, new_names;
  if (!AttributeNames(
          [&](char *buf, size_t size) {
            return listxattr(old_path.c_str(), buf, size);
          },
          &old_names) ||
      !AttributeNames(
          [&](char *buf, size_t size) { return flistxattr(fd, buf, size); },
          &new_names)) {
    return false;
  }
  for (const std::string &name : new_names) {
    if (std::find(old_names.begin(), old_names.end(), name) ==
            old_names.end() &&
        fremovexattr(fd, name.c_str()) != 0) {
      return false;
    }
  }
  std::string value;
  for (const std::string &name : old_names) {
    if (!AttributeValue(old_path, name, &value) ||
        fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0) {
      return false;
    }
  }
  return true;
}
#else
bool TakeAttributes(int, const std::string &) { return true; }
#endif

}  // namespace

// Then, once its content is complete: every permission bit, setuid, setgid
// and sticky included (after the owner, whose change clears them), and the
// extended attributes.  True only when the new file ends up with the old
// one's owner, group and bits: the system may quietly drop a bit (setgid
// for a group the writer is not in).
bool TakeModeAndAttributes(int fd, const std::string &old_path,
                           const StatRecord &st) {
  constexpr mode_t kAllModeBits = 07777;
  if (fchmod(fd, st.st_mode & kAllModeBits) != 0) return false;
  if (!TakeAttributes(fd, old_path)) return false;
  struct stat now;
  return fstat(fd, &now) == 0 && now.st_uid == st.st_uid &&
         now.st_gid == st.st_gid &&
         (now.st_mode & kAllModeBits) == (st.st_mode & kAllModeBits);
}
bool RenameOver(const std::string &from, const std::string &to) {
  return rename(from.c_str(), to.c_str()) == 0;
}
void RemoveFile(const std::string &path) { unlink(path.c_str()); }
void RemovePath(const char *path) { unlink(path); }
// The rename itself reaches the disk with the directory.
void SyncDirectory(const std::string &dir, const std::string &) {
  int fd = open(dir.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}
namespace {

// This process's id, asked for once (and again in a child after fork).
pid_t g_pid = 0;
void ForgetPid() { g_pid = 0; }

}  // namespace

int ProcessId() {
  if (g_pid == 0) {
    static const bool watched =
        pthread_atfork(nullptr, nullptr, ForgetPid) == 0;
    (void)watched;
    g_pid = getpid();
  }
  return static_cast<int>(g_pid);
}
const std::string &HostName() {
  static const std::string name = [] {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return std::string();
    return std::string(buf);
  }();
  return name;
}
bool ProcessMayBeAlive(int64_t pid) {
  if (pid <= 0 || static_cast<int64_t>(static_cast<pid_t>(pid)) != pid) {
    return true;
  }
  // EPERM: it runs, under another user.
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}
void SleepFor(int ms) {
  struct timespec left = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
void ClaimLockFile(int fd) {
  RetryOnInterrupt([&] { return flock(fd, LOCK_EX | LOCK_NB); });
}
bool ReadLockFile(const std::string &path, std::string *text,
                  uint64_t *identity) {
  Fd fd(OpenExisting(path, false));
  if (fd.get() < 0) return false;
  struct stat st;
  char buf[512];
  const int got = ReadSome(fd.get(), buf, sizeof buf);
  if (got < 0 || fstat(fd.get(), &st) != 0) return false;
  text->assign(buf, static_cast<size_t>(got));
  *identity = static_cast<uint64_t>(st.st_ino);
  return true;
}
bool LockFileUnclaimed(const std::string &path, int64_t age_ns) {
  Fd fd(OpenExisting(path, false));
  struct stat st;
  struct timespec now;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 ||
      clock_gettime(CLOCK_REALTIME, &now) != 0) {
    return false;
  }
  const int64_t written_ns =
      static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  const int64_t now_ns =
      static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  return now_ns - written_ns >= age_ns &&
         RetryOnInterrupt([&] { return flock(fd.get(), LOCK_EX | LOCK_NB); }) ==
             0;
}
int TakeRemoversTurn(const std::string &path) {
  size_t cut = path.size();
  while (cut > 0 && path[cut - 1] != '/') --cut;
  const std::string dir = cut == 0 ? "." : path.substr(0, cut);
  Fd turn(RetryOnInterrupt(
      [&] { return open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (turn.get() < 0 ||
      RetryOnInterrupt([&] { return flock(turn.get(), LOCK_EX); }) != 0) {
    return -1;
  }
  return turn.Release();
}
bool RemoveNow(const std::string &path) { return unlink(path.c_str()) == 0; }
void ReleaseLockFile(const std::string &path, int fd) {
  // Removed while still claimed, so that nobody takes it for left behind.
  unlink(path.c_str());
  if (fd >= 0) close(fd);
}
bool IsSeparator(char c) { return c == '/'; }

namespace {

struct FreeDeleter {
  void operator()(char *p) const { std::free(p); }
};

}  // namespace

std::string ResolveLinks(const char *path) {
  // Links in the directories on the way are followed by every call made
  // with the path, the new file's included: only a link at the end must be
  // resolved, so that the file it leads to is replaced, not the link.
  struct stat st;
  if (lstat(path, &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  // Owned at once: the copy below may fail for want of memory.
  std::unique_ptr<char, FreeDeleter> real(realpath(path, nullptr));
  if (real == nullptr) return path;
  return std::string(real.get());
}

}  // namespace tov::platform
