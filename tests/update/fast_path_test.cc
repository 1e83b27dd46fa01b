// The one-pass rewrite of plain names against the node-by-node search, on
// random mappings and texts: same result, same messages, same bytes on disk.
#include <cctype>
#include <cstdio>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "gtest/gtest.h"
#include "support/test_support.h"
#include "support/update_fixture.h"
#include "tovUpdtr.h"

namespace {

struct Rename {
  std::string from;
  std::string to;
};

using tov::test::DesignTree;
using tov::test::LoadMapping;
using tov::test::Members;
using tov::test::Outcome;
using tov::test::ReadFile;

// Names that are plain words, names with expression characters, and new
// names that grow the text a lot.
const std::vector<std::string> kOldNames = {"a", "b", "ab", "a1",  "1a",  "_x",
                                            "A", "9", "b$", "a.b", "a-b", "x."};
const std::vector<std::string> kNewNames = {
    "a", "b", "ab", "a1", "1a", "_x", "B", "a.b", "q-q", "longer_name_here"};
const std::string kAlphabet = "ab1_$. -\n9A(x";

// Whether `c` continues a word before (after == false) or after a name under
// update type `type`: letters and '_' always, digits only under type 0 or
// after, '$' only after under type 1.
bool Continues(char c, int type, bool after) {
  if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') return true;
  if (std::isdigit(static_cast<unsigned char>(c))) return type == 0 || after;
  return c == '$' && type == 1 && after;
}

// The renames applied together, worked out on the text as it was read:
// from the front, the first rename whose old name stands at a place as a
// whole word replaces it, and the search goes on after it.
std::string Together(const std::string &text,
                     const std::vector<Rename> &renames, int type,
                     unsigned long long *count) {
  std::string out;
  *count = 0;
  size_t p = 0;
  while (p < text.size()) {
    const Rename *hit = nullptr;
    for (const Rename &r : renames) {
      const size_t end = p + r.from.size();
      if (text.compare(p, r.from.size(), r.from) == 0 && end <= text.size() &&
          (p == 0 || !Continues(text[p - 1], type, false)) &&
          (end == text.size() || !Continues(text[end], type, true))) {
        hit = &r;
        break;
      }
    }
    if (hit == nullptr) {
      out += text[p++];
      continue;
    }
    out += hit->to;
    p += hit->from.size();
    ++*count;
  }
  return out;
}

TEST(FastPath, AgreesWithNodeByNodeOnRandomInput) {
  DesignTree tree;
  std::mt19937 rng(20261208);
  auto pick = [&](const std::vector<std::string> &v) {
    return v[rng() % v.size()].c_str();
  };
  int compared = 0;
  for (int iter = 0; iter < 600; ++iter) {
    // Atoms of every level, each from-name at most once per level (a
    // from-to list could not map it twice), some chained, some renamed to
    // nothing; and now and then an element that is no atom.
    std::vector<Members> elements;
    std::set<std::string> used[3];
    int count = 1 + rng() % 6;
    for (int i = 0; i < count; ++i) {
      int level = rng() % 3;
      const char *from = pick(kOldNames);
      if (!used[level].insert(from).second) continue;
      const char *to = (level == 1 && rng() % 5 == 0) ? "" : pick(kNewNames);
      Members m = {"", "", "", "", "", "", "", ""};
      m[level] = from;
      m[4 + level] = to;
      elements.push_back(m);
      if (rng() % 8 == 0)
        elements.push_back({"l", "c", "", "", "m", "c", "", ""});
    }
    LoadMapping(elements);
    int type = static_cast<int>(rng() % 2);
    tovUpdtrRegexpList *list = tovUpdtrGenRegexpList(type, "LibraryNT");
    ASSERT_NE(list, nullptr);

    std::string text;
    int length = 1 + rng() % 24;
    for (int i = 0; i < length; ++i) {
      text += rng() % 4 == 0
                  ? std::string(pick(kOldNames))
                  : std::string(1, kAlphabet[rng() % kAlphabet.size()]);
    }
    if (rng() % 10 == 0) text += std::string(1, '\0') + "a";

    for (int together : {0, TOV_UPDATE_SIMULTANEOUS}) {
      const int flags = TOV_UPDATE_NODE_BY_NODE | together;
      Outcome slow = tree.Update("f.txt", text, list, flags, 3);
      const unsigned long long slow_count = tovUpdtrReplacedCount();
      Outcome fast = tree.Update("f.txt", text, list, together, 3);
      const unsigned long long fast_count = tovUpdtrReplacedCount();
      EXPECT_EQ(fast.result, slow.result) << "text: " << text;
      EXPECT_EQ(fast.err, slow.err) << "text: " << text;
      EXPECT_EQ(fast.bytes, slow.bytes) << "text: " << text;
      EXPECT_EQ(fast_count, slow_count) << "text: " << text;
      if (!together) continue;
      std::vector<Rename> renames;
      for (tovUpdtrRegexpList *node : tov::test::Nodes(list)) {
        if (node->regexp == nullptr) continue;
        renames.push_back({tovUpdtrHashGetNonNullFromMember(node->element),
                           tovUpdtrHashGetNonNullToMember(node->element)});
      }
      unsigned long long model_count = 0;
      const std::string model = Together(text, renames, type, &model_count);
      if (fast.result == TOV_UPDATE_CHANGED) {
        EXPECT_EQ(fast.bytes, model) << "text: " << text;
        EXPECT_EQ(fast_count, model_count) << "text: " << text;
      } else if (fast.result == TOV_UPDATE_UNCHANGED) {
        EXPECT_EQ(model_count, 0u) << "text: " << text;
      } else {
        // The new text and its NUL outgrow a buffer twice the file.
        EXPECT_GE(model.size(), 2 * text.size()) << "text: " << text;
      }
    }
    if (HasFailure()) break;
    ++compared;
  }
  EXPECT_EQ(compared, 600);
}

TEST(FastPath, ChainedRenamesFollowTheListInBothOrders) {
  DesignTree tree;
  for (bool forward : {true, false}) {
    std::vector<Members> chain = {tov::test::LibRename("lib1", "lib2"),
                                  tov::test::LibRename("lib2", "lib3")};
    if (!forward) std::swap(chain[0], chain[1]);
    tovUpdtrRegexpList *list = tov::test::ListOf(chain);
    Outcome run = tree.Update("f.txt", "lib1 lib2 lib3\n", list, 0, 3);
    EXPECT_EQ(run.result, TOV_UPDATE_CHANGED);
    EXPECT_EQ(run.bytes, forward ? "lib3 lib3 lib3\n" : "lib2 lib3 lib3\n");
  }
}

TEST(FastPath, LongTextsCutIntoPiecesAndTheFilesAfterThem) {
  // Texts of several megabytes are searched in pieces at the same time; the
  // buffers they leave behind serve the next files, short or long, in both
  // update types.
  DesignTree tree;
  std::mt19937 rng(99);
  LoadMapping({tov::test::LibRename("net1", "n"),
               tov::test::LibRename("1x", "one_x"),
               tov::test::LibRename("cellA", "cellB"),
               tov::test::LibRename("cellB", "cellC_longer"),
               tov::test::LibRename("a$b", "q")});
  const std::vector<std::string> words = {"net1",  "1x", "cellA", "cellB",
                                          "net10", "9",  "$",     "x"};
  const std::string gaps = " \n(),.$";
  auto random_text = [&](size_t size) {
    std::string text;
    while (text.size() < size) {
      text += words[rng() % words.size()];
      if (rng() % 4 != 0) text += gaps[rng() % gaps.size()];
    }
    return text;
  };
  const std::vector<std::string> texts = {random_text(3 << 20), "cellA net1",
                                          random_text(5 << 20),
                                          random_text(100), "nothing here"};
  for (int type : {0, 1}) {
    tovUpdtrRegexpList *list = tovUpdtrGenRegexpList(type, "LibraryNT");
    ASSERT_NE(list, nullptr);
    for (const std::string &text : texts) {
      Outcome slow =
          tree.Update("f.txt", text, list, TOV_UPDATE_NODE_BY_NODE, 3);
      Outcome fast = tree.Update("f.txt", text, list, 0, 3);
      EXPECT_EQ(fast.result, slow.result);
      EXPECT_EQ(fast.err, slow.err);
      EXPECT_TRUE(fast.bytes == slow.bytes)
          << "type " << type << ", a text of " << text.size() << " bytes";
    }
  }
}

TEST(FastPath, FilesOfManyMegabytesAreWrittenWhileTheirTextIsMade) {
  // Past a few megabytes the new text is made on one thread and written on
  // another: every byte must arrive, in order, also when the disk is
  // waited for.
  DesignTree tree;
  tovUpdtrRegexpList *list =
      tov::test::ListOf({tov::test::LibRename("cellA", "cellB_longer"),
                         tov::test::LibRename("net1", "n")});
  ASSERT_NE(list, nullptr);
  std::string text, want, fewer;
  for (int i = 0; text.size() < (9u << 20); ++i) {
    const std::string n = std::to_string(i % 1000);
    text += "cellA u" + n + " (net1, w" + n + ");\n";
    want += "cellB_longer u" + n + " (n, w" + n + ");\n";
    fewer += "cellAB u" + n + " (n, w" + n + ");\n";
  }
  for (const int flags : {0, TOV_UPDATE_SYNC}) {
    const Outcome run = tree.Update("f.txt", text, list, flags, 3);
    EXPECT_EQ(run.result, TOV_UPDATE_CHANGED);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(run.bytes == want) << "flags " << flags;
  }
  // Renames that cannot make a text outgrow its buffers are written in the
  // same pass as they are found, from the first segment that changes: here
  // after megabytes that change nothing, which go to the file as they are.
  list = tov::test::ListOf({tov::test::LibRename("cellA", "cellAB"),
                            tov::test::LibRename("net1", "n")});
  std::string quiet;
  while (quiet.size() < (5u << 20)) quiet += "cell u0 (net, w);\n";
  const Outcome run = tree.Update("f.txt", quiet + text, list, 0, 3);
  EXPECT_EQ(run.result, TOV_UPDATE_CHANGED);
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(run.bytes == quiet + fewer);
}

TEST(FastPath, LargeFileWithOtherNamesIsRewrittenFromItsOwnBytes) {
  // A large text is searched where the system keeps the file, and written
  // back from there.  A file with a second name is rewritten in place, so
  // the writes must not overtake the bytes still to be read from it: the
  // text grows at every hit.  With a rename that is no plain word among the
  // plain ones, the text is written out in memory between the steps.
  DesignTree tree;
  std::string text;
  for (int i = 0; text.size() < (3u << 20); ++i) {
    text += i % 3 == 0 ? "ab a-b x" : "abc ab\n";
  }
  const std::vector<std::vector<Members>> mappings = {
      {tov::test::LibRename("ab", "abx")},
      {tov::test::LibRename("ab", "abx"), tov::test::LibRename("a-b", "dash"),
       tov::test::LibRename("dash", "ab")}};
  for (const std::vector<Members> &mapping : mappings) {
    tovUpdtrRegexpList *list = tov::test::ListOf(mapping);
    ASSERT_NE(list, nullptr);
    const Outcome slow =
        tree.Update("f.txt", text, list, TOV_UPDATE_NODE_BY_NODE, 3);
    ASSERT_EQ(slow.result, TOV_UPDATE_CHANGED);
    for (const int flags : {0, TOV_UPDATE_NODE_BY_NODE}) {
      const std::string path = tree.WriteFile("f.txt", text);
      const std::string other = tree.dir().Path("other.txt");
      std::remove(other.c_str());
#ifdef _WIN32
      ASSERT_TRUE(CreateHardLinkA(other.c_str(), path.c_str(), nullptr));
#else
      ASSERT_EQ(link(path.c_str(), other.c_str()), 0);
#endif
      EXPECT_EQ(
          tov::test::Update(DesignTree::Reference("f.txt"), list, flags).result,
          TOV_UPDATE_CHANGED);
      const std::string what = "flags " + std::to_string(flags) + ", " +
                               std::to_string(mapping.size()) + " renames";
      EXPECT_TRUE(ReadFile(path) == slow.bytes) << what;
      EXPECT_TRUE(ReadFile(other) == slow.bytes) << what;
    }
  }
}

TEST(FastPath, ListChangedBetweenCallsIsFollowed) {
  // The one-pass rewrite of a list is worked out once and kept; a caller who
  // relinks the nodes or gives a node another element gets what the nodes
  // say now.
  DesignTree tree;
  tovUpdtrRegexpList *list = tov::test::ListOf(
      {tov::test::LibRename("a", "b"), tov::test::LibRename("b", "c"),
       tov::test::LibRename("c", "d")});
  std::vector<tovUpdtrRegexpList *> nodes = tov::test::Nodes(list);
  ASSERT_EQ(nodes.size(), 3u);
  auto both = [&](const std::string &want) {
    for (int flags : {0, TOV_UPDATE_NODE_BY_NODE, TOV_UPDATE_SYNC}) {
      Outcome run = tree.Update("f.txt", "a b c", list, flags, 3);
      EXPECT_EQ(run.bytes, want) << "flags " << flags;
    }
  };
  both("d d d");
  nodes[1]->next = nullptr;  // the list ends after b -> c
  both("c c c");
  nodes[1]->next = nodes[2];
  tovUpdtrHashElement *element = nodes[0]->element;
  nodes[0]->element = nodes[2]->element;  // finds a, writes d
  both("d d d");
  nodes[0]->element = element;
  murRegexp *regexp = nodes[1]->regexp;
  nodes[1]->regexp = nodes[2]->regexp;  // finds c, writes c
  both("b b d");
  nodes[1]->regexp = regexp;
  std::swap(nodes[0]->regexp, nodes[2]->regexp);  // c -> b, b -> c, a -> d
  both("d c c");
  std::swap(nodes[0]->regexp, nodes[2]->regexp);
  // Nodes of the caller's own, on the stack and on the heap: one of them
  // lies far from the library's nodes, whichever memory those are in.
  tovUpdtrRegexpList on_stack{};
  auto on_heap = std::make_unique<tovUpdtrRegexpList>();
  for (tovUpdtrRegexpList *own : {&on_stack, on_heap.get()}) {
    *own = *nodes[2];
    own->next = nullptr;
    nodes[0]->next = own;  // a -> b, c -> d
    both("b b d");
    own->element = nodes[1]->element;
    own->regexp = nodes[1]->regexp;  // a -> b, b -> c
    both("c c c");
    nodes[0]->next = nodes[1];
  }
}

TEST(FastPath, GrowthPastTheBuffersFailsLikeTheNodeByNodePath) {
  // One byte renamed to two: the text would need more than twice its size.
  // Large files are read a piece at a time, and found to outgrow the
  // buffers only at the end of the search: they fail all the same, with
  // the node-by-node message, and are not made writable nor written.
  DesignTree tree;
  tovUpdtrRegexpList *list = tov::test::ListOf(
      {tov::test::LibRename("a", "bb"), tov::test::LibRename("c", "d"),
       tov::test::LibRename("x", "xyz")});
  Outcome run = tree.Update("f.txt", "a", list, 0, 3);
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.err,
            "{#3 E Buffer space for reading and writing files inadequate. "
            "Increase the scaling factor.}\n");
  EXPECT_EQ(run.bytes, "a");
  // A larger scaling factor lets it grow, on both paths; a factor of 1 lets
  // no file grow.
  for (const int path : {0, TOV_UPDATE_NODE_BY_NODE}) {
    run = tree.Update("f.txt", "a", list, path | TOV_UPDATE_SCALING(3), 3);
    EXPECT_EQ(run.result, TOV_UPDATE_CHANGED) << run.err;
    EXPECT_EQ(run.bytes, "bb");
    run = tree.Update("f.txt", "c x", list, path | TOV_UPDATE_SCALING(1), 3);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.bytes, "c x");
  }

  // "x " to "xyz ": twice the size, which does not fit with the text's end
  // after it, and does with two more bytes.
  std::string doubles;
  while (doubles.size() < (1u << 20)) doubles += "x\nx ";
  const std::string outgrows = doubles + "x";
  const std::string fits = doubles + "..";
  for (const std::string &text : {outgrows, fits}) {
    for (const int flags : {0, TOV_UPDATE_DRY_RUN}) {
      const Outcome slow =
          tree.Update("f.txt", text, list, flags | TOV_UPDATE_NODE_BY_NODE, 3);
      const Outcome fast = tree.Update("f.txt", text, list, flags, 3);
      EXPECT_EQ(fast.result, slow.result) << "flags " << flags;
      EXPECT_EQ(fast.err, slow.err) << "flags " << flags;
      EXPECT_TRUE(fast.bytes == slow.bytes) << "flags " << flags;
    }
  }
  EXPECT_EQ(tree.Update("f.txt", outgrows, list, 0, 3).result, 0);
  EXPECT_EQ(tree.Update("f.txt", fits, list, 0, 3).result, TOV_UPDATE_CHANGED);
}

}  // namespace
