// ReplaceFileContents: the new content of a file reaches the disk completely
// or not at all.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "platform/platform.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#ifdef __linux__
#include <sys/vfs.h>
#include <sys/xattr.h>
#endif
#endif

namespace tov::platform {
namespace {

// ---- The system calls, one small function each ------------------------

#ifdef _WIN32
using StatRecord = struct _stat64;
constexpr unsigned kPermissionBits = _S_IREAD | _S_IWRITE;
// RenameOver may fail half-way (the old file removed, the new one not yet
// in its place), and fails for a file that is open elsewhere.
constexpr bool kReplaceInTwoSteps = true;

int StatPath(const std::string &path, StatRecord *st) {
  return _stat64(path.c_str(), st);
}
bool IsRegular(const StatRecord &st) {
  return (st.st_mode & _S_IFMT) == _S_IFREG;
}
bool MayWrite(const std::string &path) { return _access(path.c_str(), 2) == 0; }
// _stat64 gives every file one name: the count of its names (hard links)
// comes from the file itself.
unsigned LinkCount(const std::string &path, const StatRecord &) {
  HANDLE h = CreateFileA(path.c_str(), 0,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 1;
  BY_HANDLE_FILE_INFORMATION info;
  const BOOL ok = GetFileInformationByHandle(h, &info);
  CloseHandle(h);
  return ok ? static_cast<unsigned>(info.nNumberOfLinks) : 1;
}
// Binary, so that every byte reaches the disk as it is, and not inherited by
// a check-out command started meanwhile, which would keep the file open.
int OpenNew(const std::string &path, unsigned mode) {
  return _open(path.c_str(),
               _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
               static_cast<int>(mode & kPermissionBits));
}
int OpenExisting(const std::string &path, bool for_writing) {
  return _open(path.c_str(), (for_writing ? _O_WRONLY : _O_RDONLY) | _O_BINARY |
                                 _O_NOINHERIT);
}
int ReadSome(int fd, char *buf, size_t n) {
  return _read(fd, buf, static_cast<unsigned>(n > 1 << 30 ? 1 << 30 : n));
}
bool WriteAt(int fd, const char *data, size_t len, int64_t offset) {
  if (_lseeki64(fd, offset, SEEK_SET) != offset) return false;
  while (len > 0) {
    int n =
        _write(fd, data, static_cast<unsigned>(len > 1 << 30 ? 1 << 30 : len));
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}
bool Truncate(int fd, int64_t size) { return _chsize_s(fd, size) == 0; }
bool Sync(int fd) { return _commit(fd) == 0; }
void Preallocate(int, int64_t) {}
int CloseFd(int fd) { return _close(fd); }
// A file that is open cannot be renamed over here.
bool MayHoldOld(int) { return false; }
int HoldOld(const std::string &) { return -1; }
// The new file gets the old one's attributes, owner and access rights from
// ReplaceFileW, which puts it in place.
bool TakeOwner(int, const StatRecord &) { return true; }
bool TakeModeAndAttributes(int, const std::string &, const StatRecord &) {
  return true;
}

// `path` in UTF-16 for the wide calls, read in the code page in which the
// narrow calls of the run-time library (_open, _stat64) read it too; false
// with the error number set when it cannot be converted.
bool Widen(const std::string &path, std::wstring *wide) {
  const UINT code_page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  const int n = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS,
                                    path.c_str(), -1, nullptr, 0);
  if (n <= 0) {
    errno = EINVAL;
    return false;
  }
  try {
    wide->assign(static_cast<size_t>(n), L'\0');
  } catch (const std::bad_alloc &) {
    errno = ENOMEM;
    return false;
  }
  MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, path.c_str(), -1,
                      &(*wide)[0], n);
  wide->resize(static_cast<size_t>(n - 1));
  return true;
}

// The error number of a failed file call of the system.
int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_UNABLE_TO_REMOVE_REPLACED:
    case ERROR_USER_MAPPED_FILE:
      return EACCES;
    default:
      return EIO;
  }
}

// Puts the complete new file `from` in the place of `to`, the Windows way:
// ReplaceFileW keeps what belongs to the file rather than to its content
// (attributes, security descriptor, creation time, short name).  A `to` that
// does not exist is moved to.  False with the error number set when the
// name could not be taken: EACCES when another program holds the file open
// without letting it be removed (Windows does not rename over an open
// file), so that it may be rewritten in place instead.
bool RenameOver(const std::string &from, const std::string &to) {
  std::wstring wide_from, wide_to;
  if (!Widen(from, &wide_from) || !Widen(to, &wide_to)) return false;
  // Whether the file may be removed is asked first: a failed ReplaceFileW
  // may leave a file of its own beside it (Wine's does).
  HANDLE h = CreateFileW(wide_to.c_str(), DELETE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
  } else if (GetLastError() == ERROR_SHARING_VIOLATION) {
    errno = EACCES;
    return false;
  }
  if (ReplaceFileW(wide_to.c_str(), wide_from.c_str(), nullptr,
                   REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
    return true;
  }
  DWORD error = GetLastError();
  // Without a backup name, a new file that could not take the name after
  // the old one was removed stays under its own: the move completes what
  // ReplaceFileW began.
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
      error == ERROR_UNABLE_TO_MOVE_REPLACEMENT ||
      error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
    if (MoveFileExW(wide_from.c_str(), wide_to.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    error = GetLastError();
  }
  errno = ErrnoOf(error);
  return false;
}
void RemoveFile(const std::string &path) { _unlink(path.c_str()); }
// The file is flushed after its rename: NTFS keeps the rename in its
// journal, which that flush writes out too.
void SyncDirectory(const std::string &, const std::string &target) {
  HANDLE h = CreateFileA(target.c_str(), GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  FlushFileBuffers(h);
  CloseHandle(h);
}
int ProcessId() { return static_cast<int>(GetCurrentProcessId()); }
bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The file a symbolic link (or another reparse point) at the end of `path`
// leads to, by the path the system opens in the end; any other path as it
// is: the links on the way are followed by every call made with it.
std::string ResolveLinks(const char *path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return path;
  }
  HANDLE h = CreateFileA(
      path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return path;
  std::string buf(32768, '\0');
  DWORD n = GetFinalPathNameByHandleA(
      h, &buf[0], static_cast<DWORD>(buf.size()), FILE_NAME_NORMALIZED);
  CloseHandle(h);
  if (n == 0 || n >= buf.size()) return path;
  buf.resize(n);
  if (buf.rfind("\\\\?\\UNC\\", 0) == 0) return "\\\\" + buf.substr(8);
  if (buf.rfind("\\\\?\\", 0) == 0) return buf.substr(4);
  return buf;
}
#else
using StatRecord = struct stat;
constexpr unsigned kPermissionBits = 0777;
// rename() replaces in one step, whoever has the file open.
constexpr bool kReplaceInTwoSteps = false;

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
  int fd;
  do {
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
              static_cast<mode_t>(mode & kPermissionBits));
  } while (fd < 0 && errno == EINTR);
  return fd;
}
int OpenExisting(const std::string &path, bool for_writing) {
  int fd;
  do {
    fd = open(path.c_str(), (for_writing ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}
int ReadSome(int fd, char *buf, size_t n) {
  ssize_t got;
  do {
    got = read(fd, buf, n > (1 << 30) ? (1 << 30) : n);
  } while (got < 0 && errno == EINTR);
  return static_cast<int>(got);
}
bool WriteAt(int fd, const char *data, size_t len, int64_t offset) {
  while (len > 0) {
    ssize_t n = pwrite(fd, data, len, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
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
  int rc;
  do {
    rc = ftruncate(fd, static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}
bool Sync(int fd) {
  int rc;
  do {
    rc = fsync(fd);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
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
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  return fd;
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
// The rename itself reaches the disk with the directory.
void SyncDirectory(const std::string &dir, const std::string &) {
  int fd = open(dir.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}
int ProcessId() { return static_cast<int>(getpid()); }
bool IsSeparator(char c) { return c == '/'; }

struct FreeDeleter {
  void operator()(char *p) const { std::free(p); }
};

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
#endif

// ---- The replacement ---------------------------------------------------

// Keeps the error number of the first failure through the cleanup after it.
class ErrnoKeeper {
 public:
  ErrnoKeeper() : saved_(errno) {}
  ~ErrnoKeeper() { errno = saved_; }
  ErrnoKeeper(const ErrnoKeeper &) = delete;
  ErrnoKeeper &operator=(const ErrnoKeeper &) = delete;

 private:
  int saved_;
};

// An open descriptor, closed at the end of its scope unless Close() was
// called (whose result the caller then checks).
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) {
      ErrnoKeeper keep;
      CloseFd(fd_);
    }
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;

  int get() const { return fd_; }
  // The descriptor, which the caller now owns.
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return CloseFd(fd) == 0;
  }

 private:
  int fd_;
};

// A new file that is removed at the end of its scope unless Keep() was
// called.
class TempFile {
 public:
  explicit TempFile(std::string path) : path_(std::move(path)) {}
  ~TempFile() {
    if (!kept_) {
      ErrnoKeeper keep;
      RemoveFile(path_);
    }
  }
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;

  const std::string &path() const { return path_; }
  void Keep() { kept_ = true; }
  // Removes the file now (it must be closed on Windows).
  void Remove() {
    if (!kept_) RemoveFile(path_);
    kept_ = true;
  }

 private:
  std::string path_;
  bool kept_ = false;
};

bool ReadAll(const std::string &path, std::string *content) {
  Fd fd(OpenExisting(path, false));
  if (fd.get() < 0) return false;
  content->clear();
  char buf[65536];
  for (;;) {
    int n = ReadSome(fd.get(), buf, sizeof buf);
    if (n < 0) return false;
    if (n == 0) return true;
    content->append(buf, static_cast<size_t>(n));
  }
}

// Writes what `content` produces into `fd` from its start, *size bytes in
// all; false as soon as a write fails.
bool WriteContent(int fd, const ContentSource &content, int64_t *size) {
  *size = 0;
  return content([fd, size](const char *data, size_t len) {
    if (!WriteAt(fd, data, len, *size)) return false;
    *size += static_cast<int64_t>(len);
    return true;
  });
}

// Rewrites `target` where it stands.  Its old content is read first and
// written back when any step fails, so that the file never stays half new.
// Its results are those of ReplaceFileContents.
int ReplaceInPlace(const std::string &target, const ContentSource &content,
                   int flags) {
  std::string old_content;
  if (!ReadAll(target, &old_content)) return -1;
  // Content made from a view of this very file would read bytes already
  // overwritten: it is gathered whole before the first write.
  std::string gathered;
  const ContentSource from_memory = [&gathered](const ContentSink &sink) {
    return gathered.empty() || sink(gathered.data(), gathered.size());
  };
  const bool gather = (flags & kReplaceFromFile) != 0;
  if (gather && !content([&gathered](const char *data, size_t len) {
        gathered.append(data, len);
        return true;
      })) {
    return -2;
  }
  Fd fd(OpenExisting(target, true));
  if (fd.get() < 0) return -1;
  // The new content may be shorter than the old one: where it ends, the
  // file ends.
  int64_t new_size = 0;
  if (WriteContent(fd.get(), gather ? from_memory : content, &new_size) &&
      Truncate(fd.get(), new_size) &&
      (!(flags & kReplaceSync) || Sync(fd.get()))) {
    if (fd.Close()) return 0;
    // The close reported a late write error: put the old content back
    // through a new descriptor.
    ErrnoKeeper keep;
    Fd again(OpenExisting(target, true));
    if (again.get() >= 0 &&
        WriteAt(again.get(), old_content.data(), old_content.size(), 0)) {
      Truncate(again.get(), static_cast<int64_t>(old_content.size()));
      Sync(again.get());
    }
    return -2;
  }
  ErrnoKeeper keep;
  if (WriteAt(fd.get(), old_content.data(), old_content.size(), 0)) {
    Truncate(fd.get(), static_cast<int64_t>(old_content.size()));
    Sync(fd.get());
  }
  return -2;
}

// A name for a new file beside `target`, different on every call.
std::string TempName(const std::string &dir, const std::string &base) {
  static unsigned counter = 0;
  const auto ticks =
      std::chrono::steady_clock::now().time_since_epoch().count();
  std::string name = dir;
  if (!name.empty() && !IsSeparator(name.back())) name.push_back('/');
  name += "." + base + ".tov" + std::to_string(ProcessId()) + "-" +
          std::to_string(++counter) + "-" +
          std::to_string(static_cast<unsigned long long>(ticks) % 1000000);
  return name;
}

}  // namespace

int ReplaceFileContents(const char *path, const ContentSource &content,
                        int flags, int64_t expected_size,
                        const FileStatus *expected) {
  if (path == nullptr || path[0] == '\0' || !content) {
    errno = EINVAL;
    return -1;
  }
  const std::string target = ResolveLinks(path);
  StatRecord st{};
  const bool exists = StatPath(target, &st) == 0;
  if (!exists && errno != ENOENT) return -1;
  if (expected != nullptr &&
      (!exists || static_cast<uint64_t>(st.st_dev) != expected->device ||
       static_cast<uint64_t>(st.st_ino) != expected->inode)) {
    return -3;
  }
  if (exists) {
    if (!IsRegular(st)) {
      errno = EINVAL;
      return -1;
    }
    // A file renamed over this one would get past its write protection.
    if (!MayWrite(target)) return -1;
    // A new file would take this name away from the other names of the
    // same file, which would keep the old content.
    if (LinkCount(target, st) > 1)
      return ReplaceInPlace(target, content, flags);
  }

  size_t cut = target.size();
  while (cut > 0 && !IsSeparator(target[cut - 1])) --cut;
  const std::string dir = cut == 0 ? "." : target.substr(0, cut);
  const std::string base = target.substr(cut);
  // The new file is its owner's alone while its content is written, so that
  // nobody else can open it, and write into it, before it takes the old
  // file's place; it gets the old file's bits once complete.  A file that
  // did not exist is never made writable for all.
  const unsigned mode = exists ? 0600 : 0664;

  int fd = -1;
  std::string temp_path;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp_path = TempName(dir, base);
    fd = OpenNew(temp_path, mode);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    // No new file can be made here (a write-protected directory, say): the
    // old content must then be kept by hand.
    return exists ? ReplaceInPlace(target, content, flags) : -1;
  }
  const bool sync = (flags & kReplaceSync) != 0;
  // Neither takes memory, so that nothing between the creation of the new
  // file and its owner can fail and leave it behind.  The file is closed
  // before it is removed (Windows removes no open file).
  TempFile temp(std::move(temp_path));
  Fd out(fd);
  // A new file that cannot have the old one's owner would hand the file to
  // the writer: the old file is rewritten where it stands instead.
  if (exists && !TakeOwner(out.get(), st)) {
    out.Close();
    temp.Remove();
    return ReplaceInPlace(target, content, flags);
  }
  int64_t size = 0;
  Preallocate(out.get(), expected_size);
  // A content shorter than announced leaves no reserved bytes at the end.
  if (!WriteContent(out.get(), content, &size) ||
      (size < expected_size && !Truncate(out.get(), size)) ||
      (sync && !Sync(out.get()))) {
    return -2;
  }
  // Likewise for its bits and extended attributes (ACLs among them).
  if (exists && !TakeModeAndAttributes(out.get(), target, st)) {
    out.Close();
    temp.Remove();
    return ReplaceInPlace(target, content, flags);
  }
  const bool may_hold = exists && MayHoldOld(out.get());
  if (!out.Close()) return -2;
  // The old file is held open across the rename, so that its blocks are
  // released when the hold is closed, on the closing thread, not by the
  // rename while this thread waits.  Without a hold (a file that may not be
  // read, no descriptor left, a network file system) the rename releases
  // them.
  Fd old_file(may_hold ? HoldOld(target) : -1);
  if (!RenameOver(temp.path(), target)) {
    if (kReplaceInTwoSteps && exists) {
      StatRecord now{};
      const bool still_there = StatPath(target, &now) == 0;
      // No file that another program holds open is renamed over: it is
      // rewritten where it stands instead, as far as that program lets it
      // be written.
      if (still_there && errno == EACCES) {
        return ReplaceInPlace(target, content, flags);
      }
      // A replacement that failed after the old file was removed leaves
      // the new file as the only content: it is kept rather than lost.
      if (!still_there) temp.Keep();
    }
    return -2;
  }
  temp.Keep();
  if (sync) SyncDirectory(dir, target);
  if (old_file.get() >= 0) CloseLater(old_file.Release());
  return 0;
}

int ReplaceFileContents(const char *path, const char *data, size_t len) {
  if (data == nullptr && len > 0) {
    errno = EINVAL;
    return -1;
  }
  return ReplaceFileContents(
      path,
      [data, len](const ContentSink &sink) {
        return len == 0 || sink(data, len);
      },
      kReplaceSync);
}

}  // namespace tov::platform
