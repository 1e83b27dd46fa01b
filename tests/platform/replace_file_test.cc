#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using tov::platform::ReplaceFileContents;
using tov::test::ReadFile;
using tov::test::RunAsUnprivileged;
using tov::test::RunInChild;
using tov::test::TempDir;

int Replace(const std::string &path, const std::string &content) {
  return ReplaceFileContents(path.c_str(), content.data(), content.size());
}

// The names in `dir`, so that a left-over temporary file shows up.
std::vector<std::string> Names(const std::string &dir) {
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

unsigned ModeOf(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

// Files may grow to `bytes` in this process from now on; a larger write fails
// with EFBIG instead of raising SIGXFSZ.
bool LimitFileSize(rlim_t bytes) {
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = {bytes, bytes};
  return setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

const std::string kOld = "old content\n";
const std::string kBig(4096, 'n');

TEST(ReplaceFileContents, ReplacesTheContentAndLeavesNoOtherFile) {
  TempDir dir;
  std::string path = dir.Write("f.txt", kOld);
  ASSERT_EQ(Replace(path, "new"), 0);
  EXPECT_EQ(ReadFile(path), "new");
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"f.txt"});
  // Longer, then empty.
  ASSERT_EQ(Replace(path, kBig), 0);
  EXPECT_EQ(ReadFile(path), kBig);
  ASSERT_EQ(Replace(path, ""), 0);
  EXPECT_EQ(ReadFile(path), "");
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"f.txt"});
}

TEST(ReplaceFileContents, EveryByteArrivesNulIncluded) {
  TempDir dir;
  std::string path = dir.Write("f.bin", kOld);
  std::string content("a\0b\r\n\xff\0", 7);
  ASSERT_EQ(Replace(path, content), 0);
  EXPECT_EQ(ReadFile(path), content);
}

TEST(ReplaceFileContents, PermissionBitsAreKeptWhateverTheUmask) {
  TempDir dir;
  std::string shared = dir.Write("shared.txt", kOld);
  std::string odd = dir.Write("odd.txt", kOld);
  chmod(shared.c_str(), 0664);
  chmod(odd.c_str(), 0705);
  mode_t old_mask = umask(077);
  int rc1 = Replace(shared, "x");
  int rc2 = Replace(odd, "y");
  umask(old_mask);
  ASSERT_EQ(rc1, 0);
  ASSERT_EQ(rc2, 0);
  EXPECT_EQ(ModeOf(shared), 0664u);
  EXPECT_EQ(ModeOf(odd), 0705u);
}

TEST(ReplaceFileContents, OwnerIsKept) {
  TempDir dir;
  std::string path = dir.Write("f.txt", kOld);
  tov::test::GiveToUnprivileged(path);
  struct stat before;
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  ASSERT_EQ(Replace(path, "new"), 0);
  struct stat after;
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
}

TEST(ReplaceFileContents, SymbolicLinkStaysALinkAndItsTargetIsUpdated) {
  TempDir dir;
  std::string target = dir.Write("real/f.txt", kOld);
  std::string link = dir.Path("link.txt");
  ASSERT_EQ(symlink("real/f.txt", link.c_str()), 0);
  ASSERT_EQ(Replace(link, "new"), 0);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::read_symlink(link), "real/f.txt");
  EXPECT_EQ(ReadFile(target), "new");
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"link.txt", "real"}));
  EXPECT_EQ(Names(dir.Path("real")), std::vector<std::string>{"f.txt"});
}

TEST(ReplaceFileContents, FailedWriteLeavesTheOldContent) {
  TempDir dir;
  std::string path = dir.Write("f.txt", kOld);
  auto child = RunInChild([&] {
    if (!LimitFileSize(1024)) std::_Exit(10);
    errno = 0;
    int rc = Replace(path, kBig);
    std::_Exit(rc == -2 && errno == EFBIG ? 0 : 11);
  });
  ASSERT_TRUE(child.exited);
  EXPECT_EQ(child.exit_code, 0) << child.err;
  EXPECT_EQ(ReadFile(path), kOld);
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"f.txt"});
}

TEST(ReplaceFileContents, WriteProtectedFileIsRefused) {
  TempDir dir;
  std::string path = dir.Write("f.txt", kOld);
  chmod(path.c_str(), 0444);
  tov::test::GiveToUnprivileged(dir.path());
  int rc = RunAsUnprivileged([&] {
    errno = 0;
    int result = Replace(path, "new");
    return result == -1 && errno == EACCES ? 0 : 1;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ReadFile(path), kOld);
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"f.txt"});
}

TEST(ReplaceFileContents, ReadOnlyDirectoryIsWrittenInPlace) {
  TempDir dir;
  std::string sub = dir.Path("ro");
  std::string path = dir.Write("ro/f.txt", kOld);
  tov::test::GiveToUnprivileged(dir.path());
  chmod(sub.c_str(), 0555);
  int rc = RunAsUnprivileged([&] {
    if (access(sub.c_str(), W_OK) == 0) return 2;  // the case is not set up
    return Replace(path, kBig) == 0 ? 0 : 1;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ReadFile(path), kBig);
  EXPECT_EQ(Names(sub), std::vector<std::string>{"f.txt"});
  // Shorter than before: nothing of the old text is left at the end.
  rc = RunAsUnprivileged([&] { return Replace(path, "tiny") == 0 ? 0 : 1; });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ReadFile(path), "tiny");
}

TEST(ReplaceFileContents, FailedWriteInPlaceRestoresTheOldContent) {
  TempDir dir;
  std::string sub = dir.Path("ro");
  std::string path = dir.Write("ro/f.txt", kOld);
  tov::test::GiveToUnprivileged(dir.path());
  chmod(sub.c_str(), 0555);
  int rc = RunAsUnprivileged([&] {
    if (access(sub.c_str(), W_OK) == 0) return 2;
    if (!LimitFileSize(1024)) return 3;
    errno = 0;
    int result = Replace(path, kBig);
    return result == -2 && errno == EFBIG ? 0 : 1;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ReadFile(path), kOld);
}

TEST(ReplaceFileContents, MissingFileIsCreated) {
  TempDir dir;
  std::string path = dir.Path("new.txt");
  ASSERT_EQ(Replace(path, "fresh"), 0);
  EXPECT_EQ(ReadFile(path), "fresh");
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"new.txt"});
}

TEST(ReplaceFileContents, AnythingButARegularFileIsRefused) {
  TempDir dir;
  std::string sub = dir.Path("sub");
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  errno = 0;
  EXPECT_EQ(Replace(sub, "x"), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_TRUE(fs::is_directory(sub));
  EXPECT_EQ(ReplaceFileContents(nullptr, "x", 1), -1);
  EXPECT_EQ(ReplaceFileContents(dir.Path("f").c_str(), nullptr, 1), -1);
}

}  // namespace
