// The names of a one-pass rewrite, found again for nearly every place of a
// text where a name may start, and the memo of the runs each search thread
// resolved.  Private to the rewriter's sources.
#ifndef TOVUPDTR_UPDATE_NAME_INDEX_H_
#define TOVUPDTR_UPDATE_NAME_INDEX_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "update/plain_rewriter.h"
#include "update/word_runs.h"

namespace tov::update {

// The bytes of text per hit that the hit lists are made ready for at once.
constexpr size_t kHitSpacing = 64;

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
    // and its new length, with kChained set when the outcome takes more
    // than one rename.  A hit adds these up without reading the outcome,
    // which seldom shares a cache line with anything else the search reads.
    uint32_t growth;
    uint32_t new_length;
    static constexpr uint32_t kChained = uint32_t{1} << 31;
  };

  // Up to this many names are looked up by comparing each.
  static constexpr int kFewNames = 4;

  // What a lookup works out before it reads the index.
  struct Probe {
    KeyWords words;
    uint64_t hash;
  };

  // What the lookups read of the index, copied out of it.  A search holds
  // one as a local of its own, so that the compiler keeps it in registers:
  // after every byte store (a name marked as met) it would otherwise read
  // the index's fields again.
  class Finder {
   public:
    // False when no name has `n` bytes; otherwise fills *probe for the n
    // bytes at p (what lies between p and `end` may be read).
    TOV_HOT bool Prepare(const unsigned char *p, size_t n,
                         const unsigned char *end, Probe *probe) const {
      if (n > longest_ || !((lengths_ >> LengthBit(n)) & 1)) return false;
      probe->words = WordsOf(p, n, end);
      probe->hash = HashWords(p, n, probe->words);
      return true;
    }

    // Asks for the memory that Lookup of `probe` reads first.
    TOV_HOT void Prefetch(const Probe &probe) const {
      const uint64_t bit = probe.hash >> filter_shift_;
      TOV_PREFETCH(&filter_[bit / 64]);
      TOV_PREFETCH(&slots_[probe.hash & mask_]);
    }

    // The entry of the n bytes at p that `probe` was prepared for, or
    // NULL.  The filter in front of the slots passes over most runs that
    // are no name.
    TOV_HOT const Entry *Lookup(const Probe &probe, const unsigned char *p,
                                size_t n) const {
      const uint64_t bit = probe.hash >> filter_shift_;
      if (!((filter_[bit / 64] >> (bit % 64)) & 1)) return nullptr;
      return LookupSlots(probe, p, n);
    }

    // Lookup without the filter, for an index small enough to stay in the
    // processor's nearest cache, where the filter costs more than it saves.
    TOV_HOT const Entry *LookupSlots(const Probe &probe, const unsigned char *p,
                                     size_t n) const {
      for (size_t i = probe.hash & mask_;; i = (i + 1) & mask_) {
        const Entry &e = slots_[i];
        if (e.length == 0) return nullptr;
        if (e.length == n && e.head == probe.words.head &&
            e.tail == probe.words.tail &&
            (n <= 16 ||
             std::memcmp(renames_[e.first].from().data(), p, n) == 0)) {
          return &e;
        }
      }
    }

    // Whether the slots fit in the nearest cache (32 KB).
    bool small() const { return mask_ < 1024; }

    // Whether the names are so few (kFewNames or less) that each can be
    // compared in turn, without hashing.
    bool few() const { return few_count_ >= 0; }

    // Prepare without the hash, for LookupFew.
    TOV_HOT bool PrepareWords(const unsigned char *p, size_t n,
                              const unsigned char *end, Probe *probe) const {
      if (n > longest_ || !((lengths_ >> LengthBit(n)) & 1)) return false;
      probe->words = WordsOf(p, n, end);
      return true;
    }

    // Lookup among few names: each is compared in turn.
    TOV_HOT const Entry *LookupFew(const Probe &probe, const unsigned char *p,
                                   size_t n) const {
      for (int i = 0; i < few_count_; ++i) {
        const Entry &e = *few_[i];
        if (e.length == n && e.head == probe.words.head &&
            e.tail == probe.words.tail &&
            (n <= 16 ||
             std::memcmp(renames_[e.first].from().data(), p, n) == 0)) {
          return &e;
        }
      }
      return nullptr;
    }

   private:
    friend class NameIndex;
    const Entry *few_[kFewNames] = {};
    int few_count_ = -1;
    const Entry *slots_ = nullptr;
    size_t mask_ = 0;
    const uint64_t *filter_ = nullptr;
    int filter_shift_ = 0;
    uint64_t lengths_ = 0;
    size_t longest_ = 0;
    const PlainRename *renames_ = nullptr;
  };

  // An index of the names of `expected` renames at `renames`, which must
  // stay where they are while the index lives: an entry finds its name
  // through its first rename.
  NameIndex(size_t expected, const PlainRename *renames) : renames_(renames) {
    slots_.assign(SlotsFor(expected), Entry{0, 0, 0, 0, 0, 0});
    // At least 32 filter bits per name, from 2^12 to 2^24 bits.
    int bits_log = 12;
    while ((size_t{1} << bits_log) < expected * 32 && bits_log < 24) {
      ++bits_log;
    }
    filter_.assign((size_t{1} << bits_log) / 64, 0);
    filter_shift_ = 64 - bits_log;
  }

  // The index points into its own slots.
  NameIndex(const NameIndex &) = delete;
  NameIndex &operator=(const NameIndex &) = delete;

  // What the lookups read, as the index stands now.
  Finder finder() const {
    Finder f;
    f.slots_ = slots_.data();
    f.mask_ = slots_.size() - 1;
    f.filter_ = filter_.data();
    f.filter_shift_ = filter_shift_;
    f.lengths_ = lengths_;
    f.longest_ = longest_;
    f.renames_ = renames_;
    if (count_ <= kFewNames) {
      f.few_count_ = static_cast<int>(count_);
      std::copy(few_, few_ + count_, f.few_);
    }
    return f;
  }

  const Entry *Find(std::string_view name) const {
    if (name.empty()) return nullptr;
    const auto *p = reinterpret_cast<const unsigned char *>(name.data());
    const Finder f = finder();
    Probe probe;
    if (!f.Prepare(p, name.size(), p + name.size(), &probe)) return nullptr;
    return f.Lookup(probe, p, name.size());
  }

  // The entry of renames[first].from(), added with `first` as its first
  // rename when the index does not hold the name yet (*added tells).
  Entry *FindOrAdd(uint32_t first, bool *added) {
    const std::string_view name = renames_[first].from();
    if (name.empty() || name.size() >= kNone) {
      throw std::length_error("name index");
    }
    const auto *p = reinterpret_cast<const unsigned char *>(name.data());
    const KeyWords w = WordsOf(p, name.size(), p + name.size());
    const uint64_t h = HashWords(p, name.size(), w);
    *added = false;
    if (name.size() <= longest_ && ((lengths_ >> LengthBit(name.size())) & 1)) {
      Entry *e =
          const_cast<Entry *>(finder().Lookup(Probe{w, h}, p, name.size()));
      if (e != nullptr) return e;
    }
    // The index is made for the names of all its renames: it never fills.
    if ((count_ + 1) * 2 > slots_.size()) {
      throw std::length_error("name index");
    }
    *added = true;
    const uint64_t bit = h >> filter_shift_;
    filter_[bit / 64] |= uint64_t{1} << (bit % 64);
    longest_ = std::max(longest_, name.size());
    lengths_ |= uint64_t{1} << LengthBit(name.size());
    if (first_count_ >= 0 &&
        std::find(first_bytes_, first_bytes_ + first_count_, p[0]) ==
            first_bytes_ + first_count_) {
      if (first_count_ < kMaxFirstBytes) {
        first_bytes_[first_count_++] = p[0];
      } else {
        first_count_ = -1;
      }
    }
    ++count_;
    const size_t mask = slots_.size() - 1;
    size_t i = h & mask;
    while (slots_[i].length != 0) i = (i + 1) & mask;
    slots_[i] =
        Entry{w.head, w.tail, static_cast<uint32_t>(name.size()), first, 0, 0};
    // The slots never move: the index is made for all its names at once.
    if (count_ <= kFewNames) few_[count_ - 1] = &slots_[i];
    return &slots_[i];
  }

  // The slots, free ones included (length 0).
  std::vector<Entry, LargeAllocator<Entry>> &slots() { return slots_; }
  size_t longest() const { return longest_; }
  // The bytes that the names start with, when there are few of them
  // (count -1 otherwise).
  const unsigned char *first_bytes() const { return first_bytes_; }
  int first_count() const { return first_count_; }

 private:
  // Slots for `expected` names, at most half full, a power of two so that a
  // hash is taken to a slot by masking.
  static size_t SlotsFor(size_t expected) {
    if (expected > (size_t{1} << 40)) throw std::length_error("name index");
    size_t slots = 16;
    while (slots < 2 * expected) slots *= 2;
    return slots;
  }
  static size_t LengthBit(size_t n) { return n < 64 ? n : 0; }

  const PlainRename *renames_;
  std::vector<Entry, LargeAllocator<Entry>> slots_;
  size_t count_ = 0;
  std::vector<uint64_t, LargeAllocator<uint64_t>> filter_;
  int filter_shift_ = 0;
  // Which name lengths occur: bit n for length n < 64, bit 0 for longer.
  uint64_t lengths_ = 0;
  size_t longest_ = 0;
  // The entries of the first names, while there are few.
  const Entry *few_[kFewNames] = {};
  unsigned char first_bytes_[kMaxFirstBytes] = {};
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

}  // namespace tov::update

#endif  // TOVUPDTR_UPDATE_NAME_INDEX_H_
