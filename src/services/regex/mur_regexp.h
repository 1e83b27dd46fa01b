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

#include <array>
#include <cstddef>
#include <string_view>

constexpr int kMurGroups = 10;

// The bytes that stand for something else than themselves in a pattern,
// outside a class (']' with them): after a '\\' each stands for itself.
inline constexpr std::array<bool, 256> kMurMeaningful = [] {
  std::array<bool, 256> meaningful{};
  for (const char *c = ".[]()*+?|^$\\"; *c != '\0'; ++c) {
    meaningful[static_cast<unsigned char>(*c)] = true;
  }
  return meaningful;
}();

struct murRegexp {
  // After a search: where group i (0 = the whole match, up to kMurGroups - 1)
  // starts and ends in the text passed; NULL for a group that took no part,
  // and for every group when nothing matched.  The arrays are made by the
  // first search (or the first mur_regsource of a framed expression), so
  // that an expression never searched with stays small; until then both
  // are NULL.
  const char *const *startp;
  const char *const *endp;
  void *impl;  // the engine's own; never touched by callers
};

// Compiles `pattern`; NULL when it cannot be compiled.  The result lives until
// the process ends.
murRegexp *mur_regcomp(const char *pattern);
// mur_regcomp of a pattern whose first `head` and last `tail` bytes are a
// frame that many patterns share, such as the word boundaries around a
// name: the engine keeps each frame once, and each expression only what
// lies between.  The expression is the same as mur_regcomp's.
murRegexp *mur_regcomp_framed(const char *pattern, size_t head, size_t tail);
// Releases `prog` (from mur_regcomp) and everything behind it; NULL is
// harmless.  The library itself keeps every expression to the end; this is
// for programs that compile expressions without end, such as the fuzz
// targets.
void mur_regfree(murRegexp *prog);
// The pattern `prog` was compiled from ("" for NULL); owned by the engine.
// The pattern of a framed expression is put together on the first call
// (std::bad_alloc when memory ran out).
const char *mur_regsource(const murRegexp *prog);
// The pattern of `prog` in the three parts it was compiled with: the head
// and tail of its frame (empty when it was compiled whole) and the middle.
// They are the engine's and live as long as the expression.  False for
// NULL.
bool mur_regparts(const murRegexp *prog, std::string_view *head,
                  std::string_view *middle, std::string_view *tail);
// Searches the NUL-terminated `text`; 1 on a match, 0 otherwise (NULL
// arguments included).
int mur_regexec(murRegexp *prog, const char *text);
// Searches the `len` bytes at `text` (which may hold NUL bytes); 1 on a match,
// 0 otherwise.
int mur_regexecn(murRegexp *prog, const char *text, size_t len);

#endif  // TOVUPDTR_SERVICES_REGEX_MUR_REGEXP_H_
