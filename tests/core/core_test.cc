#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include <cstdio>
#include <string>

#include "core/state.h"
#include "gtest/gtest.h"
#include "support/test_support.h"
#include "tovUpdtr.h"

namespace {

using tov::test::CaptureStderr;
using tov::test::RunInChild;

TEST(PrintErrMsg, FormatsCodeSeverityAndText) {
  EXPECT_EQ(CaptureStderr([] { tovUpdtrPrintErrMsg(0, 0, "done"); }),
            "{#0 I done}\n");
  EXPECT_EQ(CaptureStderr([] { tovUpdtrPrintErrMsg(12, 1, "w"); }),
            "{#12 W w}\n");
  EXPECT_EQ(CaptureStderr([] { tovUpdtrPrintErrMsg(-3, 2, "e"); }),
            "{#-3 E e}\n");
  EXPECT_EQ(CaptureStderr([] { tovUpdtrPrintErrMsg(0, 3, "f"); }),
            "{#0 F f}\n");
}

TEST(PrintErrMsg, UnknownSeverityIsSpelledOut) {
  EXPECT_EQ(CaptureStderr([] { tovUpdtrPrintErrMsg(7, 9, "x"); }),
            "{#7 Unkown Error Severity x}\n");
  EXPECT_EQ(CaptureStderr([] { tovUpdtrPrintErrMsg(7, -1, "x"); }),
            "{#7 Unkown Error Severity x}\n");
}

TEST(PrintErrMsg, EmptyOrNullTextPrintsNothing) {
  EXPECT_EQ(CaptureStderr([] { tovUpdtrPrintErrMsg(1, 2, ""); }), "");
  EXPECT_EQ(CaptureStderr([] { tovUpdtrPrintErrMsg(1, 9, nullptr); }), "");
}

TEST(PrintErrMsg, NeverStopsTheProcess) {
  auto child = RunInChild([] { tovUpdtrPrintErrMsg(0, 3, "fatal"); });
  EXPECT_TRUE(child.exited);
  EXPECT_EQ(child.exit_code, 0);
  EXPECT_EQ(child.err, "{#0 F fatal}\n");
}

TEST(NameTables, HoldEveryValueInOrder) {
  EXPECT_STREQ(tovUpdtrModeStrs[0], "TOV_MODE_UNDEFINED");
  EXPECT_STREQ(tovUpdtrModeStrs[1], "TOV_MODE_COPY");
  EXPECT_STREQ(tovUpdtrModeStrs[2], "TOV_MODE_RENAME");
  EXPECT_STREQ(tovUpdtrModeStrs[3], "TOV_MODE_REF_RENAME");
  EXPECT_STREQ(tovRenameRefAllowStrs[0], "TOV_UPD_ALL_REFS");
  EXPECT_STREQ(tovRenameRefAllowStrs[1], "TOV_UPD_VALID_TO_REFS");
  EXPECT_STREQ(tovRenameRefAllowStrs[2], "TOV_UPD_VALID_FROM_REFS");
  EXPECT_STREQ(tovRenameRefAllowStrs[3], "TOV_UPD_VALID_BOTH_REFS");
  const char *kinds[7] = {"LCV_UNSET",        "LCV_ERROR",
                          "LCV_NONE_CHANGED", "LCV_LIB_CHANGED",
                          "LCV_CELL_CHANGED", "LCV_VIEW_CHANGED",
                          "LCV_FILE_CHANGED"};
  for (int i = 0; i < 7; ++i) EXPECT_STREQ(tovWhatChangedStrs[i], kinds[i]);
  EXPECT_EQ(LCV_FILE_CHANGED, 6);
  EXPECT_EQ(TOV_UPD_VALID_FROM_REFS, 2);
}

// Writes `text` to a temporary stream and rewinds it.
FILE *StreamWith(const std::string &text) {
  FILE *f = std::tmpfile();
  std::fputs(text.c_str(), f);
  std::rewind(f);
  return f;
}

TEST(Fgets, ReadsLinesAndTheLastOneWithoutNewline) {
  FILE *f = StreamWith("one\ntwo");
  char buf[16] = "junk";
  EXPECT_EQ(tovUpdtrFgets(f, buf, sizeof buf), buf);
  EXPECT_STREQ(buf, "one\n");
  EXPECT_EQ(tovUpdtrFgets(f, buf, sizeof buf), buf);
  EXPECT_STREQ(buf, "two");
  EXPECT_EQ(tovUpdtrFgets(f, buf, sizeof buf), nullptr);
  EXPECT_STREQ(buf, "");
  std::fclose(f);
}

TEST(Fgets, SplitsALongLineIntoPieces) {
  FILE *f = StreamWith("abcdefg\n");
  char buf[4];
  ASSERT_NE(tovUpdtrFgets(f, buf, sizeof buf), nullptr);
  EXPECT_STREQ(buf, "abc");
  ASSERT_NE(tovUpdtrFgets(f, buf, sizeof buf), nullptr);
  EXPECT_STREQ(buf, "def");
  ASSERT_NE(tovUpdtrFgets(f, buf, sizeof buf), nullptr);
  EXPECT_STREQ(buf, "g\n");
  std::fclose(f);
}

TEST(Fgets, EmptyStreamGivesNullAndEmptyBuffer) {
  FILE *f = StreamWith("");
  char buf[8] = "junk";
  EXPECT_EQ(tovUpdtrFgets(f, buf, sizeof buf), nullptr);
  EXPECT_STREQ(buf, "");
  std::fclose(f);
}

TEST(Fgets, ReadErrorEndsTheProcess) {
  auto child = RunInChild([] {
  // A stream opened for writing only: reading it sets the error
  // indicator (EBADF).
#ifdef _WIN32
    // (The Windows run-time cannot reopen a stream without a name: the
    // stream is made for reading on a descriptor open for writing.)
    FILE *w = _fdopen(_open("NUL", _O_WRONLY), "rb");
#else
    FILE *f = std::tmpfile();
    FILE *w = std::freopen(nullptr, "w", f);
#endif
    char buf[8];
    tovUpdtrFgets(w, buf, sizeof buf);
  });
  EXPECT_TRUE(child.exited);
  EXPECT_EQ(child.exit_code, 1);
  EXPECT_EQ(child.err.rfind("{#0 F Encountered Fatal READ error!: }"
                            "Updater Program: ",
                            0),
            0u)
      << child.err;
  EXPECT_EQ(child.err.back(), '\n');
}

TEST(Init, DefaultNameSpaceIsNullBeforeInitThenTheCopy) {
  // Each case runs in a fresh process: the state is process-wide.
  auto child = RunInChild([] {
    if (tovUpdtrGetDefaultNameSpace() != nullptr) std::_Exit(3);
    tov::test::TempDir dir;
    std::string defs = dir.Write("lib.defs", "");
    char *argv[] = {const_cast<char *>("prog"), nullptr};
    char ns[] = "LibraryUnix";
    if (tovUpdtrInit(1, argv, defs.c_str(), ns) != 1) std::_Exit(4);
    ns[0] = 'X';  // the library keeps a copy of its own
    const char *stored = tovUpdtrGetDefaultNameSpace();
    if (stored == nullptr || std::string(stored) != "LibraryUnix") {
      std::_Exit(5);
    }
    if (tovUpdtrInit(1, argv, defs.c_str(), "LibraryNT") != 1) std::_Exit(6);
    if (std::string(tovUpdtrGetDefaultNameSpace()) != "LibraryNT") {
      std::_Exit(7);
    }
    if (tov::core::GetState().version == nullptr) std::_Exit(8);
  });
  EXPECT_TRUE(child.exited);
  EXPECT_EQ(child.exit_code, 0);
  EXPECT_EQ(child.err, "");
}

TEST(Init, RejectedDefinitionFileGivesZeroAndPrintsNothing) {
  auto child = RunInChild([] {
    std::string err = CaptureStderr([] {
      char *argv[] = {const_cast<char *>("prog"), nullptr};
      if (tovUpdtrInit(1, argv, "/nonexistent/dir/lib.defs", "LibraryNT") !=
          0) {
        std::_Exit(3);
      }
    });
    if (!err.empty()) std::_Exit(4);
    if (tovUpdtrGetDefaultNameSpace() != nullptr) std::_Exit(5);
    if (bevLastError()[0] == '\0') std::_Exit(6);
  });
  EXPECT_TRUE(child.exited);
  EXPECT_EQ(child.exit_code, 0);
}

TEST(State, ResetReleasesTheMappingAndTheListsAndStartsAfresh) {
  // Run in this process, so that a leak check at its end (the sanitizer
  // build) finds whatever the reset dropped without releasing.
  tov::test::TempDir dir;
  const std::string list = dir.Write("rename.ftl", "a.b:c/. x.y:z/.\n");
  const std::string defs = dir.Write("lib.defs", "");
  char *argv[] = {const_cast<char *>("prog"), nullptr};
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(tovUpdtrInit(1, argv, defs.c_str(), "LibraryUnix"), 1);
    tovUpdtrSetMinSeverity(2);
    ASSERT_EQ(tovProcessFromToFileEx(list.c_str(), 4, "LibraryNT", 1),
              LCV_VIEW_CHANGED);
    ASSERT_NE(tovUpdtrGenRegexpList(0, "LibraryNT"), nullptr);
    const tov::core::State &state = tov::core::GetState();
    ASSERT_NE(state.tables, nullptr);
    ASSERT_NE(state.update, nullptr);

    tov::core::ResetState();
    EXPECT_EQ(state.tables, nullptr);
    EXPECT_EQ(state.update, nullptr);
    EXPECT_EQ(state.str_cmp, nullptr);
    EXPECT_EQ(state.min_severity, 0);
    EXPECT_EQ(state.version, nullptr);
    EXPECT_FALSE(state.from_to_name_space.has_value());
    EXPECT_EQ(tovUpdtrGetDefaultNameSpace(), nullptr);
    EXPECT_EQ(tovUpdtrHashStartGen(), nullptr);
  }
}

}  // namespace
