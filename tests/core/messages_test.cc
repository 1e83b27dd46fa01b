#include "core/messages.h"

#include <cstring>
#include <string>

#include "gtest/gtest.h"
#include "support/test_support.h"
#include "tovUpdtr.h"

namespace {

using tov::core::Msg;
using tov::test::CaptureStderr;

TEST(Messages, ReportComposesIntoErrBufAndPrints) {
  std::string err =
      CaptureStderr([] { tov::core::Report(5, Msg::kUnknownArgument, "-x"); });
  EXPECT_EQ(err, "{#5 W Unknown argument \"-x\" ignored}\n");
  EXPECT_STREQ(tovUpdtrErrBuf, "Unknown argument \"-x\" ignored");
}

TEST(Messages, OverlongMessageIsCutToFitTheBuffer) {
  // A name far longer than the buffer: the text is cut, the buffer is
  // terminated, and the bytes after it are untouched.
  std::string name(5000, 'n');
  std::string err = CaptureStderr(
      [&] { tov::core::Report(0, Msg::kFileNotOpened, name.c_str()); });
  EXPECT_EQ(std::strlen(tovUpdtrErrBuf), sizeof tovUpdtrErrBuf - 1);
  EXPECT_EQ(std::string(tovUpdtrErrBuf).substr(0, 10), "File nnnnn");
  EXPECT_EQ(err, "{#0 E " + std::string(tovUpdtrErrBuf) + "}\n");
}

TEST(Messages, ReportIntoLeavesErrBufAlone) {
  std::strcpy(tovUpdtrErrBuf, "kept");
  char own[8];
  std::string err = CaptureStderr([&] {
    tov::core::ReportInto(own, sizeof own, 0, Msg::kSystemError, "path",
                          "reason");
  });
  EXPECT_STREQ(tovUpdtrErrBuf, "kept");
  EXPECT_STREQ(own, "path: r");
  EXPECT_EQ(err, "{#0 E path: r}\n");
}

TEST(Messages, ComposeIntoAZeroSizedBufferWritesNothing) {
  char guard = 'g';
  tov::core::ComposeInto(&guard, 0, Msg::kStrtokFailed);
  EXPECT_EQ(guard, 'g');
}

}  // namespace
