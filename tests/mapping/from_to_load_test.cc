#include "mapping/from_to_load.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "core/state.h"
#include "gtest/gtest.h"
#include "mapping/mapping_table.h"
#include "mapping_test_util.h"
#include "support/test_support.h"
#include "tovUpdtr.h"

namespace {

using tov::test::CaptureStderr;
using tov::test::Outcome;
using tov::test::WalkMapping;
using Elements = std::vector<std::string>;

class FromToLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    tovUpdtrHashTableDelete();
    tov::core::GetState().update_mode = TOV_MODE_UNDEFINED;
  }
  void TearDown() override {
    tovUpdtrHashTableDelete();
    tov::mapping::tovUpdtrHashSetCaseSensitive(0);
    tov::mapping::SetAllocForTesting(nullptr);
    tov::core::GetState().update_mode = TOV_MODE_UNDEFINED;
  }

  // Writes `content` as a fresh list file and returns its path.
  std::string List(const std::string &content) {
    path_ = dir_.Write("list" + std::to_string(++lists_) + ".ftl", content);
    return path_;
  }

  // Loads `path`; a NULL `name_space` means tovProcessFromToFile.
  Outcome LoadPath(const char *path, int level, const char *name_space,
                   int case_sensitive = 0) {
    return tov::test::Capture([&] {
      return name_space == nullptr
                 ? tovProcessFromToFile(path, level)
                 : tovProcessFromToFileEx(path, level, name_space,
                                          case_sensitive);
    });
  }

  Outcome Load(const std::string &content, int level,
               const char *name_space = "LibraryNT", int case_sensitive = 0) {
    return LoadPath(List(content).c_str(), level, name_space, case_sensitive);
  }

  tov::test::TempDir dir_;
  std::string path_;  // the last list written
  int lists_ = 0;
};

TEST_F(FromToLoad, LevelsDecideTheElementsOfEachKind) {
  struct Case {
    const char *line;
    int level;
    int result;
    Elements elements;
  };
  const Case cases[] = {
      {"a/. b/.\n", 0, LCV_LIB_CHANGED, {"a,,,>b,,,"}},
      {"a.c/. b.c/.\n", 1, LCV_LIB_CHANGED, {"a,,,>b,,,", "a,c,,>b,c,,"}},
      {"a.c:v/f b.c:v/f\n",
       3,
       LCV_LIB_CHANGED,
       {"a,,,>b,,,", "a,c,,>b,c,,", "a,c,v,>b,c,v,", "a,c,v,f>b,c,v,f"}},
      {"a.c/. a.d/.\n", 0, LCV_CELL_CHANGED, {}},
      {"a.c/. a.d/.\n", 1, LCV_CELL_CHANGED, {"a,c,,>a,d,,"}},
      // The library atom is skipped: the libraries are equal.
      {"a.c/. a.d/.\n", 4, LCV_CELL_CHANGED, {",c,,>,d,,"}},
      {"a.c/. b.d/.\n", 4, LCV_CELL_CHANGED, {",c,,>,d,,", "a,,,>b,,,"}},
      {"a.c:v/. b.d:w/.\n",
       4,
       LCV_VIEW_CHANGED,
       {",,v,>,,w,", ",c,,>,d,,", "a,,,>b,,,"}},
      {"a.c:v/. a.c:w/.\n", 1, LCV_VIEW_CHANGED, {}},
      {"a.c:v/. a.c:w/.\n", 2, LCV_VIEW_CHANGED, {"a,c,v,>a,c,w,"}},
      {"a.c:v/f a.c:v/g\n", 0, LCV_FILE_CHANGED, {}},
      {"a.c:v/f a.c:v/g\n", 2, LCV_FILE_CHANGED, {}},
      {"a.c:v/f a.c:v/g\n", 3, LCV_FILE_CHANGED, {"a,c,v,f>a,c,v,g"}},
      {"a.c:v/f a.c:v/g\n", 4, LCV_FILE_CHANGED, {}},
      // Other levels read, classify and check, but insert nothing.
      {"a.c/. b.d/.\n", 5, LCV_CELL_CHANGED, {}},
      {"a.c/. b.d/.\n", -1, LCV_CELL_CHANGED, {}},
      {"a/. a/.\n", 0, LCV_NONE_CHANGED, {}},
      {"a/. a/.\n", 3, LCV_NONE_CHANGED, {}},
      // No atom for an unchanged line: the load fails, silently.
      {"a/. a/.\n", 4, LCV_ERROR, {}},
      // A repeated line passes below the file level.
      {"a.c:v/. b.c:v/.\na.c:v/. b.c:v/.\n",
       2,
       LCV_LIB_CHANGED,
       {"a,,,>b,,,", "a,c,,>b,c,,", "a,c,v,>b,c,v,"}},
  };
  for (const Case &c : cases) {
    Outcome o = Load(c.line, c.level);
    EXPECT_EQ(o.result, c.result) << c.line << " at level " << c.level;
    EXPECT_EQ(o.err, "") << c.line << " at level " << c.level;
    EXPECT_EQ(WalkMapping(), c.elements) << c.line << " at level " << c.level;
  }
}

TEST_F(FromToLoad, FileLevelRejectsAnyRepeatedFromPart) {
  // The library element is found again under the cell and view keys with
  // the same to side, which passes, but the file maker refuses it.
  Outcome o = Load("a/. b/.\n", 3);
  EXPECT_EQ(o.result, LCV_ERROR);
  EXPECT_EQ(o.err,
            "{#0 E Two entries in the From-To list with the same From\n"
            "\tFrom lib \"a\" cell \"\" view \"\" file \"\"\n"
            "\tTo #1 lib \"b\" cell \"\" view \"\" file \"\"\n"
            "\tTo #2 lib \"b\" cell \"\" view \"\" file \"\"\n"
            "\t(in LibraryNT namespace)\n}\n");
  EXPECT_EQ(WalkMapping(), Elements{"a,,,>b,,,"});

  // The same file line twice.
  o = Load("a.c:v/f b.c:v/f\na.c:v/f b.c:v/f\n", 3);
  EXPECT_EQ(o.result, LCV_ERROR);
  EXPECT_NE(o.err.find("same From\n\tFrom lib \"a\" cell \"c\" view \"v\" "
                       "file \"f\"\n"),
            std::string::npos)
      << o.err;

  // A different to side adds the suffix.
  o = Load("a.c:v/f a.c:v/g\na.c:v/f a.c:v/h\n", 3);
  EXPECT_EQ(o.result, LCV_ERROR);
  EXPECT_EQ(o.err,
            "{#0 E Two entries in the From-To list with the same From but "
            "different to's\n"
            "\tFrom lib \"a\" cell \"c\" view \"v\" file \"f\"\n"
            "\tTo #1 lib \"a\" cell \"c\" view \"v\" file \"g\"\n"
            "\tTo #2 lib \"a\" cell \"c\" view \"v\" file \"h\"\n"
            "\t(in LibraryNT namespace)\n}\n");
}

TEST_F(FromToLoad, ConflictsNameTheEarlierAndTheLaterTarget) {
  Outcome o = Load("a/. b/.\na/. c/.\n", 0);
  EXPECT_EQ(o.result, LCV_ERROR);
  EXPECT_EQ(o.err,
            "{#0 E Two entries in the From-To list with the same From but "
            "different To's\n"
            "\tFrom lib \"a\", To #1 lib \"b\", To #2 lib \"c\"\n"
            "\t(in LibraryNT namespace)\n}\n");
  EXPECT_EQ(WalkMapping(), Elements{"a,,,>b,,,"});

  o = Load("a.c/. a.d/.\na.c/. a.e/.\n", 1);
  EXPECT_EQ(o.result, LCV_ERROR);
  EXPECT_EQ(o.err,
            "{#0 E Two entries in the From-To list with the same From but "
            "different To's\n"
            "\tFrom lib \"a\" cell \"c\"\n"
            "\tTo #1 lib \"a\" cell \"d\"\n"
            "\tTo #2 lib \"a\" cell \"e\"\n"
            "\t(in LibraryNT namespace)\n}\n");

  o = Load("a.c:v/. a.c:w/.\na.c:v/. a.c:x/.\n", 2);
  EXPECT_EQ(o.result, LCV_ERROR);
  EXPECT_EQ(o.err,
            "{#0 E Two entries in the From-To list with the same From but "
            "different To's\n"
            "\tFrom lib \"a\" cell \"c\" view \"v\"\n"
            "\tTo #1 lib \"a\" cell \"c\" view \"w\"\n"
            "\tTo #2 lib \"a\" cell \"c\" view \"x\"\n"
            "\t(in LibraryNT namespace)\n}\n");

  // Two old names may share one new name.
  o = Load("a/. z/.\nb/. z/.\n", 0);
  EXPECT_EQ(o.result, LCV_LIB_CHANGED);
  EXPECT_EQ(WalkMapping(), (Elements{"a,,,>z,,,", "b,,,>z,,,"}));
}

TEST_F(FromToLoad, ConflictOfLongNamesIsCutToTheMessageBuffer) {
  // Lines of about 1000 characters; the message quotes three names of 500.
  std::string a(500, 'a'), b(500, 'b'), c(500, 'c');
  Outcome o = Load(a + "/. " + b + "/.\n" + a + "/. " + c + "/.\n", 0);
  EXPECT_EQ(o.result, LCV_ERROR);
  EXPECT_EQ(std::string(tovUpdtrErrBuf).size(), 1039u);
  EXPECT_EQ(o.err, "{#0 E " + std::string(tovUpdtrErrBuf) + "}\n");
}

TEST_F(FromToLoad, AllLinesMustBeOfOneKind) {
  Outcome o = Load("a/. b/.\na.c/. a.d/.\n", 1);
  EXPECT_EQ(o.result, LCV_ERROR);
  EXPECT_EQ(
      o.err,
      "{#0 E Found more than one type of copy operation:\n"
      "\tFirst operation was LCV_LIB_CHANGED and operation on line 2 of " +
          path_ +
          " was LCV_CELL_CHANGED\n"
          "\tOnly one type of copy operation can be handled by "
          "updaters.}\n");
  // The offending line's elements are already in.
  EXPECT_EQ(WalkMapping(), (Elements{"a,,,>b,,,", "a,c,,>a,d,,"}));

  // Also where no element is made.
  o = Load("a/. b/.\na/. b/.\nx.y:z/1 x.y:z/1\n", 9);
  EXPECT_EQ(o.result, LCV_ERROR);
  EXPECT_NE(o.err.find("on line 3 of"), std::string::npos) << o.err;
}

TEST_F(FromToLoad, CaseModeGovernsTheConflictChecks) {
  // The kind compares exactly, the makers under the case mode.
  Outcome o = Load("Lib/. lib/.\n", 0);
  EXPECT_EQ(o.result, LCV_LIB_CHANGED);
  EXPECT_EQ(WalkMapping(), Elements{});
  o = Load("Lib/. lib/.\n", 0, "LibraryNT", 1);
  EXPECT_EQ(o.result, LCV_LIB_CHANGED);
  EXPECT_EQ(WalkMapping(), Elements{"Lib,,,>lib,,,"});

  o = Load("a/. b/.\nA/. B/.\n", 0);
  EXPECT_EQ(o.result, LCV_LIB_CHANGED);
  EXPECT_EQ(WalkMapping(), Elements{"a,,,>b,,,"});
  o = Load("a/. b/.\nA/. B/.\n", 0, "LibraryNT", 1);
  EXPECT_EQ(WalkMapping(), (Elements{"a,,,>b,,,", "A,,,>B,,,"}));

  o = Load("a/. b/.\nA/. c/.\n", 0);
  EXPECT_EQ(o.result, LCV_ERROR);
  EXPECT_EQ(o.err,
            "{#0 E Two entries in the From-To list with the same From but "
            "different To's\n"
            "\tFrom lib \"A\", To #1 lib \"b\", To #2 lib \"c\"\n"
            "\t(in LibraryNT namespace)\n}\n");

  // The plain call is case-insensitive even after a case-sensitive load.
  EXPECT_EQ(Load("a/. b/.\nA/. B/.\n", 0, nullptr).result, LCV_LIB_CHANGED);
  EXPECT_EQ(WalkMapping(), Elements{"a,,,>b,,,"});
}

TEST_F(FromToLoad, ExtraTokensAreReportedAndIgnored) {
  Outcome o = Load("a/. b/. c/.\n", 0);
  EXPECT_EQ(o.result, LCV_LIB_CHANGED);
  EXPECT_EQ(o.err, "{#0 W Extra tokens in fromToLine: a/. being ignored}\n");
  EXPECT_EQ(WalkMapping(), Elements{"a,,,>b,,,"});

  // The line is shown from its first character: leading delimiters too.
  o = Load(" \ta/.\t\tb/. c/.\n", 0);
  EXPECT_EQ(o.err, "{#0 W Extra tokens in fromToLine:  \ta/. being ignored}\n");

  // One delimiter after the to reference is fine; a second is a token.
  EXPECT_EQ(Load("a/. b/. \n", 0).err, "");
  EXPECT_EQ(Load("a/. b/.\t\n", 0).err, "");
  EXPECT_EQ(Load("a/. b/.\r\n", 0).err, "");
  EXPECT_EQ(Load("a/. b/.", 0).err, "");
  o = Load("a/. b/.  \n", 0);
  EXPECT_EQ(o.result, LCV_LIB_CHANGED);
  EXPECT_EQ(o.err, "{#0 W Extra tokens in fromToLine: a/. being ignored}\n");
  EXPECT_EQ(Load("a/. b/. \r\n", 0).err,
            "{#0 W Extra tokens in fromToLine: a/. being ignored}\n");
}

TEST_F(FromToLoad, LinesWithoutTwoReferencesFail) {
  for (const char *list : {"\n", " \t \n", "a/. b/.\n\n", "a/.\n",
                           "a/. b/.\nc/.\n", "a/. b/.\n \r\n"}) {
    Outcome o = Load(list, 0);
    EXPECT_EQ(o.result, LCV_ERROR) << list;
    EXPECT_EQ(o.err, "{#0 E strtok failed}\n") << list;
  }
  // Elements of the lines before the failing one stay.
  EXPECT_EQ(WalkMapping(), Elements{"a,,,>b,,,"});
  // A reference that does not parse fails with the parser's messages only.
  Outcome o = Load("a/. b/.\na./f b/.\n", 0);
  EXPECT_EQ(o.result, LCV_ERROR);
  EXPECT_EQ(o.err, "{#0 E Error parsing Cell string in LCV: a./f}\n");
}

TEST_F(FromToLoad, EmptyListGivesUnsetOrLibraryChange) {
  Load("a/. b/.\n", 0);
  Outcome o = Load("", 0);
  EXPECT_EQ(o.result, LCV_UNSET);
  EXPECT_EQ(o.err, "");
  // The previous mapping is gone.
  EXPECT_EQ(WalkMapping(), Elements{});
  ASSERT_NE(tov::core::GetState().tables, nullptr);
  EXPECT_NE(tov::core::GetState().tables->fromTo, nullptr);

  tov::core::GetState().update_mode = TOV_MODE_REF_RENAME;
  EXPECT_EQ(Load("", 0).result, LCV_LIB_CHANGED);
  tov::core::GetState().update_mode = TOV_MODE_RENAME;
  EXPECT_EQ(Load("", 0).result, LCV_UNSET);
}

TEST_F(FromToLoad, UnopenableListChangesNothing) {
  Load("A/. b/.\n", 0, "LibraryNT", 1);
  const std::string missing = dir_.Path("no-such.ftl");
  Outcome o = LoadPath(missing.c_str(), 0, "LibraryUnix");
  EXPECT_EQ(o.result, LCV_ERROR);
  EXPECT_EQ(o.err, "{#0 E File " + missing +
                       " could not be opened}\n"
                       "{#0 W No such file or directory}\n");
  EXPECT_EQ(WalkMapping(), Elements{"A,,,>b,,,"});
  // Still the case mode and name space of the earlier load.
  tov::core::State &state = tov::core::GetState();
  EXPECT_NE(state.str_cmp, nullptr);
  EXPECT_EQ(state.from_to_name_space.value_or(""), "LibraryNT");
  EXPECT_TRUE(state.from_to_is_library_nt);

  EXPECT_EQ(LoadPath(nullptr, 0, "LibraryNT").err,
            "{#0 E File (null) could not be opened}\n");
}

TEST_F(FromToLoad, OverlongLinesAreReadInPieces) {
  // 1039 characters make one piece: the first line's padding (tabs after the
  // to reference) is an extra token of piece 1, and the rest of the line is
  // piece 2, a cell change after the library change of piece 1.
  std::string first = "a/. b/." + std::string(1039 - 7, '\t');
  Outcome o = Load(first + "g.h/. g.k/.\n", 1);
  EXPECT_EQ(o.result, LCV_ERROR);
  EXPECT_EQ(
      o.err,
      "{#0 W Extra tokens in fromToLine: a/. being ignored}\n"
      "{#0 E Found more than one type of copy operation:\n"
      "\tFirst operation was LCV_LIB_CHANGED and operation on line 2 of " +
          path_ +
          " was LCV_CELL_CHANGED\n"
          "\tOnly one type of copy operation can be handled by "
          "updaters.}\n");
}

TEST_F(FromToLoad, NamesAreMappedIntoTheElementNameSpace) {
  // LibraryNT writes ':' and '/' escaped; LibraryUnix writes ':' raw and
  // '/' escaped.  The kind is taken on the names as read.
  Outcome o = Load("lib.c#3av/. lib.d#2fw/.\n", 1, "LibraryUnix");
  EXPECT_EQ(o.result, LCV_CELL_CHANGED);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(WalkMapping(), Elements{"lib,c:v,,>lib,d#2fw,,"});
  EXPECT_EQ(tov::core::GetState().from_to_name_space.value_or(""),
            "LibraryUnix");

  // Conflicts print the mapped names.
  o = Load("l.c#3av/. l.x/.\nl.c#3Av/. l.y/.\n", 1, "LibraryUnix");
  EXPECT_EQ(o.result, LCV_ERROR);
  EXPECT_NE(o.err.find("From lib \"l\" cell \"c:v\"\n"), std::string::npos)
      << o.err;

  // Under LibraryNT the names are stored as read.
  o = Load("lib.c#3av/. lib.d#2fw/.\n", 1);
  EXPECT_EQ(WalkMapping(), Elements{"lib,c#3av,,>lib,d#2fw,,"});
}

TEST_F(FromToLoad, NameSpaceTheServiceDoesNotKnowIsRefused) {
  Load("a/. b/.\n", 0);
  // Name spaces are compared exactly: this one is not LibraryNT.
  Outcome o = Load("c/. d/.\n", 0, "libraryNT");
  EXPECT_EQ(o.result, LCV_ERROR);
  EXPECT_EQ(o.err,
            "{#0 E Unknown name space \"libraryNT\" for the names of "
            "the from-to list " +
                path_ + "}\n");
  // Refused before anything changed.
  EXPECT_EQ(WalkMapping(), Elements{"a,,,>b,,,"});
  EXPECT_EQ(tov::core::GetState().from_to_name_space.value_or(""), "LibraryNT");
}

TEST_F(FromToLoad, NameThatCannotBeMappedFailsTheLine) {
  // A '#' without two hexadecimal digits is not a LibraryNT name.
  Outcome o = Load("a/. b/.\nc#zz/. d/.\n", 0, "LibraryUnix");
  EXPECT_EQ(o.result, LCV_ERROR);
  EXPECT_EQ(o.err,
            "{#0 E Couldn't map c#zz from LibraryNT to LibraryUnix "
            "namespace on line 2 of " +
                path_ + "}\n");
  EXPECT_EQ(WalkMapping(), Elements{"a,,,>b,,,"});
  // Names too long for the service fail the same way.
  o = Load("a.c" + std::string(300, 'x') + "/. a.d/.\n", 1, "LibraryUnix");
  EXPECT_EQ(o.result, LCV_ERROR);
  EXPECT_NE(o.err.find("on line 1 of"), std::string::npos);
}

// Fails the n-th allocation of the mapping from now on.
int g_fail_at = 0;
void *FailingAlloc(size_t size) {
  return --g_fail_at == 0 ? nullptr : std::malloc(size);
}

TEST_F(FromToLoad, ExhaustedMemoryFailsTheLoadCleanly) {
  const std::string path = List("a.c:v/f b.c:v/f\nx.c:v/f y.c:v/f\n");
  // Fail each allocation of the load in turn, until one load needs fewer.
  int fail = 1;
  for (;; ++fail) {
    g_fail_at = fail;
    tov::mapping::SetAllocForTesting(FailingAlloc);
    Outcome o = LoadPath(path.c_str(), 3, "LibraryNT");
    tov::mapping::SetAllocForTesting(nullptr);
    if (g_fail_at > 0) {  // no allocation failed
      EXPECT_EQ(o.result, LCV_LIB_CHANGED);
      break;
    }
    EXPECT_EQ(o.result, LCV_ERROR) << fail;
    EXPECT_EQ(o.err, "{#0 E Out of memory while loading the from-to list " +
                         path + "}\n")
        << fail;
  }
  // The pair, two records, and one block of the store for all eight
  // elements.
  EXPECT_EQ(fail, 3 + 1 + 1);
  EXPECT_EQ(WalkMapping().size(), 8u);
}

}  // namespace
