// The whole-word expressions of the expression list.
#ifndef TOVUPDTR_UPDATE_REGEXP_LIST_H_
#define TOVUPDTR_UPDATE_REGEXP_LIST_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "tovUpdtr.h"

namespace tov::update {

// The pattern buffer holds 260 bytes, NUL included.
constexpr size_t kPatternSize = 260;

// Builds into *pattern the expression that finds `converted` (a name already
// in the target name space) as a whole word under `update_type` (0 or 1):
// group 1 the boundary before it, group 2 the name, group 3 the boundary
// after it.  False, after reporting why, for another update type, an empty
// name (it would match between any two delimiters) or a name too long for
// the pattern buffer.  `old_name` (the name as the mapping holds it) and
// `name_space` only fill the messages.
bool BuildWordPattern(int update_type, const char *old_name,
                      const char *converted, const char *name_space,
                      std::string *pattern);

// The inverse of BuildWordPattern: true when `pattern` is the whole-word
// expression of some name under update type 0 or 1, with *update_type and
// *name set.
bool SplitWordPattern(std::string_view pattern, int *update_type,
                      std::string_view *name);
// The same for a pattern in three parts, as an expression compiled with a
// frame keeps it: true when the frame is the word boundary of an update type
// (or there is none and the middle is the whole expression of a name).  A
// pattern framed otherwise is not taken apart.
bool SplitWordPattern(std::string_view head, std::string_view middle,
                      std::string_view tail, int *update_type,
                      std::string_view *name);

// Gives back the nodes of `list`, a list from tovUpdtrGenRegexpList, and
// their expressions, after dropping the plan kept for the last list applied
// (a later list may get the same addresses).  The library keeps every list
// to the end of the process; this is for programs that make lists without
// end, such as the fuzz targets.
void ReleaseList(tovUpdtrRegexpList *list);

}  // namespace tov::update

#endif  // TOVUPDTR_UPDATE_REGEXP_LIST_H_
