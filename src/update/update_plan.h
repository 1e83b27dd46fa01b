// How a file update applies an expression list.
//
// A run of consecutive nodes whose expressions are whole-word expressions of
// plain names, with plain new names, is applied in one pass over the text
// (PlainRewriter); every other node is applied alone by searching the text
// with its expression.  The plan of a list is worked out once and reused for
// every file while the list stays as it was.
#ifndef TOVUPDTR_UPDATE_UPDATE_PLAN_H_
#define TOVUPDTR_UPDATE_UPDATE_PLAN_H_

#include <memory>
#include <string>
#include <vector>

#include "tovUpdtr.h"
#include "update/plain_rewriter.h"

namespace tov::update {

class UpdatePlan {
 public:
  // One step: the nodes it stands for, in list order, and for a run of plain
  // names their one-pass rewriter (NULL for a node applied alone).
  struct Step {
    std::vector<tovUpdtrRegexpList *> nodes;
    std::unique_ptr<PlainRewriter> rewriter;
  };

  // The plan of `list` with new names converted into `name_space`.  The
  // plan is the library's and stays valid until the next call.
  static UpdatePlan &For(tovUpdtrRegexpList *list, const char *name_space);

  const std::vector<Step> &steps() const { return steps_; }

 private:
  UpdatePlan(tovUpdtrRegexpList *list, const char *name_space);
  // True when `list` and `name_space` are still those this plan was made of.
  bool Fits(tovUpdtrRegexpList *list, const char *name_space) const;

  std::string name_space_;
  // Every node as the plan saw it, in order: a list that was changed in any
  // of them gets a new plan.
  struct Seen {
    const tovUpdtrRegexpList *node;
    const void *element;
    const void *regexp;
  };
  std::vector<Seen> seen_;
  std::vector<Step> steps_;
};

}  // namespace tov::update

#endif  // TOVUPDTR_UPDATE_UPDATE_PLAN_H_
