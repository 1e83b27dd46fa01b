// ReplaceFileContents: the new content of a file reaches the disk completely
// or not at all.  The system calls it makes, one small function each, are
// those of platform/file_calls.h.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/file_calls.h"
#include "platform/platform.h"

namespace tov::platform {
namespace {

// The directory part of `path` ("." for none).
std::string DirectoryOf(const std::string &path) {
  size_t cut = path.size();
  while (cut > 0 && !IsSeparator(path[cut - 1])) --cut;
  return cut == 0 ? "." : path.substr(0, cut);
}

// A new file that is removed at the end of its scope unless Keep() was
// called.  The cleanup after a signal knows of it meanwhile.
class TempFile {
 public:
  // An empty path: no file to look after.
  explicit TempFile(std::string path)
      : path_(std::move(path)), kept_(path_.empty()) {
    if (!kept_) NoteNewFile(path_);
  }
  ~TempFile() {
    if (!kept_) {
      ErrnoKeeper keep;
      RemoveFile(path_);
    }
    NoteNewFile("");
  }
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;

  const std::string &path() const { return path_; }
  void Keep() {
    kept_ = true;
    NoteNewFile("");
  }
  // Removes the file now (it must be closed on Windows).
  void Remove() {
    if (!kept_) RemoveFile(path_);
    Keep();
  }

 private:
  std::string path_;
  bool kept_;
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
// all; false as soon as a write fails.  Under the test seam, the writes are
// small and each is reported.
bool WriteContent(int fd, const ContentSource &content, int64_t *size) {
  *size = 0;
  const bool stepped = StepHookSet();
  return content([fd, size, stepped](const char *data, size_t len) {
    if (!stepped) {
      if (!WriteAt(fd, data, len, *size)) return false;
      *size += static_cast<int64_t>(len);
      return true;
    }
    for (size_t done = 0; done < len;) {
      const size_t n = std::min<size_t>(4096, len - done);
      if (!WriteAt(fd, data + done, n, *size)) return false;
      done += n;
      *size += static_cast<int64_t>(n);
      ReachStep(WriteStep::kContentWritten, *size);
    }
    return true;
  });
}

// Puts `old_content` back into the open file `fd` and flushes it.
bool WriteBackOld(int fd, const std::string &old_content) {
  return WriteAt(fd, old_content.data(), old_content.size(), 0) &&
         Truncate(fd, static_cast<int64_t>(old_content.size())) && Sync(fd);
}

// Rewrites `target`, the file that `st` describes, where it stands.  Its
// old content is read first, written to its journal, and written back when
// any step fails, so that the file never stays half new: after a crash, the
// journal gives it back.  Its results are those of ReplaceFileContents.
int ReplaceInPlace(const std::string &target, const StatRecord &st,
                   const ContentSource &content, int flags) {
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
  const std::string dir = DirectoryOf(target);
  const std::string journal = JournalPathOf(target);
  // A journal that cannot be written fails the write before it begins.
  if (!WriteJournal(journal, dir, old_content,
                    static_cast<uint64_t>(st.st_ino))) {
    return -2;
  }
  NoteJournal(journal, target, JournalStage::kWritten);
  ReachStep(WriteStep::kJournalWritten, 0);
  // The journal goes when the file holds its old or its new content on the
  // disk; otherwise it stays, for the next run to restore from.
  bool settled = false;
  struct JournalEnd {
    const std::string &journal;
    const bool &settled;
    ~JournalEnd() {
      ErrnoKeeper keep;
      if (settled) RemoveFile(journal);
      NoteJournal("", "", JournalStage::kNone);
    }
  } end{journal, settled};

  Fd fd(OpenExisting(target, true));
  if (fd.get() < 0) {
    settled = true;
    return -1;
  }
  SetJournalStage(JournalStage::kRewriting);
  // The new content may be shorter than the old one: where it ends, the
  // file ends.  It is on the disk before the journal goes.
  int64_t new_size = 0;
  if (WriteContent(fd.get(), gather ? from_memory : content, &new_size) &&
      Truncate(fd.get(), new_size) && Sync(fd.get())) {
    ReachStep(WriteStep::kContentComplete, new_size);
    if (fd.Close()) {
      SetJournalStage(JournalStage::kDone);
      ReachStep(WriteStep::kReplaced, new_size);
      settled = true;
      return 0;
    }
    // The close reported a late write error: put the old content back
    // through a new descriptor.
    ErrnoKeeper keep;
    Fd again(OpenExisting(target, true));
    settled = again.get() >= 0 && WriteBackOld(again.get(), old_content);
    return -2;
  }
  ErrnoKeeper keep;
  settled = WriteBackOld(fd.get(), old_content);
  return -2;
}

// A name for a new file that replaces `target`, different on every call.
std::string TempName(const std::string &target) {
  static unsigned counter = 0;
  return NewFilePathOf(target) + "-" + std::to_string(ProcessId()) + "-" +
         std::to_string(++counter);
}

}  // namespace

int ReplaceFileContents(const char *path, const ContentSource &content,
                        int flags, int64_t expected_size,
                        const FileStatus *expected, FileLock *lock) {
  if (path == nullptr || path[0] == '\0' || !content) {
    errno = EINVAL;
    return -1;
  }
  if (lock != nullptr && !lock->taken()) lock = nullptr;
  const std::string target = ResolveLinks(path);
  StatRecord st{};
  const bool exists = StatPath(target, &st) == 0;
  if (!exists && errno != ENOENT) return -1;
  if (expected != nullptr && !exists) return -3;
  if (expected != nullptr) {
    FileStatus now;
    now.device = static_cast<uint64_t>(st.st_dev);
    now.inode = static_cast<uint64_t>(st.st_ino);
    if (!SameFile(now, *expected)) return -3;
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
      return ReplaceInPlace(target, st, content, flags);
  }

  const std::string dir = DirectoryOf(target);
  // The new file is its owner's alone while its content is written, so that
  // nobody else can open it, and write into it, before it takes the old
  // file's place; it gets the old file's bits once complete.  A file that
  // did not exist is never made writable for all.
  const unsigned mode = exists ? 0600 : 0664;

  // Under the lock, the lock file is the new file (made 0600).  Otherwise a
  // new file of a name of its own is made, and removed on every way out but
  // the rename; neither takes memory, so that nothing between its creation
  // and its owner can fail and leave it behind.
  std::string temp_path;
  int fd = -1;
  if (lock != nullptr) {
    temp_path = lock->lock_path();
    fd = lock->HandOverFile();
  } else {
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
      temp_path = TempName(target);
      fd = OpenNew(temp_path, mode);
      if (fd < 0 && errno != EEXIST) break;
    }
  }
  if (fd < 0) {
    // No new file can be made here (a write-protected directory, say): the
    // old content must then be kept by hand.
    return exists ? ReplaceInPlace(target, st, content, flags) : -1;
  }
  const bool sync = (flags & kReplaceSync) != 0;
  // The file is closed before it is removed (Windows removes no open file).
  TempFile temp(lock != nullptr ? std::string() : temp_path);
  Fd out(fd);
  // A new file that cannot have the old one's owner would hand the file to
  // the writer: the old file is rewritten where it stands instead.
  if (exists && !TakeOwner(out.get(), st)) {
    out.Close();
    temp.Remove();
    return ReplaceInPlace(target, st, content, flags);
  }
  int64_t size = 0;
  Preallocate(out.get(), expected_size);
  // The content ends the file: nothing reserved, nor anything the lock file
  // said before, stays after it.
  const int64_t before = lock != nullptr ? kLockTextMax : 0;
  if (!WriteContent(out.get(), content, &size) ||
      (size < std::max(expected_size, before) && !Truncate(out.get(), size)) ||
      (sync && !Sync(out.get()))) {
    return -2;
  }
  // Likewise for its bits and extended attributes (ACLs among them).
  if (exists && !TakeModeAndAttributes(out.get(), target, st)) {
    out.Close();
    temp.Remove();
    return ReplaceInPlace(target, st, content, flags);
  }
  ReachStep(WriteStep::kContentComplete, size);
  const bool may_hold = exists && MayHoldOld(out.get());
  if (!out.Close()) return -2;
  // The old file is held open across the rename, so that its blocks are
  // released when the hold is closed, on the closing thread, not by the
  // rename while this thread waits.  Without a hold (a file that may not be
  // read, no descriptor left, a network file system) the rename releases
  // them.
  Fd old_file(may_hold ? HoldOld(target) : -1);
  // Once renamed, the lock file is the file: the cleanup after a signal
  // must not remove it, nor a lock that another updater makes then.
  if (lock != nullptr) NoteLockFile("");
  if (!RenameOver(temp_path, target)) {
    if (lock != nullptr) NoteLockFile(temp_path);
    if (kReplaceInTwoSteps && exists) {
      StatRecord now{};
      const bool still_there = StatPath(target, &now) == 0;
      // No file that another program holds open is renamed over: it is
      // rewritten where it stands instead, as far as that program lets it
      // be written.
      if (still_there && errno == EACCES) {
        return ReplaceInPlace(target, st, content, flags);
      }
      // A replacement that failed after the old file was removed leaves
      // the new file as the only content: it is kept rather than lost, out
      // of the lock's name, which a later run would take for left behind.
      if (!still_there) {
        temp.Keep();
        if (lock != nullptr &&
            RenameOver(temp_path, NewFilePathOf(target) + "-" +
                                      std::to_string(ProcessId()))) {
          lock->Consumed();
        }
      }
    }
    return -2;
  }
  temp.Keep();
  if (lock != nullptr) lock->Consumed();
  ReachStep(WriteStep::kReplaced, size);
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
