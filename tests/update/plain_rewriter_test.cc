#include "update/plain_rewriter.h"

#include "update/segment_reader.h"

#include <cstring>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

using tov::update::PlainRename;
using tov::update::PlainRenames;
using tov::update::PlainRewriter;

// An independent model of the node-by-node rewrite: for each rename, search
// the rest of the text with the whole-word expression of the update type and
// replace what the name group matched, restarting at its end.
std::string NodeByNode(int type, const PlainRenames &renames, std::string text,
                       bool *touched, size_t *longest) {
  *touched = false;
  *longest = text.size();
  const char *before = type == 0 ? "(^|[^a-zA-Z0-9_])(" : "(^|[^a-zA-Z_])(";
  const char *after = type == 0 ? ")([^a-zA-Z0-9_]|$)" : ")([^a-zA-Z0-9$_]|$)";
  for (const PlainRename &r : renames) {
    if (text.find(r.from()) == std::string::npos) continue;  // cannot match
    std::regex re(before + std::string(r.from()) + after);
    std::string out;
    size_t pos = 0;
    std::smatch m;
    std::string rest = text;
    while (std::regex_search(rest, m, re)) {
      out += rest.substr(0, m.position(2));
      out += r.to();
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
  PlainRenames renames;
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

TEST(PlainRewriter, RunThatStartedBlocksEarlierIsRewrittenWhole) {
  // Under update type 1 the second rename matches across the place where
  // the first one matched, so the run must be taken from its start however
  // far back that lies (the text is read 64 bytes at a time).
  const PlainRenames renames = {{"ab", "cd"}, {"1cd", "Z"}};
  for (size_t before : {62, 63, 126, 190}) {
    const std::string run = std::string(before, 'x') + "91ab";
    ExpectSame({1, renames, run});
    ExpectSame({1, renames, run + " " + run + "\n"});
    PlainRewriter rw(1, renames);
    PlainRewriter::Result r;
    EXPECT_EQ(RewriteAll(rw, run, &r), std::string(before, 'x') + "9Z");
  }
  // A run that starts right at a block and fills it.
  const std::string text = std::string(63, '.') + " " + std::string(70, 'x');
  ExpectSame({1, renames, text + "91ab"});
}

// The new text of `text` as Find cut into `pieces` (shared out among
// `threads`) and Apply give it, and as Emit hands it out through a staging
// area of `staging` bytes; "untouched" when nothing matched.
std::string FindAndApply(PlainRewriter &rewriter, const std::string &text,
                         unsigned pieces, size_t staging,
                         PlainRewriter::Changes *changes,
                         unsigned threads = 0) {
  rewriter.Find(text.data(), text.size(), pieces, changes, threads);
  if (!changes->touched()) return "untouched";
  std::vector<char> out(changes->length() + 1, 'U');
  PlainRewriter::Apply(text.data(), text.size(), *changes, out.data());
  EXPECT_EQ(out.back(), '\0');
  std::string applied(out.data(), changes->length());
  std::vector<char> area(staging);
  std::string emitted;
  EXPECT_TRUE(PlainRewriter::Emit(text.data(), text.size(), *changes,
                                  area.data(), area.size(),
                                  [&](const char *p, size_t n) {
                                    emitted.append(p, n);
                                    return true;
                                  }));
  EXPECT_EQ(emitted, applied);
  return applied;
}

// A reader of `text` as a file gives it: false for bytes past its end.
PlainRewriter::TextReader ReaderOf(const std::string &text) {
  return [&text](size_t offset, char *buf, size_t n) {
    if (offset > text.size() || n > text.size() - offset) return false;
    if (n > 0) std::memcpy(buf, text.data() + offset, n);
    return true;
  };
}

// The new text of `text` as FindInFile (cut into `pieces` read `chunk`
// bytes at a time) and EmitFromFile (through a window of `window` bytes and
// a staging area of `staging`) give it; "untouched" when nothing matched.
std::string FindAndEmitFromFile(PlainRewriter &rewriter,
                                const std::string &text, unsigned pieces,
                                size_t chunk, size_t window, size_t staging,
                                PlainRewriter::Changes *changes,
                                unsigned threads) {
  const PlainRewriter::TextReader read = ReaderOf(text);
  EXPECT_TRUE(
      rewriter.FindInFile(read, text.size(), pieces, chunk, changes, threads));
  if (!changes->touched()) return "untouched";
  std::vector<char> area(window), gathered(staging);
  std::string emitted;
  EXPECT_TRUE(PlainRewriter::EmitFromFile(
      read, text.size(), *changes, area.data(), area.size(), gathered.data(),
      gathered.size(), [&](const char *p, size_t n) {
        emitted.append(p, n);
        return true;
      }));
  EXPECT_EQ(emitted.size(), changes->length());
  return emitted;
}

// The text cut into segments of about `size` bytes, each read as a file,
// searched and rewritten on its own (by its hits, or as the search goes
// when `make_text`), their new texts one after the other; "untouched" when
// no segment changed.  *longest adds up the segments' longest forms.  With
// a `first_size`, the first segment is cut by a reader whose segments grow
// from that size, and a second reader cuts the rest from its end.
std::string FindAndEmitSegments(PlainRewriter &rewriter,
                                const std::string &text, size_t size,
                                bool make_text, PlainRewriter::Changes *changes,
                                size_t *longest, size_t first_size = 0) {
  const auto read_at = [&text](size_t base) {
    return [&text, base](size_t offset, char *buf, size_t n) {
      if (base + offset + n > text.size()) return false;
      std::memcpy(buf, text.data() + base + offset, n);
      return true;
    };
  };
  std::vector<char> probe;
  const auto in_run = [&rewriter](char c) { return rewriter.InRun(c); };
  auto segments = std::make_unique<tov::update::SegmentReader>(
      read_at(0), text.size(), in_run, size, &probe, 0, first_size);
  std::string emitted;
  bool touched = false;
  size_t next = 0;  // where the next segment must start
  *longest = 0;
  size_t offset, length;
  while (segments->Next(&offset, &length)) {
    if (first_size != 0 && offset > 0) {
      EXPECT_EQ(offset, next);
      segments = std::make_unique<tov::update::SegmentReader>(
          read_at(0), text.size(), in_run, size, &probe, offset);
      first_size = 0;
      if (!segments->Next(&offset, &length)) break;
    }
    EXPECT_EQ(offset, next);
    EXPECT_GT(length, 0u);
    next = offset + length;
    const auto keep =
        make_text ? PlainRewriter::Keep::kMakeText : PlainRewriter::Keep::kHits;
    EXPECT_TRUE(rewriter.FindInFile(read_at(offset), length, 3, 1 + size % 7,
                                    changes, 0, keep));
    touched = touched || changes->touched();
    *longest += changes->touched() ? changes->max_length() : length;
    const size_t before = emitted.size();
    const auto sink = [&emitted](const char *q, size_t n) {
      emitted.append(q, n);
      return true;
    };
    char window[5], staging[7];
    EXPECT_TRUE(make_text ? PlainRewriter::EmitMade(*changes, sink)
                          : PlainRewriter::EmitFromFile(
                                read_at(offset), length, *changes, window,
                                sizeof window, staging, sizeof staging, sink));
    EXPECT_EQ(emitted.size() - before,
              changes->touched() ? changes->length() : length);
  }
  EXPECT_FALSE(segments->failed());
  EXPECT_EQ(next, text.size());
  return touched ? emitted : "untouched";
}

TEST(PlainRewriter, PiecesAndBlocksDoNotChangeTheResult) {
  // Long runs that cross the 64-byte blocks the text is read in, names of 8,
  // 16 and more than 16 bytes (compared by words, then whole), names that
  // start with many different bytes (past what the block filter tells), a
  // text ending right after a short name, and every way of cutting it.
  const std::string long_run(150, 'q');
  const std::vector<std::string> names = {"a",
                                          "ab",
                                          "abcdefgh",
                                          "abcdefghijklmnop",
                                          "abcdefghijklmnopq",
                                          "1a",
                                          "b1",
                                          long_run.substr(0, 70),
                                          "abcdefgh1_stuvwxyz",
                                          "abcdefgh2_stuvwxyz",
                                          "x",
                                          "y",
                                          "z",
                                          "w",
                                          "v",
                                          "u",
                                          "t",
                                          "s",
                                          "_a",
                                          "9"};
  const std::string alphabet = "ab1_$. \r\n-9A";
  // Names no text holds: with them the index outgrows the nearest cache and
  // is looked up in batches through its filter.
  std::vector<std::string> absent;
  for (int i = 0; i < 600; ++i) absent.push_back("P0_" + std::to_string(i));
  std::mt19937 rng(4242);
  PlainRewriter::Changes changes;
  for (int iter = 0; iter < 1500; ++iter) {
    Case c;
    c.type = iter % 2;
    if (iter % 4 == 3) {
      for (const std::string &a : absent) c.renames.push_back({a, "P1"});
    }
    const int n = 1 + rng() % 6;
    for (int i = 0; i < n; ++i) {
      const size_t pool = iter % 3 == 0 ? names.size() : 10;
      const std::string_view to =
          rng() % 6 == 0 ? std::string_view() : names[rng() % pool];
      c.renames.push_back({names[rng() % pool], to});
    }
    const int parts = rng() % 30;
    for (int i = 0; i < parts; ++i) {
      switch (rng() % 4) {
        case 0:
          c.text += names[rng() % names.size()];
          break;
        case 1:
          c.text += long_run.substr(0, rng() % long_run.size());
          break;
        default:
          c.text += alphabet[rng() % alphabet.size()];
      }
    }
    bool touched = false;
    size_t longest = 0;
    const std::string want =
        NodeByNode(c.type, c.renames, c.text, &touched, &longest);
    PlainRewriter rewriter(c.type, c.renames);
    // Pieces each searched by a thread of its own, and more pieces than
    // threads, which then take them in turn, each with its own memo.
    const unsigned cuts[][2] = {{1, 0}, {2, 0}, {3, 1}, {8, 0}, {8, 3}};
    for (const auto &cut : cuts) {
      const std::string got = FindAndApply(rewriter, c.text, cut[0],
                                           1 + rng() % 40, &changes, cut[1]);
      EXPECT_EQ(got, touched ? want : "untouched")
          << "type " << c.type << " pieces " << cut[0] << " threads " << cut[1]
          << " text " << c.text;
      EXPECT_GE(changes.max_length(), longest);
    }
    // The same text read as a file, in windows so small that runs cross
    // them, their look beyond and the pieces' shares.
    const unsigned reads[][2] = {{1, 0}, {3, 1}, {8, 3}};
    for (const auto &cut : reads) {
      const size_t chunk = 1 + rng() % 40;
      const size_t window = 1 + rng() % 40;
      const std::string got =
          FindAndEmitFromFile(rewriter, c.text, cut[0], chunk, window,
                              1 + rng() % 40, &changes, cut[1]);
      EXPECT_EQ(got, touched ? want : "untouched")
          << "type " << c.type << " pieces " << cut[0] << " read by " << chunk
          << " text " << c.text;
      EXPECT_GE(changes.max_length(), longest);
    }
    // The text in segments so small that they cut it between any two runs
    // (a CR LF included); a run longer than a segment makes one longer.
    // Segments that grow from a small first one, and segments cut from
    // the end of the first by a reader of their own.
    for (int k = 0; k < 4; ++k) {
      size_t added = 0;
      const std::string got =
          FindAndEmitSegments(rewriter, c.text, 1 + rng() % 40, k > 0, &changes,
                              &added, k == 3 ? 1 + rng() % 5 : 0);
      EXPECT_EQ(got, touched ? want : "untouched")
          << "type " << c.type << " text " << c.text;
      EXPECT_GE(added, longest);
    }
    if (HasFailure()) break;
  }
}

TEST(PlainRewriter, RunsLongerThanTheReadsAreFollowedToTheirEnd) {
  // Runs many windows long, a share that is one run throughout, and a run
  // that ends the text, read in windows of a few bytes.
  const std::string run(5000, 'a');
  const std::vector<std::string> texts = {run + " x " + run + "1a",
                                          "x " + run + " x",
                                          run,
                                          "x" + std::string(3000, ' ') + "x",
                                          run + " " + run + " " + run,
                                          "1a " + run + "$1a"};
  for (int type : {0, 1}) {
    const PlainRenames renames = {{"x", "yy"}, {"1a", "b"}, {run, "short"}};
    PlainRewriter rewriter(type, renames);
    PlainRewriter::Changes changes;
    for (const std::string &text : texts) {
      bool touched = false;
      size_t longest = 0;
      const std::string want =
          NodeByNode(type, renames, text, &touched, &longest);
      for (size_t chunk : {1, 7, 64, 4096, 100000}) {
        for (unsigned pieces : {1u, 4u, 32u}) {
          EXPECT_EQ(FindAndEmitFromFile(rewriter, text, pieces, chunk, 3, 7,
                                        &changes, 2),
                    touched ? want : "untouched")
              << "type " << type << " read by " << chunk << ", " << pieces
              << " pieces, a text of " << text.size() << " bytes";
        }
      }
    }
  }
}

TEST(PlainRewriter, FailedReadsStopTheSearchAndTheWrite) {
  PlainRewriter rw(1, {{"a", "bb"}});
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "a 1a ";
  PlainRewriter::Changes changes;
  const PlainRewriter::TextReader whole = ReaderOf(text);
  ASSERT_TRUE(rw.FindInFile(whole, text.size(), 4, 100, &changes, 2));
  ASSERT_TRUE(changes.touched());
  for (size_t fail_at : {size_t{0}, size_t{3000}, text.size() - 1}) {
    // Every read that reaches `fail_at` fails, as that of a file cut short.
    const PlainRewriter::TextReader cut = [&](size_t offset, char *buf,
                                              size_t n) {
      return offset + n <= fail_at && whole(offset, buf, n);
    };
    PlainRewriter::Changes found;
    EXPECT_FALSE(rw.FindInFile(cut, text.size(), 4, 100, &found, 2)) << fail_at;
    char window[64], staging[64];
    size_t written = 0;
    EXPECT_FALSE(PlainRewriter::EmitFromFile(cut, text.size(), changes, window,
                                             sizeof window, staging,
                                             sizeof staging,
                                             [&](const char *, size_t n) {
                                               written += n;
                                               return true;
                                             }))
        << fail_at;
    EXPECT_LT(written, changes.length()) << fail_at;
  }
}

TEST(PlainRewriter, TextsWithManyNamesInARow) {
  // Far more places where a name may start than are looked up at once, in
  // runs of every kind, under both update types.
  const PlainRenames renames = {
      {"a", "b"}, {"b", "cc"}, {"1a", "z"}, {"a1", ""}, {"x9", "1a"}};
  std::string text;
  for (int i = 0; i < 300; ++i) {
    text += i % 7 == 0 ? "9a1 " : "a ";
    text += i % 5 == 0 ? "b$a1x9 " : "x9.";
    if (i % 11 == 0) text += std::string(i % 90, 'a') + "\n";
  }
  for (int type : {0, 1}) ExpectSame({type, renames, text});
}

TEST(PlainRewriter, EmitStopsWhenTheSinkFails) {
  PlainRewriter rw(0, {{"a", "bb"}});
  const std::string text = "a " + std::string(100, 'x') + " a a";
  PlainRewriter::Changes changes;
  rw.Find(text.data(), text.size(), 1, &changes);
  char area[8];
  int calls = 0;
  EXPECT_FALSE(PlainRewriter::Emit(text.data(), text.size(), changes, area,
                                   sizeof area, [&](const char *, size_t) {
                                     ++calls;
                                     return false;
                                   }));
  EXPECT_EQ(calls, 1);
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
      const std::string_view to =
          rng() % 5 == 0 ? std::string_view() : names[rng() % names.size()];
      c.renames.push_back({names[rng() % names.size()], to});
    }
    int len = rng() % 20;
    for (int i = 0; i < len; ++i) c.text += alphabet[rng() % alphabet.size()];
    ExpectSame(c);
    if (HasFailure()) break;
  }
}

}  // namespace
