// The occurrences of several whole-word expressions in one text, for renames
// applied together: each expression finds its names in the text as it was
// read, as if it were the only one, and where the names found by two of them
// overlap the one that starts first is kept (of two that start at one place,
// the one listed first).  What is kept is replaced by the new names in one
// step, so no rename sees what another made.
#ifndef TOVUPDTR_UPDATE_TOGETHER_H_
#define TOVUPDTR_UPDATE_TOGETHER_H_

#include <cstddef>
#include <vector>

#include "services/regex/mur_regexp.h"

namespace tov::update {

// A name found: text[start, end) by the expression at `index` of the list
// searched.
struct Occurrence {
  size_t start;
  size_t end;
  size_t index;
};

// The occurrences that the expressions `regexps` find in the `length` bytes
// at `text`, group `name_group` of each match being the name, merged as
// above into *found, in text order.  Each expression searches on from the
// end of its last name, which it does not consume the delimiter after; a
// name found empty ends that expression's search.
void FindTogether(const std::vector<murRegexp *> &regexps, int name_group,
                  const char *text, size_t length,
                  std::vector<Occurrence> *found);

}  // namespace tov::update

#endif  // TOVUPDTR_UPDATE_TOGETHER_H_
