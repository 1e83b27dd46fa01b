// lcvGetPath against a recording double of the services: which calls it
// makes, in which order, with which names.
#include <cstdlib>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "lcv_path_double.h"
#include "support/test_support.h"
#include "tovUpdtr.h"

namespace {

using tov::test::Double;
using tov::test::Outcome;
using Calls = std::vector<std::string>;

// One lcvGetPath: what it printed, and the path it handed out as the bytes
// ("<null>" for NULL).
Outcome Resolve(const char *lib, const char *cell, const char *view,
                const char *file) {
  char *path = nullptr;
  Outcome o = tov::test::Capture([&] {
    path = lcvGetPath(lib, cell, view, file);
    return path != nullptr ? 1 : 0;
  });
  o.bytes = path != nullptr ? path : "<null>";
  std::free(path);
  return o;
}

std::string Mapped(const std::string &name) {
  return "rixMapper(NTToIdent,IdentToUnix," + name + ",0)";
}

std::string CouldntMap(const std::string &name) {
  return "{#0 E Couldn't map " + name +
         " from LibraryNT to libraryUnix namespace.\n}\n";
}

const char kLibLookup[] = "bevGetPath(0,0,u:lib,<null>,<null>,<null>,260)";
const char kNameSpace[] = "daxGetNameSpace(/libs/u:lib)";

class LcvGetPathSeam : public ::testing::Test {
 protected:
  void SetUp() override { tov::test::ResetDouble(); }
};

TEST_F(LcvGetPathSeam, OnlyLibraryUnixDirectoriesGetCellAndViewConverted) {
  for (const char *space : {"", "LibraryNT", "libraryunix", "LibraryUnix "}) {
    tov::test::ResetDouble();
    if (space[0] != '\0') Double().name_space = space;
    Outcome o = Resolve("lib", "c:1", "v", "f");
    EXPECT_EQ(o.bytes, "/libs/u:lib/c:1/v/f") << space;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(Double().calls, (Calls{Mapped("lib"), kLibLookup, kNameSpace,
                                     "bevGetPath(0,0,u:lib,c:1,v,f,260)"}))
        << space;
  }
  tov::test::ResetDouble();
  Double().name_space = "LibraryUnix";
  Outcome o = Resolve("lib", "c", "v", "f#3a");
  EXPECT_EQ(o.bytes, "/libs/u:lib/u:c/u:v/f#3a");  // the file stays as it is
  EXPECT_EQ(Double().calls,
            (Calls{Mapped("lib"), kLibLookup, kNameSpace, Mapped("c"),
                   Mapped("v"), "bevGetPath(0,0,u:lib,u:c,u:v,f#3a,260)"}));
}

TEST_F(LcvGetPathSeam, EmptyAndNullComponentsTravelAsEmptyNames) {
  Double().name_space = "LibraryUnix";
  EXPECT_EQ(Resolve("lib", "", nullptr, "").bytes, "/libs/u:lib/u:/u:");
  EXPECT_EQ(Double().calls,
            (Calls{Mapped("lib"), kLibLookup, kNameSpace, Mapped(""),
                   Mapped(""), "bevGetPath(0,0,u:lib,u:,u:,,260)"}));
  tov::test::ResetDouble();
  EXPECT_EQ(Resolve("lib", nullptr, "", nullptr).bytes, "/libs/u:lib");
  EXPECT_EQ(Double().calls.back(), "bevGetPath(0,0,u:lib,,,,260)");
}

TEST_F(LcvGetPathSeam, RejectedNamesAreReportedAndStopTheLookup) {
  Double().rejected = {"bad"};
  Outcome o = Resolve("bad", "c", "v", "f");
  EXPECT_EQ(o.bytes, "<null>");
  EXPECT_EQ(o.err, CouldntMap("bad"));
  EXPECT_EQ(Double().calls, Calls{Mapped("bad")});

  for (int which = 0; which < 2; ++which) {
    tov::test::ResetDouble();
    Double().rejected = {"bad"};
    Double().name_space = "LibraryUnix";
    o = which == 0 ? Resolve("lib", "bad", "v", "f")
                   : Resolve("lib", "c", "bad", "f");
    EXPECT_EQ(o.bytes, "<null>");
    EXPECT_EQ(o.err, CouldntMap("bad"));
    Calls want{Mapped("lib"), kLibLookup, kNameSpace};
    if (which == 1) want.push_back(Mapped("c"));
    want.push_back(Mapped("bad"));
    EXPECT_EQ(Double().calls, want);
  }

  // The same cell in a directory that keeps names as written: no message.
  tov::test::ResetDouble();
  Double().rejected = {"bad"};
  o = Resolve("lib", "bad", "v", "f");
  EXPECT_EQ(o.bytes, "/libs/u:lib/bad/v/f");
  EXPECT_EQ(o.err, "");
}

TEST_F(LcvGetPathSeam, FailedLookupsGiveNullWithoutMessage) {
  Double().library_result = 1;
  Outcome o = Resolve("lib", "c", "v", "f");
  EXPECT_EQ(o.bytes, "<null>");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(Double().calls, (Calls{Mapped("lib"), kLibLookup}));

  tov::test::ResetDouble();
  Double().file_result = 2;
  o = Resolve("lib", "c", "v", "f");
  EXPECT_EQ(o.bytes, "<null>");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(Double().calls.size(), 4u);
}

TEST_F(LcvGetPathSeam, EachCallReturnsABufferOfItsOwn) {
  char *first = lcvGetPath("lib", "c", "v", "f");
  char *second = lcvGetPath("lib", "c", "v", "f");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_STREQ(first, second);
  std::free(first);
  std::free(second);
}

}  // namespace
