// The one place where the library meets the operating system.  Everything
// else calls these instead of POSIX or Windows functions, so that the same
// sources build on both.
#ifndef TOVUPDTR_PLATFORM_PLATFORM_H_
#define TOVUPDTR_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace tov::platform {

#ifdef _WIN32
constexpr char kDirSep = '\\';
#else
constexpr char kDirSep = '/';
#endif

// Access modes of Access().
constexpr int kExists = 0;
constexpr int kWriteOk = 2;
constexpr int kReadOk = 4;

// Owner-write permission bit of a mode word.
constexpr unsigned kOwnerWrite = 0200;

// What Stat() reports.
struct FileStatus {
  unsigned mode = 0;  // permission and type bits as the system gives them
  int64_t size = 0;   // in bytes
  bool is_dir = false;
  // When the content was last written (nanoseconds; whole seconds where
  // the system keeps no finer time), and which file this is (0 where the
  // system gives no number): together with the size, they tell whether a
  // file was written or replaced between two looks.
  int64_t modified_ns = 0;
  uint64_t device = 0;
  uint64_t inode = 0;
};

// True when `a` and `b`, two looks at one path, show the same content as
// far as the size, the time of the last write and the file's number tell.
bool SameContent(const FileStatus &a, const FileStatus &b);
// True when `a` and `b` are looks at one file (the same device and number;
// always where the system numbers no files, as Windows' stat does not).
bool SameFile(const FileStatus &a, const FileStatus &b);
// Stat of the file that `stream` has open: 0, or -1 with the error number.
int StatOpen(FILE *stream, FileStatus *status);

// _access: 0 when `path` exists and allows `mode`; -1 with the error number
// set otherwise.
int Access(const char *path, int mode);
// _stat: 0 and *status filled in, or -1 with the error number set.
int Stat(const char *path, FileStatus *status);
// _chmod with the whole mode word: 0 or -1.
int Chmod(const char *path, unsigned mode);
// _mkdir (0777 before the umask on POSIX): 0 or -1.
int Mkdir(const char *path);
// _strdup: a malloc'ed copy the caller frees, or NULL.
char *Strdup(const char *s);
// _stricmp: compares with A-Z folded to a-z; <0, 0 or >0.
int Stricmp(const char *a, const char *b);
// True for a byte that separates directories in a path: '/' and, on
// Windows, '\' as well.
bool IsDirSep(char c);
// True when `path` does not depend on the current directory: it starts with
// a separator (or, on Windows, a drive letter and a colon).
bool IsAbsolutePath(const char *path);
// The absolute form of the existing `path` with links resolved, as a malloc'ed
// string the caller frees; NULL when it cannot be determined.
char *RealPath(const char *path);
// The error number of the calling thread's last failed call.
int ErrorNumber();
void SetErrorNumber(int value);

// How a command run by RunCommand ended.
enum class CommandEnd {
  kNotStarted,  // it could not be started (value: the error number)
  kExited,      // it exited (value: its exit status)
  kSignaled,    // a signal ended it (value: the signal's number)
  kTimedOut,    // it overran its time limit and was stopped
  kUnknown,     // how it ended cannot be told (value: the error number or 0)
};

struct CommandResult {
  CommandEnd end = CommandEnd::kNotStarted;
  int64_t value = 0;
};

// Runs the program argv[0] (looked up in PATH when it holds no separator)
// with the arguments argv[1..] passed as they are, with no shell between, and
// waits for it, for at most `limit_ms` milliseconds when that is positive.
// A command that overruns is stopped with the processes it started: on
// POSIX the command leads a process group of its own, which is sent SIGTERM
// and, once the command has ended or after a grace of 2 s, SIGKILL; on
// Windows the command's job is ended at once.
CommandResult RunCommand(const std::vector<std::string> &argv,
                         int64_t limit_ms);

// Writes the next piece of a file's new content; false when that failed,
// with the error number set.
using ContentSink = std::function<bool(const char *data, size_t len)>;
// Hands a file's whole new content, piece after piece and in order, to
// `sink`; false as soon as the sink returned false.
using ContentSource = std::function<bool(const ContentSink &sink)>;

// Flags of ReplaceFileContents.
// The new content, and the rename that puts it in place, are on the disk
// when the call returns (each replacement then waits for the disk).
constexpr int kReplaceSync = 0x1;
// The content is made from the file being replaced, read through a
// FileReader as it is produced.  Where the file has to be rewritten in place,
// what is read would change under the writes: the whole new content is then
// gathered in memory first.
constexpr int kReplaceFromFile = 0x2;

// Replaces the content of the file at `path` with the bytes that `content`
// produces so that no failure loses the old content.  The new content goes
// to a new file in the same directory, created exclusively with the old
// file's permission bits (and owner, where allowed), and is renamed over the
// old one.  A symbolic link stays a link: the file it leads to is replaced.
// Where no new file can be made in that directory, or where the file has
// other names (hard links) that must go on sharing it, the file is
// rewritten in place and its old content, kept in memory, is written back
// if anything fails; before the first byte of the file changes, that old
// content is also written to a journal beside it (JournalPathOf) and
// flushed to the disk, so that an update interrupted even by a crash can be
// undone (RecoverFromJournal); the journal goes once the new content is on
// the disk.  Where no journal can be made, nothing is written and the
// result is -2.  A file that may not be written is refused (EACCES), as
// is anything but a regular file; a missing file is created.  0 on success.
// On failure the error number is set, the old content is in place and no new
// file is left behind; the result tells how far it got: -1 when nothing could
// be opened for writing, -2 when writing the new content failed.
//
// Without kReplaceSync the content is handed to the system and the call
// returns: a crash of the program at any point leaves the old or the new
// content whole, but after a crash of the whole system (or a disk error met
// when the system writes its cache out) the new file may be found incomplete.
// With it, the new file and then its directory are flushed to the disk.
//
// `expected_size`, when not negative, is the length the content will have:
// the new file's blocks are then reserved in one call before it is written,
// which spares the system from allocating them when the new file replaces
// the old one.  A wrong figure costs time, never content.
// With `expected`, the file at `path` (its links resolved) must still be
// the file of that look: otherwise nothing is written and the result is -3,
// so that a link swapped in meanwhile cannot send the content elsewhere.
//
// With `lock`, the caller's lock of the file (FileLock), the lock file
// itself is the new file, as in the lock-file protocol of version control:
// it takes the content and is renamed over the file, which releases the
// lock in the same step; no other file is made.
class FileLock;
int ReplaceFileContents(const char *path, const ContentSource &content,
                        int flags, int64_t expected_size = -1,
                        const FileStatus *expected = nullptr,
                        FileLock *lock = nullptr);
// The same with the `len` bytes at `data`, flushed to the disk.
int ReplaceFileContents(const char *path, const char *data, size_t len);

// ---- Updates that exclude each other and survive an interruption ----
//
// An update of a file has up to two companions beside it, named after it so
// that they are recognised as what they are: its lock, ".NAME.tovlock",
// which says "PID HOST" of the updater holding it until it takes the new
// content, and the journal of an in-place rewrite, ".NAME.tovjournal".
// (A writer without the lock makes its new file as ".NAME.tovnew-PID-N".)
// `path` is the file's path with its links resolved.
std::string LockPathOf(const std::string &path);
std::string JournalPathOf(const std::string &path);

// Who holds a lock, as its lock file says: pid 0 when it says nothing
// readable (a lock still being made, or not one of ours).
struct LockHolder {
  int64_t pid = 0;
  std::string host;
};

// The lock of one file, held from the read of its text to the end of its
// write-back, released at the end of its scope (or by the rename that puts
// it in the file's place, see ReplaceFileContents).  It is a file made
// exclusively beside the file, readable and writable by its maker alone,
// and claimed (flock) as long as it is held: every updater that keeps to it
// excludes the others, on a network file system too as long as exclusive
// creation is exclusive there.
class FileLock {
 public:
  enum Result {
    kTaken,
    // Held by another updater through the whole wait: holder() tells who.
    kBusy,
    // No lock file can be made there (a directory that may not be written,
    // say): the error number says why.
    kNotPossible,
  };

  FileLock() = default;
  ~FileLock() { Release(); }
  FileLock(const FileLock &) = delete;
  FileLock &operator=(const FileLock &) = delete;

  // Takes the lock of the file at `path`, waiting up to `wait_ms`
  // milliseconds for another holder to let it go.  The lock of a holder
  // that has ended on this machine is removed first: broken() then says so
  // and stale() tells whose it was.
  Result Take(const std::string &path, int64_t wait_ms);
  void Release();
  bool taken() const { return taken_; }
  const std::string &lock_path() const { return lock_path_; }
  const LockHolder &holder() const { return holder_; }
  bool broken() const { return broken_; }
  const LockHolder &stale() const { return stale_; }
  // Another updater's lock was found on the way.
  bool met_another() const { return met_another_; }

  // For ReplaceFileContents: the open lock file, handed over (the caller
  // closes it); then, once it was renamed over the file, that the lock is
  // gone with it.
  int HandOverFile();
  void Consumed();

 private:
  bool taken_ = false;
  int fd_ = -1;  // the open lock file, until it is handed over
  std::string lock_path_;
  LockHolder holder_;
  LockHolder stale_;
  bool broken_ = false;
  bool met_another_ = false;
};

// What RecoverFromJournal found and did.
enum class Recovery {
  kNothing,     // no journal
  kRestored,    // the old content is back in the file, the journal gone
  kIncomplete,  // a journal cut short: the file was never changed; it went
  kFailed,      // a journal that could not be used: it stays, with the file
};
// Undoes an in-place rewrite of the file at `path` that was interrupted:
// with its lock held, before anything else reads or writes it.
Recovery RecoverFromJournal(const std::string &path);

// Undoes what an update of this process has under way, with system calls
// only, so that it may be called from a signal handler just before the
// process ends: the lock, with the new content it may hold, is removed, and a
// file half rewritten in place is given its old content back from its
// journal.  The update interrupted must not go on afterwards.  (Called on
// another thread while that update writes, as Windows does with its console
// handler, the journal and the lock are left for the next run instead.)
void CleanUpNow();

// The library's own threads are made with the signals that end a program
// (SIGINT, SIGTERM, SIGHUP) held back, so that the caller's handlers, the
// cleanup above among them, run on the caller's thread.  Made where one of
// these is in scope, a thread starts with those signals blocked.
class SignalsHeldBack {
 public:
  SignalsHeldBack();
  ~SignalsHeldBack();
  SignalsHeldBack(const SignalsHeldBack &) = delete;
  SignalsHeldBack &operator=(const SignalsHeldBack &) = delete;

 private:
  // The signal mask in force before, in the system's own form.
  uint64_t saved_[32];
};

// The steps of an update at which a test may stop it (SetWriteStepHook).
enum class WriteStep {
  kLockTaken,        // the lock is held, nothing else done
  kJournalWritten,   // the journal is on the disk, the file untouched
  kContentWritten,   // `bytes` of the new content are written
  kContentComplete,  // all of it is written, not yet in place
  kReplaced,         // the new content is in place; companions not yet gone
};
// Test seam: called at every step with the bytes written so far; while one
// is set, the content is written 4096 bytes at a time, each followed by a
// call.  NULL removes it.
using WriteStepHook = void (*)(WriteStep step, int64_t bytes);
void SetWriteStepHookForTesting(WriteStepHook hook);

// Closes `fd` soon, on a thread of its own, so that the caller does not wait
// for what the system does when the last descriptor of a removed file goes
// (releasing its blocks, which on some file systems means waiting for the
// disk).  With many descriptors already waiting, or where no thread can be
// had (and on Windows), it is closed at once.  Whatever is still waiting
// when the program ends or the library is unloaded is closed then.
void CloseLater(int fd);
// Waits until every descriptor handed over so far is closed.
void WaitForLaterCloses();

// Memory for large work buffers, straight from the system: `bytes` of zeroed
// memory, or NULL.  Where the system offers large pages it is backed by
// them, so that filling it costs few page faults.  FreeLarge releases it.
void *AllocateLarge(size_t bytes);
void FreeLarge(void *p, size_t bytes);
// Asks the system to back [p, p + bytes) of memory from AllocateLarge with
// pages now, in one call, rather than one page fault at a time as it is first
// written.  Only a hint: nothing changes where it is not supported.
void PrefaultLarge(void *p, size_t bytes);

// Reads of a file at any offset, from several threads at once, into memory
// the caller reuses.  Only a speed-up: Open() is false where the system
// offers no such reads, and the caller then reads the file another way.
// (Files are never mapped into memory: a file cut short by another program
// while mapped would kill the calling program with a signal, where a read
// just comes back short.)
//
// The reads show the file as it is.  Changed() tells whether the file was
// written since it was opened, as far as its size and times show it.
class FileReader {
 public:
  FileReader() = default;
  ~FileReader() { Close(); }
  FileReader(const FileReader &) = delete;
  FileReader &operator=(const FileReader &) = delete;

  // Opens the regular file at `path`, which must be exactly `size` bytes
  // long; false otherwise, or where positional reads are not offered
  // (Windows: an open file there cannot be replaced).
  // With `expected`, the file opened must be the file of that look.
  bool Open(const char *path, int64_t size,
            const FileStatus *expected = nullptr);
  void Close();
  // Reads up to `n` bytes at `offset` into `buf`: the count read, fewer
  // only at the end of the file, or -1 with the error number set.
  int64_t ReadAt(int64_t offset, char *buf, size_t n) const;
  // True when the file may have been written since it was opened: its size
  // or time of modification differ from those it had then, or its time of
  // change does while its permission bits do not (a change of those alone
  // is not one of content), or they cannot be had.
  bool Changed() const;

 private:
  int fd_ = -1;
  int64_t size_ = 0;
  unsigned mode_ = 0;
  int64_t modified_ns_ = 0;
  int64_t changed_ns_ = 0;
};

// Test seam: replaces the function behind Access() (NULL restores it).
using AccessFn = int (*)(const char *path, int mode);
void SetAccessForTesting(AccessFn fn);

}  // namespace tov::platform

#endif  // TOVUPDTR_PLATFORM_PLATFORM_H_
