// How a file update applies an expression list.
//
// A run of consecutive nodes whose expressions are whole-word expressions of
// plain names, with plain new names, is applied in one pass over the text
// (PlainRewriter); every other node is applied alone by searching the text
// with its expression.  Renames applied together (every name the text holds
// becoming its own new name at once) are one step: one pass when every node
// is a plain rename of one update type, otherwise a search with each
// expression whose occurrences are then merged.  The plan of a list is
// worked out once and reused for every file while the list stays as it
// was.
#ifndef TOVUPDTR_UPDATE_UPDATE_PLAN_H_
#define TOVUPDTR_UPDATE_UPDATE_PLAN_H_

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "tovUpdtr.h"
#include "update/plain_rewriter.h"

namespace tov::update {

// Nodes of a list, as many as the list may hold.
using NodeList =
    std::vector<tovUpdtrRegexpList *, LargeAllocator<tovUpdtrRegexpList *>>;

class UpdatePlan {
 public:
  // One step: the nodes it stands for, in list order, and for a run of plain
  // names their one-pass rewriter (NULL for a node applied alone).
  struct Step {
    NodeList nodes;
    std::unique_ptr<PlainRewriter> rewriter;
  };

  // The plan of `list` with new names converted into `name_space`, its
  // renames applied one after the other or `together`.  The plan is the
  // library's and stays valid until the next call.
  ~UpdatePlan();
  UpdatePlan(const UpdatePlan &) = delete;
  UpdatePlan &operator=(const UpdatePlan &) = delete;

  static UpdatePlan &For(tovUpdtrRegexpList *list, const char *name_space,
                         bool together);

  const std::vector<Step> &steps() const { return steps_; }
  bool together() const { return together_; }

  // Adds to *nodes every node whose rename replaced a name in a text that a
  // step's one-pass rewriter searched.
  void AddMatched(std::unordered_set<const tovUpdtrRegexpList *> *nodes);

 private:
  UpdatePlan(tovUpdtrRegexpList *list, const char *name_space, bool together);
  // True when `list`, `name_space` and `together` are still those this plan
  // was made of.
  bool Fits(tovUpdtrRegexpList *list, const char *name_space,
            bool together) const;

  std::string name_space_;
  bool together_;
  // The searches of each step's rewriter when their matches were last
  // added up.
  std::vector<uint64_t> searches_added_;
  // Every node as the plan saw it, in order: a list that was changed in any
  // of them gets a new plan.  A node, its element and its expression are
  // kept as their distances in bytes from those of the node before (the
  // library makes each kind one after the other, so the distances are
  // small); a node with a distance that does not fit is marked kFar and
  // kept whole in far_.
  struct Seen {
    const tovUpdtrRegexpList *node;
    const void *element;
    const void *regexp;
  };
  struct SeenStep {
    int32_t node;
    int32_t element;
    int32_t regexp;
  };
  static constexpr int32_t kFar = INT32_MIN;
  std::vector<SeenStep, LargeAllocator<SeenStep>> seen_;
  std::vector<Seen> far_;
  // The new names of the one-pass rewriters, copied where they do not move.
  class KeptNames;
  std::unique_ptr<KeptNames> names_;
  std::vector<Step> steps_;
};

}  // namespace tov::update

#endif  // TOVUPDTR_UPDATE_UPDATE_PLAN_H_
