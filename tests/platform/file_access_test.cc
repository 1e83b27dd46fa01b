// Views of files and the identity of a file under its several names.
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "gtest/gtest.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace {

using tov::test::TempDir;

bool HardLink(const std::string &existing, const std::string &name) {
#ifdef _WIN32
  return CreateHardLinkA(name.c_str(), existing.c_str(), nullptr) != 0;
#else
  return link(existing.c_str(), name.c_str()) == 0;
#endif
}

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

TEST(FileIdentity, OneForEveryNameOfAFileAndNoneForNoFile) {
  TempDir dir;
  const std::string f = dir.Write("d/f.txt", "f");
  const std::string g = dir.Write("d/g.txt", "f");
  ASSERT_TRUE(HardLink(f, dir.Path("d/h.txt")));
  const std::string id = tov::platform::FileIdentity(f.c_str());
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(tov::platform::FileIdentity(dir.Path("d/h.txt").c_str()), id);
  EXPECT_EQ(tov::platform::FileIdentity(dir.Path("d/../d/./f.txt").c_str()),
            id);
  EXPECT_NE(tov::platform::FileIdentity(g.c_str()), id);
  EXPECT_EQ(tov::platform::FileIdentity(dir.Path("d/missing").c_str()), "");
  EXPECT_EQ(tov::platform::FileIdentity(nullptr), "");
}

}  // namespace
