// Through the shared library and the public header alone, as a user's
// program sees them.
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

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

#ifdef _WIN32
// The names a program finds in the DLL with GetProcAddress: exactly those
// of the header, on 32-bit Windows too (no leading underscore, no @N).
TEST(Api, ExportedNamesResolveUndecorated) {
  HMODULE dll = GetModuleHandleA("tovUpdtr.dll");
  ASSERT_NE(dll, nullptr);
  for (const char *name :
       {"tovUpdtrInit", "tovUpdtrGetDefaultNameSpace", "tovUpdtrPrintErrMsg",
        "tovUpdtrFgets", "tovUpdtrErrBuf", "tovUpdtrModeStrs",
        "tovRenameRefAllowStrs", "tovWhatChangedStrs", "tovUpdtrParseArgs",
        "tovUpdtrXParseArgs", "tovUpdtrGetUpdateMode",
        "tovUpdtrGetRenameRefData", "tovParseLCV", "tovPrintLCV",
        "tovWhatChangedInFromToPair", "tovUpdtrRegexpUpdateFileText"}) {
    EXPECT_NE(GetProcAddress(dll, name), nullptr) << name;
  }
  // The address the import gave this program is the exported one.
  EXPECT_EQ(reinterpret_cast<void *>(GetProcAddress(dll, "tovParseLCV")),
            reinterpret_cast<void *>(&tovParseLCV));
  // Internal functions stay hidden, and so does the attach hook.
  for (const char *name : {"bevInit", "rixMapName", "_tovUpdtrInit", "DllMain",
                           "_DllMain@12", "tovUpdtrInit@16"}) {
    EXPECT_EQ(GetProcAddress(dll, name), nullptr) << name;
  }
}
#else
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
#endif

TEST(Api, ErrBufIsTheBufferMessagesAreComposedIn) {
  std::string err = tov::test::CaptureStderr([] {
    EXPECT_EQ(tovParseLCV("", nullptr, nullptr, nullptr, nullptr), 0);
  });
  EXPECT_EQ(err, "{#0 W Empty lcv string given}\n");
  EXPECT_STREQ(tovUpdtrErrBuf, "Empty lcv string given");
  EXPECT_EQ(sizeof tovUpdtrErrBuf, 1040u);
}

}  // namespace
