// Views of files.
#include <cstdio>
#include <string>

#include "gtest/gtest.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace {

using tov::test::TempDir;

TEST(FileView, ShowsTheFileAsItWasWhenReplacedByANewOne) {
  TempDir dir;
  const std::string text = std::string(5000, 'x') + std::string("\0end\r\n", 6);
  const std::string path = dir.Write("f.txt", text);
  tov::platform::FileView view;
#ifdef _WIN32
  // A viewed file could not be replaced: there are no views.
  EXPECT_FALSE(view.Open(path.c_str(), text.size()));
#else
  ASSERT_TRUE(view.Open(path.c_str(), text.size()));
  ASSERT_EQ(view.size(), text.size());
  ASSERT_EQ(tov::platform::ReplaceFileContents(path.c_str(), "new", 3), 0);
  EXPECT_EQ(std::string(view.data(), view.size()), text);
  view.Close();
  EXPECT_EQ(view.data(), nullptr);
#endif
}

TEST(FileView, RefusesWhatIsNotAFileOfTheGivenSize) {
  TempDir dir;
  const std::string path = dir.Write("f.txt", "12345");
  tov::platform::FileView view;
  EXPECT_FALSE(view.Open(path.c_str(), 4));  // the file has grown since
  EXPECT_FALSE(view.Open(path.c_str(), 6));  // or shrunk
  EXPECT_FALSE(view.Open(dir.path().c_str(), 5));
  EXPECT_FALSE(view.Open(dir.Path("missing").c_str(), 5));
  EXPECT_FALSE(view.Open(nullptr, 5));
  EXPECT_EQ(view.data(), nullptr);
}

}  // namespace
