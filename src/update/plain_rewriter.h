// One-pass rewriting of a text under a run of renames of plain names.
//
// A plain name is a non-empty run of letters, digits and underscores.  The
// whole-word expressions built for such names match only at fixed places
// inside the word runs of a text:
//
//  - update type 0: a name matches exactly a maximal run of letters, digits
//    and underscores;
//  - update type 1: a name matches a suffix of a maximal run of letters,
//    digits, '$' and underscores, when the suffix starts at the start of the
//    run or right after a digit or a '$'.
//
// Replacing such a match with another plain name (or with nothing) leaves the
// run a run, with the same neighbours, so applying the renames one after the
// other over the whole text is the same as applying them, in the same order,
// to every run on its own.  PlainRewriter composes the renames once and then
// rewrites a text in one pass, looking each run up instead of searching the
// text once per rename.
//
// Under update type 0 what the renames make of a run depends on the run
// alone, and every name that starts a chain is resolved when the rewriter is
// made.  Under update type 1 the rest of the run matters as well (a later
// rename may match a suffix that reaches into it), so runs are resolved as
// they are met and remembered.
#ifndef TOVUPDTR_UPDATE_PLAIN_REWRITER_H_
#define TOVUPDTR_UPDATE_PLAIN_REWRITER_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "update/work_memory.h"

namespace tov::update {

// A rename of one plain name: `from` is a plain name, `to` a plain name or
// empty.  The names are not copied: they must stay where they are while a
// rewriter made of them lives.  Their lengths are kept in 32 bits (24 bytes
// a rename instead of the 32 of two views, for lists of a million): a name
// of 4 GB or more is refused with std::length_error.
class PlainRename {
 public:
  PlainRename() = default;
  PlainRename(std::string_view from, std::string_view to)
      : from_(from.empty() ? "" : from.data()),
        to_(to.empty() ? "" : to.data()),
        from_size_(SizeOf(from)),
        to_size_(SizeOf(to)) {}

  std::string_view from() const { return std::string_view(from_, from_size_); }
  // Neither is NULL, even when empty: a new name is copied from as any
  // other.
  std::string_view to() const { return std::string_view(to_, to_size_); }
  // The longest name a rename keeps.
  static constexpr size_t kLongest = UINT32_MAX - 1;

 private:
  static uint32_t SizeOf(std::string_view name) {
    if (name.size() > kLongest) throw std::length_error("plain rename");
    return static_cast<uint32_t>(name.size());
  }

  const char *from_ = "";
  const char *to_ = "";
  uint32_t from_size_ = 0;
  uint32_t to_size_ = 0;
};

// The renames of a rewriter: a list of a million renames takes its memory
// from the system, in large pages, instead of a page fault at a time.
using PlainRenames = std::vector<PlainRename, LargeAllocator<PlainRename>>;

// True when `name` is a plain name (or empty, when `allow_empty`).
bool IsPlainName(std::string_view name, bool allow_empty);

class PlainRewriter {
 public:
  // What the renames make of one run that they match.
  struct Outcome {
    std::string_view text;  // the run after the last rename
    size_t run_length;      // the run as the text holds it
    size_t max_length;      // its longest form along the way, itself included
    uint32_t steps;         // the renames that replaced a name in it
  };
  // A run that the renames change: it starts at `offset` in the text.
  struct Hit {
    size_t offset;
    const Outcome *outcome;
  };
  using HitList = std::vector<Hit, LargeAllocator<Hit>>;
  // Reads the `n` bytes of a text that start at `offset` into `buf`; false
  // when they cannot all be read.  Called from several threads at once.
  using TextReader = std::function<bool(size_t offset, char *buf, size_t n)>;

  // Every change that the renames make to one text, from Find.  The
  // outcomes it points to belong to the rewriter.  One object may be
  // reused for text after text: it keeps its memory.
  class Changes {
   public:
    bool touched() const { return hits_ > 0; }
    // An upper bound of the length of the text after any one of the
    // renames, as the renames applied one by one would leave it.
    size_t max_length() const { return max_length_; }
    // The length of the new text.
    size_t length() const { return length_; }
    // The names replaced, as the renames applied one by one would replace
    // them: a run that a rename made and a later one renamed again counts
    // twice.
    size_t replacements() const { return replacements_; }
    // The memory held for the hits, the reading of texts and new texts.
    size_t held_bytes() const {
      size_t bytes = 0;
      for (const HitList &hits : parts_) bytes += hits.capacity() * sizeof(Hit);
      for (const std::vector<char> &buf : buffers_) bytes += buf.capacity();
      for (const MadeText &text : texts_) bytes += text.capacity();
      return bytes;
    }

   private:
    friend class PlainRewriter;
    // The hits of each piece of the text, in text order; only the first
    // pieces_ lists are in use.
    std::vector<HitList> parts_;
    size_t pieces_ = 0;
    // What each thread of FindInFile reads its pieces into.
    std::vector<std::vector<char>> buffers_;
    // FindInFile with kMakeText: the new text of each piece.
    using MadeText = std::vector<char, platform::UnfilledAllocator<char>>;
    std::vector<MadeText> texts_;
    size_t text_length_ = 0;
    size_t hits_ = 0;
    size_t max_length_ = 0;
    size_t length_ = 0;
    size_t replacements_ = 0;
  };

  // What Rewrite found.
  struct Result {
    bool touched = false;   // some rename matched somewhere
    size_t max_length = 0;  // as Changes::max_length
    // The new text and its NUL fit the output buffer; when false, nothing
    // was written and `length` means nothing.
    bool fits = true;
    size_t length = 0;  // of the new text, when touched and fits
  };

  // The most pieces that Find splits a text into.
  static constexpr unsigned kMaxPieces = 32;

  // Prepares `renames`, applied in this order, under the word rules of
  // `update_type` (0 or 1).  `together`: applied all at once instead, each
  // name the text holds becoming its own new name (no rename sees what
  // another made, so a swap swaps); where the names of two renames overlap,
  // the one that starts first wins, and of two names alike the first
  // rename.
  PlainRewriter(int update_type, PlainRenames renames, bool together = false);
  ~PlainRewriter();
  PlainRewriter(const PlainRewriter &) = delete;
  PlainRewriter &operator=(const PlainRewriter &) = delete;

  // Finds the runs of the `length` bytes at `text` (which may hold NUL
  // bytes) that the renames change, into *changes.  A text of more than one
  // `pieces` is cut, between runs, into that many pieces (at most
  // kMaxPieces), which `threads` threads (0: one per piece) share out and
  // search at the same time; the result is the same however the text is cut
  // and shared.
  void Find(const char *text, size_t length, unsigned pieces, Changes *changes,
            unsigned threads = 0);

  // What FindInFile keeps of what it finds.
  enum class Keep {
    kHits,      // the hits, for Apply, Emit and EmitFromFile
    kTotals,    // only what they add up to (lengths, counts)
    kMakeText,  // the new text, made by each thread for its own pieces
  };

  // Find for a text of `length` bytes that is not in memory: it is read
  // through `read`, cut into up to `pieces` pieces as Find cuts it, each
  // piece read a window of about `chunk` bytes at a time (more where a run
  // goes on past its end) into memory of `changes` that is used again for
  // the next window and the next text.  The hits are those Find gives;
  // unless `keep` is kHits, each window's are dropped once they are counted
  // (and, with kMakeText, written into the piece's new text), so that the
  // memory held does not grow with them.  False when a read failed
  // (*changes then means nothing).
  bool FindInFile(const TextReader &read, size_t length, unsigned pieces,
                  size_t chunk, Changes *changes, unsigned threads,
                  Keep keep = Keep::kHits);
  // After FindInFile with kMakeText: hands the new text to `sink`, piece
  // after piece; false as soon as the sink returned false.
  static bool EmitMade(const Changes &changes,
                       const platform::ContentSink &sink);

  // Writes the new text that `changes` (found in the same text) describe,
  // and a NUL, into `out`, which must hold changes.length() + 1 bytes and
  // must not overlap the text.
  static void Apply(const char *text, size_t length, const Changes &changes,
                    char *out);
  // Hands the new text to `sink` piece after piece: long stretches of the
  // old text as they are, the rest gathered in the `staging_size` bytes at
  // `staging` first.  False as soon as the sink returned false.
  static bool Emit(const char *text, size_t length, const Changes &changes,
                   char *staging, size_t staging_size,
                   const platform::ContentSink &sink);

  // Emit for a text that is read through `read`, from front to back, a
  // window of `window_size` bytes at a time into `window`, with a staging
  // area of `staging_size` bytes.  False as soon as a read or the sink
  // failed.
  static bool EmitFromFile(const TextReader &read, size_t length,
                           const Changes &changes, char *window,
                           size_t window_size, char *staging,
                           size_t staging_size,
                           const platform::ContentSink &sink);

  // Find and Apply in one: rewrites the text into `out`, which holds
  // `capacity` bytes.  When nothing matched, or when the new text and its
  // NUL do not fit, `out` is not written.
  Result Rewrite(const char *text, size_t length, char *out, size_t capacity);

  size_t rename_count() const { return renames_.size(); }

  // Whether `c` may stand inside a run of the text: a text cut before any
  // other byte is rewritten piece by piece as it would be whole.
  bool InRun(char c) const;
  // True when it is known before any text is searched that no text grows,
  // at any step of the renames, to `factor` times its length or more, so
  // that the buffer space of the node-by-node path cannot run out: every
  // name's outcome stays below that factor of its own length all the way
  // (update type 0; under update type 1 runs are resolved only as they are
  // met, and the answer is false).
  bool CannotOutgrow(size_t factor) const;

  // Sets (*matched)[i], which must exist, for every rename i that replaced
  // a name in a text that Find or FindInFile searched.
  void MarkMatched(std::vector<unsigned char> *matched) const;
  // How many texts Find and FindInFile searched.
  uint64_t searches() const { return searches_; }

 private:
  class NameTable;
  class NameIndex;
  struct Memo;
  // What FindInPiece adds up over the hits of a piece.
  struct Totals {
    size_t hits = 0;     // runs changed
    size_t steps = 0;    // names replaced
    size_t growth = 0;   // longest form less own length
    size_t added = 0;    // new lengths
    size_t removed = 0;  // run lengths
  };

  // What the renames make of `run`, which some rename matches (update type
  // 1), remembered in `memo`, which notes that it was met.
  const Outcome *Resolve(std::string_view run, Memo *memo) const;
  // Follows `run` through the renames, adding each rename that matches it
  // to *applied.
  std::string Simulate(std::string_view run, size_t *max_length,
                       std::vector<uint32_t> *applied) const;
  // The first rename of `name` after the rename `after` (kNone: from the
  // start), or kNone.
  uint32_t NextRename(std::string_view name, uint32_t after) const;
  // Resolves every name under update type 0.
  void ComposeWholeRuns();
  // Where the hits of a search go, a few at a time in the order of the
  // text.
  class HitSink {
   public:
    virtual void Take(const Hit *hits, size_t count) = 0;

   protected:
    ~HitSink() = default;
  };
  // A HitSink that keeps every hit in a list.
  class HitKeeper final : public HitSink {
   public:
    explicit HitKeeper(HitList *hits) : hits_(hits) {}
    void Take(const Hit *hits, size_t count) override {
      hits_->insert(hits_->end(), hits, hits + count);
    }

   private:
    HitList *hits_;
  };
  class TextMaker;
  // Finds the hits of text[begin, end) (begin is 0 or a byte outside runs,
  // end is `length` or one), whose offsets are those in the text plus
  // `base`, and hands them to `sink` (NULL: they are only added up).
  void FindInPiece(const char *text, size_t length, size_t begin, size_t end,
                   size_t base, Memo *memo, HitSink *sink,
                   Totals *totals) const;
  // How FindRuns looks its places up.
  enum class LookupWay {
    kBatched,  // a batch at a time, the index's memory asked for ahead
    kDirect,   // each at once, in an index that fits the nearest cache
    kFew,      // each at once, compared with each of few names
  };
  // FindInPiece for one update type (kDollar: type 1) and one way of
  // looking up.
  template <bool kDollar, LookupWay kWay>
  void FindRuns(const char *text, size_t length, size_t begin, size_t end,
                size_t base, Memo *memo, HitSink *sink, Totals *totals) const;
  // Searches `count` pieces of a text of changes->text_length_ bytes with
  // up to `threads` threads (0: one per piece), each piece through
  // `search`, and adds up what they found into *changes.
  using PieceSearch = std::function<void(
      size_t piece, size_t worker, Memo *memo, HitList *hits, Totals *totals)>;
  void SearchPieces(size_t count, unsigned threads, const PieceSearch &search,
                    Changes *changes);

  int update_type_;
  bool together_;
  PlainRenames renames_;
  // Every `from` name with the first of its renames; under update type 1
  // the others are chained through next_same_ in increasing order.
  std::unique_ptr<NameIndex> names_;
  std::vector<uint32_t, LargeAllocator<uint32_t>> next_same_;
  // Update type 0: the outcome of each name, at the index of its first
  // rename, and after each rename the one that renames its new name again
  // (kNone at the end of a chain).
  std::vector<Outcome, LargeAllocator<Outcome>> outcomes_;
  std::vector<uint32_t, LargeAllocator<uint32_t>> chain_next_;
  // One memo for each thread of Find, so that the threads never share one:
  // the outcomes met, and under update type 1 the runs resolved so far.
  std::vector<std::unique_ptr<Memo>> memos_;
  uint64_t searches_ = 0;
};

}  // namespace tov::update

#endif  // TOVUPDTR_UPDATE_PLAIN_REWRITER_H_
