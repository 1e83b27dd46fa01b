// Positional reads of files.
#include <cstdint>
#include <string>

#include "gtest/gtest.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace {

using tov::test::TempDir;

TEST(FileReader, ReadsTheFileAsItWasWhenReplacedByANewOne) {
  TempDir dir;
  const std::string text = std::string(5000, 'x') + std::string("\0end\r\n", 6);
  const std::string path = dir.Write("f.txt", text);
  tov::platform::FileReader reader;
  const auto size = static_cast<int64_t>(text.size());
#ifdef _WIN32
  // A file open for reading could not be replaced: there are no readers.
  EXPECT_FALSE(reader.Open(path.c_str(), size));
#else
  ASSERT_TRUE(reader.Open(path.c_str(), size));
  EXPECT_FALSE(reader.Changed());
  ASSERT_EQ(tov::platform::ReplaceFileContents(path.c_str(), "new", 3), 0);
  std::string read(text.size(), '-');
  EXPECT_EQ(reader.ReadAt(0, &read[0], read.size()), size);
  EXPECT_EQ(read, text);
  // Past the end a read comes back short, never with a signal.
  char past[8];
  EXPECT_EQ(reader.ReadAt(size - 2, past, sizeof past), 2);
#endif
}

TEST(FileReader, RefusesWhatIsNotAFileOfTheGivenSize) {
  TempDir dir;
  const std::string path = dir.Write("f.txt", "12345");
  tov::platform::FileReader reader;
  EXPECT_FALSE(reader.Open(path.c_str(), 4));  // the file has grown since
  EXPECT_FALSE(reader.Open(path.c_str(), 6));  // or shrunk
  EXPECT_FALSE(reader.Open(dir.path().c_str(), 5));
  EXPECT_FALSE(reader.Open(dir.Path("missing").c_str(), 5));
  EXPECT_FALSE(reader.Open(nullptr, 5));
}

}  // namespace
