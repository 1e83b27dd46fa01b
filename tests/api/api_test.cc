// Through the shared library and the public header alone, as a user's
// program sees them.
#include <dlfcn.h>

#include <cstring>
#include <string>

#include "gtest/gtest.h"
#include "support/test_support.h"
#include "tovUpdtr.h"

extern "C" int tovApiCheckFromC(void);

namespace {

TEST(Api, HeaderWorksFromC) {
  EXPECT_EQ(tovApiCheckFromC(), 3 + 3 + 6 + 1 + 1);
}

TEST(Api, ExportedNamesResolveUndecorated) {
  void *self = dlopen(nullptr, RTLD_NOW);
  ASSERT_NE(self, nullptr);
  for (const char *name :
       {"tovUpdtrInit", "tovUpdtrGetDefaultNameSpace", "tovUpdtrPrintErrMsg",
        "tovUpdtrFgets", "tovUpdtrErrBuf", "tovUpdtrModeStrs",
        "tovRenameRefAllowStrs", "tovWhatChangedStrs", "tovUpdtrParseArgs",
        "tovUpdtrXParseArgs", "tovUpdtrGetUpdateMode",
        "tovUpdtrGetRenameRefData", "tovParseLCV", "tovPrintLCV",
        "tovWhatChangedInFromToPair"}) {
    EXPECT_NE(dlsym(self, name), nullptr) << name;
  }
  // Internal functions stay hidden.
  EXPECT_EQ(dlsym(self, "bevInit"), nullptr);
  EXPECT_EQ(dlsym(self, "rixMapName"), nullptr);
  dlclose(self);
}

TEST(Api, ErrBufIsTheBufferMessagesAreComposedIn) {
  std::string err = tov::test::CaptureStderr([] {
    EXPECT_EQ(tovParseLCV("", nullptr, nullptr, nullptr, nullptr), 0);
  });
  EXPECT_EQ(err, "{#0 W Empty lcv string given}\n");
  EXPECT_STREQ(tovUpdtrErrBuf, "Empty lcv string given");
  EXPECT_EQ(sizeof tovUpdtrErrBuf, 1040u);
}

}  // namespace
