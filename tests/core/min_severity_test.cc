// tovUpdtrSetMinSeverity: what a quiet program still sees.
#include <cerrno>
#include <cstring>
#include <string>

#include "core/messages.h"
#include "gtest/gtest.h"
#include "support/test_support.h"
#include "tovUpdtr.h"

namespace {

using tov::test::CaptureStderr;

// Every severity, then two outside 0..3, printed under the current setting.
std::string PrintEach() {
  return CaptureStderr([] {
    for (int severity : {0, 1, 2, 3, 9, -1}) {
      tovUpdtrPrintErrMsg(severity, severity, "m");
    }
  });
}

class MinSeverity : public ::testing::Test {
 protected:
  // The setting is process-wide: every test leaves the default behind.
  void TearDown() override { tovUpdtrSetMinSeverity(0); }
};

TEST_F(MinSeverity, HidesLowerSeveritiesOnly) {
  EXPECT_EQ(PrintEach(),
            "{#0 I m}\n{#1 W m}\n{#2 E m}\n{#3 F m}\n"
            "{#9 Unkown Error Severity m}\n{#-1 Unkown Error Severity m}\n");
  EXPECT_EQ(tovUpdtrSetMinSeverity(2), 0);
  EXPECT_EQ(PrintEach(),
            "{#2 E m}\n{#3 F m}\n"
            "{#9 Unkown Error Severity m}\n{#-1 Unkown Error Severity m}\n");
  EXPECT_EQ(tovUpdtrSetMinSeverity(1), 2);
  EXPECT_EQ(PrintEach(),
            "{#1 W m}\n{#2 E m}\n{#3 F m}\n"
            "{#9 Unkown Error Severity m}\n{#-1 Unkown Error Severity m}\n");
}

TEST_F(MinSeverity, FatalMessagesCannotBeSilenced) {
  tovUpdtrSetMinSeverity(99);
  EXPECT_EQ(tovUpdtrSetMinSeverity(-4), 3);
  EXPECT_EQ(tovUpdtrSetMinSeverity(99), 0);
  EXPECT_EQ(CaptureStderr([] { tovUpdtrPrintErrMsg(0, 3, "fatal"); }),
            "{#0 F fatal}\n");
}

TEST_F(MinSeverity, HiddenMessagesAreStillComposed) {
  tovUpdtrSetMinSeverity(2);
  EXPECT_EQ(CaptureStderr([] {
              EXPECT_EQ(tovParseLCV("", nullptr, nullptr, nullptr, nullptr), 0);
            }),
            "");
  EXPECT_STREQ(tovUpdtrErrBuf, "Empty lcv string given");
}

TEST_F(MinSeverity, ReasonsGoWithTheErrorsTheyExplain) {
  // Shown wherever errors are, never composed into tovUpdtrErrBuf, and
  // nothing for no error number.
  const std::string reason =
      "{#4 W " + std::string(std::strerror(ENOSPC)) + "}\n";
  for (int minimum : {0, 2, 3}) {
    tovUpdtrSetMinSeverity(minimum);
    std::strcpy(tovUpdtrErrBuf, "the error");
    EXPECT_EQ(CaptureStderr([] { tov::core::ReportReason(4, ENOSPC); }),
              minimum <= 2 ? reason : "")
        << minimum;
    EXPECT_EQ(CaptureStderr([] { tov::core::ReportReason(4, 0); }), "");
    EXPECT_STREQ(tovUpdtrErrBuf, "the error");
  }
}

}  // namespace
