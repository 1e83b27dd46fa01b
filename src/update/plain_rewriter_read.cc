// The search of a text that is read from a file a window at a time, each
// window ending between runs; the new text made as it is found, if asked.
#include "update/plain_rewriter.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <optional>
#include <thread>

#include "update/name_index.h"
#include "update/word_runs.h"

namespace tov::update {
namespace {
// What a piece of a text read from a file is read beyond its chunk, to find
// the end of its last run without reading again.
constexpr size_t kLookBeyond = 4096;
}  // namespace

// Makes the new text of a piece window by window, as the hits of each
// window come: the bytes between them as they are, a hit's new text in
// place of its run.  The text is made in room that grows by doubling and
// is written without being filled first.
class PlainRewriter::TextMaker final : public HitSink {
 public:
  explicit TextMaker(Changes::MadeText *made)
      : made_(made), used_(made->size()) {
    made_->resize(made_->capacity());
  }
  TextMaker(const TextMaker &) = delete;
  TextMaker &operator=(const TextMaker &) = delete;
  // Leaves the text as long as what was made.
  ~TextMaker() { made_->resize(used_); }

  // The next window: the text from `at` on is at `window`.
  void Start(const char *window, size_t at) {
    window_ = window;
    at_ = at;
    copied_ = 0;
  }

  void Take(const Hit *hits, size_t count) override {
    char *w = made_->data() + used_;
    char *limit = made_->data() + made_->size();
    for (size_t i = 0; i < count; ++i) {
      const Outcome &o = *hits[i].outcome;
      const size_t offset = hits[i].offset - at_;
      const size_t gap = offset - copied_;
      if (gap + o.text.size() > static_cast<size_t>(limit - w)) {
        used_ = static_cast<size_t>(w - made_->data());
        w = Room(gap + o.text.size());
        limit = made_->data() + made_->size();
      }
      CopyBytes(w, window_ + copied_, gap);
      w += gap;
      CopyBytes(w, o.text.data(), o.text.size());
      w += o.text.size();
      copied_ = offset + o.run_length;
    }
    used_ = static_cast<size_t>(w - made_->data());
  }

  // Ends the window `end` bytes from its start.
  void End(size_t end) {
    const size_t n = end - copied_;
    if (n > 0) std::memcpy(Room(n), window_ + copied_, n);
    used_ += n;
    copied_ = end;
  }

 private:
  // Where `need` more bytes go.
  char *Room(size_t need) {
    if (made_->size() - used_ < need) {
      made_->resize(used_);
      made_->reserve(std::max(used_ + need, 2 * made_->capacity()));
      made_->resize(made_->capacity());
    }
    return made_->data() + used_;
  }

  Changes::MadeText *made_;
  size_t used_;  // the bytes made so far
  const char *window_ = nullptr;
  size_t at_ = 0;      // the offset of the window in the text
  size_t copied_ = 0;  // the bytes of the window dealt with
};

bool PlainRewriter::FindInFile(const TextReader &read, size_t length,
                               unsigned pieces, size_t chunk, Changes *changes,
                               unsigned threads, Keep keep) {
  const bool dollar = update_type_ == 1;
  if (chunk == 0) chunk = 1;
  // Piece i holds the runs that start in [i * share, (i + 1) * share): it
  // begins at the first byte outside runs from its share's start (the
  // text's start for the first) and ends where the next one begins, which
  // may lie beyond its share.  A piece is read and searched a window at a
  // time; each window ends at a byte outside runs too, found in the same
  // way from `chunk` bytes on, so that no run is ever cut.
  pieces = std::max(1u, std::min(pieces, kMaxPieces));
  const size_t share = std::max<size_t>(length / pieces, 1);
  const size_t count =
      length == 0 ? 1 : std::min<size_t>(pieces, (length + share - 1) / share);
  changes->text_length_ = length;
  const size_t workers = std::min<size_t>(
      threads == 0 ? count : std::min<size_t>(threads, count), kMaxPieces);
  if (changes->buffers_.size() < workers) changes->buffers_.resize(workers);
  if (keep == Keep::kMakeText && changes->texts_.size() < count) {
    changes->texts_.resize(count);
  }
  std::atomic<bool> failed{false};
  auto is_run = [dollar](char c) {
    return IsRunByte(static_cast<unsigned char>(c), dollar);
  };
  SearchPieces(
      count, threads,
      [&](size_t i, size_t worker, Memo *memo, HitList *hits, Totals *totals) {
        std::vector<char> &buf = changes->buffers_[worker];
        size_t at = 0;  // text[at, at + loaded) is in buf
        size_t loaded = 0;
        // Reads from `from` on, a window and a little more (where a run
        // most often ends).
        auto load = [&](size_t from) {
          loaded = std::min(chunk + kLookBeyond, length - from);
          if (buf.size() < loaded) buf.resize(loaded);
          at = from;
          if (loaded > 0 && !read(from, buf.data(), loaded)) {
            failed = true;
            return false;
          }
          return true;
        };
        // The first byte outside runs from `from` on (`length` when none),
        // read as far as needed: the buffer then holds text[at, that].
        auto run_break = [&](size_t from, size_t *found) {
          size_t k = from - at;
          for (;;) {
            while (k < loaded && is_run(buf[k])) ++k;
            if (k < loaded || at + loaded == length) break;
            // The run goes on past what was read: read on.
            const size_t more = std::min(loaded, length - at - loaded);
            buf.resize(std::max(buf.size(), loaded + more));
            if (!read(at + loaded, buf.data() + loaded, more)) {
              failed = true;
              return false;
            }
            loaded += more;
          }
          *found = at + k;
          return true;
        };
        const size_t share_end = i + 1 == count ? length : (i + 1) * share;
        Changes::MadeText *made =
            keep == Keep::kMakeText ? &changes->texts_[i] : nullptr;
        if (made != nullptr) made->clear();
        size_t pos = 0;
        if (i > 0) {
          // A piece that is one run throughout has nothing of its own.
          size_t from = i * share;
          for (;;) {
            if (failed.load(std::memory_order_relaxed)) return;
            if (!load(from)) return;
            const size_t end = std::min(at + loaded, share_end);
            size_t k = 0;
            while (at + k < end && is_run(buf[k])) ++k;
            if (at + k < end) {
              pos = at + k;
              break;
            }
            if (end == share_end) return;
            from = end;
          }
        }
        if (keep == Keep::kHits) hits->reserve((share_end - pos) / kHitSpacing);
        // Room for the piece's text to double: growing it later would copy
        // what is made so far.  New room is backed by memory in one call
        // rather than a page fault at a time.
        if (made != nullptr && made->capacity() < 2 * (share_end - pos)) {
          made->reserve(2 * (share_end - pos));
          platform::PrefaultLarge(made->data(), made->capacity());
        }
        HitKeeper keeper(hits);
        std::optional<TextMaker> maker;
        if (made != nullptr) maker.emplace(made);
        HitSink *sink = keep == Keep::kHits ? static_cast<HitSink *>(&keeper)
                        : maker             ? &*maker
                                            : nullptr;
        for (;;) {
          if (failed.load(std::memory_order_relaxed)) return;
          if (!load(pos)) return;
          // The window ends at the first byte outside runs from its target
          // on; the last one at the piece's end, which is the next piece's
          // start.
          const size_t target = std::min(pos + chunk, share_end);
          size_t end = 0;
          if (!run_break(target, &end)) return;
          if (maker) maker->Start(buf.data(), at);
          FindInPiece(buf.data(), loaded, 0, end - at, at, memo, sink, totals);
          if (maker) maker->End(end - at);
          // A run that goes on past the share's end ends the piece too.
          if (end >= share_end) return;
          pos = end;
        }
      },
      changes);
  return !failed;
}

}  // namespace tov::update
