#include "update/plain_rewriter.h"

#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

using tov::update::PlainRename;
using tov::update::PlainRewriter;

// An independent model of the node-by-node rewrite: for each rename, search
// the rest of the text with the whole-word expression of the update type and
// replace what the name group matched, restarting at its end.
std::string NodeByNode(int type, const std::vector<PlainRename> &renames,
                       std::string text, bool *touched, size_t *longest) {
  *touched = false;
  *longest = text.size();
  const char *before = type == 0 ? "(^|[^a-zA-Z0-9_])(" : "(^|[^a-zA-Z_])(";
  const char *after = type == 0 ? ")([^a-zA-Z0-9_]|$)" : ")([^a-zA-Z0-9$_]|$)";
  for (const PlainRename &r : renames) {
    std::regex re(before + r.from + after);
    std::string out;
    size_t pos = 0;
    std::smatch m;
    std::string rest = text;
    while (std::regex_search(rest, m, re)) {
      out += rest.substr(0, m.position(2));
      out += r.to;
      *touched = true;
      rest = rest.substr(m.position(2) + m.length(2));
    }
    out += rest;
    (void)pos;
    text = out;
    *longest = std::max(*longest, text.size());
  }
  return text;
}

struct Case {
  int type;
  std::vector<PlainRename> renames;
  std::string text;
};

// Rewrites `text` with room to spare; "untouched" when nothing matched.
std::string RewriteAll(PlainRewriter &rewriter, const std::string &text,
                       PlainRewriter::Result *result) {
  std::vector<char> out(2 * text.size() + 64, 'U');
  *result = rewriter.Rewrite(text.data(), text.size(), out.data(), out.size());
  if (!result->touched) {
    return out[0] == 'U' ? "untouched" : "written although untouched";
  }
  EXPECT_TRUE(result->fits);
  EXPECT_EQ(out[result->length], '\0');
  return std::string(out.data(), result->length);
}

void ExpectSame(const Case &c) {
  bool touched = false;
  size_t longest = 0;
  std::string want = NodeByNode(c.type, c.renames, c.text, &touched, &longest);
  PlainRewriter rewriter(c.type, c.renames);
  PlainRewriter::Result r;
  std::string got = RewriteAll(rewriter, c.text, &r);
  EXPECT_EQ(r.touched, touched) << c.text;
  EXPECT_EQ(got, touched ? want : "untouched")
      << "type " << c.type << " text " << c.text;
  EXPECT_GE(r.max_length, longest);
}

TEST(PlainRewriter, WorkedExample) {
  ExpectSame(
      {0, {{"lib1", "lib2"}}, "lib1/lib1.x lib10 mylib1 my_lib1 (lib1)"});
  PlainRewriter rw(0, {{"lib1", "lib2"}});
  PlainRewriter::Result r;
  EXPECT_EQ(RewriteAll(rw, "lib1/lib1.x lib10 mylib1 my_lib1 (lib1)", &r),
            "lib2/lib2.x lib10 mylib1 my_lib1 (lib2)");
}

TEST(PlainRewriter, OutputThatDoesNotFitIsNeverOverrun) {
  PlainRewriter rw(0, {{"a", "abc"}});
  const std::string text = "a a";  // becomes "abc abc": 7 bytes and a NUL
  char out[16];
  std::memset(out, 'G', sizeof out);
  PlainRewriter::Result r = rw.Rewrite(text.data(), text.size(), out, 7);
  EXPECT_TRUE(r.touched);
  EXPECT_FALSE(r.fits);
  EXPECT_EQ(std::string(out + 7, 9), "GGGGGGGGG");
  r = rw.Rewrite(text.data(), text.size(), out, 8);
  EXPECT_TRUE(r.fits);
  EXPECT_STREQ(out, "abc abc");
  EXPECT_EQ(r.max_length, 7u);
}

TEST(PlainRewriter, LongestIntermediateFormBoundsTheText) {
  // "a" grows to a long name and shrinks again: the text never holds more
  // than the long form, and the bound says so although the end is short.
  PlainRewriter rw(0, {{"a", "longname"}, {"longname", "b"}});
  PlainRewriter::Result r;
  EXPECT_EQ(RewriteAll(rw, "a.a", &r), "b.b");
  EXPECT_EQ(r.max_length, 3u + 2 * 7);
}

TEST(PlainRewriter, TextWithNulBytesIsRewrittenWhole) {
  PlainRewriter rw(0, {{"x", "yy"}});
  const std::string text("x\0x", 3);
  PlainRewriter::Result r;
  EXPECT_EQ(RewriteAll(rw, text, &r), std::string("yy\0yy", 5));
}

TEST(PlainRewriter, ChainsFollowListOrder) {
  ExpectSame({0, {{"a", "b"}, {"b", "c"}}, "a b c"});
  ExpectSame({0, {{"b", "c"}, {"a", "b"}}, "a b c"});
  ExpectSame({1, {{"x", "y1"}, {"y1", "z"}, {"1", "q"}}, "9x $x a$x x$ 1x"});
}

TEST(PlainRewriter, RandomAgainstModel) {
  std::mt19937 rng(777);
  const std::string alphabet = "ab1_$. \n-9A";
  const std::vector<std::string> names = {"a", "b",  "ab", "a1", "1", "b_",
                                          "A", "1a", "_",  "ba", "aa"};
  for (int iter = 0; iter < 4000; ++iter) {
    Case c;
    c.type = iter % 2;
    int n = 1 + rng() % 5;
    for (int i = 0; i < n; ++i) {
      std::string to = rng() % 5 == 0 ? "" : names[rng() % names.size()];
      c.renames.push_back({names[rng() % names.size()], to});
    }
    int len = rng() % 20;
    for (int i = 0; i < len; ++i) c.text += alphabet[rng() % alphabet.size()];
    ExpectSame(c);
    if (HasFailure()) break;
  }
}

}  // namespace
