#include "unified_diff.h"

#include <random>
#include <string>
#include <vector>

#include "diff_check.h"
#include "gtest/gtest.h"
#include "support/test_support.h"

namespace {

using tov::cli::DiffOptions;
using tov::cli::UnifiedDiff;
using tov::test::ApplyUnifiedDiff;
using tov::test::TempDir;

// Lines "l1\n" ... "lN\n".
std::string Numbered(int n) {
  std::string text;
  for (int i = 1; i <= n; ++i) text += "l" + std::to_string(i) + "\n";
  return text;
}

// `text` with the line "lN\n" replaced by `line`.
std::string Replace(std::string text, int n, const std::string &line) {
  const std::string old_line = "l" + std::to_string(n) + "\n";
  size_t at = ("\n" + text).find("\n" + old_line);
  return text.replace(at, old_line.size(), line);
}

#ifndef _WIN32
// (The system's diff program is there on POSIX systems only.)
using tov::test::SystemDiff;

// The diff of two texts as the system's diff writes it.
std::string Expected(const std::string &old_text, const std::string &new_text) {
  TempDir dir;
  return SystemDiff(dir.Write("old", old_text), dir.Write("new", new_text),
                    "a/f.txt", "b/f.txt");
}

TEST(UnifiedDiff, MatchesTheSystemDiffOnPlainChanges) {
  const std::string base = Numbered(30);
  struct Case {
    const char *what;
    std::string old_text, new_text;
  };
  const std::vector<Case> cases = {
      {"one line in the middle", base, Replace(base, 15, "x\n")},
      {"changes 6 lines apart share a hunk", base,
       Replace(Replace(base, 10, "x\n"), 17, "y\n")},
      {"changes 7 lines apart get two hunks", base,
       Replace(Replace(base, 10, "x\n"), 18, "y\n")},
      {"first and last line", base,
       Replace(Replace(base, 1, "x\n"), 30, "y\n")},
      {"lines added and removed", base,
       Replace(Replace(base, 4, ""), 20, "l20\nnew1\nnew2\n")},
      {"from nothing", "", "a\nb\n"},
      {"to nothing", "a\nb\n", ""},
      {"old text without a last line end", "a\nb\nc", "a\nB\nc"},
      {"last line end added", "a\nb\nc", "a\nb\nc\n"},
      {"last line end removed", "a\nb\nc\n", "a\nb\nc"},
      {"changed last line, no line ends", "a\nb", "a\nc"},
      {"carriage returns are part of a line", "a\r\nb\r\n", "a\r\nc\r\n"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(UnifiedDiff(c.old_text, c.new_text, "a/f.txt", "b/f.txt"),
              Expected(c.old_text, c.new_text))
        << c.what;
  }
}

#endif  // !_WIN32

TEST(UnifiedDiff, EqualTextsGiveNothingAndBinaryTextsOneLine) {
  EXPECT_EQ(UnifiedDiff("a\nb\n", "a\nb\n", "x", "y"), "");
  EXPECT_EQ(UnifiedDiff("", "", "x", "y"), "");
  const std::string binary("a\0b\n", 4);
  EXPECT_EQ(UnifiedDiff(binary, "a b\n", "p", "p"),
            "Binary files p and p differ\n");
  EXPECT_EQ(UnifiedDiff("a b\n", binary, "p", "q"),
            "Binary files p and q differ\n");
}

TEST(UnifiedDiff, ContextIsAnOption) {
  const std::string base = Numbered(10);
  DiffOptions none;
  none.context = 0;
  EXPECT_EQ(UnifiedDiff(base, Replace(base, 5, "x\n"), "a", "b", none),
            "--- a\n+++ b\n@@ -5 +5 @@\n-l5\n+x\n");
  // Without context, a pure insertion names the line it follows.
  EXPECT_EQ(UnifiedDiff(base, Replace(base, 5, "l5\nx\n"), "a", "b", none),
            "--- a\n+++ b\n@@ -5,0 +6 @@\n+x\n");
}

TEST(UnifiedDiff, ColourMarksEveryKindOfLine) {
  DiffOptions colour;
  colour.colour = true;
  const std::string diff =
      UnifiedDiff("a\nb\nc\n", "a\nB\nc\n", "x", "y", colour);
  EXPECT_EQ(diff,
            "\033[1m--- x\n+++ y\n\033[0m"
            "\033[36m@@ -1,3 +1,3 @@\033[0m\n"
            " a\n"
            "\033[31m-b\033[0m\n"
            "\033[32m+B\033[0m\n"
            " c\n");
}

// Random edits of texts with many repeated lines, the hard case for
// aligning: every diff must turn the old text into the new one when applied
// as patch would, with hunk headers that agree with their lines.
TEST(UnifiedDiff, RandomEditsApplyBack) {
  std::mt19937 random(20261208);
  const std::vector<std::string> words = {"a", "b", "c", "d", "end", "x"};
  auto line = [&] {
    return words[random() % words.size()] + (random() % 4 == 0 ? " 1" : "");
  };
  for (int round = 0; round < 400; ++round) {
    std::vector<std::string> old_lines(random() % 40);
    for (std::string &l : old_lines) l = line();
    std::vector<std::string> new_lines = old_lines;
    for (int edits = random() % 8; edits > 0; --edits) {
      size_t at = new_lines.empty() ? 0 : random() % new_lines.size();
      switch (random() % 3) {
        case 0:
          new_lines.insert(new_lines.begin() + at, line());
          break;
        case 1:
          if (!new_lines.empty()) new_lines.erase(new_lines.begin() + at);
          break;
        default:
          if (!new_lines.empty()) new_lines[at] = line();
      }
    }
    auto join = [&](const std::vector<std::string> &lines) {
      std::string text;
      for (const std::string &l : lines) text += l + "\n";
      if (!text.empty() && random() % 5 == 0) text.pop_back();
      return text;
    };
    const std::string old_text = join(old_lines), new_text = join(new_lines);
    DiffOptions options;
    options.context = static_cast<int>(random() % 4);
    const std::string diff =
        UnifiedDiff(old_text, new_text, "old", "new", options);
    if (old_text == new_text) {
      EXPECT_EQ(diff, "");
      continue;
    }
    std::string applied, why;
    ASSERT_TRUE(ApplyUnifiedDiff(old_text, diff, &applied, &why)) << why << "\n"
                                                                  << diff;
    ASSERT_EQ(applied, new_text) << diff;
  }
}

// A large text in which every tenth line changes keeps its diff exact: one
// pair of lines per change.
TEST(UnifiedDiff, LargeTextsStayLineByLine) {
  std::string old_text, new_text;
  for (int i = 0; i < 50000; ++i) {
    const std::string common = "  cell u" + std::to_string(i) + " (.A(n));\n";
    old_text += i % 10 == 3 ? "  inv u" + std::to_string(i) + ";\n" : common;
    new_text += i % 10 == 3 ? "  inv_x1 u" + std::to_string(i) + ";\n" : common;
  }
  const std::string diff = UnifiedDiff(old_text, new_text, "a", "b");
  size_t removed = 0, added = 0;
  for (size_t at = 0; at != std::string::npos;
       at = diff.find('\n', at), at = at == std::string::npos ? at : at + 1) {
    if (diff.compare(at, 3, "---") == 0 || diff.compare(at, 3, "+++") == 0) {
      continue;
    }
    removed += diff.compare(at, 1, "-") == 0;
    added += diff.compare(at, 1, "+") == 0;
  }
  EXPECT_EQ(removed, 5000u);
  EXPECT_EQ(added, 5000u);
  std::string applied, why;
  ASSERT_TRUE(ApplyUnifiedDiff(old_text, diff, &applied, &why)) << why;
  EXPECT_EQ(applied, new_text);
}

}  // namespace
