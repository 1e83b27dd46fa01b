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
#ifndef TOVUPDTR_UPDATE_PLAIN_REWRITER_H_
#define TOVUPDTR_UPDATE_PLAIN_REWRITER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tov::update {

// A rename of one plain name: `from` is a plain name, `to` a plain name or
// empty.
struct PlainRename {
  std::string from;
  std::string to;
};

// True when `name` is a plain name (or empty, when `allow_empty`).
bool IsPlainName(std::string_view name, bool allow_empty);

class PlainRewriter {
 public:
  // What one rewrite found.
  struct Result {
    bool touched = false;  // some rename matched somewhere
    // An upper bound of the length of the text after any one of the renames,
    // as the renames applied one by one would leave it.
    size_t max_length = 0;
    // The new text and its NUL fit the output buffer; when false, the output
    // is incomplete and `length` means nothing.
    bool fits = true;
    size_t length = 0;  // of the new text, when touched and fits
  };

  // Prepares `renames`, applied in this order, under the word rules of
  // `update_type` (0 or 1).
  PlainRewriter(int update_type, std::vector<PlainRename> renames);
  ~PlainRewriter();
  PlainRewriter(const PlainRewriter &) = delete;
  PlainRewriter &operator=(const PlainRewriter &) = delete;

  // Rewrites the `length` bytes at `text` (which may hold NUL bytes) into
  // `out`, which holds `capacity` bytes and must not overlap the text.  When
  // nothing matched, `out` is not written.  Otherwise it receives the new text
  // and a NUL, unless they do not fit (fits false; nothing is written beyond
  // `capacity`).
  Result Rewrite(const char *text, size_t length, char *out, size_t capacity);

  size_t rename_count() const { return renames_.size(); }

 private:
  class NameTable;
  // What the renames make of one run.
  struct Outcome {
    std::string text;   // the run after the last rename
    size_t max_length;  // its longest form along the way, itself included
    bool matched;       // some rename matched it
  };

  // The outcome of a run that some rename matches (worked out once per
  // distinct run), or NULL.
  const Outcome *Resolve(std::string_view run);
  Outcome Simulate(std::string_view run) const;
  // The first rename of `name` after the rename `after` (kNone: from the
  // start), or kNone.
  uint32_t NextRename(std::string_view name, uint32_t after) const;
  // True when some suffix of `run` that may start a name passes the filter.
  bool MayMatch(std::string_view run) const;
  size_t FilterBit(const char *first, size_t length, unsigned char last) const;
  bool FilterHit(const char *first, size_t length, unsigned char last) const;

  int update_type_;
  std::vector<PlainRename> renames_;
  // Every `from` name, with the indexes of its renames in increasing order.
  std::unique_ptr<NameTable> names_;
  std::vector<uint32_t> next_same_;  // next rename of the same name
  // Runs already resolved, with their outcome.
  std::unique_ptr<NameTable> memo_;
  std::vector<Outcome> outcomes_;
  // A bit per (first byte, last byte, length) hash of the `from` names: a run
  // whose bit is clear cannot match, and most runs are passed over on it.
  std::vector<uint64_t> filter_;
  bool word_[256];
  bool starts_after_[256];  // a name may start right after this byte
};

}  // namespace tov::update

#endif  // TOVUPDTR_UPDATE_PLAIN_REWRITER_H_
