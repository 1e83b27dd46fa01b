#include "services/regex/mur_regexp.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "gtest/gtest.h"

namespace {

// The text of group `group` after searching `text` for `pattern`:
// "<no match>", or "<none>" for a group that took no part.  With `frame`,
// the pattern's first and last `frame` bytes are compiled as a frame.
std::string Find(const char *pattern, const std::string &text, int group = 0,
                 size_t frame = 0) {
  murRegexp *prog = frame == 0 ? mur_regcomp(pattern)
                               : mur_regcomp_framed(pattern, frame, frame);
  if (prog == nullptr) return "<refused>";
  // The pattern comes back whole and in its parts.
  std::string_view head, middle, tail;
  EXPECT_STREQ(mur_regsource(prog), pattern);
  EXPECT_TRUE(mur_regparts(prog, &head, &middle, &tail));
  EXPECT_EQ(std::string(head) + std::string(middle) + std::string(tail),
            pattern);
  if (mur_regexecn(prog, text.data(), text.size()) != 1) return "<no match>";
  const char *start = prog->startp[group];
  if (start == nullptr) return prog->endp[group] == nullptr ? "<none>" : "?";
  // Every position lies inside the text passed.
  EXPECT_TRUE(start >= text.data() && prog->endp[group] >= start &&
              prog->endp[group] <= text.data() + text.size());
  return std::string(start, prog->endp[group]);
}

struct Case {
  const char *pattern;
  std::string text;
  std::string match;  // the whole match, or "<no match>"
};

TEST(MurRegexp, Dialect) {
  const std::string nul("a\0b", 3);
  const Case cases[] = {
      // Braces and Perl-style escapes are plain characters.
      {"a{2}", "aa a{2}", "a{2}"},
      {"\\d\\n\\b", "7\n dnb", "dnb"},
      {"\\w", "a", "<no match>"},
      // A backslash makes the next character literal.
      {"a\\.b", "axb a.b", "a.b"},
      {"\\(\\*\\+\\?\\|\\[\\^\\$\\\\", "(*+?|[^$\\", "(*+?|[^$\\"},
      // '.' is any byte, newline and NUL included, and never a UTF-8
      // character.
      {"a.b", "a\nb", "a\nb"},
      {"a.b", nul, nul},
      {"^.$", "\xc3\xa9", "<no match>"},
      {"\xe9", "\xc3\xa9", "<no match>"},
      {"[\xe0-\xef]+", "ab\xe1\xe9z", "\xe1\xe9"},
      // Classes: ranges, complement (newline, NUL and high bytes included),
      // ']' first and '-' first or last as members, no escapes.
      {"[0-9a-fA-F]+", "zz0a9Fg", "0a9F"},
      {"[^a-z]+", "abc12 DEf", "12 DE"},
      {"[^a]", "a\n", "\n"},
      {"[^a]", std::string("a\0", 2), std::string(1, '\0')},
      {"[^a]", "a\x80", "\x80"},
      {"[]a]+", "x]a]b", "]a]"},
      {"[^]a]+", "]a]bc]", "bc"},
      {"[-a]+", "b-a-c", "-a-"},
      {"[a-]+", "b-a-c", "-a-"},
      {"[a-c-e]+", "x-ae-cd", "-ae-c"},
      {"[\\]]", "] \\]", "\\]"},        // a class of '\', then a literal ']'
      {"[\\-a]+", "-\\]_a-", "\\]_a"},  // '\' starts a range up to 'a'
      // Greedy quantifiers; leftmost match; first alternative that leads to
      // a match.
      {"ab*", "abbbc", "abbb"},
      {"ab+", "ac abbc", "abb"},
      {"ab?c", "ac abc", "ac"},
      {"a.*b", "a1b2b3", "a1b2b"},
      {"b|ab", "xabb", "ab"},
      {"x*", "aaxx", ""},
      {"a|ab", "ab", "a"},
      {"(a|ab)c", "abc", "abc"},
      // Anchors hold only at the ends of the text passed.
      {"^b", "a\nb", "<no match>"},
      {"a$", "ba\n", "<no match>"},
      {"a^b", "a^b ab", "<no match>"},
      {"(^|x)b", "ab xb", "xb"},
      {"^$", "", ""},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(Find(c.pattern, c.text), c.match) << c.pattern;
    // A frame changes nothing that the expression finds; one longer than
    // the pattern is none.
    EXPECT_EQ(Find(c.pattern, c.text, 0, 1), c.match) << c.pattern;
    EXPECT_EQ(Find(c.pattern, c.text, 0, 2), c.match) << c.pattern;
  }
}

TEST(MurRegexp, GroupsNumberedByOpeningParenthesis) {
  const char *pattern = "((a)(b(c)))(d)|(x)";
  const char *expected[] = {"abcd", "abc",    "a",      "bc",     "c",
                            "d",    "<none>", "<none>", "<none>", "<none>"};
  for (int i = 0; i < kMurGroups; ++i) {
    EXPECT_EQ(Find(pattern, "zabcd", i), expected[i]) << i;
  }
  EXPECT_EQ(Find("(a|ab)(c|bcd)(d*)", "abcd", 2), "bcd");
  EXPECT_EQ(Find("a()b", "ab", 1), "");  // empty but took part
  EXPECT_EQ(Find("(a)(b)(c)(d)(e)(f)(g)(h)(i)", "abcdefghi", 9), "i");
}

TEST(MurRegexp, LengthFormAndSuffixSearches) {
  murRegexp *prog = mur_regcomp("^?b(c|$)");
  ASSERT_NE(prog, nullptr);
  const std::string text("a\0b\0bc", 6);
  ASSERT_EQ(mur_regexecn(prog, text.data(), text.size()), 1);
  EXPECT_EQ(prog->startp[0], text.data() + 4);       // past the NUL bytes
  ASSERT_EQ(mur_regexecn(prog, text.data(), 3), 1);  // "b" ends the text
  EXPECT_EQ(prog->endp[0], text.data() + 3);
  EXPECT_EQ(mur_regexec(prog, text.data()), 0);  // stops at the first NUL
  // A failed search leaves no stale positions.
  for (int i = 0; i < kMurGroups; ++i) EXPECT_EQ(prog->startp[i], nullptr);
  // A suffix is a text of its own: '^' holds at its start.
  murRegexp *caret = mur_regcomp("^x");
  const char abc[] = "axb";
  EXPECT_EQ(mur_regexec(caret, abc), 0);
  ASSERT_EQ(mur_regexec(caret, abc + 1), 1);
  EXPECT_EQ(caret->startp[0], abc + 1);
  EXPECT_EQ(mur_regexec(nullptr, "a"), 0);
  EXPECT_EQ(mur_regexec(caret, nullptr), 0);
  EXPECT_EQ(mur_regexecn(caret, nullptr, 3), 0);
}

TEST(MurRegexp, MalformedPatternsAreRefusedBorderlineOnesCompile) {
  for (const char *bad : {
           "(a",
           "a)",
           "(a))",
           "((a)",  // parentheses
           "[a",
           "[",
           "[]",
           "[^]",
           "[]a",  // unterminated classes
           "*a",
           "+",
           "a|*b",
           "(*a)",  // nothing to repeat
           "a**",
           "a+?",
           "a*+",
           "(a)+*",
           "a??",  // nested quantifiers
           "a\\",
           "\\",
           "[z-a]",  // lone '\', bad range
           "(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)",
           "((((((((((a))))))))))",
       }) {
    EXPECT_EQ(mur_regcomp(bad), nullptr) << bad;
  }
  EXPECT_EQ(mur_regcomp(nullptr), nullptr);
  for (const char *good : {"", "()", "a|", "(|a)", "(a*)*", "^*a", "[-]", "[]]",
                           "[a-a]", "{", "(a)(b)(c)(d)(e)(f)(g)(h)(i)"}) {
    EXPECT_NE(mur_regcomp(good), nullptr) << good;
  }
  // Cut into a frame and a middle in every way, a pattern is refused or
  // taken as it is whole; frames that leave a class or an escape open, and
  // middles of more than literal atoms, among them.
  for (const char *pattern :
       {"(a", "[]a", "a\\", "[z-a]", "[z-zz]", "a**", "a+?", "\\[a]b", "[^]]a]",
        "(^|[^a-z])(ab)([^a-z]|$)", "(^|[^a-z])(a\\.b)([^a-z]|$)",
        "(^|[^a-z])(*)([^a-z]|$)", "(^|[^a-z])(a*)([^a-z]|$)"}) {
    const bool whole = mur_regcomp(pattern) != nullptr;
    const size_t n = std::strlen(pattern);
    for (size_t head = 0; head <= n; ++head) {
      for (size_t tail = 0; head + tail <= n; ++tail) {
        EXPECT_EQ(mur_regcomp_framed(pattern, head, tail) != nullptr, whole)
            << pattern << " " << head << " " << tail;
      }
    }
  }
}

TEST(MurRegexp, NestedRepetitionDoesNotRunAway) {
  // A backtracking engine would try some 2^60 ways before giving up here.
  EXPECT_EQ(Find("(a|aa)*c", std::string(60, 'a')), "<no match>");
  EXPECT_EQ(Find("(a*)*b", std::string(100000, 'a')), "<no match>");
}

TEST(MurRegexp, ReleasingSomeExpressionsKeepsTheOthers) {
  // Enough expressions to fill several blocks of the engine's storage.
  std::vector<murRegexp *> progs;
  for (int i = 0; i < 3000; ++i) {
    // The odd ones framed, with heads that soon outnumber what the engine
    // keeps of frames: those after are kept whole.
    const std::string name = "x" + std::to_string(i);
    progs.push_back(i % 2 == 0
                        ? mur_regcomp(name.c_str())
                        : mur_regcomp_framed(name.c_str(), name.size() - 1, 0));
    ASSERT_NE(progs.back(), nullptr);
  }
  // Every other one goes, then the first thousand whole (whole blocks
  // among them); one is released twice.
  for (int i = 0; i < 3000; i += 2) mur_regfree(progs[i]);
  for (int i = 1; i < 1000; i += 2) mur_regfree(progs[i]);
  mur_regfree(progs[1]);
  for (int i = 1001; i < 3000; i += 2) {
    const std::string name = "x" + std::to_string(i);
    ASSERT_EQ(mur_regsource(progs[i]), name);
    ASSERT_EQ(mur_regexec(progs[i], ("a" + name).c_str()), 1) << name;
    EXPECT_EQ(progs[i]->endp[0] - progs[i]->startp[0],
              static_cast<ptrdiff_t>(name.size()));
  }
  for (int i = 1001; i < 3000; i += 2) mur_regfree(progs[i]);
  // With nothing left alive, the storage is used again.
  murRegexp *again = mur_regcomp("y(z)");
  ASSERT_NE(again, nullptr);
  EXPECT_STREQ(mur_regsource(again), "y(z)");
  EXPECT_EQ(Find("y(z)", "xyz", 1), "z");
  mur_regfree(again);
}

}  // namespace
