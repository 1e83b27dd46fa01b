#include "services/regex/mur_regexp.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

// What one search found: whether it matched and, for every group 0 to 9, its
// text, or "<none>" for a group that took no part.
struct Found {
  bool matched = false;
  std::vector<std::string> group;
};

Found Search(const char *pattern, const std::string &text) {
  murRegexp *prog = mur_regcomp(pattern);
  EXPECT_NE(prog, nullptr) << pattern;
  Found f;
  if (prog == nullptr) return f;
  f.matched = mur_regexecn(prog, text.data(), text.size()) == 1;
  for (int i = 0; i < kMurGroups; ++i) {
    if (prog->startp[i] == nullptr) {
      EXPECT_EQ(prog->endp[i], nullptr);
      f.group.push_back("<none>");
      continue;
    }
    // Every position lies inside the text passed.
    EXPECT_GE(prog->startp[i], text.data());
    EXPECT_LE(prog->endp[i], text.data() + text.size());
    EXPECT_LE(prog->startp[i], prog->endp[i]);
    f.group.emplace_back(prog->startp[i], prog->endp[i]);
  }
  return f;
}

bool Matches(const char *pattern, const std::string &text) {
  return Search(pattern, text).matched;
}

// The whole match, or "<no match>".
std::string Match0(const char *pattern, const std::string &text) {
  Found f = Search(pattern, text);
  return f.matched ? f.group[0] : "<no match>";
}

TEST(MurRegexp, BracesAndOtherPunctuationAreLiteral) {
  EXPECT_EQ(Match0("a{2}", "aa a{2}"), "a{2}");
  EXPECT_EQ(Match0("x{1,}", "xx{1,}"), "x{1,}");
  EXPECT_EQ(Match0("}{", "a}{b"), "}{");
  EXPECT_EQ(Match0("#=@%&", "1#=@%&2"), "#=@%&");
  // Perl-style escapes have no meaning: \d is a d, \n an n, \b a b.
  EXPECT_EQ(Match0("\\d\\n\\b", "7\n dnb"), "dnb");
  EXPECT_FALSE(Matches("\\w", "a"));
}

TEST(MurRegexp, BackslashMakesTheNextCharacterLiteral) {
  EXPECT_EQ(Match0("a\\.b", "axb a.b"), "a.b");
  EXPECT_EQ(Match0("\\(x\\)", "(x)"), "(x)");
  EXPECT_EQ(Match0("\\*\\+\\?\\|", "*+?|"), "*+?|");
  EXPECT_EQ(Match0("\\[a]", "a [a]"), "[a]");
  EXPECT_EQ(Match0("\\^\\$", "x^$"), "^$");
  EXPECT_EQ(Match0("\\\\", "a\\b"), "\\");
}

TEST(MurRegexp, DotIsAnyByteNewlineAndNulIncluded) {
  EXPECT_EQ(Match0("a.b", "a\nb"), "a\nb");
  EXPECT_EQ(Match0("a.b", std::string("a\0b", 3)), std::string("a\0b", 3));
  EXPECT_EQ(Match0("a.b",
                   "a\xff"
                   "b"),
            "a\xff"
            "b");
  // One byte, never one UTF-8 character: e-acute is two bytes here.
  EXPECT_FALSE(Matches("^.$", "\xc3\xa9"));
  EXPECT_TRUE(Matches("^..$", "\xc3\xa9"));
}

TEST(MurRegexp, BytesAboveAsciiAreLatin1Characters) {
  EXPECT_EQ(Match0("\xe9t\xe9", "caf\xe9t\xe9"), "\xe9t\xe9");
  EXPECT_EQ(Match0("[\xe0-\xef]+", "ab\xe1\xe9\xefz"), "\xe1\xe9\xef");
  EXPECT_EQ(Match0("[^\xe9]", "\xe9\xe9x"), "x");
  // A byte of a UTF-8 sequence does not match the character it belongs to.
  EXPECT_FALSE(Matches("\xe9", "\xc3\xa9"));
}

TEST(MurRegexp, ClassesWithRangesAndComplement) {
  EXPECT_EQ(Match0("[a-c]+", "xxabcabd"), "abcab");
  EXPECT_EQ(Match0("[0-9a-fA-F]+", "zz0a9Fg"), "0a9F");
  EXPECT_EQ(Match0("[^a-z]+", "abc12 DEf"), "12 DE");
  EXPECT_EQ(Match0("[a-c-e]+", "x-ae-cd"), "-ae-c");
  EXPECT_FALSE(Matches("[a-c]", "d-"));
}

TEST(MurRegexp, ComplementMatchesNewlineNulAndHighBytes) {
  EXPECT_EQ(Match0("[^a]", "a\n"), "\n");
  EXPECT_EQ(Match0("[^a]", std::string("a\0", 2)), std::string(1, '\0'));
  EXPECT_EQ(Match0("[^a]", "a\x80"), "\x80");
}

TEST(MurRegexp, BracketFirstAndDashFirstOrLastAreMembers) {
  EXPECT_EQ(Match0("[]a]+", "x]a]b"), "]a]");
  EXPECT_EQ(Match0("[^]a]+", "]a]bc]"), "bc");
  EXPECT_EQ(Match0("[-a]+", "b-a-c"), "-a-");
  EXPECT_EQ(Match0("[a-]+", "b-a-c"), "-a-");
  EXPECT_EQ(Match0("[^-]+", "--ab-"), "ab");
}

TEST(MurRegexp, BackslashInsideAClassIsAnOrdinaryMember) {
  // "[\]" is a class of one backslash; the second ']' is a literal.
  EXPECT_EQ(Match0("[\\]]", "] \\]"), "\\]");
  EXPECT_FALSE(Matches("[\\]]", "]"));
  EXPECT_EQ(Match0("[\\n]+", "\nab\\nn"), "\\nn");
  // Not an escaped '-': the backslash starts a range up to 'a'.
  EXPECT_EQ(Match0("[\\-a]+", "-\\]_a-"), "\\]_a");
}

TEST(MurRegexp, QuantifiersAreGreedy) {
  EXPECT_EQ(Match0("ab*", "abbbc"), "abbb");
  EXPECT_EQ(Match0("ab*", "ac"), "a");
  EXPECT_EQ(Match0("ab+", "ac abbc"), "abb");
  EXPECT_EQ(Match0("ab?c", "ac abc abbc"), "ac");
  EXPECT_EQ(Match0("(ab)+", "xababa"), "abab");
  EXPECT_EQ(Match0("a.*b", "a1b2b3"), "a1b2b");
}

TEST(MurRegexp, LeftmostMatchWins) {
  EXPECT_EQ(Match0("b|ab", "xabb"), "ab");
  Found f = Search("x*", "aaxx");
  ASSERT_TRUE(f.matched);
  EXPECT_EQ(f.group[0], "");  // the empty match at the very start
}

TEST(MurRegexp, FirstAlternativeThatLeadsToAMatchWins) {
  Found f = Search("(a|ab)(c|bcd)(d*)", "abcd");
  ASSERT_TRUE(f.matched);
  EXPECT_EQ(f.group[1], "a");
  EXPECT_EQ(f.group[2], "bcd");
  EXPECT_EQ(f.group[3], "");
  // Not the longest: the first alternative is enough.
  EXPECT_EQ(Match0("a|ab", "ab"), "a");
  // The first alternative is given up when it cannot lead to a match.
  EXPECT_EQ(Match0("(a|ab)c", "abc"), "abc");
}

TEST(MurRegexp, GroupsAreNumberedByTheirOpeningParenthesis) {
  Found f = Search("((a)(b(c)))(d)", "xabcd");
  ASSERT_TRUE(f.matched);
  EXPECT_EQ(f.group[0], "abcd");
  EXPECT_EQ(f.group[1], "abc");
  EXPECT_EQ(f.group[2], "a");
  EXPECT_EQ(f.group[3], "bc");
  EXPECT_EQ(f.group[4], "c");
  EXPECT_EQ(f.group[5], "d");
  for (int i = 6; i < kMurGroups; ++i) EXPECT_EQ(f.group[i], "<none>") << i;
}

TEST(MurRegexp, GroupThatTookNoPartIsNull) {
  Found f = Search("(x)|(y)", "y");
  ASSERT_TRUE(f.matched);
  EXPECT_EQ(f.group[1], "<none>");
  EXPECT_EQ(f.group[2], "y");
  // An empty group that took part is not NULL.
  f = Search("a()b", "ab");
  ASSERT_TRUE(f.matched);
  EXPECT_EQ(f.group[1], "");
}

TEST(MurRegexp, PositionsPointIntoTheTextPassed) {
  murRegexp *prog = mur_regcomp("(b+)");
  ASSERT_NE(prog, nullptr);
  const char text[] = "aabbbc";
  ASSERT_EQ(mur_regexec(prog, text), 1);
  EXPECT_EQ(prog->startp[1], text + 2);
  EXPECT_EQ(prog->endp[1], text + 5);
  EXPECT_EQ(prog->startp[0], text + 2);
}

TEST(MurRegexp, FailedSearchLeavesNoStalePositions) {
  murRegexp *prog = mur_regcomp("(b)");
  ASSERT_NE(prog, nullptr);
  ASSERT_EQ(mur_regexec(prog, "abc"), 1);
  ASSERT_EQ(mur_regexec(prog, "xyz"), 0);
  for (int i = 0; i < kMurGroups; ++i) {
    EXPECT_EQ(prog->startp[i], nullptr) << i;
    EXPECT_EQ(prog->endp[i], nullptr) << i;
  }
}

TEST(MurRegexp, AnchorsHoldOnlyAtTheEndsOfTheText) {
  EXPECT_TRUE(Matches("^ab", "abc"));
  EXPECT_FALSE(Matches("^b", "a\nb"));
  EXPECT_TRUE(Matches("c$", "abc"));
  EXPECT_FALSE(Matches("a$", "a\nb"));
  EXPECT_FALSE(Matches("a$", "ba\n"));  // not before a final newline either
  EXPECT_FALSE(Matches("a^b", "a^b ab"));
  EXPECT_TRUE(Matches("^$", ""));
  EXPECT_EQ(Match0("(^|x)b", "ab xb"), "xb");
  EXPECT_EQ(Match0("(^|x)b", "bab"), "b");
}

TEST(MurRegexp, WholeWordExpressionFindsTheNameAndItsBoundaries) {
  const char *pattern = "(^|[^a-zA-Z0-9_])(lib1)([^a-zA-Z0-9_]|$)";
  Found f = Search(pattern, "mylib1 lib10 (lib1)");
  ASSERT_TRUE(f.matched);
  EXPECT_EQ(f.group[1], "(");
  EXPECT_EQ(f.group[2], "lib1");
  EXPECT_EQ(f.group[3], ")");
  f = Search(pattern, "lib1");
  ASSERT_TRUE(f.matched);
  EXPECT_EQ(f.group[1], "");
  EXPECT_EQ(f.group[3], "");
  EXPECT_FALSE(Matches(pattern, "my_lib1 lib1_ xlib1"));
}

TEST(MurRegexp, LengthFormSearchesExactlyTheBytesGiven) {
  murRegexp *prog = mur_regcomp("b(c|$)");
  ASSERT_NE(prog, nullptr);
  const std::string text("a\0b\0bc", 6);
  // Past the NUL bytes.
  ASSERT_EQ(mur_regexecn(prog, text.data(), text.size()), 1);
  EXPECT_EQ(prog->startp[0], text.data() + 4);
  // Only the first three bytes: the "b" at their end is at the end of text.
  ASSERT_EQ(mur_regexecn(prog, text.data(), 3), 1);
  EXPECT_EQ(prog->startp[0], text.data() + 2);
  EXPECT_EQ(prog->endp[0], text.data() + 3);
  // Nothing beyond the length is seen.
  EXPECT_EQ(mur_regexecn(prog, "abc", 1), 0);
  // The NUL-terminated form stops at the first NUL.
  EXPECT_EQ(mur_regexec(prog, text.data()), 0);
}

TEST(MurRegexp, SearchOfASuffixTreatsItsStartAsTheStartOfText) {
  murRegexp *prog = mur_regcomp("^x");
  ASSERT_NE(prog, nullptr);
  const char text[] = "axb";
  EXPECT_EQ(mur_regexec(prog, text), 0);
  ASSERT_EQ(mur_regexec(prog, text + 1), 1);
  EXPECT_EQ(prog->startp[0], text + 1);
}

TEST(MurRegexp, MalformedPatternsAreRefused) {
  const char *const bad[] = {
      "(a",
      "a)",
      ")",
      "(a))",
      "((a)",  // parentheses
      "[a",
      "[",
      "[]",
      "[^]",
      "[]a",  // classes
      "*a",
      "+",
      "?x",
      "a|*b",
      "(*a)",  // nothing before
      "a**",
      "a+?",
      "a*+",
      "(a)+*",
      "a??",  // nested
      "a\\",
      "\\",     // lone '\'
      "[z-a]",  // reversed range
      "(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)",
      "((((((((((a))))))))))",  // 10 groups
  };
  for (const char *pattern : bad) {
    EXPECT_EQ(mur_regcomp(pattern), nullptr) << pattern;
  }
  EXPECT_EQ(mur_regcomp(nullptr), nullptr);
}

TEST(MurRegexp, BorderlineButWellFormedPatternsCompile) {
  const char *const good[] = {
      "",      "()",   "a|",  "|a",  "(|a)",
      "(a*)*", "^*a",  "[-]", "[]]", "[^]]",
      "[a-a]", "a\\*", "{",   "}",   "(a)(b)(c)(d)(e)(f)(g)(h)(i)",
  };
  for (const char *pattern : good) {
    EXPECT_NE(mur_regcomp(pattern), nullptr) << pattern;
  }
  Found f = Search("(a)(b)(c)(d)(e)(f)(g)(h)(i)", "abcdefghi");
  ASSERT_TRUE(f.matched);
  EXPECT_EQ(f.group[9], "i");
  EXPECT_EQ(Match0("", "abc"), "");
}

TEST(MurRegexp, NullArgumentsDoNotMatch) {
  murRegexp *prog = mur_regcomp("a");
  ASSERT_NE(prog, nullptr);
  EXPECT_EQ(mur_regexec(nullptr, "a"), 0);
  EXPECT_EQ(mur_regexec(prog, nullptr), 0);
  EXPECT_EQ(mur_regexecn(prog, nullptr, 3), 0);
}

TEST(MurRegexp, NestedRepetitionDoesNotRunAway) {
  // A backtracking engine would try some 2^60 ways before giving up here.
  EXPECT_FALSE(Matches("(a|aa)*c", std::string(60, 'a')));
  EXPECT_FALSE(Matches("(a*)*b", std::string(100000, 'a')));
}

}  // namespace
