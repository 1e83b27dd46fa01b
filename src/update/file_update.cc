// tovUpdtrRegexpUpdateFile: rewrites the file that one line of the
// update-file list names, replacing every whole-word occurrence of each old
// name by its new name, node after node of the expression list.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/guard.h"
#include "core/messages.h"
#include "lcv/lcv.h"
#include "mapping/mapping_table.h"
#include "platform/platform.h"
#include "services/name_mapping/rix.h"
#include "services/regex/mur_regexp.h"
#include "tovUpdtr.h"
#include "update/confinement.h"
#include "update/layout_stream.h"
#include "update/plain_rewriter.h"
#include "update/segment_reader.h"
#include "update/together.h"
#include "update/update_lock.h"
#include "update/update_plan.h"
#include "update/update_state.h"
#include "update/work_memory.h"
#include "update/writable.h"
#include "update/write_behind.h"

namespace tov::update {
namespace {

using core::Msg;

// Size of the buffers of a reference's components on the update path.
constexpr size_t kComponentSize = 260;
// The factor between the file size and each work buffer when the caller
// sets none: the text may grow to twice its size, less the terminating NUL.
constexpr size_t kDefaultScalingFactor = 2;
// The group of an expression that holds the old name itself.
constexpr int kNameGroup = 2;

struct FreeDeleter {
  void operator()(void *p) const { std::free(p); }
};
using Buffer = std::unique_ptr<char, FreeDeleter>;

struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// strtok's rule on a caller's text, without strtok's hidden position: skips
// the leading delimiters, ends the token at the next delimiter with a NUL and
// returns its start; NULL when only delimiters are left.
char *FirstToken(char *text, const char *delimiters) {
  if (text == nullptr) return nullptr;
  char *start = text + std::strspn(text, delimiters);
  if (*start == '\0') return nullptr;
  char *end = start + std::strcspn(start, delimiters);
  if (*end != '\0') *end = '\0';
  return start;
}

// What the one-pass rewrite gathers before handing it to the file.
constexpr size_t kStagingSize = size_t{256} << 10;
// A text is cut into pieces searched at the same time when each piece gets
// at least this much: below it, starting a thread costs more than it saves.
constexpr size_t kMinPiece = size_t{1} << 20;
// A large file updated in one pass is read in pieces of this size (twice:
// to find its changes, then to write them), into memory used again for
// every piece, small enough to stay in the processor's cache.  Every buffer
// of that path is small: here new memory costs more than the copying it
// saves, for files of a few megabytes.
constexpr size_t kReadPiece = size_t{128} << 10;
// A large file updated in one pass is searched and written a segment of
// about this size at a time: the changes of one segment are all that is
// held, whatever the size of the file and the number of its changes.
constexpr size_t kSegment = size_t{4} << 20;
// What the new text is gathered in on its way to the file.
constexpr size_t kGatherSize = size_t{16} << 10;
// From this size on, the new text is written on a thread of its own, from
// kWriteSlots buffers of kSlotSize bytes, while the next part is made;
// below it, the thread and its buffers cost more than the overlap saves.
constexpr size_t kWriteBehindFrom = size_t{8} << 20;
constexpr size_t kSlotSize = size_t{64} << 10;
constexpr unsigned kWriteSlots = 4;

WorkArea &Work() { return LayerState().work; }

// The threads that search a text at the same time: one per core.
unsigned SearchThreads() {
  static const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

// How many pieces the one-pass rewrite cuts a text of `length` bytes into:
// a few for each thread, so that a thread that falls behind holds up the
// others by a small piece only.
unsigned PiecesFor(size_t length) {
  const size_t by_size = length / kMinPiece;
  size_t pieces =
      std::min<size_t>(size_t{4} * SearchThreads(), PlainRewriter::kMaxPieces);
  if (by_size < pieces) pieces = by_size;
  return pieces == 0 ? 1 : static_cast<unsigned>(pieces);
}

// Gives the work area back its memory at the end of every update.
class WorkAreaTrimmer {
 public:
  ~WorkAreaTrimmer() { Work().Trim(); }
};

// One call's file update; see UpdateFile.
class FileUpdate {
 public:
  // `keep_text`: the caller wants the new text handed over.
  FileUpdate(int code, tovUpdtrRegexpList *list, const char *name_space,
             bool keep_text, int flags)
      : code_(code),
        list_(list),
        name_space_(name_space),
        keep_text_(keep_text),
        together_((flags & TOV_UPDATE_SIMULTANEOUS) != 0),
        scaling_(TOV_UPDATE_SCALING_OF(flags) != 0
                     ? static_cast<size_t>(TOV_UPDATE_SCALING_OF(flags))
                     : kDefaultScalingFactor) {}

  int Run(char *line, int flags);
  // The names replaced in the new text.
  uint64_t replacements() const { return replacements_; }
  // Checks that the file at path_ lies in its library (links resolved,
  // unless TOV_UPDATE_FOLLOW_LINKS) and pins it: *status is a look at it.
  // False after reporting why not.
  bool Confine(int flags, platform::FileStatus *status);
  // The update of the file at path_ from the look `status` at it; `again`
  // when the file changed under an earlier round of this call.
  int UpdateAsItIs(const platform::FileStatus &status, int flags, bool again);
  // After the file changed under a round of the update (now it looks like
  // `now`): the update once more from the file as it is, or a failure.
  int Again(const platform::FileStatus &now, int flags, bool again);
  // After a Run that gave TOV_UPDATE_CHANGED: hands the path and the new
  // text (with its length) to the caller, who frees them.  A NULL address
  // leaves that part with this object.
  void HandOver(char **path, char **text, size_t *length);

 private:
  template <typename... Args>
  void Error(Msg msg, Args... args) {
    core::Report(code_, msg, args...);
  }
  // Error for a failed system call, followed by the system's reason on a
  // line of its own (none when the call left no error number).
  template <typename... Args>
  void SystemError(Msg msg, Args... args) {
    const int error = platform::ErrorNumber();
    core::Report(code_, msg, args...);
    core::ReportReason(code_, error);
  }

  // Makes the whole file the current text a_, read into the first work
  // buffer; false after reporting the failure.
  bool Read(size_t size);
  // For a file read whole that is no text, of `format`: a layout stream
  // is checked and kept aside, and its strings become the current text;
  // any other format is refused.  False after reporting why.
  bool ReadLayout(FileFormat format);
  // The update of a large file whose list is one run of plain names, read a
  // piece at a time: never held whole in memory nor viewed.  False when it
  // does not apply, or when the file must be updated the other way after
  // all; *result is then unset and nothing was reported or written.
  bool UpdateInPieces(const platform::FileStatus &status, int flags,
                      int *result);
  // Applies one node: the text in a_ is searched and rewritten into b_,
  // which becomes the current text.  false after reporting a failure.
  bool Apply(tovUpdtrRegexpList *node);
  // Applies `nodes` together: every name that one of them finds in a_ is
  // replaced by its new name, in one step, into b_.  false after reporting
  // a failure.
  bool ApplyTogether(const std::vector<tovUpdtrRegexpList *> &nodes);
  // Writes the new name of `node` at b_ + *write, whose room ends at
  // capacity_, and moves *write past it; false after reporting a failure.
  bool PutNewName(const tovUpdtrRegexpList *node, size_t *write);
  // Copies the text in a_ from `scan` up to `start` after the *write bytes
  // written into b_, and moves *write past it; false after reporting a
  // failure.
  bool CopyBefore(size_t scan, size_t start, size_t *write);
  // Copies the text in a_ from `scan` on after the `write` bytes written
  // into b_, which becomes the current text; false after reporting a
  // failure.
  bool CopyRest(size_t scan, size_t write);
  // Applies every node of the list, one after the other (or together).
  bool ApplyNodeByNode();
  // Applies the list through its plan: runs of plain names in one pass each.
  bool ApplyPlan();

  // Makes b_ ready to receive `bytes` bytes.
  void PrepareOutput(size_t bytes);
  // Makes the text just written into b_ the current one; b_ becomes the
  // other work buffer.
  void NextText(size_t length);
  // When the last one-pass rewrite was kept as a list of changes, writes
  // out the text it makes, which becomes the current text.
  void ApplyPending();
  // The new text, whole, as the file gets it.
  bool WriteBack(int flags);
  // Before the first write: the lock is held and the file made writable;
  // false after reporting why not.
  bool ReadyToWrite();
  // The flags of the file's replacement.
  int ReplaceFlags(int flags) const;

  int code_;
  tovUpdtrRegexpList *list_;
  const char *name_space_;
  bool keep_text_;
  // The renames are applied together, not one after the other.
  bool together_;
  // Each work buffer holds this many times the file.
  size_t scaling_;
  Buffer path_owner_;
  char *path_ = nullptr;
  WorkAreaTrimmer trimmer_;

  // The current text, text_length_ bytes, in one of the two work buffers
  // (followed by a NUL).  b_, the other work buffer, receives the next; both
  // have capacity_ bytes and come from the work area.
  const char *a_ = nullptr;
  char *b_ = nullptr;
  size_t capacity_ = 0;
  size_t text_length_ = 0;
  bool changed_ = false;
  // The names replaced so far, and the last node that replaced one.
  uint64_t replacements_ = 0;
  const tovUpdtrRegexpList *node_matched_ = nullptr;
  // The current text is a_ with the changes of the work area applied: the
  // last one-pass rewrite is written out only where it is needed whole.
  bool pending_ = false;
  // The piece-at-a-time update found the file rewritten by its check-out.
  bool changed_under_ = false;
  // The reference of the line, the library's directory, and the file that
  // was found in the library, to which every open is held.
  const char *reference_ = "";
  std::string library_dir_;
  platform::FileStatus pinned_;
  // The file's path with its links resolved ("" where it cannot be had).
  std::string real_path_;
  // Held from before the first read to the end of the write-back.
  UpdateLock lock_;
  // A layout being updated: the stream as read, and its records, whose
  // strings are the current text.
  struct Layout {
    LargeBuffer bytes;
    LayoutStream stream;
  };
  std::unique_ptr<Layout> layout_;
};

bool FileUpdate::ReadyToWrite() {
  if (!lock_.MayWrite(code_, path_)) return false;
  if (MkWritable(path_) != 1) {
    Error(Msg::kMkWritableFailed, path_);
    return false;
  }
  return true;
}

int FileUpdate::ReplaceFlags(int flags) const {
  return (flags & TOV_UPDATE_SYNC) ? platform::kReplaceSync : 0;
}

bool FileUpdate::Read(size_t size) {
  // Binary mode: every byte of the file is kept as it is, line ends included.
  File in(std::fopen(path_, "rb"));
  if (in == nullptr) {
    SystemError(Msg::kOpenFailed, path_);
    return false;
  }
  // What was opened must be the file that was found inside the library: a
  // link swapped in since then cannot make the update read elsewhere.
  platform::FileStatus opened;
  if (platform::StatOpen(in.get(), &opened) != 0 ||
      !platform::SameFile(opened, pinned_)) {
    Error(Msg::kFileReplaced, path_);
    return false;
  }
  if (size > SIZE_MAX / scaling_) {
    Error(Msg::kAllocFailed);
    return false;
  }
  // Each buffer holds twice the file, as the buffer-space limit of the text
  // says; only what is written of them takes memory.
  capacity_ = scaling_ * size;
  WorkArea &work = Work();
  if (!work.first.Reserve(capacity_) || !work.second.Reserve(capacity_)) {
    Error(Msg::kAllocFailed);
    return false;
  }
  text_length_ = size;
  // The text is read into the reused work memory, never mapped: a file cut
  // short by someone else while mapped would end the calling program with
  // a signal, where a read just comes back short.
  char *text = work.first.data();
  a_ = text;
  b_ = work.second.data();
  work.first.Prefault(size + 1);
  text[0] = '\0';
  // A file that now holds more than its reported size would lose its end
  // on write-back: it fails like one that holds less.
  // A file found shorter or longer than its size leaves no error number:
  // only a failed read gives a reason.
  platform::SetErrorNumber(0);
  if (std::fread(text, size, 1, in.get()) != 1 || std::fgetc(in.get()) != EOF) {
    SystemError(Msg::kReadFailed, path_);
    return false;
  }
  text[size] = '\0';
  if (std::fclose(in.release()) != 0) {
    const int error = platform::ErrorNumber();
    core::Report(code_, Msg::kCloseFailed);
    core::ReportReason(code_, error);
  }
  return true;
}

bool FileUpdate::UpdateInPieces(const platform::FileStatus &status, int flags,
                                int *result) {
  const auto size = static_cast<size_t>(status.size);
  if (size < kLargeBlock || keep_text_ || (flags & TOV_UPDATE_NODE_BY_NODE) ||
      size > SIZE_MAX / scaling_) {
    return false;
  }
  const std::vector<UpdatePlan::Step> &steps =
      UpdatePlan::For(list_, name_space_, together_).steps();
  if (steps.size() != 1 || steps[0].rewriter == nullptr) return false;
  PlainRewriter &rewriter = *steps[0].rewriter;
  platform::FileReader file;
  if (!file.Open(path_, static_cast<int64_t>(size), &pinned_)) return false;
  // Only a text is rewritten in pieces: a file that is anything else is
  // read whole, where its format is dealt with.
  char head[kFormatHead];
  if (file.ReadAt(0, head, kFormatHead) != static_cast<int64_t>(kFormatHead) ||
      FormatOf(head, kFormatHead) != FileFormat::kText) {
    return false;
  }
  // Set by whichever reading thread meets the failure.
  std::atomic<bool> short_read{false};
  const SegmentReader::Read read = [&file, &short_read](size_t offset,
                                                        char *buf, size_t n) {
    if (file.ReadAt(static_cast<int64_t>(offset), buf, n) ==
        static_cast<int64_t>(n)) {
      return true;
    }
    short_read = true;
    return false;
  };
  const SegmentReader::InRun in_run = [&rewriter](char c) {
    return rewriter.InRun(c);
  };
  // The segment of `length` bytes from `offset`, as a text of its own.
  const auto segment = [&read](size_t offset) {
    return PlainRewriter::TextReader(
        [&read, offset](size_t at, char *buf, size_t n) {
          return read(offset + at, buf, n);
        });
  };
  WorkArea &work = Work();
  PlainRewriter::Changes &changes = work.changes;
  // What the renames make of the whole text, added up segment by segment.
  struct Totals {
    size_t length = 0;   // of the new text
    size_t longest = 0;  // as Changes::max_length
    uint64_t replacements = 0;
    bool touched = false;
  };
  // Searches a segment, keeping of its changes what `keep` says; false
  // when a read failed.
  const auto find = [&](size_t offset, size_t length, Totals *totals,
                        PlainRewriter::Keep keep) {
    if (!rewriter.FindInFile(segment(offset), length, PiecesFor(length),
                             kReadPiece, &changes, SearchThreads(), keep)) {
      return false;
    }
    if (!changes.touched()) {
      totals->length += length;
      totals->longest += length;
      return true;
    }
    totals->touched = true;
    totals->length += changes.length();
    totals->longest += changes.max_length();
    totals->replacements += changes.replacements();
    return true;
  };
  // A file that now holds more than its reported size would lose its end
  // on write-back: it fails like one that holds less.
  const auto grew = [&file, size] {
    char extra;
    return file.ReadAt(static_cast<int64_t>(size), &extra, 1) != 0;
  };

  // Unless the renames cannot make the text outgrow its buffer space, the
  // whole file is searched first, keeping only what it adds up to: a text
  // that outgrows it fails, node by node, before anything is made writable.
  const bool may_outgrow = !rewriter.CannotOutgrow(scaling_);
  Totals found;
  size_t first_change = 0;  // the offset of the first segment that changes
  {
    SegmentReader segments(read, size, in_run, kSegment, &work.probe);
    size_t offset, length;
    bool whole = true;  // every segment was searched
    bool read_all = true;
    while (segments.Next(&offset, &length)) {
      const bool before = found.touched;
      if (!find(offset, length, &found, PlainRewriter::Keep::kTotals)) {
        read_all = false;
        break;
      }
      if (!before && found.touched) {
        first_change = offset;
        if (!may_outgrow && !(flags & TOV_UPDATE_DRY_RUN)) {
          whole = false;
          break;
        }
      }
    }
    if (!read_all || segments.failed() || (whole && grew())) {
      Error(Msg::kReadFailed, path_);
      *result = 0;
      return true;
    }
  }
  if (!found.touched) {
    *result = TOV_UPDATE_UNCHANGED;
    return true;
  }
  // Somewhere along these renames the text outgrows the buffer space: the
  // nodes applied one by one tell where, with their message.
  if (may_outgrow && found.longest >= scaling_ * size) return false;
  changed_ = true;
  if (may_outgrow || (flags & TOV_UPDATE_DRY_RUN)) {
    replacements_ = found.replacements;
    text_length_ = found.length;
    if (flags & TOV_UPDATE_DRY_RUN) {
      *result = TOV_UPDATE_CHANGED;
      return true;
    }
  }
  if (!ReadyToWrite()) {
    *result = 0;
    return true;
  }
  // Making the file writable may have rewritten or replaced it (a
  // check-out): what was found no longer fits it, and the file is updated as
  // it is now.
  platform::FileStatus now;
  if (file.Changed() || platform::Stat(path_, &now) != 0 ||
      !platform::SameContent(status, now)) {
    changed_ = false;
    replacements_ = 0;
    changed_under_ = true;
    return false;
  }
  const bool behind = size >= kWriteBehindFrom;
  if (!work.window.Reserve(kReadPiece) || !work.staging.Reserve(kGatherSize) ||
      (behind && !work.slots.Reserve(kWriteSlots * kSlotSize))) {
    Error(Msg::kAllocFailed);
    *result = 0;
    return true;
  }
  // The new text is made and written one segment at a time: the text before
  // the first change as it is, then each segment searched again and
  // rewritten.  No more than a segment's changes are ever held.
  Totals written;
  const auto write = [&](const platform::ContentSink &sink) {
    for (size_t at = 0; at < first_change;) {
      const size_t n = std::min(kReadPiece, first_change - at);
      if (!read(at, work.window.data(), n) || !sink(work.window.data(), n)) {
        return false;
      }
      at += n;
    }
    written.length = first_change;
    written.longest = first_change;
    SegmentReader segments(read, size, in_run, kSegment, &work.probe);
    size_t offset, length;
    while (segments.Next(&offset, &length)) {
      if (offset < first_change) continue;
      // Each searching thread writes the new text of its pieces as it
      // goes; they are handed on in order.
      if (!find(offset, length, &written, PlainRewriter::Keep::kMakeText) ||
          !PlainRewriter::EmitMade(changes, sink)) {
        return false;
      }
    }
    return !segments.failed() && !grew();
  };
  const platform::ContentSource content =
      [&](const platform::ContentSink &sink) {
        if (!behind) return write(sink);
        // Made on this thread and written on another, so that reading and
        // composing the text overlap with the system's writing.
        WriteBehind writer(sink, work.slots.data(), kSlotSize, kWriteSlots);
        const bool made = write(
            [&writer](const char *p, size_t n) { return writer.Put(p, n); });
        const bool done = writer.Finish();
        return made && done;
      };
  // The content is read from the file it replaces: where that file must be
  // rewritten in place, the content is gathered first.
  const int replace = platform::kReplaceFromFile | ReplaceFlags(flags);
  platform::SetErrorNumber(0);
  const int replaced = platform::ReplaceFileContents(
      path_, content, replace,
      static_cast<int64_t>(may_outgrow ? found.length : size), &pinned_,
      lock_.file_lock());
  replacements_ = written.replacements;
  text_length_ = written.length;
  switch (replaced) {
    case 0:
      *result = TOV_UPDATE_CHANGED;
      break;
    case -3:
      Error(Msg::kFileReplaced, path_);
      *result = 0;
      break;
    case -1:
      SystemError(Msg::kOpenFailed, path_);
      *result = 0;
      break;
    default:
      if (short_read || grew()) {
        Error(Msg::kReadFailed, path_);
      } else {
        SystemError(Msg::kWriteFailed, path_);
      }
      *result = 0;
      break;
  }
  return true;
}

bool FileUpdate::ReadLayout(FileFormat format) {
  if (format != FileFormat::kGdsii) {
    Error(Msg::kFormatNotSupported, path_, FormatDescription(format));
    return false;
  }
  auto layout = std::make_unique<Layout>();
  // The stream, read into the first work buffer, is kept as it is: that
  // buffer is handed to the layout, and a new one gets its strings.
  WorkArea &work = Work();
  layout->bytes.Swap(work.first);
  std::string fault;
  if (!layout->stream.Scan(layout->bytes.data(), text_length_, &fault)) {
    Error(Msg::kLayoutMalformed, path_, fault.c_str());
    return false;
  }
  const size_t joined = layout->stream.joined_length();
  if (!work.first.Reserve(capacity_)) {
    Error(Msg::kAllocFailed);
    return false;
  }
  work.first.Prefault(joined + 1);
  char *text = work.first.data();
  layout->stream.Join(text);
  text[joined] = '\0';
  a_ = text;
  text_length_ = joined;
  layout_ = std::move(layout);
  return true;
}

void FileUpdate::PrepareOutput(size_t bytes) {
  WorkArea &work = Work();
  LargeBuffer &out = b_ == work.first.data() ? work.first : work.second;
  out.Prefault(bytes);
}

void FileUpdate::NextText(size_t length) {
  WorkArea &work = Work();
  a_ = b_;
  b_ = b_ == work.first.data() ? work.second.data() : work.first.data();
  text_length_ = length;
  b_[0] = '\0';
}

bool FileUpdate::PutNewName(const tovUpdtrRegexpList *node, size_t *write) {
  char new_name[kComponentSize] = {};
  const char *to_member = mapping::ToMember(node->element);
  if (rixMapName("LibraryNT", name_space_, to_member, 0, new_name) == 0) {
    Error(Msg::kIllegalName, to_member != nullptr ? to_member : "");
    return false;
  }
  const size_t name_length = std::strlen(new_name);
  if (*write + name_length >= capacity_) {
    Error(Msg::kBufferSpaceScaling);
    return false;
  }
  std::memcpy(b_ + *write, new_name, name_length + 1);
  *write += name_length;
  changed_ = true;
  ++replacements_;
  if (node_matched_ != node) {
    LayerState().matched.insert(node);
    node_matched_ = node;
  }
  return true;
}

bool FileUpdate::Apply(tovUpdtrRegexpList *node) {
  murRegexp *regexp = node->regexp;
  const char *in = a_;
  char *out = b_;
  size_t scan = 0;   // where the next search starts in the input
  size_t write = 0;  // end of the output so far, on its NUL
  out[0] = '\0';
  // Every search gets the rest of the text as a text of its own, so '^'
  // holds at the scan position.  The delimiter after an occurrence is not
  // consumed: it may open the next one.
  while (mur_regexecn(regexp, in + scan, text_length_ - scan) == 1) {
    const char *name_start = regexp->startp[kNameGroup];
    const char *name_end = regexp->endp[kNameGroup];
    if (name_start == nullptr) break;  // not an expression of ours
    const size_t start = static_cast<size_t>(name_start - in);
    const size_t end = static_cast<size_t>(name_end - in);

    if (!CopyBefore(scan, start, &write)) return false;
    const size_t before = write;
    if (!PutNewName(node, &write)) return false;
    // An empty occurrence replaced by an empty name moves neither position:
    // searching again would find it for ever.
    if (end == scan && write == before) break;
    scan = end;
  }
  return CopyRest(scan, write);
}

bool FileUpdate::CopyBefore(size_t scan, size_t start, size_t *write) {
  const size_t prefix = start - scan;
  if (*write + prefix >= capacity_) {
    Error(Msg::kBufferSpace);
    return false;
  }
  std::memcpy(b_ + *write, a_ + scan, prefix);
  *write += prefix;
  b_[*write] = '\0';
  return true;
}

bool FileUpdate::CopyRest(size_t scan, size_t write) {
  const char *in = a_;
  char *out = b_;
  const size_t rest = text_length_ - scan;
  if (write + rest >= capacity_) {
    Error(Msg::kBufferSpaceRest, path_);
    return false;
  }
  std::memcpy(out + write, in + scan, rest);
  write += rest;
  out[write] = '\0';
  NextText(write);
  return true;
}

bool FileUpdate::ApplyTogether(const std::vector<tovUpdtrRegexpList *> &nodes) {
  std::vector<murRegexp *> regexps;
  regexps.reserve(nodes.size());
  for (tovUpdtrRegexpList *node : nodes) regexps.push_back(node->regexp);
  std::vector<Occurrence> found;
  FindTogether(regexps, kNameGroup, a_, text_length_, &found);
  size_t scan = 0;
  size_t write = 0;
  b_[0] = '\0';
  // Each name is put in as Apply puts one in, with the same checks in the
  // same order, so that the renames of a single node give the same text or
  // the same failure both ways.
  for (const Occurrence &o : found) {
    if (!CopyBefore(scan, o.start, &write)) return false;
    if (!PutNewName(nodes[o.index], &write)) return false;
    scan = o.end;
  }
  return CopyRest(scan, write);
}

bool FileUpdate::ApplyNodeByNode() {
  std::vector<tovUpdtrRegexpList *> nodes;
  for (tovUpdtrRegexpList *node = list_; node != nullptr; node = node->next) {
    if (node->element == nullptr || node->regexp == nullptr) continue;
    if (together_) {
      nodes.push_back(node);
    } else if (!Apply(node)) {
      return false;
    }
  }
  return !together_ || ApplyTogether(nodes);
}

bool FileUpdate::ApplyPlan() {
  PlainRewriter::Changes &changes = Work().changes;
  const UpdatePlan &plan = UpdatePlan::For(list_, name_space_, together_);
  for (const UpdatePlan::Step &step : plan.steps()) {
    // Every step searches the whole current text.
    ApplyPending();
    if (step.rewriter != nullptr) {
      step.rewriter->Find(a_, text_length_, PiecesFor(text_length_), &changes,
                          SearchThreads());
      if (!changes.touched()) continue;
      if (changes.max_length() < capacity_) {
        pending_ = true;
        changed_ = true;
        replacements_ += changes.replacements();
        continue;
      }
      // Somewhere along these renames the text outgrows the buffers: the
      // nodes applied one by one tell exactly where, with their message.
    }
    if (plan.together()) {
      if (!ApplyTogether(step.nodes)) return false;
      continue;
    }
    for (tovUpdtrRegexpList *node : step.nodes) {
      if (!Apply(node)) return false;
    }
  }
  return true;
}

void FileUpdate::ApplyPending() {
  if (!pending_) return;
  const PlainRewriter::Changes &changes = Work().changes;
  PrepareOutput(changes.length() + 1);
  PlainRewriter::Apply(a_, text_length_, changes, b_);
  NextText(changes.length());
  pending_ = false;
}

bool FileUpdate::WriteBack(int flags) {
  WorkArea &work = Work();
  platform::ContentSource content;
  if (pending_) {
    // The new text goes to the file straight from the old one and the
    // changes, without being written out in memory first.
    if (!work.staging.Reserve(kStagingSize)) {
      Error(Msg::kAllocFailed);
      return false;
    }
    content = [this, &work](const platform::ContentSink &sink) {
      return PlainRewriter::Emit(a_, text_length_, work.changes,
                                 work.staging.data(), kStagingSize, sink);
    };
  } else {
    content = [this](const platform::ContentSink &sink) {
      return text_length_ == 0 || sink(a_, text_length_);
    };
  }
  // The new text replaces the old one whole or not at all: a failed write
  // leaves the file as it was read.
  size_t new_length = pending_ ? work.changes.length() : text_length_;
  if (layout_ != nullptr) {
    content = [this](const platform::ContentSink &sink) {
      return layout_->stream.Emit(sink);
    };
    new_length = layout_->stream.new_size();
  }
  const int replace = ReplaceFlags(flags);
  platform::SetErrorNumber(0);
  switch (platform::ReplaceFileContents(path_, content, replace,
                                        static_cast<int64_t>(new_length),
                                        &pinned_, lock_.file_lock())) {
    case 0:
      return true;
    case -3:
      Error(Msg::kFileReplaced, path_);
      return false;
    case -1:
      SystemError(Msg::kOpenFailed, path_);
      return false;
    default:
      SystemError(Msg::kWriteFailed, path_);
      return false;
  }
}

int FileUpdate::Run(char *line, int flags) {
  char *reference = FirstToken(line, " \t\n\r");
  if (reference == nullptr) {
    Error(Msg::kStrtokFailed);
    return 0;
  }
  char lib[kComponentSize], cell[kComponentSize], view[kComponentSize],
      file[kComponentSize];
  // Components that do not fit are refused by the parse, with its message.
  if (lcv::ParseLCV(reference, lib, cell, view, file, kComponentSize) == 0) {
    return 0;
  }
  // A list from elsewhere must not make the update rewrite a file outside
  // the design library: the path is checked as the file system will see
  // it, names converted and links resolved.
  std::string library_dir;
  bool climbs_out = false;
  path_owner_.reset(
      lcv::GetPathInLibrary(lib, cell, view, file, &library_dir, &climbs_out));
  if (climbs_out) {
    Error(Msg::kPathClimbsOut, reference);
    return 0;
  }
  if (path_owner_ == nullptr) {
    Error(Msg::kGetPathFailed, reference);
    return 0;
  }
  path_ = path_owner_.get();
  reference_ = reference;
  library_dir_ = std::move(library_dir);
  platform::FileStatus status;
  if (!Confine(flags, &status)) return 0;
  // A run that may write holds the file's lock from before its first read;
  // a dry run, which writes nothing, takes none.
  if (!(flags & TOV_UPDATE_DRY_RUN) && list_ != nullptr) {
    if (!lock_.Take(code_, real_path_.empty() ? path_ : real_path_)) return 0;
    // Another updater was there first: the file is looked at afresh.
    if (lock_.met_another() && !Confine(flags, &status)) return 0;
  }
  return UpdateAsItIs(status, flags, false);
}

bool FileUpdate::Confine(int flags, platform::FileStatus *status) {
  real_path_ = RealPathOf(path_);
  const std::string &real_path = real_path_;
  Escape escape;
  if (!(flags & TOV_UPDATE_FOLLOW_LINKS) &&
      !InsideLibrary(path_, real_path, library_dir_, &escape)) {
    Error(Msg::kLinkLeadsOut, reference_, escape.link.c_str(),
          escape.target.c_str());
    return false;
  }
  // The file found there is the one the update reads and replaces: every
  // later open is held to it, so that a link swapped in meanwhile leads
  // nowhere.
  if (platform::Stat(real_path.empty() ? path_ : real_path.c_str(), &pinned_) !=
          0 ||
      platform::Stat(path_, status) != 0) {
    SystemError(Msg::kStatFailed, path_);
    return false;
  }
  if (!platform::SameFile(*status, pinned_)) {
    Error(Msg::kFileReplaced, path_);
    return false;
  }
  return true;
}

int FileUpdate::UpdateAsItIs(const platform::FileStatus &status, int flags,
                             bool again) {
  if (status.is_dir) {
    Error(Msg::kReadFailed, path_);
    return 0;
  }
  if (status.size == 0) {
    Error(Msg::kSkipEmpty, path_);
    return TOV_UPDATE_UNCHANGED;
  }
  if (list_ == nullptr) {
    return Read(static_cast<size_t>(status.size)) ? TOV_UPDATE_UNCHANGED : 0;
  }
  int result = 0;
  if (UpdateInPieces(status, flags, &result)) {
    return result;
  }
  if (changed_under_) {
    changed_under_ = false;
    platform::FileStatus now;
    if (platform::Stat(path_, &now) != 0) {
      SystemError(Msg::kStatFailed, path_);
      return 0;
    }
    return Again(now, flags, again);
  }
  if (!Read(static_cast<size_t>(status.size))) return 0;
  const FileFormat format = FormatOf(a_, std::min(text_length_, kFormatHead));
  if (format != FileFormat::kText) {
    if (!ReadLayout(format)) return 0;
    if (layout_->stream.empty()) return TOV_UPDATE_UNCHANGED;
  }

  if (!((flags & TOV_UPDATE_NODE_BY_NODE) ? ApplyNodeByNode() : ApplyPlan())) {
    return 0;
  }
  if (!changed_) return TOV_UPDATE_UNCHANGED;
  if (layout_ != nullptr) {
    // The renamed strings go back into their records.
    ApplyPending();
    std::string fault;
    if (!layout_->stream.Split(a_, text_length_, &fault)) {
      Error(Msg::kLayoutTooLong, path_, fault.c_str());
      return 0;
    }
  }
  if (flags & TOV_UPDATE_DRY_RUN) return TOV_UPDATE_CHANGED;

  if (!ReadyToWrite()) return 0;
  // Making the file writable may have rewritten it (a check-out that
  // fetched another version): the text read before is no longer the file's.
  platform::FileStatus now;
  if (platform::Stat(path_, &now) != 0) {
    SystemError(Msg::kStatFailed, path_);
    return 0;
  }
  if (!platform::SameContent(status, now)) return Again(now, flags, again);
  return WriteBack(flags) ? TOV_UPDATE_CHANGED : 0;
}

int FileUpdate::Again(const platform::FileStatus &now, int flags, bool again) {
  // The file stays writable from the first round on, so a second change
  // comes from someone else: it fails rather than chase the file.
  if (again) {
    Error(Msg::kReadFailed, path_);
    return 0;
  }
  // What the check-out put in the file's place is no file to open.
  if (now.is_dir) {
    Error(Msg::kOpenFailed, path_);
    return 0;
  }
  changed_ = false;
  pending_ = false;
  replacements_ = 0;
  layout_.reset();
  // The file in the path now may be another one: it is held to the
  // library as the first was.
  platform::FileStatus confined;
  if (!Confine(flags, &confined)) return 0;
  return UpdateAsItIs(confined, flags, true);
}

void FileUpdate::HandOver(char **path, char **text, size_t *length) {
  if (layout_ != nullptr) {
    const size_t size = layout_->stream.new_size();
    if (text != nullptr) {
      Buffer copy(static_cast<char *>(std::malloc(size + 1)));
      if (copy == nullptr) throw std::bad_alloc();
      char *out = copy.get();
      layout_->stream.Emit([&out](const char *data, size_t n) {
        std::memcpy(out, data, n);
        out += n;
        return true;
      });
      *out = '\0';
      *text = copy.release();
    }
    if (path != nullptr) *path = path_owner_.release();
    if (length != nullptr) *length = size;
    return;
  }
  if (text != nullptr) {
    // The work buffers stay with the library: the caller gets a copy.
    ApplyPending();
    Buffer copy(static_cast<char *>(std::malloc(text_length_ + 1)));
    if (copy == nullptr) throw std::bad_alloc();
    std::memcpy(copy.get(), a_, text_length_);
    copy.get()[text_length_] = '\0';
    *text = copy.release();
  }
  if (path != nullptr) *path = path_owner_.release();
  // The one-pass rewrite may not have written its text out: its length is
  // that of its changes.
  if (length != nullptr) {
    *length = pending_ ? Work().changes.length() : text_length_;
  }
}

// The update of the file that the first token of `line` names: 0 on failure
// (the file as it was), TOV_UPDATE_UNCHANGED or TOV_UPDATE_CHANGED.  A
// change also hands out the path and the new text through the non-NULL
// addresses among `path`, `text` and `length`, which the caller has cleared.
int UpdateFile(char *line, int code, tovUpdtrRegexpList *list,
               const char *name_space, int flags, char **path = nullptr,
               char **text = nullptr, size_t *length = nullptr) {
  uint64_t &replaced = LayerState().last_replacements;
  replaced = 0;
  FileUpdate update(code, list, name_space, text != nullptr, flags);
  const int result = update.Run(line, flags);
  if (result == TOV_UPDATE_CHANGED) {
    update.HandOver(path, text, length);
    replaced = update.replacements();
  }
  return result;
}

}  // namespace
}  // namespace tov::update

extern "C" TOVUPDTR_API int tovUpdtrRegexpUpdateFileEx(char *line, int msgCode,
                                                       tovUpdtrRegexpList *list,
                                                       const char *nameSpace,
                                                       int flags) {
  return tov::core::Guard(0, [&] {
    return tov::update::UpdateFile(line, msgCode, list, nameSpace, flags);
  });
}

extern "C" TOVUPDTR_API int tovUpdtrRegexpUpdateFileText(
    char *line, int msgCode, tovUpdtrRegexpList *list, const char *nameSpace,
    int flags, char **path, char **newText, size_t *newLength) {
  if (path != nullptr) *path = nullptr;
  if (newText != nullptr) *newText = nullptr;
  if (newLength != nullptr) *newLength = 0;
  return tov::core::Guard(0, [&] {
    return tov::update::UpdateFile(line, msgCode, list, nameSpace, flags, path,
                                   newText, newLength);
  });
}

extern "C" TOVUPDTR_API int tovUpdtrRegexpUpdateFile(char *line, int msgCode,
                                                     tovUpdtrRegexpList *list,
                                                     const char *nameSpace) {
  return tovUpdtrRegexpUpdateFileEx(line, msgCode, list, nameSpace, 0) != 0 ? 1
                                                                            : 0;
}

extern "C" TOVUPDTR_API unsigned long long tovUpdtrReplacedCount(void) {
  return tov::core::Guard(0ULL, [] {
    return static_cast<unsigned long long>(
        tov::update::LayerState().last_replacements);
  });
}

extern "C" TOVUPDTR_API int tovUpdtrRegexpMatched(
    const tovUpdtrRegexpList *node) {
  return tov::core::Guard(0, [&] {
    tov::update::UpdateState &state = tov::update::LayerState();
    if (state.plan != nullptr) state.plan->AddMatched(&state.matched);
    return state.matched.count(node) != 0 ? 1 : 0;
  });
}
