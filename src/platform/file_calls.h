// The small system calls behind the write-back, one function each, with one
// implementation per system (posix/replace_file_calls.cc,
// win32/replace_file_calls.cc, and SystemAccess in posix/files.cc and
// win32/files.cc), and the helpers that the platform files share around
// descriptors and error numbers.  Only for src/platform.
#ifndef TOVUPDTR_PLATFORM_FILE_CALLS_H_
#define TOVUPDTR_PLATFORM_FILE_CALLS_H_

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/stat.h>
#include <sys/types.h>

#include "platform/platform.h"

namespace tov::platform {

#ifdef _WIN32
using StatRecord = struct _stat64;
// RenameOver may fail half-way (the old file removed, the new one not yet
// in its place), and fails for a file that is open elsewhere.
constexpr bool kReplaceInTwoSteps = true;
#else
using StatRecord = struct stat;
// rename() replaces in one step, whoever has the file open.
constexpr bool kReplaceInTwoSteps = false;
#endif

#ifdef _WIN32
// The console handler that may call CleanUpNow runs on a thread of its own.
constexpr bool kCleanupOnItsOwnThread = true;
#else
constexpr bool kCleanupOnItsOwnThread = false;
#endif

// The system's access check behind Access(), with its modes.
int SystemAccess(const char *path, int mode);

int StatPath(const std::string &path, StatRecord *st);
bool IsRegular(const StatRecord &st);
bool MayWrite(const std::string &path);
// The count of the names (hard links) of the file at `path`, which `st`
// describes.
unsigned LinkCount(const std::string &path, const StatRecord &st);
// A new file, created exclusively with the permission bits of `mode`.
int OpenNew(const std::string &path, unsigned mode);
int OpenExisting(const std::string &path, bool for_writing);
// The same two without taking memory, for the cleanup after a signal.
int OpenExistingPath(const char *path, bool for_writing);
void RemovePath(const char *path);
int ReadSome(int fd, char *buf, size_t n);
// All `len` bytes at `offset`; false with the error number set otherwise.
bool WriteAt(int fd, const char *data, size_t len, int64_t offset);
bool Truncate(int fd, int64_t size);
bool Sync(int fd);
// Reserves the new file's blocks ahead, where the system can.
void Preallocate(int fd, int64_t size);
int CloseFd(int fd);
// Whether the old file may be held open across its replacement by the new
// file `fd`, and the hold itself (a descriptor, or -1).
bool MayHoldOld(int fd);
int HoldOld(const std::string &path);
// The old file's owner and group, described by `st`, given to the empty new
// file `fd`; false when the system does not allow it.
bool TakeOwner(int fd, const StatRecord &st);
// The old file's permission bits and extended attributes given to the
// complete new file `fd`; false when it does not end up with all of them.
bool TakeModeAndAttributes(int fd, const std::string &old_path,
                           const StatRecord &st);
// Puts the complete new file `from` in the place of `to`; false with the
// error number set when the name could not be taken.
bool RenameOver(const std::string &from, const std::string &to);
void RemoveFile(const std::string &path);
// Flushes the rename of `target`, in `dir`, to the disk.
void SyncDirectory(const std::string &dir, const std::string &target);
int ProcessId();
// The name of this machine ("" where it cannot be had), once looked up.
const std::string &HostName();
// False only when no process `pid` runs on this machine any more.
bool ProcessMayBeAlive(int64_t pid);
// Waits `ms` milliseconds.
void SleepFor(int ms);
// The most a lock file says before its holder writes the new content.
constexpr int64_t kLockTextMax = 512;
// Claims the open lock file `fd` for as long as it stays open (flock, which
// ends with the process): a lock that nobody claims was left by an updater
// that has ended.  Nothing where the system has no such claims.
void ClaimLockFile(int fd);
// The text of the lock file at `path` (its first bytes), and which file it
// is; false with the error number set when there is none to read.
bool ReadLockFile(const std::string &path, std::string *text,
                  uint64_t *identity);
// Whether the lock file at `path` was last written at least `age_ns`
// nanoseconds ago and nobody claims it any more (where the system has no
// claims, the age alone tells).
bool LockFileUnclaimed(const std::string &path, int64_t age_ns);
// Waits for the turn of this process among those that remove lock files
// left behind in the directory of the lock file `path` (makers of locks
// never wait for it): a descriptor to close when done, kNoTurnNeeded where
// the system needs no turns (a lock file open elsewhere cannot be removed
// there), or -1.
constexpr int kNoTurnNeeded = -2;
int TakeRemoversTurn(const std::string &path);
// Removes the file at `path`; false with the error number set.
bool RemoveNow(const std::string &path);
// Releases the lock file at `path` that this process made (`fd`, its
// descriptor, -1 once it was handed over and closed).
void ReleaseLockFile(const std::string &path, int fd);
// The name of a new file beside `path` for a writer without its lock.
std::string NewFilePathOf(const std::string &path);
bool IsSeparator(char c);
// The file that `path` leads to, for a link at its end; `path` otherwise.
std::string ResolveLinks(const char *path);

// What CleanUpNow must undo, noted as an update goes along (an empty path
// forgets it).  A path too long for the note is not noted: the next run
// finds what it leaves.
void NoteLockFile(const std::string &path);
void NoteNewFile(const std::string &path);
// Where an in-place rewrite is: its journal written, the file being
// rewritten, or the new content on the disk.
enum class JournalStage { kNone, kWritten, kRewriting, kDone };
void NoteJournal(const std::string &journal, const std::string &target,
                 JournalStage stage);
void SetJournalStage(JournalStage stage);
// Tells the test seam that `step` is reached.
void ReachStep(WriteStep step, int64_t bytes);
bool StepHookSet();
// Writes `content`, the old content of the file `inode`, as the journal at
// `journal` (made exclusively) and flushes it, and its directory `dir`, to
// the disk; false with the error number set, and no journal, otherwise.
bool WriteJournal(const std::string &journal, const std::string &dir,
                  const std::string &content, uint64_t inode);

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

// Calls `f` again for as long as it fails (a negative result) with EINTR,
// and returns its first other result: a signal that interrupts a call is no
// reason for it to fail.
template <typename F>
auto RetryOnInterrupt(const F &f) -> decltype(f()) {
  for (;;) {
    const auto result = f();
    if (!(result < 0 && errno == EINTR)) return result;
  }
}

}  // namespace tov::platform

#endif  // TOVUPDTR_PLATFORM_FILE_CALLS_H_
