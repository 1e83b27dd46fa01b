// The search of a text in memory: the word runs of a piece looked up a batch
// at a time, and the pieces shared out among threads.
#include "update/plain_rewriter.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <thread>
#include <type_traits>

#include "update/name_index.h"
#include "update/word_runs.h"

namespace tov::update {
namespace {
// How far ahead of the block being classified the text is asked for.
constexpr size_t kReadAhead = 1024;
}  // namespace

void PlainRewriter::FindInPiece(const char *text, size_t length, size_t begin,
                                size_t end, size_t base, Memo *memo,
                                HitSink *sink, Totals *totals) const {
  const NameIndex::Finder finder = names_->finder();
  const LookupWay way = finder.few()     ? LookupWay::kFew
                        : finder.small() ? LookupWay::kDirect
                                         : LookupWay::kBatched;
  auto find = [&](auto dollar, auto how) {
    FindRuns<decltype(dollar)::value, decltype(how)::value>(
        text, length, begin, end, base, memo, sink, totals);
  };
  using Dollar = std::true_type;
  using NoDollar = std::false_type;
  using Batched = std::integral_constant<LookupWay, LookupWay::kBatched>;
  using Direct = std::integral_constant<LookupWay, LookupWay::kDirect>;
  using Few = std::integral_constant<LookupWay, LookupWay::kFew>;
  if (update_type_ == 1) {
    if (way == LookupWay::kFew) {
      find(Dollar(), Few());
    } else if (way == LookupWay::kDirect) {
      find(Dollar(), Direct());
    } else {
      find(Dollar(), Batched());
    }
  } else if (way == LookupWay::kFew) {
    find(NoDollar(), Few());
  } else if (way == LookupWay::kDirect) {
    find(NoDollar(), Direct());
  } else {
    find(NoDollar(), Batched());
  }
}

template <bool kDollar, PlainRewriter::LookupWay kWay>
void PlainRewriter::FindRuns(const char *text, size_t length, size_t begin,
                             size_t end, size_t base, Memo *memo, HitSink *sink,
                             Totals *totals) const {
  // A name matches where it may start (the start of a run; under update
  // type 1 also right after a digit or a '$' in a run) and runs to the end
  // of the run.  The places where a name may start are read off the masks
  // of each block of 64 bytes, and only those are looked up.  In a large
  // index they are looked up a batch at a time: the memory each lookup
  // reads is asked for when the place is found, and read when the batch is
  // full, so that the waits for it overlap.  Everything the loop keeps is a
  // local of this function, so that it stays in registers: the byte stores
  // that mark names as met might otherwise be taken to change it.
  const auto *t = reinterpret_cast<const unsigned char *>(text);
  const unsigned char *text_end = t + length;
  const NameIndex::Finder names = names_->finder();
  const BlockClassifier<kDollar> classifier(names_->first_bytes(),
                                            names_->first_count());
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
    size_t start;  // the start of its run (update type 1)
    NameIndex::Probe probe;
  };
  constexpr int kBatch = 16;
  Pending batch[kBatch];
  // The hits of a batch, handed to the sink together.
  Hit found[kBatch];
  Hit *out = found;
  Totals sum;
  size_t resolved_end = begin;  // the end of the last run resolved
  unsigned char *const met = kDollar ? nullptr : memo->met.data();
  const Outcome *const outcomes = outcomes_.data();
  // Looks up the place `c` and notes what it hits.
  auto take = [&](const Pending &c) {
    if constexpr (kDollar) {
      if (c.pos < resolved_end) return;  // in a run resolved
    }
    const size_t n = c.stop - c.pos;
    const NameIndex::Entry *name =
        kWay == LookupWay::kFew      ? names.LookupFew(c.probe, t + c.pos, n)
        : kWay == LookupWay::kDirect ? names.LookupSlots(c.probe, t + c.pos, n)
                                     : names.Lookup(c.probe, t + c.pos, n);
    if (name == nullptr) return;
    if constexpr (!kDollar) {
      const uint32_t first = name->first;
      const Outcome *o = outcomes + first;
      const uint32_t made = name->new_length;
      // The outcome is read only for a chain, and otherwise only by the
      // sink: in a large index, where it is seldom in the cache, it is
      // asked for now, to be there by then.
      if (made & NameIndex::Entry::kChained) {
        sum.steps += o->steps;
      } else {
        sum.steps += 1;
        if (kWay == LookupWay::kBatched && sink != nullptr) TOV_PREFETCH(o);
      }
      sum.growth += name->growth;
      sum.added += made & ~NameIndex::Entry::kChained;
      sum.removed += name->length;
      *out++ = Hit{base + c.pos, o};
      // Last: the compiler must take a byte store to change anything read
      // after it.
      met[first] = 1;
    } else {
      // Some rename matches the run: what they make of it depends on all
      // of it, from its start.
      const Outcome *o =
          Resolve(std::string_view(text + c.start, c.stop - c.start), memo);
      *out++ = Hit{base + c.start, o};
      sum.steps += o->steps;
      sum.growth += o->max_length - o->run_length;
      sum.added += o->text.size();
      sum.removed += o->run_length;
      resolved_end = c.stop;
    }
  };

  // Where the scan of the blocks stands: the block whose places are being
  // taken, its masks and the places left in it.
  size_t next_block = begin;
  size_t block = begin;
  bool open = false;  // a block has been read and not yet left
  BlockMasks m = {0, 0, 0};
  uint64_t candidates = 0;
  uint64_t carry_run = 0;     // 1 when the byte before the block is a run byte
  uint64_t carry_after = 0;   // 1 when it is a digit or a '$'
  size_t open_start = begin;  // where the run open at the block start began
  for (bool more = true; more;) {
    // Up to a batch of places, looked up as they are found or, in a large
    // index, after.
    int waiting = 0;
    while (waiting < kBatch) {
      if (candidates == 0) {
        if (open) {
          // The block is left: what runs on into the next one.
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
          open = false;
        }
        if (next_block >= end) {
          more = false;
          break;
        }
        block = next_block;
        next_block += 64;
        // The text is read once, from front to back: it is asked for well
        // ahead, so that its reading overlaps the work on what came before.
        if (block + kReadAhead < end) TOV_PREFETCH(t + block + kReadAhead);
        m = masks_at(block);
        open = true;
        candidates = m.run & ~((m.run << 1) | carry_run);
        if (kDollar) candidates |= ((m.after << 1) | carry_after) & m.run;
        candidates &= m.first;
        continue;
      }
      const unsigned c = LowestBit(candidates);
      candidates &= candidates - 1;
      Pending &p = batch[kWay == LookupWay::kBatched ? waiting : 0];
      p.pos = block + c;
      const uint64_t beyond = ~m.run & (~uint64_t{0} << c);
      p.stop =
          beyond != 0 ? block + LowestBit(beyond) : run_end_from(block + 64);
      const bool may_be =
          kWay == LookupWay::kFew
              ? names.PrepareWords(t + p.pos, p.stop - p.pos, text_end,
                                   &p.probe)
              : names.Prepare(t + p.pos, p.stop - p.pos, text_end, &p.probe);
      if (!may_be) continue;
      if (kDollar) {
        const uint64_t before = ~m.run & ((uint64_t{1} << c) - 1);
        p.start = before != 0 ? block + HighestBit(before) + 1
                  : carry_run ? open_start
                              : block;
      }
      if constexpr (kWay != LookupWay::kBatched) {
        take(p);
      } else {
        names.Prefetch(p.probe);
      }
      ++waiting;
    }
    if constexpr (kWay == LookupWay::kBatched) {
      for (int i = 0; i < waiting; ++i) take(batch[i]);
    }
    const auto count = static_cast<size_t>(out - found);
    sum.hits += count;
    if (sink != nullptr && count > 0) sink->Take(found, count);
    out = found;
  }
  totals->hits += sum.hits;
  totals->steps += sum.steps;
  totals->growth += sum.growth;
  totals->added += sum.added;
  totals->removed += sum.removed;
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
        HitKeeper keeper(hits);
        FindInPiece(text, length, cuts[i], cuts[i + 1], 0, memo, &keeper,
                    totals);
      },
      changes);
}

}  // namespace tov::update
