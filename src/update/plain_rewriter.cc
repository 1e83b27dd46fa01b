#include "update/plain_rewriter.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>
#include <thread>

#if defined(__SSE2__) || defined(_M_X64) || \
    (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define TOV_WORD_MASK_SSE2 1
#endif
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>

#include "platform/platform.h"
#endif

// The few functions that run for every run of a text are always inlined.
#if defined(__GNUC__) || defined(__clang__)
#define TOV_HOT inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define TOV_HOT __forceinline
#else
#define TOV_HOT inline
#endif
#if defined(__GNUC__) || defined(__clang__)
#define TOV_PREFETCH(p) __builtin_prefetch(p)
#elif defined(TOV_WORD_MASK_SSE2)
#define TOV_PREFETCH(p) \
  _mm_prefetch(reinterpret_cast<const char *>(p), _MM_HINT_T0)
#else
#define TOV_PREFETCH(p) ((void)(p))
#endif

namespace {
// How far ahead of the block being classified the text is asked for.
constexpr size_t kReadAhead = 1024;
// The bytes of text per hit that the hit lists are made ready for at once.
constexpr size_t kHitSpacing = 64;
// What a piece of a text read from a file is read beyond its chunk, to find
// the end of its last run without reading again.
constexpr size_t kLookBeyond = 4096;
}  // namespace

namespace tov::update {
namespace {

constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

bool IsNameByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_';
}

// The bytes a run is made of: name bytes, and under update type 1 '$'.
bool IsRunByte(unsigned char c, bool dollar) {
  return IsNameByte(c) || (dollar && c == '$');
}

// Under update type 1 a name may start right after these bytes inside a run.
bool StartsAfter(unsigned char c) { return (c >= '0' && c <= '9') || c == '$'; }

TOV_HOT unsigned LowestBit(uint64_t v) {  // v != 0
#if defined(_MSC_VER) && !defined(__clang__)
  unsigned long i;
  _BitScanForward64(&i, v);
  return static_cast<unsigned>(i);
#else
  return static_cast<unsigned>(__builtin_ctzll(v));
#endif
}

// ---- Hashing and comparing runs and names ---------------------------------

// The 8 bytes at p as a little-endian number.
TOV_HOT uint64_t Load64(const unsigned char *p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

// The words a run or a name is hashed and compared by: its first 8 bytes,
// and its next 8 bytes (beyond 16 bytes: its last 8), as little-endian
// numbers with zeros after a shorter name.
struct KeyWords {
  uint64_t head;
  uint64_t tail;
};

// The key words of the n > 0 bytes at p; what lies between p and `end` may
// be read, and whether it is does not change them.
TOV_HOT KeyWords WordsOf(const unsigned char *p, size_t n,
                         const unsigned char *end) {
  if (n < 8) {
    if (end - p >= 8) return {Load64(p) & ((uint64_t{1} << (8 * n)) - 1), 0};
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= uint64_t{p[i]} << (8 * i);
    return {v, 0};
  }
  const uint64_t head = Load64(p);
  if (n == 8) return {head, 0};
  // Loaded from the end backwards, so that nothing after the name is read.
  const uint64_t last = Load64(p + n - 8);
  return {head, n <= 16 ? last >> (8 * (16 - n)) : last};
}

constexpr uint64_t kMulA = 0x9E3779B97F4A7C15ull;
constexpr uint64_t kMulB = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t kMulC = 0xFF51AFD7ED558CCDull;

// A hash of the n bytes at p whose key words are `w`.
TOV_HOT uint64_t HashWords(const unsigned char *p, size_t n, KeyWords w) {
  uint64_t h = (w.head * kMulA) ^ (w.tail * kMulB) ^ n;
  for (size_t i = 8; i + 8 < n; i += 8)
    h = (h ^ (h >> 31) ^ Load64(p + i)) * kMulC;
  h ^= h >> 32;
  h *= kMulC;
  h ^= h >> 29;
  return h;
}

uint64_t HashOf(std::string_view s) {
  if (s.empty()) return 0;
  const auto *p = reinterpret_cast<const unsigned char *>(s.data());
  return HashWords(p, s.size(), WordsOf(p, s.size(), p + s.size()));
}

// ---- Finding where names may start ---------------------------------------

TOV_HOT unsigned HighestBit(uint64_t v) {  // v != 0
#if defined(_MSC_VER) && !defined(__clang__)
  unsigned long i;
  _BitScanReverse64(&i, v);
  return static_cast<unsigned>(i);
#else
  return 63 - static_cast<unsigned>(__builtin_clzll(v));
#endif
}

// What a block of up to 64 bytes holds, a bit per byte.
struct BlockMasks {
  uint64_t run;    // run bytes
  uint64_t after;  // digits and '$' (update type 1)
  uint64_t first;  // bytes that some name starts with
};

// Tells the bytes of a text apart, 64 at a time.  The bytes that names start
// with are told only when there are few of them (a list of renames often
// shares a prefix); otherwise every byte counts as one.
class BlockClassifier {
 public:
  static constexpr int kMaxFirst = 8;

  // `first_count` bytes at `first` (-1: any byte).
  BlockClassifier(bool dollar, const unsigned char *first, int first_count)
      : dollar_(dollar),
        first_count_(first_count > kMaxFirst ? -1 : first_count) {
    for (int c = 0; c < 256; ++c) {
      const auto b = static_cast<unsigned char>(c);
      run_[c] = IsRunByte(b, dollar);
      after_[c] = dollar && StartsAfter(b);
      first_[c] = first_count_ < 0;
    }
    for (int i = 0; i < first_count_; ++i) {
      first_bytes_[i] = first[i];
      first_[first[i]] = true;
    }
  }

  // The masks of the n <= 64 bytes at p.
  TOV_HOT BlockMasks Classify(const unsigned char *p, size_t n) const {
#ifdef TOV_WORD_MASK_SSE2
    if (n == 64) return Classify64(p);
#endif
    BlockMasks m = {0, 0, 0};
    for (size_t i = 0; i < n; ++i) {
      m.run |= uint64_t{run_[p[i]]} << i;
      m.after |= uint64_t{after_[p[i]]} << i;
      m.first |= uint64_t{first_[p[i]]} << i;
    }
    return m;
  }

 private:
#ifdef TOV_WORD_MASK_SSE2
  TOV_HOT BlockMasks Classify64(const unsigned char *p) const {
    // Shifted by an offset, each range of wanted bytes becomes the lowest
    // signed values, so that one signed comparison tests it.
    const __m128i digit_shift = _mm_set1_epi8(static_cast<char>(0x80 - '0'));
    const __m128i digit_limit = _mm_set1_epi8(static_cast<char>(0x80 + 10));
    const __m128i lower = _mm_set1_epi8(0x20);
    const __m128i alpha_shift = _mm_set1_epi8(static_cast<char>(0x80 - 'a'));
    const __m128i alpha_limit = _mm_set1_epi8(static_cast<char>(0x80 + 26));
    const __m128i underscore = _mm_set1_epi8('_');
    const __m128i dollar = _mm_set1_epi8('$');
    BlockMasks m = {0, 0, ~uint64_t{0}};
    uint64_t first = 0;
    for (int i = 0; i < 4; ++i) {
      const __m128i v =
          _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * i));
      const __m128i digit =
          _mm_cmplt_epi8(_mm_add_epi8(v, digit_shift), digit_limit);
      const __m128i alpha = _mm_cmplt_epi8(
          _mm_add_epi8(_mm_or_si128(v, lower), alpha_shift), alpha_limit);
      __m128i run = _mm_or_si128(_mm_or_si128(digit, alpha),
                                 _mm_cmpeq_epi8(v, underscore));
      if (dollar_) {
        const __m128i after = _mm_or_si128(digit, _mm_cmpeq_epi8(v, dollar));
        run = _mm_or_si128(run, after);
        m.after |= Bits(after) << (16 * i);
      }
      m.run |= Bits(run) << (16 * i);
      if (first_count_ >= 0) {
        __m128i hit = _mm_setzero_si128();
        for (int k = 0; k < first_count_; ++k) {
          hit = _mm_or_si128(
              hit, _mm_cmpeq_epi8(
                       v, _mm_set1_epi8(static_cast<char>(first_bytes_[k]))));
        }
        first |= Bits(hit) << (16 * i);
      }
    }
    if (first_count_ >= 0) m.first = first;
    return m;
  }

  static TOV_HOT uint64_t Bits(__m128i v) {
    return static_cast<uint16_t>(_mm_movemask_epi8(v));
  }
#endif

  bool dollar_;
  int first_count_;
  unsigned char first_bytes_[kMaxFirst] = {};
  bool run_[256];
  bool after_[256];
  bool first_[256];
};

}  // namespace

bool IsPlainName(std::string_view name, bool allow_empty) {
  if (name.empty()) return allow_empty;
  for (char c : name) {
    if (!IsNameByte(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// An open-addressing table from byte strings (copied in) to 32-bit values,
// at most half full.
class PlainRewriter::NameTable {
 public:
  explicit NameTable(size_t expected) {
    size_t slots = 16;
    while (slots < 2 * expected) slots *= 2;
    slots_.resize(slots);
  }

  // The value of `key` (whose hash is `hash`, by HashOf), or kNone.
  uint32_t Find(uint64_t hash, std::string_view key) const {
    const uint32_t check = static_cast<uint32_t>(hash >> 32);
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot &s = slots_[i];
      if (s.value == kNone) return kNone;
      if (s.check == check && KeyOf(s) == key) return s.value;
    }
  }

  // Sets the value of `key`, adding it when new.  False when the key cannot
  // be kept (the table holds 4 GB of keys).
  bool Set(uint64_t hash, std::string_view key, uint32_t value) {
    const uint32_t check = static_cast<uint32_t>(hash >> 32);
    size_t i = hash & (slots_.size() - 1);
    for (; slots_[i].value != kNone; i = (i + 1) & (slots_.size() - 1)) {
      Slot &s = slots_[i];
      if (s.check == check && KeyOf(s) == key) {
        s.value = value;
        return true;
      }
    }
    constexpr size_t kMaxKeys = std::numeric_limits<uint32_t>::max();
    if (key.size() > kMaxKeys - keys_.size()) return false;
    if ((count_ + 1) * 2 > slots_.size()) {
      Grow();
      i = hash & (slots_.size() - 1);
      while (slots_[i].value != kNone) i = (i + 1) & (slots_.size() - 1);
    }
    Slot &s = slots_[i];
    s.check = check;
    s.value = value;
    s.offset = static_cast<uint32_t>(keys_.size());
    s.length = static_cast<uint32_t>(key.size());
    s.hash_low = static_cast<uint32_t>(hash);
    keys_.append(key.data(), key.size());
    ++count_;
    return true;
  }

 private:
  struct Slot {
    uint32_t check = 0;  // the high half of the key's hash
    uint32_t value = kNone;
    uint32_t offset = 0;
    uint32_t length = 0;
    uint32_t hash_low = 0;  // the low half, for growing
  };

  std::string_view KeyOf(const Slot &s) const {
    return std::string_view(keys_).substr(s.offset, s.length);
  }

  void Grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (const Slot &s : old) {
      if (s.value == kNone) continue;
      size_t i = s.hash_low & mask;
      while (slots_[i].value != kNone) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  std::string keys_;  // every key, back to back
  size_t count_ = 0;
};

// The `from` names, looked up for nearly every place where a name may start:
// kept small and compared by whole words, each name's entry in the slot its
// hash leads to (one memory access, which the search asks for ahead of
// time).  A filter in front of it passes over most runs that are no name
// without reaching the slots.
class PlainRewriter::NameIndex {
 public:
  struct alignas(32) Entry {
    uint64_t head;  // the key words of the name
    uint64_t tail;
    uint32_t length;  // 0 in a free slot
    uint32_t first;   // the name's first rename
    // Update type 0: its outcome's longest form less the name's length,
    // and its new length.
    uint32_t growth;
    uint32_t new_length;
  };

  // What a lookup works out before it reads the index.
  struct Probe {
    KeyWords words;
    uint64_t hash;
  };

  explicit NameIndex(size_t expected) {
    size_t slots = 16;
    while (slots < 2 * expected) slots *= 2;
    slots_.assign(slots, Entry{0, 0, 0, 0, 0, 0});
    names_.assign(slots, nullptr);
    // At least 32 filter bits per name, from 2^12 to 2^24 bits.
    int bits_log = 12;
    while ((size_t{1} << bits_log) < expected * 32 && bits_log < 24) {
      ++bits_log;
    }
    filter_.assign((size_t{1} << bits_log) / 64, 0);
    filter_shift_ = 64 - bits_log;
  }

  // False when no name has `n` bytes; otherwise fills *probe for the n bytes
  // at p (what lies between p and `end` may be read).
  TOV_HOT bool Prepare(const unsigned char *p, size_t n,
                       const unsigned char *end, Probe *probe) const {
    if (n > longest_ || !((lengths_ >> (n < 64 ? n : 0)) & 1)) return false;
    probe->words = WordsOf(p, n, end);
    probe->hash = HashWords(p, n, probe->words);
    return true;
  }

  // Asks for the memory that Lookup of `probe` reads first.
  TOV_HOT void Prefetch(const Probe &probe) const {
    const uint64_t bit = probe.hash >> filter_shift_;
    TOV_PREFETCH(&filter_[bit / 64]);
    TOV_PREFETCH(&slots_[probe.hash & (slots_.size() - 1)]);
  }

  // The entry of the n bytes at p that `probe` was prepared for, or NULL.
  TOV_HOT const Entry *Lookup(const Probe &probe, const unsigned char *p,
                              size_t n) const {
    const uint64_t bit = probe.hash >> filter_shift_;
    if (!((filter_[bit / 64] >> (bit % 64)) & 1)) return nullptr;
    const size_t mask = slots_.size() - 1;
    for (size_t i = probe.hash & mask;; i = (i + 1) & mask) {
      const Entry &e = slots_[i];
      if (e.length == 0) return nullptr;
      if (e.length == n && e.head == probe.words.head &&
          e.tail == probe.words.tail &&
          (n <= 16 || std::memcmp(names_[i], p, n) == 0)) {
        return &e;
      }
    }
  }

  const Entry *Find(std::string_view name) const {
    if (name.empty()) return nullptr;
    const auto *p = reinterpret_cast<const unsigned char *>(name.data());
    Probe probe;
    if (!Prepare(p, name.size(), p + name.size(), &probe)) return nullptr;
    return Lookup(probe, p, name.size());
  }

  // Adds `name` (kept by the caller for the index's life), which is not in
  // the index yet, with its first rename.
  void Add(std::string_view name, uint32_t first) {
    if (name.size() >= kNone) throw std::length_error("name index");
    const auto *p = reinterpret_cast<const unsigned char *>(name.data());
    const KeyWords w = WordsOf(p, name.size(), p + name.size());
    const uint64_t h = HashWords(p, name.size(), w);
    const uint64_t bit = h >> filter_shift_;
    filter_[bit / 64] |= uint64_t{1} << (bit % 64);
    longest_ = std::max(longest_, name.size());
    lengths_ |= uint64_t{1} << (name.size() < 64 ? name.size() : 0);
    if (first_count_ >= 0 &&
        std::find(first_bytes_, first_bytes_ + first_count_, p[0]) ==
            first_bytes_ + first_count_) {
      if (first_count_ < BlockClassifier::kMaxFirst) {
        first_bytes_[first_count_++] = p[0];
      } else {
        first_count_ = -1;
      }
    }
    if ((count_ + 1) * 2 > slots_.size()) Grow();
    Place(
        h,
        Entry{w.head, w.tail, static_cast<uint32_t>(name.size()), first, 0, 0},
        name.data());
    ++count_;
  }

  // The slots, free ones included (length 0), and the slot of an entry.
  std::vector<Entry> &slots() { return slots_; }
  size_t SlotOf(const Entry *e) const {
    return static_cast<size_t>(e - slots_.data());
  }
  size_t longest() const { return longest_; }
  // The bytes that the names start with, when there are few of them
  // (count -1 otherwise).
  const unsigned char *first_bytes() const { return first_bytes_; }
  int first_count() const { return first_count_; }

 private:
  void Place(uint64_t h, const Entry &e, const char *name) {
    const size_t mask = slots_.size() - 1;
    size_t i = h & mask;
    while (slots_[i].length != 0) i = (i + 1) & mask;
    slots_[i] = e;
    names_[i] = name;
  }

  void Grow() {
    std::vector<Entry> old_slots(slots_.size() * 2, Entry{0, 0, 0, 0, 0, 0});
    std::vector<const char *> old_names(slots_.size() * 2, nullptr);
    old_slots.swap(slots_);
    old_names.swap(names_);
    for (size_t k = 0; k < old_slots.size(); ++k) {
      const Entry &e = old_slots[k];
      if (e.length == 0) continue;
      const auto *p = reinterpret_cast<const unsigned char *>(old_names[k]);
      Place(HashWords(p, e.length, KeyWords{e.head, e.tail}), e, old_names[k]);
    }
  }

  std::vector<Entry> slots_;
  std::vector<const char *> names_;  // each slot's name
  size_t count_ = 0;
  std::vector<uint64_t> filter_;
  int filter_shift_ = 0;
  // Which name lengths occur: bit n for length n < 64, bit 0 for longer.
  uint64_t lengths_ = 0;
  size_t longest_ = 0;
  unsigned char first_bytes_[BlockClassifier::kMaxFirst] = {};
  int first_count_ = 0;
};

// The runs that one piece of Find resolved under update type 1.
struct PlainRewriter::Memo {
  Memo() : runs(64) {}
  NameTable runs;  // a run and the index of its outcome
  // Neither moves what it holds as it grows: outcomes point into texts, and
  // hits into outcomes.
  std::deque<Outcome> outcomes;
  std::deque<std::string> texts;
  // The renames that each outcome went through, one after the other:
  // those of outcome k end at applied_end[k].
  std::vector<uint32_t> applied;
  std::vector<size_t> applied_end;
  // 1 for each outcome that a hit took (under update type 0, by the index
  // of the name's first rename).  A byte each, stored without a read, so
  // that telling which renames matched costs the search next to nothing.
  std::vector<unsigned char> met;
};

PlainRewriter::PlainRewriter(int update_type, std::vector<PlainRename> renames,
                             bool together)
    : update_type_(update_type),
      together_(together),
      renames_(std::move(renames)),
      names_(std::make_unique<NameIndex>(renames_.size())) {
  if (renames_.size() >= kNone) throw std::length_error("too many renames");
  // names_ gives a `from` name's first rename; the renames of one name are
  // chained through next_same_ in increasing order.
  next_same_.assign(renames_.size(), kNone);
  std::vector<uint32_t> last_of(renames_.size(), kNone);
  for (uint32_t i = 0; i < renames_.size(); ++i) {
    const std::string &from = renames_[i].from;
    const NameIndex::Entry *known = names_->Find(from);
    if (known == nullptr) {
      names_->Add(from, i);
      last_of[i] = i;
    } else {
      next_same_[last_of[known->first]] = i;
      last_of[known->first] = i;
    }
  }
  if (update_type_ == 0) ComposeWholeRuns();
}

PlainRewriter::~PlainRewriter() = default;

void PlainRewriter::ComposeWholeRuns() {
  // Under update type 0 a run is matched only by renames of the run itself,
  // so what follows rename i depends on i alone: the first later rename of
  // its new name, and so on.  Worked out from the last rename back, each
  // rename's end is known when an earlier one leads to it.
  const size_t n = renames_.size();
  std::vector<NameIndex::Entry> &slots = names_->slots();
  std::vector<uint32_t> last(n);   // the rename whose new name ends it
  std::vector<size_t> longest(n);  // its longest new name along the way
  // For each name (by its slot), its first rename after the one looked at.
  std::vector<uint32_t> first_after(slots.size(), kNone);
  // Renames applied together never follow each other.
  chain_next_.assign(n, kNone);
  std::vector<uint32_t> steps(n, 1);
  for (size_t i = n; i-- > 0;) {
    const NameIndex::Entry *to =
        together_ ? nullptr : names_->Find(renames_[i].to);
    const uint32_t next =
        to == nullptr ? kNone : first_after[names_->SlotOf(to)];
    chain_next_[i] = next;
    if (next == kNone) {
      last[i] = static_cast<uint32_t>(i);
      longest[i] = renames_[i].to.size();
    } else {
      last[i] = last[next];
      longest[i] = std::max(renames_[i].to.size(), longest[next]);
      steps[i] = steps[next] + 1;
    }
    first_after[names_->SlotOf(names_->Find(renames_[i].from))] =
        static_cast<uint32_t>(i);
  }
  // A run is resolved through the first rename of its name.
  outcomes_.resize(n);
  for (NameIndex::Entry &e : slots) {
    if (e.length == 0) continue;
    const std::string &to = renames_[last[e.first]].to;
    const size_t max_length = std::max<size_t>(e.length, longest[e.first]);
    outcomes_[e.first] = Outcome{to, e.length, max_length, steps[e.first]};
    e.growth = static_cast<uint32_t>(max_length - e.length);
    e.new_length = static_cast<uint32_t>(to.size());
  }
}

uint32_t PlainRewriter::NextRename(std::string_view name,
                                   uint32_t after) const {
  const NameIndex::Entry *e = names_->Find(name);
  uint32_t i = e == nullptr ? kNone : e->first;
  while (i != kNone && (after != kNone && i <= after)) i = next_same_[i];
  return i;
}

std::string PlainRewriter::Simulate(std::string_view run, size_t *max_length,
                                    std::vector<uint32_t> *applied) const {
  // Follows the run through the renames: at each step the earliest later
  // rename whose name the run ends with, at a place where a name may start,
  // is the next one that matches it.  Applied together, the longest name
  // that ends the run is the one replaced, and nothing after it.
  std::string cur(run);
  *max_length = run.size();
  uint32_t done = kNone;
  for (;;) {
    uint32_t best = kNone;
    size_t best_start = 0;
    // No name is longer than the longest one.
    const size_t longest = names_->longest();
    const size_t first = cur.size() > longest ? cur.size() - longest : 0;
    for (size_t k = first; k < cur.size(); ++k) {
      if (k > 0 && (update_type_ != 1 ||
                    !StartsAfter(static_cast<unsigned char>(cur[k - 1])))) {
        continue;
      }
      uint32_t next = NextRename(std::string_view(cur).substr(k), done);
      if (next != kNone && (best == kNone || next < best)) {
        best = next;
        best_start = k;
        if (together_) break;
      }
    }
    if (best == kNone) return cur;
    applied->push_back(best);
    cur.resize(best_start);
    cur += renames_[best].to;
    *max_length = std::max(*max_length, cur.size());
    if (together_) return cur;
    done = best;
  }
}

const PlainRewriter::Outcome *PlainRewriter::Resolve(std::string_view run,
                                                     Memo *memo) const {
  const uint64_t h = HashOf(run);
  uint32_t known = memo->runs.Find(h, run);
  if (known != kNone) {
    memo->met[known] = 1;
    return &memo->outcomes[known];
  }
  size_t max_length = 0;
  const size_t before = memo->applied.size();
  memo->texts.push_back(Simulate(run, &max_length, &memo->applied));
  memo->applied_end.push_back(memo->applied.size());
  memo->met.push_back(1);
  memo->outcomes.push_back(
      Outcome{memo->texts.back(), run.size(), max_length,
              static_cast<uint32_t>(memo->applied.size() - before)});
  // A run too long to be kept is resolved again when met again.
  memo->runs.Set(h, run, static_cast<uint32_t>(memo->outcomes.size() - 1));
  return &memo->outcomes.back();
}

void PlainRewriter::FindInPiece(const char *text, size_t length, size_t begin,
                                size_t end, size_t base, Memo *memo,
                                HitList *hits, Totals *totals) const {
  // A name matches where it may start (the start of a run; under update
  // type 1 also right after a digit or a '$' in a run) and runs to the end
  // of the run.  The places where a name may start are read off the masks
  // of each block of 64 bytes, and only those are looked up.  They are
  // looked up a batch at a time: the memory each lookup reads is asked for
  // when the place is found, and read when the batch is full, so that the
  // waits for it overlap.
  const auto *t = reinterpret_cast<const unsigned char *>(text);
  const unsigned char *text_end = t + length;
  const NameIndex &names = *names_;
  const bool type1 = update_type_ == 1;
  const BlockClassifier classifier(type1, names.first_bytes(),
                                   names.first_count());
  auto masks_at = [&](size_t block) {
    BlockMasks m = classifier.Classify(
        t + block, length - block < 64 ? length - block : 64);
    if (end - block < 64) {
      const uint64_t keep = (uint64_t{1} << (end - block)) - 1;
      m.run &= keep;
      m.after &= keep;
      m.first &= keep;
    }
    return m;
  };
  // The end of the run that goes on at `pos`, the start of a block.
  auto run_end_from = [&](size_t pos) {
    for (; pos < end; pos += 64) {
      const uint64_t run = masks_at(pos).run;
      if (run != ~uint64_t{0}) return pos + LowestBit(~run);
    }
    return end;
  };

  // A place where a name may start, found and waiting for its lookup.
  struct Pending {
    size_t pos;    // where the name would start
    size_t stop;   // the end of its run
    size_t start;  // the start of its run
    NameIndex::Probe probe;
  };
  constexpr int kBatch = 16;
  Pending batch[kBatch];
  int waiting = 0;
  size_t resolved_end = begin;  // the end of the last run resolved
  auto look_up = [&] {
    for (int i = 0; i < waiting; ++i) {
      const Pending &c = batch[i];
      if (c.pos < resolved_end) continue;  // in a run already resolved
      const NameIndex::Entry *name =
          names.Lookup(c.probe, t + c.pos, c.stop - c.pos);
      if (name == nullptr) continue;
      if (!type1) {
        const Outcome &o = outcomes_[name->first];
        hits->push_back(Hit{base + c.pos, &o});
        memo->met[name->first] = 1;
        ++totals->hits;
        totals->steps += o.steps;
        totals->growth += name->growth;
        totals->added += name->new_length;
        totals->removed += name->length;
        continue;
      }
      // Some rename matches the run: what they make of it depends on all of
      // it, from its start.
      const Outcome *o =
          Resolve(std::string_view(text + c.start, c.stop - c.start), memo);
      hits->push_back(Hit{base + c.start, o});
      ++totals->hits;
      totals->steps += o->steps;
      totals->growth += o->max_length - o->run_length;
      totals->added += o->text.size();
      totals->removed += o->run_length;
      resolved_end = c.stop;
    }
    waiting = 0;
  };

  uint64_t carry_run = 0;     // 1 when the byte before the block is a run byte
  uint64_t carry_after = 0;   // 1 when it is a digit or a '$'
  size_t open_start = begin;  // where the run open at the block start began
  for (size_t block = begin; block < end; block += 64) {
    // The text is read once, from front to back: it is asked for well
    // ahead, so that its reading overlaps the work on what came before.
    if (block + kReadAhead < end) TOV_PREFETCH(t + block + kReadAhead);
    const BlockMasks m = masks_at(block);
    const uint64_t starts = m.run & ~((m.run << 1) | carry_run);
    uint64_t candidates = starts;
    if (type1) candidates |= ((m.after << 1) | carry_after) & m.run;
    candidates &= m.first;
    while (candidates != 0) {
      const unsigned c = LowestBit(candidates);
      candidates &= candidates - 1;
      Pending &p = batch[waiting];
      p.pos = block + c;
      const uint64_t beyond = ~m.run & (~uint64_t{0} << c);
      p.stop =
          beyond != 0 ? block + LowestBit(beyond) : run_end_from(block + 64);
      if (!names.Prepare(t + p.pos, p.stop - p.pos, text_end, &p.probe)) {
        continue;
      }
      if (type1) {
        const uint64_t before = ~m.run & ((uint64_t{1} << c) - 1);
        p.start = before != 0 ? block + HighestBit(before) + 1
                  : carry_run ? open_start
                              : block;
      }
      names.Prefetch(p.probe);
      if (++waiting == kBatch) look_up();
    }
    if (m.run >> 63) {
      const uint64_t breaks = ~m.run;
      if (breaks != 0) {
        open_start = block + HighestBit(breaks) + 1;
      } else if (!carry_run) {
        open_start = block;
      }
    }
    carry_run = m.run >> 63;
    carry_after = m.after >> 63;
  }
  look_up();
}

void PlainRewriter::SearchPieces(size_t count, unsigned threads,
                                 const PieceSearch &search, Changes *changes) {
  const bool dollar = update_type_ == 1;
  const size_t workers = std::min<size_t>(
      threads == 0 ? count : std::min<size_t>(threads, count), kMaxPieces);
  if (changes->parts_.size() < count) changes->parts_.resize(count);
  while (memos_.size() < workers) {
    memos_.push_back(std::make_unique<Memo>());
    if (!dollar) memos_.back()->met.assign(renames_.size(), 0);
  }
  std::vector<Totals> totals(count);
  std::vector<std::exception_ptr> errors(count);
  // Each worker takes the next piece nobody has taken, so that a worker
  // held up (by the system, or by a piece full of hits) leaves its share to
  // the others.  A worker has a memo of its own.
  std::atomic<size_t> next_piece{0};
  auto work = [&](size_t worker) {
    Memo *memo = memos_[worker].get();
    for (size_t i; (i = next_piece.fetch_add(1)) < count;) {
      try {
        HitList &hits = changes->parts_[i];
        hits.clear();
        search(i, worker, memo, &hits, &totals[i]);
      } catch (...) {
        errors[i] = std::current_exception();
      }
    }
  };
  {
    // Joins the threads on every way out of this block.
    struct Threads {
      std::thread list[kMaxPieces];
      ~Threads() {
        for (std::thread &t : list) {
          if (t.joinable()) t.join();
        }
      }
    } pool;
    if (workers > 1) {
      const platform::SignalsHeldBack held;
      for (size_t k = 1; k < workers; ++k) {
        try {
          pool.list[k] = std::thread(work, k);
        } catch (...) {
          break;  // no thread to be had: the others search its pieces
        }
      }
    }
    work(0);
  }
  for (size_t i = 0; i < count; ++i) {
    if (errors[i]) std::rethrow_exception(errors[i]);
  }

  ++searches_;
  changes->pieces_ = count;
  changes->hits_ = 0;
  Totals all;
  changes->replacements_ = 0;
  for (size_t i = 0; i < count; ++i) {
    changes->hits_ += totals[i].hits;
    changes->replacements_ += totals[i].steps;
    all.growth += totals[i].growth;
    all.added += totals[i].added;
    all.removed += totals[i].removed;
  }
  changes->max_length_ = changes->text_length_ + all.growth;
  changes->length_ = changes->text_length_ - all.removed + all.added;
}

void PlainRewriter::Find(const char *text, size_t length, unsigned pieces,
                         Changes *changes, unsigned threads) {
  const bool dollar = update_type_ == 1;
  // The pieces are cut at bytes outside runs, so that no run is cut.
  pieces = std::max(1u, std::min(pieces, kMaxPieces));
  size_t cuts[kMaxPieces + 1] = {0};
  size_t count = 1;
  for (unsigned i = 1; i < pieces; ++i) {
    size_t at = std::max(length / pieces * i, cuts[count - 1] + 1);
    while (at < length &&
           IsRunByte(static_cast<unsigned char>(text[at]), dollar)) {
      ++at;
    }
    if (at >= length) break;
    cuts[count++] = at;
  }
  cuts[count] = length;
  changes->text_length_ = length;
  SearchPieces(
      count, threads,
      [&](size_t i, size_t, Memo *memo, HitList *hits, Totals *totals) {
        // Room for a hit every kHitSpacing bytes from the start: a vector
        // that doubled its way there would copy its hits again and again,
        // into memory new each time.  Beyond a large block the room is only
        // address space until hits are written into it.
        hits->reserve((cuts[i + 1] - cuts[i]) / kHitSpacing);
        FindInPiece(text, length, cuts[i], cuts[i + 1], 0, memo, hits, totals);
      },
      changes);
}

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
        std::vector<char> *made =
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
        if (made != nullptr) made->reserve(share_end - pos);
        for (;;) {
          if (failed.load(std::memory_order_relaxed)) return;
          if (!load(pos)) return;
          // The window ends at the first byte outside runs from its target
          // on; the last one at the piece's end, which is the next piece's
          // start.
          const size_t target = std::min(pos + chunk, share_end);
          size_t end = 0;
          if (!run_break(target, &end)) return;
          FindInPiece(buf.data(), loaded, 0, end - at, at, memo, hits, totals);
          if (made != nullptr) {
            // The window's new text, from its text and its hits, written
            // into room made for the most it can take.
            size_t most = end - at;
            for (const Hit &hit : *hits) most += hit.outcome->text.size();
            const size_t before = made->size();
            if (made->capacity() < before + most) {
              made->reserve(std::max(before + most, 2 * made->capacity()));
            }
            made->resize(before + most);
            char *w = made->data() + before;
            size_t copied = 0;
            for (const Hit &hit : *hits) {
              const size_t offset = hit.offset - at;
              std::memcpy(w, buf.data() + copied, offset - copied);
              w += offset - copied;
              std::memcpy(w, hit.outcome->text.data(),
                          hit.outcome->text.size());
              w += hit.outcome->text.size();
              copied = offset + hit.outcome->run_length;
            }
            std::memcpy(w, buf.data() + copied, end - at - copied);
            w += end - at - copied;
            made->resize(static_cast<size_t>(w - made->data()));
          }
          if (keep != Keep::kHits) hits->clear();
          // A run that goes on past the share's end ends the piece too.
          if (end >= share_end) return;
          pos = end;
        }
      },
      changes);
  return !failed;
}

bool PlainRewriter::EmitMade(const Changes &changes,
                             const platform::ContentSink &sink) {
  for (size_t i = 0; i < changes.pieces_; ++i) {
    const std::vector<char> &text = changes.texts_[i];
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
      std::memcpy(w, text + copied, hit.offset - copied);
      w += hit.offset - copied;
      std::memcpy(w, hit.outcome->text.data(), hit.outcome->text.size());
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
    std::memcpy(staging_ + filled_, p, n);
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

bool PlainRewriter::InRun(char c) const {
  return IsRunByte(static_cast<unsigned char>(c), update_type_ == 1);
}

bool PlainRewriter::CannotOutgrow(size_t factor) const {
  if (update_type_ != 0) return false;
  for (const Outcome &o : outcomes_) {
    // Entries of renames that are not a name's first one stay empty.
    if (o.run_length == 0) continue;
    // max_length >= factor * run_length, without the product.
    if (o.max_length / factor >= o.run_length) return false;
  }
  return true;
}

void PlainRewriter::MarkMatched(std::vector<unsigned char> *matched) const {
  for (const std::unique_ptr<Memo> &memo : memos_) {
    for (size_t k = 0; k < memo->met.size(); ++k) {
      if (memo->met[k] == 0) continue;
      if (update_type_ == 0) {
        for (uint32_t i = static_cast<uint32_t>(k); i != kNone;
             i = chain_next_[i]) {
          (*matched)[i] = 1;
        }
      } else {
        const size_t from = k == 0 ? 0 : memo->applied_end[k - 1];
        for (size_t j = from; j < memo->applied_end[k]; ++j) {
          (*matched)[memo->applied[j]] = 1;
        }
      }
    }
  }
}

PlainRewriter::Result PlainRewriter::Rewrite(const char *text, size_t length,
                                             char *out, size_t capacity) {
  Changes changes;
  Find(text, length, 1, &changes);
  Result result;
  result.touched = changes.touched();
  result.max_length = changes.max_length();
  if (!result.touched) return result;
  result.fits = changes.length() < capacity;
  if (!result.fits) return result;
  Apply(text, length, changes, out);
  result.length = changes.length();
  return result;
}

}  // namespace tov::update
