#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "support/test_support.h"
#include "tovUpdtr.h"
#include "update_fixture.h"

namespace {

using tov::test::CaptureStderr;
using tov::test::DesignTree;
using tov::test::LibRename;
using tov::test::LoadMapping;
using tov::test::Members;
using tov::test::ReadFile;
using tov::test::RunAsUnprivileged;
using tov::test::RunInChild;

// What one update did: its result and what it printed.
struct Outcome {
  int result;
  std::string err;
};

// Updates the file named by `line` with `list` through the extended call.
Outcome UpdateEx(std::string line, tovUpdtrRegexpList *list, int flags = 0,
                 int code = 0) {
  Outcome o{};
  std::vector<char> buf(line.begin(), line.end());
  buf.push_back('\0');
  o.err = CaptureStderr([&] {
    o.result =
        tovUpdtrRegexpUpdateFileEx(buf.data(), code, list, "LibraryNT", flags);
  });
  return o;
}

// The same through the plain call.
Outcome Update(std::string line, tovUpdtrRegexpList *list, int code = 0) {
  Outcome o{};
  std::vector<char> buf(line.begin(), line.end());
  buf.push_back('\0');
  o.err = CaptureStderr([&] {
    o.result = tovUpdtrRegexpUpdateFile(buf.data(), code, list, "LibraryNT");
  });
  return o;
}

// The list of a mapping of `elements`, in this order, under update type 0.
tovUpdtrRegexpList *ListOf(const std::vector<Members> &elements) {
  LoadMapping(elements);
  tovUpdtrRegexpList *list = tovUpdtrGenRegexpList(0, "LibraryNT");
  EXPECT_NE(list, nullptr);
  return list;
}

struct Stamp {
  time_t seconds;
  long nanoseconds;
  ino_t inode;
  unsigned mode;
};
std::optional<Stamp> StampOf(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  return Stamp{st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ino,
               static_cast<unsigned>(st.st_mode & 07777)};
}

// Sets the modification time of `path` an hour back, so that any write
// shows.
void Backdate(const std::string &path) {
  struct timeval times[2] = {{std::time(nullptr) - 3600, 0},
                             {std::time(nullptr) - 3600, 0}};
  utimes(path.c_str(), times);
}

bool SameStamp(const std::optional<Stamp> &a, const std::optional<Stamp> &b) {
  return a && b && a->seconds == b->seconds &&
         a->nanoseconds == b->nanoseconds && a->inode == b->inode &&
         a->mode == b->mode;
}

class FileUpdate : public ::testing::Test {
 protected:
  DesignTree tree_;
};

TEST_F(FileUpdate, WorkedExample) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib2")});
  std::string path =
      tree_.WriteFile("f.txt", "lib1/lib1.x lib10 mylib1 my_lib1 (lib1)");
  Outcome o = Update(DesignTree::Reference("f.txt"), list);
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(ReadFile(path), "lib2/lib2.x lib10 mylib1 my_lib1 (lib2)");
}

TEST_F(FileUpdate, NameAtBothEndsAndAsTheWholeFile) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib_one")});
  std::string ends = tree_.WriteFile("ends.txt", "lib1\nx\nlib1");
  std::string whole = tree_.WriteFile("whole.txt", "lib1");
  std::string lines = tree_.WriteFile("lines.txt", "lib1\r\nlib1\r\n");
  EXPECT_EQ(Update(DesignTree::Reference("ends.txt"), list).result, 1);
  EXPECT_EQ(Update(DesignTree::Reference("whole.txt"), list).result, 1);
  EXPECT_EQ(Update(DesignTree::Reference("lines.txt"), list).result, 1);
  EXPECT_EQ(ReadFile(ends), "lib_one\nx\nlib_one");
  EXPECT_EQ(ReadFile(whole), "lib_one");
  // Binary both ways: carriage returns stay.
  EXPECT_EQ(ReadFile(lines), "lib_one\r\nlib_one\r\n");
}

TEST_F(FileUpdate, ChainedRenamesFollowTheListOrder) {
  const std::string text = "lib1 lib2 lib3";
  std::string path = tree_.WriteFile("f.txt", text);
  tovUpdtrRegexpList *forward =
      ListOf({LibRename("lib1", "lib2"), LibRename("lib2", "lib3")});
  ASSERT_EQ(Update(DesignTree::Reference("f.txt"), forward).result, 1);
  EXPECT_EQ(ReadFile(path), "lib3 lib3 lib3");

  tree_.WriteFile("f.txt", text);
  tovUpdtrRegexpList *backward =
      ListOf({LibRename("lib2", "lib3"), LibRename("lib1", "lib2")});
  ASSERT_EQ(Update(DesignTree::Reference("f.txt"), backward).result, 1);
  EXPECT_EQ(ReadFile(path), "lib2 lib3 lib3");
}

TEST_F(FileUpdate, NulBytesAndWhatFollowsThemAreKept) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib22")});
  const std::string text("lib1\0lib1 x\0\0tail lib1\0", 23);
  std::string path = tree_.WriteFile("f.bin", text);
  ASSERT_EQ(Update(DesignTree::Reference("f.bin"), list).result, 1);
  EXPECT_EQ(ReadFile(path), std::string("lib22\0lib22 x\0\0tail lib22\0", 26));
}

TEST_F(FileUpdate, EmptyFileIsSkippedAndLeftAlone) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib2")});
  std::string path = tree_.WriteFile("empty.txt", "");
  Backdate(path);
  auto before = StampOf(path);
  Outcome o = UpdateEx(DesignTree::Reference("empty.txt"), list, 0, 7);
  EXPECT_EQ(o.result, TOV_UPDATE_UNCHANGED);
  EXPECT_EQ(o.err, "{#7 E Skiping Empty input file: " + path + "}\n");
  EXPECT_TRUE(SameStamp(before, StampOf(path)));
  EXPECT_EQ(Update(DesignTree::Reference("empty.txt"), list).result, 1);
}

TEST_F(FileUpdate, UnchangedWriteProtectedFileKeepsItsTimeAndProtection) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib2")});
  std::string path = tree_.WriteFile("f.txt", "nothing to see: lib10");
  chmod(path.c_str(), 0444);
  Backdate(path);
  tov::test::GiveToUnprivileged(tree_.dir().path());
  auto before = StampOf(path);
  int rc = RunAsUnprivileged([&] {
    Outcome o = UpdateEx(DesignTree::Reference("f.txt"), list);
    return o.result == TOV_UPDATE_UNCHANGED && o.err.empty() ? 0 : 1;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(SameStamp(before, StampOf(path)));
  EXPECT_EQ(ReadFile(path), "nothing to see: lib10");
}

TEST_F(FileUpdate, NoListOrAnEmptyOneChangesNothing) {
  std::string path = tree_.WriteFile("f.txt", "lib1");
  Backdate(path);
  auto before = StampOf(path);
  EXPECT_EQ(UpdateEx(DesignTree::Reference("f.txt"), nullptr).result,
            TOV_UPDATE_UNCHANGED);
  EXPECT_EQ(UpdateEx(DesignTree::Reference("f.txt"), ListOf({})).result,
            TOV_UPDATE_UNCHANGED);
  EXPECT_TRUE(SameStamp(before, StampOf(path)));
}

TEST_F(FileUpdate, WriteProtectedFileWithAMatchIsMadeWritableAndUpdated) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib2")});
  std::string path = tree_.WriteFile("f.txt", "use lib1;");
  chmod(path.c_str(), 0444);
  tov::test::GiveToUnprivileged(tree_.dir().path());
  int rc = RunAsUnprivileged([&] {
    Outcome o = UpdateEx(DesignTree::Reference("f.txt"), list);
    return o.result == TOV_UPDATE_CHANGED && o.err.empty() ? 0 : 1;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ReadFile(path), "use lib2;");
  EXPECT_EQ(StampOf(path)->mode, 0644u);
}

TEST_F(FileUpdate, FileThatCannotBeMadeWritableIsLeftAsItWas) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib2")});
  std::string path = tree_.WriteFile("f.txt", "use lib1;");
  chmod(path.c_str(), 0444);
  std::string co = tree_.dir().Write("co.sh", "#!/bin/sh\nexit 1\n");
  chmod(co.c_str(), 0755);
  setenv("TOVUPDTR_CHECKOUT_CMD", co.c_str(), 1);
  tov::test::GiveToUnprivileged(tree_.dir().path());
  std::string err;
  int rc = RunAsUnprivileged([&] {
    Outcome o = Update(DesignTree::Reference("f.txt"), list, 3);
    err = o.err;
    return o.result == 0 && o.err ==
                                "{#3 E Problem encountered in making the file "
                                "writeable: " +
                                    path + "}\n"
               ? 0
               : 1;
  });
  unsetenv("TOVUPDTR_CHECKOUT_CMD");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ReadFile(path), "use lib1;");
  EXPECT_EQ(StampOf(path)->mode, 0444u);
}

TEST_F(FileUpdate, SameOldAndNewNameStillCountsAsAChange) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib1")});
  std::string path = tree_.WriteFile("f.txt", "a lib1 b");
  EXPECT_EQ(UpdateEx(DesignTree::Reference("f.txt"), list).result,
            TOV_UPDATE_CHANGED);
  EXPECT_EQ(ReadFile(path), "a lib1 b");
}

TEST_F(FileUpdate, DryRunReportsTheChangeAndWritesNothing) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib2")});
  std::string path = tree_.WriteFile("f.txt", "a lib1 b");
  Backdate(path);
  auto before = StampOf(path);
  EXPECT_EQ(
      UpdateEx(DesignTree::Reference("f.txt"), list, TOV_UPDATE_DRY_RUN).result,
      TOV_UPDATE_CHANGED);
  EXPECT_TRUE(SameStamp(before, StampOf(path)));
  EXPECT_EQ(ReadFile(path), "a lib1 b");
}

TEST_F(FileUpdate, LineIsCutAfterTheReferenceAndTheRestIgnored) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib2")});
  std::string path = tree_.WriteFile("f.txt", "lib1");
  std::string text = " \t" + DesignTree::Reference("f.txt") + " other\tx\n";
  std::vector<char> line(text.begin(), text.end());
  line.push_back('\0');
  ASSERT_EQ(tovUpdtrRegexpUpdateFile(line.data(), 0, list, "LibraryNT"), 1);
  EXPECT_EQ(ReadFile(path), "lib2");
  const size_t cut = 2 + DesignTree::Reference("f.txt").size();
  EXPECT_EQ(line[cut], '\0');
  EXPECT_EQ(std::string(line.data() + cut + 1), "other\tx\n");
}

TEST_F(FileUpdate, LineWithoutAReferenceFails) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib2")});
  for (const char *line : {"", " \t \r\n"}) {
    Outcome o = Update(line, list, 5);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.err, "{#5 E strtok failed}\n");
  }
}

TEST_F(FileUpdate, ReferenceProblemsAreReportedInOrder) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib2")});
  // Rejected by the parse, which prints its own messages only.
  Outcome o = Update("lib1", list, 5);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.err.find("{#5"), std::string::npos);
  EXPECT_NE(o.err.find("Error parsing Lib string in LCV: lib1"),
            std::string::npos);
  // A component too long for the 260-byte buffers is refused by the parse.
  const std::string cell(300, 'c');
  o = Update("lib1." + cell + ":view/f.txt", list, 5);
  EXPECT_EQ(o.result, 0);
  EXPECT_NE(o.err.find("{#0 E "), std::string::npos);
  EXPECT_EQ(o.err.find("{#5"), std::string::npos);
  // No path for an unknown library.
  o = Update("nolib.cell:view/f.txt", list, 5);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.err,
            "{#5 E Problem encountered in getting path for "
            "LCVFentry:nolib.cell:view/f.txt}\n");
  // A path for a file that is not there.
  o = Update(DesignTree::Reference("absent.txt"), list, 5);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.err, "{#5 E Problem \"stat\"ing file: " +
                       tree_.PathOf("absent.txt") + "}\n");
}

TEST_F(FileUpdate, IllegalNewNameFailsOnlyWhereTheOldNameOccurs) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "bad|name")});
  std::string without = tree_.WriteFile("without.txt", "lib10");
  std::string with = tree_.WriteFile("with.txt", "x lib1");
  EXPECT_EQ(Update(DesignTree::Reference("without.txt"), list).result, 1);
  Outcome o = Update(DesignTree::Reference("with.txt"), list, 2);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.err,
            "{#2 E The string bad|name is illegal in LibraryNT namespace }\n");
  EXPECT_EQ(ReadFile(with), "x lib1");
}

// Buffer space: the text may grow to twice the file size less one.
TEST_F(FileUpdate, NewNameThatDoesNotFitFailsAndLeavesTheFile) {
  tovUpdtrRegexpList *list = ListOf({LibRename("a", "bb")});
  std::string path = tree_.WriteFile("one.txt", "a");
  Backdate(path);
  auto before = StampOf(path);
  Outcome o = Update(DesignTree::Reference("one.txt"), list, 4);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.err,
            "{#4 E Buffer space for reading and writing files inadequate. "
            "Increase the scaling factor.}\n");
  EXPECT_EQ(ReadFile(path), "a");
  EXPECT_TRUE(SameStamp(before, StampOf(path)));
}

TEST_F(FileUpdate, PrefixThatDoesNotFitFailsAndLeavesTheFile) {
  // 4 bytes give 8: "aaaaaa" (6) fits, "aaaaaa" + "  " reaches the end.
  tovUpdtrRegexpList *list = ListOf({LibRename("a", "aaaaaa")});
  std::string path = tree_.WriteFile("f.txt", "a  a");
  Outcome o = Update(DesignTree::Reference("f.txt"), list, 4);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.err,
            "{#4 E Buffer space for reading and writing files inadequate}\n");
  EXPECT_EQ(ReadFile(path), "a  a");
}

TEST_F(FileUpdate, RestThatDoesNotFitFailsAndLeavesTheFile) {
  // 6 bytes give 12: the new name (8) fits, the rest " cccc" no longer.
  tovUpdtrRegexpList *list = ListOf({LibRename("a", "bbbbbbbb")});
  std::string path = tree_.WriteFile("f.txt", "a cccc");
  Outcome o = Update(DesignTree::Reference("f.txt"), list, 4);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.err,
            "{#4 E Buffer space for reading and writing files inadequate for "
            "the rest of the file: " +
                path + "}\n");
  EXPECT_EQ(ReadFile(path), "a cccc");
}

TEST_F(FileUpdate, GrowthIsCountedAcrossNodes) {
  // Each node alone stays within twice the size; both together do not.
  tovUpdtrRegexpList *list =
      ListOf({LibRename("a", "aaa"), LibRename("b", "bbb")});
  std::string path = tree_.WriteFile("f.txt", "a b");
  Outcome o = Update(DesignTree::Reference("f.txt"), list);
  EXPECT_EQ(o.result, 0);
  EXPECT_NE(o.err.find("Buffer space"), std::string::npos);
  EXPECT_EQ(ReadFile(path), "a b");
  // Up to twice the size less one it fits: 3 bytes to 5.
  tree_.WriteFile("g.txt", "a b");
  list = ListOf({LibRename("a", "aa"), LibRename("b", "bb")});
  ASSERT_EQ(Update(DesignTree::Reference("g.txt"), list).result, 1);
  EXPECT_EQ(ReadFile(tree_.PathOf("g.txt")), "aa bb");
}

TEST_F(FileUpdate, WriteThatFailsHalfWayLeavesTheOriginal) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "library1")});
  std::string original;
  for (int i = 0; i < 40; ++i) original += "lib1 ";
  std::string path = tree_.WriteFile("f.txt", original);
  auto child = RunInChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    // 200 bytes grow to 360: the write stops at 256.
    struct rlimit limit = {256, 256};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) std::_Exit(10);
    Outcome o = Update(DesignTree::Reference("f.txt"), list, 6);
    bool ok =
        o.result == 0 &&
        o.err ==
            "{#6 E Problem encountered Writing to the file: " + path + "}\n";
    if (!ok) std::fprintf(stderr, "%d %s", o.result, o.err.c_str());
    std::_Exit(ok ? 0 : 11);
  });
  ASSERT_TRUE(child.exited);
  EXPECT_EQ(child.exit_code, 0) << child.err;
  EXPECT_EQ(ReadFile(path), original);
  // Nothing but the file itself is left in its directory.
  EXPECT_EQ(ReadFile(tree_.PathOf(".keep")), "");
  int entries = 0;
  for (const auto &entry : std::filesystem::directory_iterator(
           tree_.dir().Path("lib1/cell/view"))) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 2);
}

TEST_F(FileUpdate, SymbolicLinkToTheFileStaysALink) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib2")});
  std::string target = tree_.dir().Write("shared/real.txt", "lib1");
  ASSERT_EQ(symlink(target.c_str(), tree_.PathOf("link.txt").c_str()), 0);
  ASSERT_EQ(Update(DesignTree::Reference("link.txt"), list).result, 1);
  EXPECT_TRUE(std::filesystem::is_symlink(tree_.PathOf("link.txt")));
  EXPECT_EQ(ReadFile(target), "lib2");
}

}  // namespace
