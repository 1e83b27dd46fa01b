#include "update/plain_rewriter.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace tov::update {
namespace {

constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

bool IsNameByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_';
}

uint64_t HashBytes(const char *p, size_t n) {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
  while (n >= 8) {
    uint64_t chunk;
    std::memcpy(&chunk, p, 8);
    h = (h ^ chunk) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 29;
    p += 8;
    n -= 8;
  }
  uint64_t tail = 0;
  std::memcpy(&tail, p, n);
  h = (h ^ tail) * 0xC4CEB9FE1A85EC53ull;
  return h ^ (h >> 32);
}

}  // namespace

bool IsPlainName(std::string_view name, bool allow_empty) {
  if (name.empty()) return allow_empty;
  for (char c : name) {
    if (!IsNameByte(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// An open-addressing table from byte strings (owned) to 32-bit values, sized
// to stay at most half full.
class PlainRewriter::NameTable {
 public:
  NameTable() { slots_.resize(16); }

  // The value of `key`, or kNone.
  uint32_t Find(std::string_view key) const {
    uint64_t h = HashBytes(key.data(), key.size());
    for (size_t i = h & (slots_.size() - 1);;
         i = (i + 1) & (slots_.size() - 1)) {
      const Slot &s = slots_[i];
      if (s.value == kNone) return kNone;
      if (s.hash == h && KeyOf(s) == key) return s.value;
    }
  }

  // Sets the value of `key`, adding it when new.
  void Set(std::string_view key, uint32_t value) {
    if ((count_ + 1) * 2 > slots_.size()) Grow();
    uint64_t h = HashBytes(key.data(), key.size());
    for (size_t i = h & (slots_.size() - 1);;
         i = (i + 1) & (slots_.size() - 1)) {
      Slot &s = slots_[i];
      if (s.value == kNone) {
        s.hash = h;
        s.offset = keys_.size();
        s.length = key.size();
        s.value = value;
        keys_.append(key.data(), key.size());
        ++count_;
        return;
      }
      if (s.hash == h && KeyOf(s) == key) {
        s.value = value;
        return;
      }
    }
  }

 private:
  struct Slot {
    uint64_t hash = 0;
    size_t offset = 0;
    size_t length = 0;
    uint32_t value = kNone;
  };

  std::string_view KeyOf(const Slot &s) const {
    return std::string_view(keys_).substr(s.offset, s.length);
  }

  void Grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    for (const Slot &s : old) {
      if (s.value == kNone) continue;
      size_t i = s.hash & (slots_.size() - 1);
      while (slots_[i].value != kNone) i = (i + 1) & (slots_.size() - 1);
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  std::string keys_;  // every key, back to back
  size_t count_ = 0;
};

PlainRewriter::PlainRewriter(int update_type, std::vector<PlainRename> renames)
    : update_type_(update_type),
      renames_(std::move(renames)),
      names_(std::make_unique<NameTable>()),
      memo_(std::make_unique<NameTable>()) {
  for (int c = 0; c < 256; ++c) {
    word_[c] = IsNameByte(static_cast<unsigned char>(c)) ||
               (update_type_ == 1 && c == '$');
    starts_after_[c] =
        update_type_ == 1 && ((c >= '0' && c <= '9') || c == '$');
  }
  // The filter has about 64 bits per name, from 2^16 to 2^24 bits.
  size_t bits = size_t{1} << 16;
  while (bits < renames_.size() * 64 && bits < (size_t{1} << 24)) bits <<= 1;
  filter_.assign(bits / 64, 0);

  // names_ maps a `from` name to the first of its renames; the renames of one
  // name are chained through next_same_ in increasing order.
  next_same_.assign(renames_.size(), kNone);
  std::vector<uint32_t> last_of(renames_.size(), kNone);
  for (uint32_t i = 0; i < renames_.size(); ++i) {
    const std::string &from = renames_[i].from;
    uint32_t first = names_->Find(from);
    if (first == kNone) {
      names_->Set(from, i);
      last_of[i] = i;
      const unsigned char last = static_cast<unsigned char>(from.back());
      size_t bit = FilterBit(from.data(), from.size(), last);
      filter_[bit / 64] |= uint64_t{1} << (bit % 64);
    } else {
      next_same_[last_of[first]] = i;
      last_of[first] = i;
    }
  }
}

PlainRewriter::~PlainRewriter() = default;

size_t PlainRewriter::FilterBit(const char *first, size_t length,
                                unsigned char last) const {
  uint64_t h = length * 0x9E3779B1ull ^
               static_cast<unsigned char>(*first) * 0x85EBCA77ull ^
               last * 0xC2B2AE3Dull;
  h ^= h >> 15;
  h *= 0x2C1B3C6Dull;
  h ^= h >> 12;
  return h & (filter_.size() * 64 - 1);
}

bool PlainRewriter::FilterHit(const char *first, size_t length,
                              unsigned char last) const {
  size_t bit = FilterBit(first, length, last);
  return (filter_[bit / 64] >> (bit % 64)) & 1;
}

bool PlainRewriter::MayMatch(std::string_view run) const {
  const unsigned char last = static_cast<unsigned char>(run.back());
  if (FilterHit(run.data(), run.size(), last)) return true;
  if (update_type_ != 1) return false;
  for (size_t k = 1; k < run.size(); ++k) {
    if (starts_after_[static_cast<unsigned char>(run[k - 1])] &&
        FilterHit(run.data() + k, run.size() - k, last)) {
      return true;
    }
  }
  return false;
}

uint32_t PlainRewriter::NextRename(std::string_view name,
                                   uint32_t after) const {
  uint32_t i = names_->Find(name);
  while (i != kNone && (after != kNone && i <= after)) i = next_same_[i];
  return i;
}

PlainRewriter::Outcome PlainRewriter::Simulate(std::string_view run) const {
  // Follows the run through the renames: at each step the earliest later
  // rename whose name the run ends with, at a place where a name may start,
  // is the next one that matches it.
  Outcome outcome{std::string(run), run.size(), false};
  uint32_t applied = kNone;
  for (;;) {
    const std::string &cur = outcome.text;
    uint32_t best = kNone;
    size_t best_start = 0;
    for (size_t k = 0; k < cur.size(); ++k) {
      if (k > 0 && !starts_after_[static_cast<unsigned char>(cur[k - 1])]) {
        continue;
      }
      uint32_t next = NextRename(std::string_view(cur).substr(k), applied);
      if (next != kNone && (best == kNone || next < best)) {
        best = next;
        best_start = k;
      }
    }
    if (best == kNone) return outcome;
    outcome.matched = true;
    outcome.text.resize(best_start);
    outcome.text += renames_[best].to;
    outcome.max_length = std::max(outcome.max_length, outcome.text.size());
    applied = best;
  }
}

const PlainRewriter::Outcome *PlainRewriter::Resolve(std::string_view run) {
  uint32_t known = memo_->Find(run);
  if (known == kNone) {
    Outcome outcome = Simulate(run);
    if (!outcome.matched) return nullptr;
    known = static_cast<uint32_t>(outcomes_.size());
    outcomes_.push_back(std::move(outcome));
    memo_->Set(run, known);
  }
  return &outcomes_[known];
}

PlainRewriter::Result PlainRewriter::Rewrite(const char *text, size_t length,
                                             char *out, size_t capacity) {
  Result result;
  size_t growth = 0;  // added up over the runs: longest form minus own size
  size_t copied = 0;  // text[0, copied) is in the output already
  size_t written = 0;
  // Appends n bytes at p unless the new text and its NUL would no longer fit.
  auto append = [&](const char *p, size_t n) {
    if (!result.fits || n >= capacity - written) {
      result.fits = false;
      return;
    }
    std::memcpy(out + written, p, n);
    written += n;
  };
  const char *const end = text + length;
  const char *p = text;
  while (p < end) {
    while (p < end && !word_[static_cast<unsigned char>(*p)]) ++p;
    const char *start = p;
    while (p < end && word_[static_cast<unsigned char>(*p)]) ++p;
    if (start == p) break;
    std::string_view run(start, static_cast<size_t>(p - start));
    if (!MayMatch(run)) continue;
    const Outcome *outcome = Resolve(run);
    if (outcome == nullptr) continue;
    result.touched = true;
    append(text + copied, static_cast<size_t>(start - text) - copied);
    append(outcome->text.data(), outcome->text.size());
    copied = static_cast<size_t>(p - text);
    growth += outcome->max_length - run.size();
  }
  result.max_length = length + growth;
  if (!result.touched) return result;
  append(text + copied, length - copied);
  if (result.fits) {
    out[written] = '\0';
    result.length = written;
  }
  return result;
}

}  // namespace tov::update
