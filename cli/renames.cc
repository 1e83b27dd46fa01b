#include "renames.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace tov::cli {

std::vector<Rename> RenamesOf(const tovUpdtrRegexpList *list) {
  std::vector<Rename> renames;
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

// Whether the renames (names differing) lead from some name back to it.
// The names that no rename leads into are peeled off, with the renames out
// of them, until none is left: what stays holds a cycle.  Linear, for the
// lists of a million lines that hold none.
bool HasCycle(const std::vector<Rename> &renames) {
  std::unordered_map<std::string_view, uint32_t> ids;
  ids.reserve(2 * renames.size());
  std::vector<std::pair<uint32_t, uint32_t>> edges;
  edges.reserve(renames.size());
  const auto id = [&ids](const std::string &name) {
    return ids.emplace(name, static_cast<uint32_t>(ids.size())).first->second;
  };
  for (const Rename &r : renames) {
    if (r.from != r.to) edges.emplace_back(id(r.from), id(r.to));
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
  std::unordered_map<std::string_view, size_t> last_renamed;
  last_renamed.reserve(renames.size());
  for (size_t i = 0; i < renames.size(); ++i) {
    last_renamed[renames[i].from] = i;
  }
  for (size_t i = 0; i < renames.size(); ++i) {
    const auto it = last_renamed.find(renames[i].to);
    if (it != last_renamed.end() && it->second > i) return true;
  }
  return false;
}

}  // namespace

std::vector<std::vector<std::string>> Cycles(
    const std::vector<Rename> &renames) {
  // Most lists hold no cycle; the walk below, which names each cycle in the
  // order of the names, is for those that do.
  if (!HasCycle(renames)) return {};
  // The names each name is renamed to (a name may be renamed at more than
  // one level), walked depth first; a name met again on the path closes a
  // cycle.
  std::map<std::string, std::set<std::string>> next;
  for (const Rename &r : renames) {
    if (r.from != r.to) next[r.from].insert(r.to);
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
  if (!HasChain(renames)) return {};
  // Where each name is renamed, in the order of application.
  std::map<std::string, std::vector<size_t>> renamed_at;
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
    std::vector<std::string> chain = {renames[i].from, renames[i].to};
    std::set<size_t> seen = {i};
    for (long j = following(i); j >= 0 && seen.insert(j).second;
         j = following(static_cast<size_t>(j))) {
      chain.push_back(renames[static_cast<size_t>(j)].to);
    }
    chains.push_back(std::move(chain));
  }
  return chains;
}

std::vector<Rename> UnmatchedRenames(const tovUpdtrRegexpList *list) {
  // An old name that several renames search for matched when one of them
  // did.
  std::set<std::string> matched;
  for (const tovUpdtrRegexpList *node = list; node != nullptr;
       node = node->next) {
    if (node->element == nullptr || node->regexp == nullptr) continue;
    const char *from = tovUpdtrHashGetNonNullFromMember(node->element);
    if (from != nullptr && tovUpdtrRegexpMatched(node) == 1) {
      matched.insert(from);
    }
  }
  std::vector<Rename> unmatched;
  for (Rename &rename : RenamesOf(list)) {
    if (matched.insert(rename.from).second) {
      unmatched.push_back(std::move(rename));
    }
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
