// The new text of a search: written whole into memory, or handed to a sink
// piece after piece, from a text in memory or read again from its file.
#include "update/plain_rewriter.h"

#include <algorithm>
#include <cstring>

#include "update/name_index.h"
#include "update/word_runs.h"

namespace tov::update {

bool PlainRewriter::EmitMade(const Changes &changes,
                             const platform::ContentSink &sink) {
  for (size_t i = 0; i < changes.pieces_; ++i) {
    const Changes::MadeText &text = changes.texts_[i];
    if (!text.empty() && !sink(text.data(), text.size())) return false;
  }
  return true;
}

void PlainRewriter::Apply(const char *text, size_t length,
                          const Changes &changes, char *out) {
  size_t copied = 0;  // text[0, copied) is in the output already
  char *w = out;
  for (size_t i = 0; i < changes.pieces_; ++i) {
    for (const Hit &hit : changes.parts_[i]) {
      CopyBytes(w, text + copied, hit.offset - copied);
      w += hit.offset - copied;
      CopyBytes(w, hit.outcome->text.data(), hit.outcome->text.size());
      w += hit.outcome->text.size();
      copied = hit.offset + hit.outcome->run_length;
    }
  }
  std::memcpy(w, text + copied, length - copied);
  w[length - copied] = '\0';
}

namespace {

// Hands a new text to a sink piece after piece: long stretches as they are,
// short ones gathered in a staging area first.  After a failed call of the
// sink it hands over nothing more.
class Gatherer {
 public:
  Gatherer(char *staging, size_t size, const platform::ContentSink &sink)
      : staging_(staging), size_(size), sink_(sink) {}

  void Put(const char *p, size_t n) {
    if (n >= size_ / 2) {
      Flush();
      if (ok_) ok_ = sink_(p, n);
      return;
    }
    if (n > size_ - filled_) Flush();
    CopyBytes(staging_ + filled_, p, n);
    filled_ += n;
  }
  // Hands over what is gathered; false once the sink has failed.
  bool Flush() {
    if (filled_ > 0 && ok_) ok_ = sink_(staging_, filled_);
    filled_ = 0;
    return ok_;
  }
  bool ok() const { return ok_; }

 private:
  char *staging_;
  size_t size_;
  const platform::ContentSink &sink_;
  size_t filled_ = 0;
  bool ok_ = true;
};

}  // namespace

bool PlainRewriter::Emit(const char *text, size_t length,
                         const Changes &changes, char *staging,
                         size_t staging_size,
                         const platform::ContentSink &sink) {
  Gatherer out(staging, staging_size, sink);
  size_t copied = 0;
  for (size_t i = 0; i < changes.pieces_; ++i) {
    for (const Hit &hit : changes.parts_[i]) {
      out.Put(text + copied, hit.offset - copied);
      out.Put(hit.outcome->text.data(), hit.outcome->text.size());
      copied = hit.offset + hit.outcome->run_length;
      if (!out.ok()) return false;
    }
  }
  out.Put(text + copied, length - copied);
  return out.Flush();
}

bool PlainRewriter::EmitFromFile(const TextReader &read, size_t length,
                                 const Changes &changes, char *window,
                                 size_t window_size, char *staging,
                                 size_t staging_size,
                                 const platform::ContentSink &sink) {
  if (window_size == 0) return false;  // nothing could ever be read
  Gatherer out(staging, staging_size, sink);
  // The window holds text[shown, shown_end): it is read on at the first
  // byte needed that it does not hold, so each byte is read once.
  size_t shown = 0;
  size_t shown_end = 0;
  auto copy = [&](size_t from, size_t to) {
    while (from < to && out.ok()) {
      if (from >= shown_end) {
        const size_t n = std::min(window_size, length - from);
        if (!read(from, window, n)) return false;
        shown = from;
        shown_end = from + n;
      }
      const size_t n = std::min(to, shown_end) - from;
      out.Put(window + (from - shown), n);
      from += n;
    }
    return out.ok();
  };
  size_t copied = 0;
  for (size_t i = 0; i < changes.pieces_; ++i) {
    for (const Hit &hit : changes.parts_[i]) {
      if (!copy(copied, hit.offset)) return false;
      out.Put(hit.outcome->text.data(), hit.outcome->text.size());
      copied = hit.offset + hit.outcome->run_length;
    }
  }
  return copy(copied, length) && out.Flush();
}

}  // namespace tov::update
