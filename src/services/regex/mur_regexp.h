// Regular-expression engine of the design-library service.
//
// Dialect: '.' any byte (newline included); '[...]' a class with ranges, '^'
// first for the complement, ']' first and '-' first or last literal, no
// escapes inside; postfix '*', '+', '?'; '(' ')' groups 1 to 9 numbered by
// their opening parenthesis; '|'; '^' and '$' at the start and end of the text
// passed; '\c' is c itself; every other character is literal.  Bytes are
// bytes (Latin-1).  The leftmost match wins; at one start the first
// alternative that leads to a match wins.  Matching is linear in the text.
#ifndef TOVUPDTR_SERVICES_REGEX_MUR_REGEXP_H_
#define TOVUPDTR_SERVICES_REGEX_MUR_REGEXP_H_

#include <cstddef>

constexpr int kMurGroups = 10;

struct murRegexp {
  // After a search: where group i (0 = the whole match, up to kMurGroups - 1)
  // starts and ends in the text passed; NULL for a group that took no part,
  // and for every group when nothing matched.  The arrays are made by the
  // first search, so that an expression never searched with stays small.
  const char *const *startp;
  const char *const *endp;
  void *impl;  // the engine's own; never touched by callers
};

// Compiles `pattern`; NULL when it cannot be compiled.  The result lives until
// the process ends.
murRegexp *mur_regcomp(const char *pattern);
// Releases `prog` (from mur_regcomp) and everything behind it; NULL is
// harmless.  The library itself keeps every expression to the end; this is
// for programs that compile expressions without end, such as the fuzz
// targets.
void mur_regfree(murRegexp *prog);
// The pattern `prog` was compiled from ("" for NULL); owned by the engine.
const char *mur_regsource(const murRegexp *prog);
// Searches the NUL-terminated `text`; 1 on a match, 0 otherwise (NULL
// arguments included).
int mur_regexec(murRegexp *prog, const char *text);
// Searches the `len` bytes at `text` (which may hold NUL bytes); 1 on a match,
// 0 otherwise.
int mur_regexecn(murRegexp *prog, const char *text, size_t len);

#endif  // TOVUPDTR_SERVICES_REGEX_MUR_REGEXP_H_
