// The system calls of the write-back on Windows (platform/file_calls.h).
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <new>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include "platform/file_calls.h"

namespace tov::platform {
namespace {

constexpr unsigned kPermissionBits = _S_IREAD | _S_IWRITE;

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

}  // namespace

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
  return OpenExistingPath(path.c_str(), for_writing);
}
int OpenExistingPath(const char *path, bool for_writing) {
  return _open(
      path, (for_writing ? _O_WRONLY : _O_RDONLY) | _O_BINARY | _O_NOINHERIT);
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
void RemovePath(const char *path) { _unlink(path); }
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
const std::string &HostName() {
  static const std::string name = [] {
    char buf[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof buf;
    if (!GetComputerNameA(buf, &size)) return std::string();
    return std::string(buf, size);
  }();
  return name;
}
bool ProcessMayBeAlive(int64_t pid) {
  if (pid <= 0 || pid > 0xFFFFFFFFLL) return true;
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                         static_cast<DWORD>(pid));
  if (h == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;
  DWORD code = 0;
  const bool alive = !GetExitCodeProcess(h, &code) || code == STILL_ACTIVE;
  CloseHandle(h);
  return alive;
}
void SleepFor(int ms) { Sleep(static_cast<DWORD>(ms)); }
// No claims here: the lock file is held open without sharing its removal
// as long as the lock is held, so nobody removes it before the holder ends.
void ClaimLockFile(int) {}
bool ReadLockFile(const std::string &path, std::string *text,
                  uint64_t *identity) {
  // Shared for reading, writing and removal, so that looking at a lock
  // never keeps its holder from using or releasing it.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    errno = ErrnoOf(GetLastError());
    return false;
  }
  char buf[512];
  DWORD got = 0;
  BY_HANDLE_FILE_INFORMATION info = {};
  const BOOL read = ReadFile(h, buf, sizeof buf, &got, nullptr) &&
                    GetFileInformationByHandle(h, &info);
  CloseHandle(h);
  if (!read) {
    errno = EIO;
    return false;
  }
  text->assign(buf, got);
  *identity =
      (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}
// No claims here: the age alone tells, and a lock file that its holder
// still has open cannot be removed anyway.
bool LockFileUnclaimed(const std::string &path, int64_t age_ns) {
  struct _stat64 st;
  if (_stat64(path.c_str(), &st) != 0) return false;
  return static_cast<int64_t>(_time64(nullptr) - st.st_mtime) * 1000000000 >=
         age_ns;
}
int TakeRemoversTurn(const std::string &) { return kNoTurnNeeded; }
bool RemoveNow(const std::string &path) { return _unlink(path.c_str()) == 0; }
void ReleaseLockFile(const std::string &path, int fd) {
  if (fd >= 0) _close(fd);
  _unlink(path.c_str());
}
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

}  // namespace tov::platform
