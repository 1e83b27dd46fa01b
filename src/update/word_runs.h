// The word runs of a text, as the one-pass rewrite sees them: which bytes
// make a run and where a name may start in one, told 64 bytes at a time, and
// the hashing of runs and names by whole words.  Inline: these run for
// nearly every byte of a text.
#ifndef TOVUPDTR_UPDATE_WORD_RUNS_H_
#define TOVUPDTR_UPDATE_WORD_RUNS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

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

namespace tov::update {

constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

constexpr bool IsNameByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_';
}

// The bytes a run is made of: name bytes, and under update type 1 '$'.
inline bool IsRunByte(unsigned char c, bool dollar) {
  return IsNameByte(c) || (dollar && c == '$');
}

// Under update type 1 a name may start right after these bytes inside a run.
inline bool StartsAfter(unsigned char c) {
  return (c >= '0' && c <= '9') || c == '$';
}

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

inline uint64_t HashOf(std::string_view s) {
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

// Copies n bytes, sizeof(Word) <= n <= 2 * sizeof(Word), as two words that
// may overlap: the first and the last of them.
template <typename Word>
TOV_HOT void CopyEnds(char *to, const char *from, size_t n) {
  Word head, tail;
  std::memcpy(&head, from, sizeof head);
  std::memcpy(&tail, from + n - sizeof tail, sizeof tail);
  std::memcpy(to, &head, sizeof head);
  std::memcpy(to + n - sizeof tail, &tail, sizeof tail);
}

// Copies `n` bytes, inline for the short copies a new text is mostly made
// of (a name, the few bytes between two names); the loads and stores of a
// short copy may overlap each other, never the bytes around.
TOV_HOT void CopyBytes(char *to, const char *from, size_t n) {
  if (n > 16) {
    std::memcpy(to, from, n);
  } else if (n >= 8) {
    CopyEnds<uint64_t>(to, from, n);
  } else if (n >= 4) {
    CopyEnds<uint32_t>(to, from, n);
  } else if (n > 0) {
    const char first = from[0], middle = from[n / 2], last = from[n - 1];
    to[0] = first;
    to[n / 2] = middle;
    to[n - 1] = last;
  }
}

// What a block of up to 64 bytes holds, a bit per byte.
struct BlockMasks {
  uint64_t run;    // run bytes
  uint64_t after;  // digits and '$' (update type 1)
  uint64_t first;  // bytes that some name starts with
};

// The most bytes that names may start with for a BlockClassifier to tell
// them; with more, every byte counts as one.
constexpr int kMaxFirstBytes = 8;

// Tells the bytes of a text apart, 64 at a time, for update type 1
// (kDollar) or 0.  The bytes that names start with are told only when there
// are few of them (a list of renames often shares a prefix); otherwise
// every byte counts as one.
template <bool kDollar>
class BlockClassifier {
 public:
  // `first_count` bytes at `first` (-1: any byte).
  BlockClassifier(const unsigned char *first, int first_count)
      : first_count_(first_count > kMaxFirstBytes ? -1 : first_count) {
    for (int c = 0; c < 256; ++c) {
      const auto b = static_cast<unsigned char>(c);
      run_[c] = IsRunByte(b, kDollar);
      after_[c] = kDollar && StartsAfter(b);
      first_[c] = first_count_ < 0;
    }
    for (int i = 0; i < first_count_; ++i) {
      first_[first[i]] = true;
#ifdef TOV_WORD_MASK_SSE2
      first_bytes_[i] = _mm_set1_epi8(static_cast<char>(first[i]));
#endif
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
    const int first_count = first_count_;
    for (int i = 0; i < 4; ++i) {
      const __m128i v =
          _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * i));
      const __m128i digit =
          _mm_cmplt_epi8(_mm_add_epi8(v, digit_shift), digit_limit);
      const __m128i alpha = _mm_cmplt_epi8(
          _mm_add_epi8(_mm_or_si128(v, lower), alpha_shift), alpha_limit);
      __m128i run = _mm_or_si128(_mm_or_si128(digit, alpha),
                                 _mm_cmpeq_epi8(v, underscore));
      if constexpr (kDollar) {
        const __m128i after = _mm_or_si128(digit, _mm_cmpeq_epi8(v, dollar));
        run = _mm_or_si128(run, after);
        m.after |= Bits(after) << (16 * i);
      }
      m.run |= Bits(run) << (16 * i);
      if (first_count > 0) {
        __m128i hit = _mm_cmpeq_epi8(v, first_bytes_[0]);
        for (int k = 1; k < first_count; ++k) {
          hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, first_bytes_[k]));
        }
        first |= Bits(hit) << (16 * i);
      }
    }
    if (first_count >= 0) m.first = first;
    return m;
  }

  static TOV_HOT uint64_t Bits(__m128i v) {
    return static_cast<uint16_t>(_mm_movemask_epi8(v));
  }

  __m128i first_bytes_[kMaxFirstBytes];  // each byte names start with, x16
#endif

  int first_count_;
  bool run_[256];
  bool after_[256];
  bool first_[256];
};

}  // namespace tov::update

#endif  // TOVUPDTR_UPDATE_WORD_RUNS_H_
