// The lock of a file under update, the journal of an in-place rewrite, and
// the cleanup of what an interrupted update leaves (platform.h).
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/file_calls.h"
#include "platform/platform.h"

namespace tov::platform {
namespace {

// Longest path that the cleanup notes keep.
constexpr size_t kNoteSize = 4096;
// The journal's first line, of a fixed length: what it is, the length and
// check sum of the old content that follows it, and the file it belongs to.
constexpr char kJournalMagic[] = "tovUpdtr journal 1";
constexpr size_t kJournalHeaderSize =
    sizeof kJournalMagic - 1 + 6 + 20 + 5 + 16 + 6 + 20 + 1;
// A lock file that says nothing readable and nobody claims is taken for
// left behind once it has not been written for this long: its maker may
// have made it a moment ago and not claimed it yet.  (Where the system has
// no claims, the age alone tells: 10 s.)
#ifdef _WIN32
constexpr int64_t kQuietLockAge_ns = int64_t{10} * 1000000000;
#else
constexpr int64_t kQuietLockAge_ns = int64_t{1} * 1000000000;
#endif

std::string Beside(const std::string &path, const char *suffix) {
  size_t cut = path.size();
  while (cut > 0 && !IsSeparator(path[cut - 1])) --cut;
  return path.substr(0, cut) + "." + path.substr(cut) + suffix;
}

// One path noted for the cleanup: written by the update, read by a signal
// handler, so that the flag says when the text may be read.
struct Note {
  std::atomic<bool> set{false};
  char path[kNoteSize] = {};

  void Put(const std::string &text) {
    set = false;
    if (text.empty() || text.size() >= kNoteSize) return;
    std::memcpy(path, text.c_str(), text.size() + 1);
    set = true;
  }
};

Note lock_note, new_file_note, journal_note, target_note;
std::atomic<int> journal_stage{static_cast<int>(JournalStage::kNone)};
std::atomic<WriteStepHook> step_hook{nullptr};

// FNV-1a, 64 bits: enough to tell a journal cut short by a crash of the
// system from a whole one.
uint64_t CheckSum(uint64_t sum, const char *data, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    sum ^= static_cast<unsigned char>(data[i]);
    sum *= 1099511628211ULL;
  }
  return sum;
}
constexpr uint64_t kCheckSumStart = 14695981039346656037ULL;

struct JournalHeader {
  uint64_t size = 0;
  uint64_t sum = 0;
  uint64_t inode = 0;
};

// Reads a number of `width` digits in `base` at `text`; false when one of
// them is not a digit.  (No library call: this runs in signal handlers.)
bool Digits(const char *text, int width, unsigned base, uint64_t *value) {
  *value = 0;
  for (int i = 0; i < width; ++i) {
    const char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else {
      return false;
    }
    *value = *value * base + digit;
  }
  return true;
}

bool ParseHeader(const char *text, JournalHeader *header) {
  const size_t magic = sizeof kJournalMagic - 1;
  return std::memcmp(text, kJournalMagic, magic) == 0 &&
         std::memcmp(text + magic, " size ", 6) == 0 &&
         Digits(text + magic + 6, 20, 10, &header->size) &&
         std::memcmp(text + magic + 26, " sum ", 5) == 0 &&
         Digits(text + magic + 31, 16, 16, &header->sum) &&
         std::memcmp(text + magic + 47, " file ", 6) == 0 &&
         Digits(text + magic + 53, 20, 10, &header->inode) &&
         text[kJournalHeaderSize - 1] == '\n';
}

// Reads exactly `n` bytes at `offset`; false otherwise.
bool ReadExactly(int fd, char *buf, size_t n) {
  while (n > 0) {
    const int got = ReadSome(fd, buf, n);
    if (got <= 0) return false;
    buf += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

// Copies the `size` bytes of old content that follow the header of the open
// journal `from` into `target`, which then ends there, and flushes it.
// Only system calls, into the buffer given: it also runs in signal handlers.
bool CopyBack(int from, const char *target, uint64_t size, char *buf,
              size_t buf_size) {
  const int to = OpenExistingPath(target, true);
  if (to < 0) return false;
  uint64_t done = 0;
  bool ok = true;
  while (ok && done < size) {
    const size_t n =
        static_cast<size_t>(std::min<uint64_t>(buf_size, size - done));
    ok = ReadExactly(from, buf, n) &&
         WriteAt(to, buf, n, static_cast<int64_t>(done));
    done += n;
  }
  ok = ok && Truncate(to, static_cast<int64_t>(size)) && Sync(to);
  return CloseFd(to) == 0 && ok;
}

// The holder that the first line of a lock file names: "PID HOST".  (What
// follows the line is the new text on its way in, or the room reserved for
// it.)
LockHolder ParseHolder(std::string text) {
  LockHolder holder;
  const size_t end = text.find('\n');
  if (end == std::string::npos) return holder;
  text.resize(end);
  const size_t space = text.find(' ');
  if (space == std::string::npos || space == 0 || space > 18) return holder;
  int64_t pid = 0;
  for (size_t i = 0; i < space; ++i) {
    if (text[i] < '0' || text[i] > '9') return holder;
    pid = pid * 10 + (text[i] - '0');
  }
  holder.pid = pid;
  holder.host = text.substr(space + 1);
  return holder;
}

// Whether the lock file at `lock_path`, which says `holder`, was left by an
// updater that has ended: one of this machine whose process is gone, or,
// where it says nothing readable (its holder was writing the new content
// into it), one that nobody claims any more and that was not written for a
// moment.
bool LeftByTheDead(const std::string &lock_path, const LockHolder &holder) {
  if (holder.pid > 0) {
    return holder.host == HostName() && !ProcessMayBeAlive(holder.pid);
  }
  return LockFileUnclaimed(lock_path, kQuietLockAge_ns);
}

// Removes the lock file at `path` if it is still the file `identity` and
// says `text`, with every other remover kept out meanwhile, so that a lock
// made anew in its place is never the one removed; true when removed.
bool RemoveLockFileIfStill(const std::string &path, const std::string &text,
                           uint64_t identity) {
  const int turn = TakeRemoversTurn(path);
  if (turn == -1) return false;
  Fd held(turn >= 0 ? turn : -1);
  std::string now;
  uint64_t now_identity = 0;
  return ReadLockFile(path, &now, &now_identity) && now == text &&
         now_identity == identity && RemoveNow(path);
}

// A lock file at `path`, made exclusively (mode 0600; on Windows
// CREATE_NEW), claimed before it says whose it is, and saying `holder`
// ("PID HOST") on its first line: its descriptor, or -1 with the error
// number set (EEXIST: another lock is there).
int MakeLockFile(const std::string &path, const std::string &holder) {
  Fd made(OpenNew(path, 0600));
  if (made.get() < 0) return -1;
  ClaimLockFile(made.get());
  const std::string text = holder + "\n";
  if (!WriteAt(made.get(), text.data(), text.size(), 0)) {
    ErrnoKeeper keep;
    made.Close();
    RemoveFile(path);
    return -1;
  }
  return made.Release();
}

}  // namespace

std::string LockPathOf(const std::string &path) {
  return Beside(path, ".tovlock");
}
std::string NewFilePathOf(const std::string &path) {
  return Beside(path, ".tovnew");
}

std::string JournalPathOf(const std::string &path) {
  return Beside(path, ".tovjournal");
}

void NoteLockFile(const std::string &path) { lock_note.Put(path); }
void NoteNewFile(const std::string &path) { new_file_note.Put(path); }
void NoteJournal(const std::string &journal, const std::string &target,
                 JournalStage stage) {
  journal_stage = static_cast<int>(JournalStage::kNone);
  journal_note.Put(journal);
  target_note.Put(target);
  journal_stage = static_cast<int>(stage);
}
void SetJournalStage(JournalStage stage) {
  journal_stage = static_cast<int>(stage);
}

void SetWriteStepHookForTesting(WriteStepHook hook) { step_hook = hook; }
bool StepHookSet() { return step_hook.load() != nullptr; }
void ReachStep(WriteStep step, int64_t bytes) {
  if (WriteStepHook hook = step_hook.load()) hook(step, bytes);
}

FileLock::Result FileLock::Take(const std::string &path, int64_t wait_ms) {
  Release();
  broken_ = false;
  met_another_ = false;
  holder_ = LockHolder();
  stale_ = LockHolder();
  lock_path_ = LockPathOf(path);
  const std::string mine = std::to_string(ProcessId()) + " " + HostName();
  const auto start = std::chrono::steady_clock::now();
  int pause_ms = 1;
  for (;;) {
    const int fd = MakeLockFile(lock_path_, mine);
    if (fd >= 0) {
      fd_ = fd;
      taken_ = true;
      NoteLockFile(lock_path_);
      ReachStep(WriteStep::kLockTaken, 0);
      return kTaken;
    }
    if (errno != EEXIST) return kNotPossible;
    met_another_ = true;
    std::string text;
    uint64_t identity = 0;
    // A lock that went as it was looked at is tried again at once.
    if (!ReadLockFile(lock_path_, &text, &identity)) {
      if (errno == ENOENT) continue;
      return kNotPossible;
    }
    holder_ = ParseHolder(text);
    if (LeftByTheDead(lock_path_, holder_) &&
        RemoveLockFileIfStill(lock_path_, text, identity)) {
      broken_ = true;
      stale_ = holder_;
      continue;
    }
    const int64_t waited_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start)
            .count();
    if (waited_ms >= wait_ms) return kBusy;
    SleepFor(
        static_cast<int>(std::min<int64_t>(pause_ms, wait_ms - waited_ms)));
    pause_ms = std::min(pause_ms * 2, 50);
  }
}

int FileLock::HandOverFile() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void FileLock::Consumed() {
  NoteLockFile("");
  taken_ = false;
}

void FileLock::Release() {
  if (!taken_) return;
  NoteLockFile("");
  ReleaseLockFile(lock_path_, fd_);
  fd_ = -1;
  taken_ = false;
}

bool WriteJournal(const std::string &journal, const std::string &dir,
                  const std::string &content, uint64_t inode) {
  Fd fd(OpenNew(journal, 0600));
  if (fd.get() < 0) return false;
  char header[kJournalHeaderSize + 1];
  std::snprintf(header, sizeof header,
                "%s size %020llu sum %016llx file %020llu\n", kJournalMagic,
                static_cast<unsigned long long>(content.size()),
                static_cast<unsigned long long>(
                    CheckSum(kCheckSumStart, content.data(), content.size())),
                static_cast<unsigned long long>(inode));
  if (!WriteAt(fd.get(), header, kJournalHeaderSize, 0) ||
      !WriteAt(fd.get(), content.data(), content.size(), kJournalHeaderSize) ||
      !Sync(fd.get()) || !fd.Close()) {
    ErrnoKeeper keep;
    RemoveFile(journal);
    return false;
  }
  // Its name reaches the disk too: a journal that a crash of the system
  // loses would leave nothing to undo the rewrite with.
  SyncDirectory(dir, journal);
  return true;
}

Recovery RecoverFromJournal(const std::string &path) {
  const std::string journal = JournalPathOf(path);
  Fd fd(OpenExisting(journal, false));
  if (fd.get() < 0)
    return errno == ENOENT ? Recovery::kNothing : Recovery::kFailed;
  StatRecord st{};
  char header[kJournalHeaderSize];
  JournalHeader parsed;
  // The journal is complete and flushed before the file changes: one that
  // is not was written by an update that never touched the file.
  bool whole =
      StatPath(journal, &st) == 0 &&
      ReadExactly(fd.get(), header, sizeof header) &&
      ParseHeader(header, &parsed) &&
      static_cast<uint64_t>(st.st_size) == kJournalHeaderSize + parsed.size;
  uint64_t sum = kCheckSumStart;
  char buf[65536];
  for (uint64_t left = whole ? parsed.size : 0; left > 0;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof buf, left));
    if (!ReadExactly(fd.get(), buf, n)) {
      whole = false;
      break;
    }
    sum = CheckSum(sum, buf, n);
    left -= n;
  }
  if (!whole || sum != parsed.sum) {
    fd.Close();
    RemoveFile(journal);
    return Recovery::kIncomplete;
  }
  // A journal of another file than the one now at the path (replaced since)
  // is not the path's to restore.
  StatRecord target{};
  if (StatPath(path, &target) != 0 ||
      (target.st_ino != 0 && parsed.inode != 0 &&
       static_cast<uint64_t>(target.st_ino) != parsed.inode)) {
    return Recovery::kFailed;
  }
  Fd again(OpenExisting(journal, false));
  if (again.get() < 0 || !ReadExactly(again.get(), header, sizeof header) ||
      !CopyBack(again.get(), path.c_str(), parsed.size, buf, sizeof buf)) {
    return Recovery::kFailed;
  }
  again.Close();
  fd.Close();
  RemoveFile(journal);
  return Recovery::kRestored;
}

void CleanUpNow() {
  const int saved = errno;
  if (new_file_note.set) RemovePath(new_file_note.path);
  const auto stage = static_cast<JournalStage>(journal_stage.load());
  if (journal_note.set && stage != JournalStage::kNone) {
    if (stage == JournalStage::kRewriting) {
      // Another thread may still be writing the file: its journal and lock
      // stay for the next run, which restores it.
      if (kCleanupOnItsOwnThread) {
        errno = saved;
        return;
      }
      static char buf[16384];
      char header[kJournalHeaderSize];
      JournalHeader parsed;
      const int fd = OpenExistingPath(journal_note.path, false);
      const bool restored =
          fd >= 0 && ReadExactly(fd, header, sizeof header) &&
          ParseHeader(header, &parsed) && target_note.set &&
          CopyBack(fd, target_note.path, parsed.size, buf, sizeof buf);
      if (fd >= 0) CloseFd(fd);
      if (!restored) {
        errno = saved;
        return;
      }
    }
    RemovePath(journal_note.path);
    journal_stage = static_cast<int>(JournalStage::kNone);
  }
  if (lock_note.set) RemovePath(lock_note.path);
  lock_note.set = false;
  new_file_note.set = false;
  errno = saved;
}

}  // namespace tov::platform
