#include "update/plain_rewriter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "update/name_index.h"
#include "update/word_runs.h"

namespace tov::update {

bool IsPlainName(std::string_view name, bool allow_empty) {
  // A table, since a list of a million renames asks this of two million
  // names.
  static constexpr std::array<bool, 256> kNameByte = [] {
    std::array<bool, 256> name_byte{};
    for (int c = 0; c < 256; ++c) {
      name_byte[c] = IsNameByte(static_cast<unsigned char>(c));
    }
    return name_byte;
  }();
  if (name.empty()) return allow_empty;
  for (char c : name) {
    if (!kNameByte[static_cast<unsigned char>(c)]) return false;
  }
  return true;
}

PlainRewriter::PlainRewriter(int update_type, PlainRenames renames,
                             bool together)
    : update_type_(update_type),
      together_(together),
      renames_(std::move(renames)),
      names_(std::make_unique<NameIndex>(renames_.size(), renames_.data())) {
  if (renames_.size() >= kNone) throw std::length_error("too many renames");
  const uint32_t n = static_cast<uint32_t>(renames_.size());
  if (update_type_ == 0) {
    // Until ComposeWholeRuns is done with it, chain_next_ holds the first
    // rename of each rename's `from` name.
    chain_next_.resize(n);
    for (uint32_t i = 0; i < n; ++i) {
      bool added = false;
      chain_next_[i] = names_->FindOrAdd(i, &added)->first;
    }
    ComposeWholeRuns();
    return;
  }
  // names_ gives a `from` name's first rename; the renames of one name are
  // chained through next_same_ in increasing order.
  next_same_.assign(n, kNone);
  std::vector<uint32_t, LargeAllocator<uint32_t>> last_of(n, kNone);
  for (uint32_t i = 0; i < n; ++i) {
    bool added = false;
    const uint32_t first = names_->FindOrAdd(i, &added)->first;
    if (!added) next_same_[last_of[first]] = i;
    last_of[first] = i;
  }
}

PlainRewriter::~PlainRewriter() = default;

void PlainRewriter::ComposeWholeRuns() {
  // Under update type 0 a run is matched only by renames of the run itself,
  // so what follows rename i depends on i alone: the first later rename of
  // its new name, and so on.  Worked out from the last rename back, each
  // rename's end is known when an earlier one leads to it.  outcomes_[i]
  // gathers the end of rename i's chain: its new name, the longest new name
  // along the way and the renames it takes; a name's own length is added
  // once the chains are known, and only for the first rename of each name,
  // through which a run is resolved.
  const size_t n = renames_.size();
  outcomes_.resize(n);
  // For each name, by its first rename, its first rename after the one
  // looked at.
  std::vector<uint32_t, LargeAllocator<uint32_t>> first_after(n, kNone);
  for (size_t i = n; i-- > 0;) {
    const uint32_t name = chain_next_[i];
    // Renames applied together never follow each other.
    const NameIndex::Entry *to =
        together_ ? nullptr : names_->Find(renames_[i].to());
    const uint32_t next = to == nullptr ? kNone : first_after[to->first];
    chain_next_[i] = next;
    Outcome &o = outcomes_[i];
    if (next == kNone) {
      o.text = renames_[i].to();
      o.max_length = renames_[i].to().size();
      o.steps = 1;
    } else {
      const Outcome &rest = outcomes_[next];
      o.text = rest.text;
      o.max_length = std::max(renames_[i].to().size(), rest.max_length);
      o.steps = rest.steps + 1;
    }
    first_after[name] = static_cast<uint32_t>(i);
  }
  // The outcomes of renames that are not a name's first keep run_length 0.
  for (NameIndex::Entry &e : names_->slots()) {
    if (e.length == 0) continue;
    Outcome &o = outcomes_[e.first];
    o.run_length = e.length;
    o.max_length = std::max<size_t>(e.length, o.max_length);
    const size_t growth = o.max_length - e.length;
    if (growth > std::numeric_limits<uint32_t>::max() ||
        o.text.size() >= NameIndex::Entry::kChained) {
      throw std::length_error("name index");
    }
    e.growth = static_cast<uint32_t>(growth);
    e.new_length = static_cast<uint32_t>(o.text.size()) |
                   (o.steps > 1 ? NameIndex::Entry::kChained : 0);
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
    cur += renames_[best].to();
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
