// The update of one file by an expression list: the state of one call, and
// the work memory, sizes and helpers that its paths share.  Private to the
// update's sources: file_update.cc (the call, reading, writing back),
// file_update_apply.cc (the renames applied to a text in memory) and
// file_update_large.cc (a large file a segment at a time).
#ifndef TOVUPDTR_UPDATE_FILE_UPDATE_H_
#define TOVUPDTR_UPDATE_FILE_UPDATE_H_

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
inline char *FirstToken(char *text, const char *delimiters) {
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
// The first segment of a search that stops at the first change.
constexpr size_t kFirstSegment = size_t{256} << 10;
// What the new text is gathered in on its way to the file.
constexpr size_t kGatherSize = size_t{16} << 10;
// From this size on, the new text is written on a thread of its own, from
// kWriteSlots buffers, while the next part is made; below it, the thread
// and its buffers cost more than the overlap saves.  The buffers together
// hold more than a segment's new text, so that handing a segment over
// seldom waits for the writing and the next segment's search starts at
// once; they grow with the file up to that, from kSlotSize each.
constexpr size_t kWriteBehindFrom = size_t{8} << 20;
constexpr size_t kSlotSize = size_t{64} << 10;
constexpr size_t kLargestSlot = size_t{1} << 20;
constexpr unsigned kWriteSlots = 6;
inline size_t SlotSizeFor(size_t file_size) {
  return std::clamp(file_size / 64, kSlotSize, kLargestSlot);
}

inline WorkArea &Work() { return LayerState().work; }

// The threads that search a text at the same time: one per core.
inline unsigned SearchThreads() {
  static const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

// How many pieces the one-pass rewrite cuts a text of `length` bytes into:
// a few for each thread, so that a thread that falls behind holds up the
// others by a small piece only.
inline unsigned PiecesFor(size_t length) {
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
  using Msg = core::Msg;

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
  bool ApplyTogether(const NodeList &nodes);
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

}  // namespace tov::update

#endif  // TOVUPDTR_UPDATE_FILE_UPDATE_H_
