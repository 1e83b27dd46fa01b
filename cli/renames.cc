#include "renames.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string_view>
#include <utility>

namespace tov::cli {

std::vector<Rename> RenamesOf(const tovUpdtrRegexpList *list) {
  std::vector<Rename> renames;
  size_t nodes = 0;
  for (const tovUpdtrRegexpList *node = list; node != nullptr;
       node = node->next) {
    ++nodes;
  }
  renames.reserve(nodes);
  for (const tovUpdtrRegexpList *node = list; node != nullptr;
       node = node->next) {
    if (node->element == nullptr || node->regexp == nullptr) continue;
    const char *from = tovUpdtrHashGetNonNullFromMember(node->element);
    const char *to = tovUpdtrHashGetNonNullToMember(node->element);
    if (from != nullptr && to != nullptr) renames.push_back({from, to});
  }
  return renames;
}

namespace {

// Numbers for names, given in the order they are first met: an
// open-addressing table of views of the callers' strings, for the lists of
// a million renames, where a node-based map spends its time in the heap.
class NameIds {
 public:
  explicit NameIds(size_t most) {
    size_t size = 16;
    while (size < 2 * most) size *= 2;
    slots_.assign(size, kEmpty);
    names_.reserve(most);
  }
  // The number of `name`, which is given one when it has none.
  uint32_t Of(std::string_view name) {
    const size_t mask = slots_.size() - 1;
    for (size_t i = std::hash<std::string_view>()(name) & mask;;
         i = (i + 1) & mask) {
      if (slots_[i] == kEmpty) {
        slots_[i] = static_cast<uint32_t>(names_.size());
        names_.push_back(name);
        return slots_[i];
      }
      if (names_[slots_[i]] == name) return slots_[i];
    }
  }
  size_t size() const { return names_.size(); }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  std::vector<uint32_t> slots_;
  std::vector<std::string_view> names_;
};

// Whether the renames (names differing) lead from some name back to it.
// The names that no rename leads into are peeled off, with the renames out
// of them, until none is left: what stays holds a cycle.  Linear, for the
// lists of a million lines that hold none.
bool HasCycle(const std::vector<Rename> &renames) {
  NameIds ids(2 * renames.size());
  std::vector<std::pair<uint32_t, uint32_t>> edges;
  edges.reserve(renames.size());
  for (const Rename &r : renames) {
    if (r.from != r.to) edges.emplace_back(ids.Of(r.from), ids.Of(r.to));
  }
  const size_t n = ids.size();
  std::vector<uint32_t> into(n, 0), first(n + 1, 0), out(edges.size());
  for (const auto &[from, to] : edges) {
    ++into[to];
    ++first[from + 1];
  }
  for (size_t i = 0; i < n; ++i) first[i + 1] += first[i];
  std::vector<uint32_t> fill(first.begin(), first.end() - 1);
  for (const auto &[from, to] : edges) out[fill[from]++] = to;
  std::vector<uint32_t> free_names;
  for (uint32_t i = 0; i < n; ++i) {
    if (into[i] == 0) free_names.push_back(i);
  }
  size_t peeled = 0;
  while (!free_names.empty()) {
    const uint32_t name = free_names.back();
    free_names.pop_back();
    ++peeled;
    for (uint32_t k = first[name]; k < first[name + 1]; ++k) {
      if (--into[out[k]] == 0) free_names.push_back(out[k]);
    }
  }
  return peeled < n;
}

// Whether a rename's new name is renamed again by a later rename.
bool HasChain(const std::vector<Rename> &renames) {
  NameIds ids(2 * renames.size());
  // The last rename of each old name, by its number.
  std::vector<size_t> last_renamed;
  last_renamed.reserve(renames.size());
  constexpr size_t kNever = SIZE_MAX;
  for (size_t i = 0; i < renames.size(); ++i) {
    const uint32_t id = ids.Of(renames[i].from);
    if (id >= last_renamed.size()) last_renamed.resize(id + 1, kNever);
    last_renamed[id] = i;
  }
  for (size_t i = 0; i < renames.size(); ++i) {
    const uint32_t id = ids.Of(renames[i].to);
    if (id < last_renamed.size() && last_renamed[id] != kNever &&
        last_renamed[id] > i) {
      return true;
    }
  }
  return false;
}

}  // namespace

// Only the old names are numbered, and each slot keeps part of its name's
// hash, so that a lookup of a name that is not there seldom reads a name:
// the lists of a million renames mostly hold no such name, and this is all
// that is asked of them.
bool SomeNewNameIsRenamed(const std::vector<Rename> &renames) {
  size_t size = 16;
  while (size < 2 * renames.size()) size *= 2;
  const size_t mask = size - 1;
  // The high half of a name's hash, and 1 + its rename; 0 when free.
  std::vector<uint64_t> slots(size, 0);
  const auto hash = [](std::string_view name) {
    return static_cast<uint64_t>(std::hash<std::string_view>()(name));
  };
  for (size_t i = 0; i < renames.size(); ++i) {
    const uint64_t h = hash(renames[i].from);
    size_t at = h & mask;
    while (slots[at] != 0) at = (at + 1) & mask;
    slots[at] = (h & ~uint64_t{0xFFFFFFFF}) | static_cast<uint32_t>(i + 1);
  }
  for (const Rename &r : renames) {
    const uint64_t h = hash(r.to);
    for (size_t at = h & mask; slots[at] != 0; at = (at + 1) & mask) {
      if ((slots[at] >> 32) == (h >> 32) &&
          renames[static_cast<uint32_t>(slots[at]) - 1].from == r.to) {
        return true;
      }
    }
  }
  return false;
}

std::vector<std::vector<std::string>> Cycles(
    const std::vector<Rename> &renames) {
  // Most lists hold no cycle; the walk below, which names each cycle in the
  // order of the names, is for those that do.
  if (!SomeNewNameIsRenamed(renames) || !HasCycle(renames)) return {};
  // The names each name is renamed to (a name may be renamed at more than
  // one level), walked depth first; a name met again on the path closes a
  // cycle.
  std::map<std::string, std::set<std::string>> next;
  for (const Rename &r : renames) {
    if (r.from != r.to) next[std::string(r.from)].insert(std::string(r.to));
  }
  enum class Mark { kNew, kOnPath, kDone };
  std::map<std::string, Mark> marks;
  std::vector<std::vector<std::string>> cycles;
  std::vector<std::string> path;
  // An explicit stack of (name, whether its successors were pushed).
  for (const auto &start : next) {
    if (marks[start.first] != Mark::kNew) continue;
    std::vector<std::pair<std::string, bool>> stack = {{start.first, false}};
    while (!stack.empty()) {
      auto &[name, expanded] = stack.back();
      if (expanded) {
        marks[name] = Mark::kDone;
        path.pop_back();
        stack.pop_back();
        continue;
      }
      expanded = true;
      marks[name] = Mark::kOnPath;
      path.push_back(name);
      const auto successors = next.find(name);
      if (successors == next.end()) continue;
      // No reference into the stack is used below: pushing may move it.
      for (const std::string &to : successors->second) {
        const Mark mark = marks[to];
        if (mark == Mark::kOnPath) {
          std::vector<std::string> cycle;
          size_t at = path.size();
          while (at > 0 && path[at - 1] != to) --at;
          cycle.assign(path.begin() + static_cast<std::ptrdiff_t>(at - 1),
                       path.end());
          cycle.push_back(to);
          cycles.push_back(std::move(cycle));
        } else if (mark == Mark::kNew) {
          stack.push_back({to, false});
        }
      }
    }
  }
  return cycles;
}

std::vector<std::vector<std::string>> Chains(
    const std::vector<Rename> &renames) {
  if (!SomeNewNameIsRenamed(renames) || !HasChain(renames)) return {};
  // Where each name is renamed, in the order of application.
  std::map<std::string_view, std::vector<size_t>> renamed_at;
  for (size_t i = 0; i < renames.size(); ++i) {
    renamed_at[renames[i].from].push_back(i);
  }
  // The first rename after `i` of the name that rename i writes.
  auto following = [&](size_t i) -> long {
    const auto it = renamed_at.find(renames[i].to);
    if (it == renamed_at.end()) return -1;
    for (size_t j : it->second) {
      if (j > i) return static_cast<long>(j);
    }
    return -1;
  };
  std::set<size_t> inside;  // renames that continue an earlier one
  for (size_t i = 0; i < renames.size(); ++i) {
    const long j = following(i);
    if (j >= 0) inside.insert(static_cast<size_t>(j));
  }
  std::vector<std::vector<std::string>> chains;
  for (size_t i = 0; i < renames.size(); ++i) {
    if (inside.count(i) != 0 || following(i) < 0) continue;
    std::vector<std::string> chain = {std::string(renames[i].from),
                                      std::string(renames[i].to)};
    std::set<size_t> seen = {i};
    for (long j = following(i); j >= 0 && seen.insert(j).second;
         j = following(static_cast<size_t>(j))) {
      chain.push_back(std::string(renames[static_cast<size_t>(j)].to));
    }
    chains.push_back(std::move(chain));
  }
  return chains;
}

std::vector<Rename> UnmatchedRenames(const tovUpdtrRegexpList *list,
                                     size_t most, size_t *count) {
  // An old name that several renames search for matched when one of them
  // did.  The names are numbered, so that a list of a million renames of
  // which few matched costs a pass over it, not a million insertions into a
  // tree; the renames are read off the list again in a second pass rather
  // than kept, since all of them may be unmatched.
  const auto from_of = [](const tovUpdtrRegexpList *node) -> const char * {
    if (node->element == nullptr || node->regexp == nullptr) return nullptr;
    return tovUpdtrHashGetNonNullFromMember(node->element);
  };
  // The nodes bound the names: counting them reads no element.
  size_t nodes = 0;
  for (const tovUpdtrRegexpList *node = list; node != nullptr;
       node = node->next) {
    ++nodes;
  }
  NameIds ids(nodes);
  // The number of each searched node's old name, in list order.
  std::vector<uint32_t> id_of;
  id_of.reserve(nodes);
  // 1 for a name that matched or was named already.
  std::vector<unsigned char> done;
  for (const tovUpdtrRegexpList *node = list; node != nullptr;
       node = node->next) {
    const char *from = from_of(node);
    if (from == nullptr) continue;
    const uint32_t id = ids.Of(from);
    id_of.push_back(id);
    if (id >= done.size()) done.resize(id + 1, 0);
    if (tovUpdtrRegexpMatched(node) == 1) done[id] = 1;
  }
  std::vector<Rename> unmatched;
  *count = 0;
  size_t i = 0;
  for (const tovUpdtrRegexpList *node = list; node != nullptr;
       node = node->next) {
    const char *from = from_of(node);
    if (from == nullptr) continue;
    const uint32_t id = id_of[i++];
    const char *to = tovUpdtrHashGetNonNullToMember(node->element);
    if (to == nullptr || done[id] != 0) continue;
    done[id] = 1;
    if (unmatched.size() < most) unmatched.push_back({from, to});
    ++*count;
  }
  return unmatched;
}

std::string Arrows(const std::vector<std::string> &names) {
  std::string text;
  for (const std::string &name : names) {
    if (!text.empty()) text += " -> ";
    text += name;
  }
  return text;
}

}  // namespace tov::cli
