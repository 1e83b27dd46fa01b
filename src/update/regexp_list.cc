// tovUpdtrGenRegexpList: one list node per mapping element, and for every
// atom a whole-word expression of its old name.
#include "update/regexp_list.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/guard.h"
#include "core/messages.h"
#include "mapping/mapping_table.h"
#include "services/name_mapping/rix.h"
#include "services/regex/mur_regexp.h"
#include "tovUpdtr.h"
#include "update/update_plan.h"
#include "update/update_state.h"

namespace tov::update {
namespace {

// What encloses the name in the pattern of each update type: group 1 is the
// boundary before the name, group 2 the name, group 3 the boundary after it.
// Views, so that their lengths cost nothing for each name of a list.
struct WordBoundary {
  std::string_view before;
  std::string_view after;
};

constexpr WordBoundary kBoundaries[] = {
    {"(^|[^a-zA-Z0-9_])(", ")([^a-zA-Z0-9_]|$)"},
    {"(^|[^a-zA-Z_])(", ")([^a-zA-Z0-9$_]|$)"},
};

// The nodes of one list, taken one after the other from blocks made for as
// many nodes as the mapping has elements; the blocks are released unless
// the list is handed out.
class NodeSupply {
 public:
  explicit NodeSupply(size_t expected)
      : block_count_(std::max<size_t>(expected, 1)) {}
  ~NodeSupply() {
    for (const UpdateState::NodeBlock &b : blocks_) FreeNodes(b.nodes, b.count);
  }
  NodeSupply(const NodeSupply &) = delete;
  NodeSupply &operator=(const NodeSupply &) = delete;

  // A zeroed node.  A node that cannot be allocated fails the call like any
  // other exhausted memory: with the "Out of memory" message, not silently.
  tovUpdtrRegexpList *Next() {
    if (blocks_.empty() || used_ == blocks_.back().count) {
      blocks_.reserve(blocks_.size() + 1);
      tovUpdtrRegexpList *nodes = AllocateNodes(block_count_);
      if (nodes == nullptr) throw std::bad_alloc();
      blocks_.push_back({nodes, block_count_});
      used_ = 0;
    }
    return &blocks_.back().nodes[used_++];
  }

  // Gives the blocks to `lists`, which keeps them to the end.
  void HandOut(std::vector<UpdateState::NodeBlock> *lists) {
    lists->reserve(lists->size() + blocks_.size());
    lists->insert(lists->end(), blocks_.begin(), blocks_.end());
    blocks_.clear();
  }

 private:
  size_t block_count_;
  std::vector<UpdateState::NodeBlock> blocks_;
  size_t used_ = 0;
};

// The list of the loaded mapping, or NULL (the nodes built so far are
// released).
tovUpdtrRegexpList *GenRegexpList(int update_type, const char *name_space) {
  // The walk yields every element of the mapping, so one block mostly holds
  // the whole list.
  NodeSupply supply(mapping::ElementCount());
  tovUpdtrRegexpList *head = supply.Next();
  tovUpdtrRegexpList *last = head;
  char converted[kPatternSize] = {};
  // Every old name goes from the mapping's name space into `name_space`.
  const rixNameFunc from_ident = rixGetNameToIdentFunc("LibraryNT");
  const rixNameFunc to_name = rixGetIdentToNameFunc(name_space);
  std::string pattern;

  // With a mapping loaded, a walk that cannot start means its record could
  // not be allocated; going on would hand out a list without the mapping's
  // elements, as if nothing were to be renamed.
  if (mapping::StartWalk() == nullptr && mapping::HasTables()) {
    throw std::bad_alloc();
  }
  while (tovUpdtrHashElement *element = mapping::NextInWalk()) {
    if (last->element != nullptr) {
      tovUpdtrRegexpList *node = supply.Next();
      last->next = node;
      last = node;
    }
    last->element = element;
    if (!mapping::IsAtom(element)) continue;

    const char *old_name = mapping::FromMember(element);
    if (rixMapper(from_ident, to_name, old_name, 0, converted) == 0) {
      core::Report(0, core::Msg::kIllegalName, old_name);
      return nullptr;
    }
    if (!BuildWordPattern(update_type, old_name, converted, name_space,
                          &pattern)) {
      return nullptr;
    }
    // Every expression of the list shares its word boundaries, which the
    // engine then keeps once.
    const WordBoundary &b = kBoundaries[update_type];
    last->regexp =
        mur_regcomp_framed(pattern.c_str(), b.before.size(), b.after.size());
    if (last->regexp == nullptr) return nullptr;
  }

  supply.HandOut(&LayerState().lists);
  return head;
}

}  // namespace

bool BuildWordPattern(int update_type, const char *old_name,
                      const char *converted, const char *name_space,
                      std::string *pattern) {
  if (update_type == 2) {
    core::Report(0, core::Msg::kGenericUnsupported);
    return false;
  }
  if (update_type != 0 && update_type != 1) {
    core::Report(0, core::Msg::kUnknownUpdateType);
    return false;
  }
  // An empty name would match the empty text between any two delimiters.
  if (converted[0] == '\0') {
    core::Report(0, core::Msg::kEmptyOldName, old_name,
                 name_space != nullptr ? name_space : "");
    return false;
  }
  const WordBoundary &b = kBoundaries[update_type];
  const size_t fixed = b.before.size() + b.after.size();
  // The limit counts the name's own characters: the escapes written before
  // some of them lengthen the pattern, never the name that fits.
  const size_t longest = kPatternSize - 1 - fixed;
  if (std::strlen(converted) > longest) {
    core::Report(0, core::Msg::kNameTooLongForPattern, old_name,
                 static_cast<int>(longest));
    return false;
  }
  // A name is a name, never an expression: each character to which the
  // dialect gives a meaning is escaped, so that "a.b" matches "a.b" only
  // and "udp_dff$P" its own dollar sign.  The name is escaped into a buffer
  // of twice its limit, then appended at once.
  char escaped[2 * kPatternSize];
  size_t n = 0;
  for (const char *c = converted; *c != '\0'; ++c) {
    if (kMurMeaningful[static_cast<unsigned char>(*c)]) escaped[n++] = '\\';
    escaped[n++] = *c;
  }
  pattern->assign(b.before);
  pattern->append(escaped, n);
  pattern->append(b.after);
  return true;
}

bool SplitWordPattern(std::string_view pattern, int *update_type,
                      std::string_view *name) {
  for (int type = 0; type < 2; ++type) {
    const std::string_view before = kBoundaries[type].before;
    const std::string_view after = kBoundaries[type].after;
    if (pattern.size() > before.size() + after.size() &&
        pattern.substr(0, before.size()) == before &&
        pattern.substr(pattern.size() - after.size()) == after) {
      *update_type = type;
      *name = pattern.substr(before.size(),
                             pattern.size() - before.size() - after.size());
      return true;
    }
  }
  return false;
}

bool SplitWordPattern(std::string_view head, std::string_view middle,
                      std::string_view tail, int *update_type,
                      std::string_view *name) {
  if (head.empty() && tail.empty()) {
    return SplitWordPattern(middle, update_type, name);
  }
  for (int type = 0; type < 2; ++type) {
    if (!middle.empty() && head == kBoundaries[type].before &&
        tail == kBoundaries[type].after) {
      *update_type = type;
      *name = middle;
      return true;
    }
  }
  return false;
}

void ReleaseList(tovUpdtrRegexpList *list) {
  UpdatePlan::For(nullptr, "", false);
  std::vector<UpdateState::NodeBlock> &lists = LayerState().lists;
  std::vector<bool> used(lists.size(), false);
  const std::less<const tovUpdtrRegexpList *> before;
  for (tovUpdtrRegexpList *node = list; node != nullptr; node = node->next) {
    mur_regfree(node->regexp);
    node->regexp = nullptr;
    // A later list may get this address: it has matched nothing yet.
    LayerState().matched.erase(node);
    for (size_t i = 0; i < lists.size(); ++i) {
      const UpdateState::NodeBlock &b = lists[i];
      if (!before(node, b.nodes) && before(node, b.nodes + b.count)) {
        used[i] = true;
      }
    }
  }
  size_t kept = 0;
  for (size_t i = 0; i < lists.size(); ++i) {
    if (used[i]) {
      FreeNodes(lists[i].nodes, lists[i].count);
    } else {
      lists[kept++] = lists[i];
    }
  }
  lists.resize(kept);
}

}  // namespace tov::update

extern "C" TOVUPDTR_API tovUpdtrRegexpList *tovUpdtrGenRegexpList(
    int updateType, const char *nameSpace) {
  return tov::core::Guard<tovUpdtrRegexpList *>(nullptr, [&] {
    return tov::update::GenRegexpList(updateType, nameSpace);
  });
}
