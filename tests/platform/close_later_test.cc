// Replaced files are released by the closing thread: whatever held the old
// file (the replacement's own hold, a reader, a view) is closed in the end,
// the number waiting stays bounded, and a child made by fork() neither waits
// for the parent's thread nor keeps what it had waiting.
#include "platform/platform.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using tov::test::ReadFile;
using tov::test::TempDir;

// Descriptors of this process that lead to files no longer named.
int HeldRemovedFiles() {
  int held = 0;
  for (const auto &entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(entry.path(), ec);
    if (!ec && target.string().find(" (deleted)") != std::string::npos) {
      ++held;
    }
  }
  return held;
}

// Views of this process on files no longer named.
int MappedRemovedFiles(const std::string &dir) {
  std::ifstream maps("/proc/self/maps");
  int mapped = 0;
  for (std::string line; std::getline(maps, line);) {
    if (line.find(dir) != std::string::npos &&
        line.find(" (deleted)") != std::string::npos) {
      ++mapped;
    }
  }
  return mapped;
}

int OpenDescriptors() {
  int open = 0;
  for (const auto &entry : fs::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++open;
  }
  return open;
}

void Write(const std::string &path, const std::string &content) {
  std::ofstream(path, std::ios::binary) << content;
}

int Replace(const std::string &path, const std::string &content) {
  return tov::platform::ReplaceFileContents(
      path.c_str(),
      [&content](const tov::platform::ContentSink &sink) {
        return sink(content.data(), content.size());
      },
      0);
}

TEST(CloseLater, ReplacedFilesAreReleasedAndTheWaitingStayFew) {
  TempDir dir;
  const int before = HeldRemovedFiles();
  const int open_before = OpenDescriptors();
  int most_open = 0;
  for (int i = 0; i < 300; ++i) {
    const std::string path = dir.path() + "/f" + std::to_string(i);
    Write(path, std::string(5000, 'o'));
    ASSERT_EQ(Replace(path, "new " + std::to_string(i)), 0);
    most_open = std::max(most_open, OpenDescriptors());
    ASSERT_EQ(ReadFile(path), "new " + std::to_string(i));
  }
  tov::platform::WaitForLaterCloses();
  EXPECT_EQ(HeldRemovedFiles(), before);
  EXPECT_EQ(OpenDescriptors(), open_before);
  // A few more than the waiting limit (16) at most: the directory walk that
  // counts them, a view or reader being handed over.
  EXPECT_LE(most_open, open_before + 16 + 4);
}

TEST(CloseLater, ReadersOfAReplacedFileReleaseIt) {
  TempDir dir;
  const int before = HeldRemovedFiles();
  const std::string path = dir.path() + "/big";
  const std::string old_content(1 << 16, 'v');
  Write(path, old_content);
  {
    tov::platform::FileReader reader;
    ASSERT_TRUE(
        reader.Open(path.c_str(), static_cast<int64_t>(old_content.size())));
    ASSERT_EQ(Replace(path, "replaced"), 0);
    // It still shows the old file until it is closed.
    char buf[4];
    EXPECT_EQ(reader.ReadAt(100, buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "vvvv");
  }
  tov::platform::WaitForLaterCloses();
  EXPECT_EQ(HeldRemovedFiles(), before);
  EXPECT_EQ(MappedRemovedFiles(dir.path()), 0);
  EXPECT_EQ(ReadFile(path), "replaced");
}

TEST(CloseLater, ChildOfForkClosesItsOwnAndDoesNotWait) {
  TempDir dir;
  const int before = HeldRemovedFiles();
  std::vector<std::string> paths;
  for (int i = 0; i < 40; ++i) {
    paths.push_back(dir.path() + "/c" + std::to_string(i));
    Write(paths.back(), std::string(100000, 'c'));
  }
  // Replacements hand their holds to the thread; the fork comes while some
  // may still be waiting.
  for (const std::string &path : paths) ASSERT_EQ(Replace(path, "n"), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);  // a child that waited for a thread it does not have
    // What the child had waiting is closed by the child itself, and what it
    // hands over from now on is closed at once.
    const std::string own = dir.path() + "/child";
    Write(own, "x");
    int status = Replace(own, "y") == 0 ? 0 : 2;
    tov::platform::WaitForLaterCloses();
    if (HeldRemovedFiles() != before) status = 3;
    _exit(status);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child did not end by itself";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  tov::platform::WaitForLaterCloses();
  EXPECT_EQ(HeldRemovedFiles(), before);
}

}  // namespace
#endif
