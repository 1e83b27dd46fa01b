#include "update/update_plan.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "mapping/mapping_table.h"
#include "services/name_mapping/rix.h"
#include "services/regex/mur_regexp.h"
#include "update/regexp_list.h"
#include "update/update_state.h"

namespace tov::update {

// New names copied into blocks that never move, so that the rewriters may
// point into them for the plan's life.
class UpdatePlan::KeptNames {
 public:
  std::string_view Keep(std::string_view name) {
    if (name.size() > left_) {
      // Blocks double up to a size that large pages back whole; their room
      // is not filled before the names are copied in.
      block_size_ = std::min(block_size_ * 2, kLargestBlock);
      blocks_.emplace_back(std::max(block_size_, name.size()));
      next_ = blocks_.back().data();
      left_ = blocks_.back().size();
    }
    if (name.empty()) return std::string_view("", 0);
    std::memcpy(next_, name.data(), name.size());
    const std::string_view kept(next_, name.size());
    next_ += name.size();
    left_ -= name.size();
    return kept;
  }

 private:
  static constexpr size_t kLargestBlock = size_t{4} << 20;
  std::vector<std::vector<char, platform::UnfilledAllocator<char>>> blocks_;
  size_t block_size_ = size_t{32} << 10;
  char *next_ = nullptr;
  size_t left_ = 0;
};

namespace {

// The node's rename when its expression is the whole-word expression of a
// plain name and its new name, converted into the target name space (from
// the mapping's through `from_ident`, into the target's through `to_name`),
// is plain or empty; *update_type tells the word rules.  The names are views
// of the expression and of `converted`.
bool PlainRenameOf(const tovUpdtrRegexpList *node, rixNameFunc from_ident,
                   rixNameFunc to_name, int *update_type,
                   char (&converted)[kRixMaxName], PlainRename *rename) {
  std::string_view head, middle, tail, name;
  if (!mur_regparts(node->regexp, &head, &middle, &tail) ||
      !SplitWordPattern(head, middle, tail, update_type, &name) ||
      !IsPlainName(name, false)) {
    return false;
  }
  // A new name that cannot be converted is left to the search, which reports
  // it only on a file that holds the old name.
  const char *to_member = mapping::ToMember(node->element);
  if (to_member == nullptr ||
      rixMapper(from_ident, to_name, to_member, 0, converted) == 0 ||
      !IsPlainName(converted, true)) {
    return false;
  }
  if (name.size() > PlainRename::kLongest) return false;
  *rename = PlainRename(name, converted);
  return true;
}

// The distance in bytes from `from` to `to` into *d; false when it does not
// fit (INT32_MIN, which marks a far node, does not fit either).
bool Distance(const void *from, const void *to, int32_t *d) {
  const auto diff = static_cast<intptr_t>(reinterpret_cast<uintptr_t>(to) -
                                          reinterpret_cast<uintptr_t>(from));
  if (diff <= INT32_MIN || diff > INT32_MAX) return false;
  *d = static_cast<int32_t>(diff);
  return true;
}

// The address `d` bytes from `from`.
template <typename T>
T *Moved(T *from, int32_t d) {
  return reinterpret_cast<T *>(reinterpret_cast<uintptr_t>(from) +
                               static_cast<uintptr_t>(intptr_t{d}));
}

}  // namespace

UpdatePlan::UpdatePlan(tovUpdtrRegexpList *list, const char *name_space,
                       bool together)
    : name_space_(name_space),
      together_(together),
      names_(std::make_unique<KeptNames>()) {
  PlainRenames run;
  NodeList run_nodes;
  int run_type = -1;
  // Renames applied together are one step, made of one run only when no
  // node falls outside it.
  bool one_run = true;
  auto end_run = [&] {
    if (run_nodes.empty()) return;
    Step step;
    step.nodes = std::move(run_nodes);
    step.rewriter =
        std::make_unique<PlainRewriter>(run_type, std::move(run), together_);
    steps_.push_back(std::move(step));
    run.clear();
    run_nodes.clear();
  };
  size_t count = 0;
  for (tovUpdtrRegexpList *node = list; node != nullptr; node = node->next) {
    ++count;
  }
  seen_.reserve(count);
  // Every new name goes from the mapping's name space into `name_space`.
  const rixNameFunc from_ident = rixGetNameToIdentFunc("LibraryNT");
  const rixNameFunc to_name = rixGetIdentToNameFunc(name_space);
  run.reserve(count);
  run_nodes.reserve(count);
  Seen last{};
  for (tovUpdtrRegexpList *node = list; node != nullptr; node = node->next) {
    const Seen now{node, node->element, node->regexp};
    SeenStep moved;
    if (!Distance(last.node, now.node, &moved.node) ||
        !Distance(last.element, now.element, &moved.element) ||
        !Distance(last.regexp, now.regexp, &moved.regexp)) {
      far_.push_back(now);
      moved = SeenStep{kFar, 0, 0};
    }
    seen_.push_back(moved);
    last = now;
    // Nodes without element or expression are passed over.
    if (node->element == nullptr || node->regexp == nullptr) continue;
    int update_type = 0;
    PlainRename rename;
    char converted[kRixMaxName];
    if (PlainRenameOf(node, from_ident, to_name, &update_type, converted,
                      &rename)) {
      // The old name views the expression's pattern, which the library
      // keeps to the end; the new name is the plan's own copy.
      rename = PlainRename(rename.from(), names_->Keep(rename.to()));
      if (update_type != run_type) {
        if (run_type != -1) one_run = false;
        end_run();
      }
      run_type = update_type;
      run.push_back(rename);
      run_nodes.push_back(node);
    } else {
      one_run = false;
      end_run();
      Step step;
      step.nodes.push_back(node);
      steps_.push_back(std::move(step));
    }
  }
  end_run();
  if (together_ && !one_run) {
    Step all;
    for (Step &step : steps_) {
      all.nodes.insert(all.nodes.end(), step.nodes.begin(), step.nodes.end());
    }
    steps_.clear();
    steps_.push_back(std::move(all));
  }
  searches_added_.assign(steps_.size(), 0);
}

UpdatePlan::~UpdatePlan() = default;

void UpdatePlan::AddMatched(
    std::unordered_set<const tovUpdtrRegexpList *> *nodes) {
  std::vector<unsigned char> matched;
  for (size_t k = 0; k < steps_.size(); ++k) {
    const Step &step = steps_[k];
    // Nothing was searched since the last time: nothing new matched.
    if (step.rewriter == nullptr ||
        step.rewriter->searches() == searches_added_[k]) {
      continue;
    }
    searches_added_[k] = step.rewriter->searches();
    matched.assign(step.nodes.size(), 0);
    step.rewriter->MarkMatched(&matched);
    for (size_t i = 0; i < matched.size(); ++i) {
      if (matched[i] != 0) nodes->insert(step.nodes[i]);
    }
  }
}

bool UpdatePlan::Fits(tovUpdtrRegexpList *list, const char *name_space,
                      bool together) const {
  if (name_space_ != name_space || together_ != together) return false;
  const size_t n = seen_.size();
  if (n == 0) return list == nullptr;
  // The nodes are worked out from their distances one after the other.
  Seen at{};
  size_t far = 0;
  const auto seen = [&](size_t i) {
    const SeenStep &step = seen_[i];
    if (step.node == kFar) {
      at = far_[far++];
    } else {
      at = Seen{Moved(at.node, step.node), Moved(at.element, step.element),
                Moved(at.regexp, step.regexp)};
    }
    return at;
  };
  Seen s = seen(0);
  if (list != s.node) return false;
  // The nodes are checked where the plan saw them, so that no check waits
  // for the link read by the one before it; a node is read only once the
  // link to it was found as it was.
  for (size_t i = 0; i < n; ++i) {
    const Seen following = i + 1 < n ? seen(i + 1) : Seen{};
    if (s.node->next != following.node || s.node->element != s.element ||
        s.node->regexp != s.regexp) {
      return false;
    }
    s = following;
  }
  return true;
}

UpdatePlan &UpdatePlan::For(tovUpdtrRegexpList *list, const char *name_space,
                            bool together) {
  // The last plan made: a program updates all its files with one list.
  UpdateState &state = LayerState();
  std::unique_ptr<UpdatePlan> &last = state.plan;
  if (name_space == nullptr) name_space = "";
  if (last == nullptr || !last->Fits(list, name_space, together)) {
    // What the plan found is kept past it.
    if (last != nullptr) last->AddMatched(&state.matched);
    last.reset(new UpdatePlan(list, name_space, together));
  }
  return *last;
}

}  // namespace tov::update
