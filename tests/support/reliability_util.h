// Helpers of the reliability tests: from-to lists loaded through the public
// calls, mappings and lists as text, the names left in a directory, and the
// leak check.
#ifndef TOVUPDTR_TESTS_SUPPORT_RELIABILITY_UTIL_H_
#define TOVUPDTR_TESTS_SUPPORT_RELIABILITY_UTIL_H_

#include <set>
#include <string>

#include "support/test_support.h"
#include "tovUpdtr.h"

namespace tov::test {

// Writes `from_to` to `dir`/from_to.txt and loads it at `level`.
Outcome LoadList(const TempDir &dir, const std::string &from_to, int level,
                 const char *name_space = "LibraryNT", int case_sensitive = 0);

// Every element of the mapping in walk order, one line each, members
// separated by '|'.
std::string MappingText();

// The number of nodes of `list` and their patterns, one line each.
std::string ListText(const tovUpdtrRegexpList *list);

// The names in `dir` (not below it).
std::set<std::string> Names(const std::string &dir);

// True when this program runs under AddressSanitizer.
bool UnderAddressSanitizer();
// Under AddressSanitizer: whether a leak check now finds blocks that nothing
// points to (each found leak is printed).  Otherwise false.
bool LeaksFound();

}  // namespace tov::test

#endif  // TOVUPDTR_TESTS_SUPPORT_RELIABILITY_UTIL_H_
