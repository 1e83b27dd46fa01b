// ReplaceFileContents: the new content of a file reaches the disk completely
// or not at all.  The system calls it makes, one small function each, are
// those of platform/file_calls.h.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/file_calls.h"
#include "platform/platform.h"

namespace tov::platform {
namespace {

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
