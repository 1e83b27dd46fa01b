#include "update/writable.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "gtest/gtest.h"
#include "platform/platform.h"
#include "support/test_support.h"
#include "support/update_fixture.h"
#include "tovUpdtr.h"

namespace {

using tov::test::CaptureStderr;
using tov::test::ReadFile;
using tov::test::ScopedCheckoutCmd;
using tov::test::TempDir;

bool Exists(const std::string &path) { return std::filesystem::exists(path); }

#ifdef _WIN32
// Windows has no user whom a read-only attribute does not stop: the call
// runs as it is.  (Its own tests are in windows_files_test.cc.)
int MkWritableAsUser(const TempDir &, const std::string &path) {
  return tovMkWritable(path.c_str());
}
#else
// Permission bits, directories without write permission, users that may not
// write where root may, and shell scripts as check-out commands: the tests
// up to the matching #endif need POSIX.
using tov::test::GiveToUnprivileged;
using tov::test::RunAsUnprivileged;

unsigned ModeOf(const std::string &path) {
  struct stat st = {};
  stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

// tovMkWritable(path) run as the unprivileged user, with everything in `dir`
// given to that user first.
int MkWritableAsUser(const TempDir &dir, const std::string &path) {
  GiveToUnprivileged(dir.path());
  return RunAsUnprivileged([&] { return tovMkWritable(path.c_str()); });
}

// A check-out command in `dir` that appends "[path]" to dir/co.log and then
// runs `then`.
std::string CheckoutCommand(const TempDir &dir, const std::string &then) {
  std::string path =
      dir.Write("co.sh", "#!/bin/sh\nprintf '[%s]' \"$1\" >> '" +
                             dir.Path("co.log") + "'\n" + then + "\n");
  chmod(path.c_str(), 0755);
  return path;
}

TEST(MkWritable, WritableOrNothingToDoLeavesFileAndServiceAlone) {
  TempDir dir;
  std::string file = dir.Write("f.txt", "text");
  chmod(file.c_str(), 0640);
  ScopedCheckoutCmd env(CheckoutCommand(dir, "exit 0").c_str());
  std::string err = CaptureStderr([] {
    EXPECT_EQ(tovMkWritable(nullptr), 0);
    EXPECT_EQ(tovMkWritable(""), 0);
  });
  EXPECT_EQ(err, "");
  EXPECT_EQ(MkWritableAsUser(dir, file), 1);
  EXPECT_EQ(ModeOf(file), 0640u);
  EXPECT_EQ(MkWritableAsUser(dir, dir.Path("new.txt")), 1);
  EXPECT_FALSE(Exists(dir.Path("new.txt")));  // accepted, not created
  EXPECT_FALSE(Exists(dir.Path("co.log")));
}

#endif  // !_WIN32

TEST(MkWritable, MissingDirectoriesAreCreatedWhateverThePathLength) {
  TempDir dir;
  ASSERT_TRUE(std::filesystem::create_directory(dir.Path("x")));
  EXPECT_EQ(MkWritableAsUser(dir, dir.Path("x/y/z/f.txt")), 1);
  EXPECT_TRUE(Exists(dir.Path("x/y/z")));
  EXPECT_FALSE(Exists(dir.Path("x/y/z/f.txt")));
#ifndef _WIN32
  // (Windows' own paths stop at 260 bytes.)
  const std::string part(100, 'd');  // beyond the platform's 260 bytes
  const std::string deep = part + "/" + part + "/" + part;
  EXPECT_EQ(MkWritableAsUser(dir, dir.Path(deep + "/f.txt")), 1);
  EXPECT_TRUE(Exists(dir.Path(deep)));
#endif
}

#ifndef _WIN32
TEST(MkWritable, WriteProtectedUnmanagedFileGetsOwnerWriteOnly) {
  TempDir dir;
  std::string a = dir.Write("a.txt", "text");
  std::string b = dir.Write("b.txt", "text");
  chmod(a.c_str(), 0444);
  chmod(b.c_str(), 0505);
  ScopedCheckoutCmd env(nullptr);
  EXPECT_EQ(MkWritableAsUser(dir, a), 1);
  EXPECT_EQ(MkWritableAsUser(dir, b), 1);
  EXPECT_EQ(ModeOf(a), 0644u);
  EXPECT_EQ(ModeOf(b), 0705u);
}

TEST(MkWritable, WriteProtectedManagedFileIsCheckedOutNeverChmodded) {
  TempDir dir;
  std::string file = dir.Write("a b.txt", "text");
  chmod(file.c_str(), 0444);
  {
    ScopedCheckoutCmd env(CheckoutCommand(dir, "exit 1").c_str());
    EXPECT_EQ(MkWritableAsUser(dir, file), 0);
    EXPECT_EQ(ModeOf(file), 0444u);
  }
  ScopedCheckoutCmd env(CheckoutCommand(dir, "chmod u+w \"$1\"").c_str());
  std::string err =
      CaptureStderr([&] { EXPECT_EQ(MkWritableAsUser(dir, file), 1); });
  EXPECT_EQ(err, "");
  EXPECT_EQ(ReadFile(dir.Path("co.log")), "[" + file + "][" + file + "]");

  // Root, whom the system lets write anything, goes through the check-out
  // too, and hears why it failed.
  ASSERT_EQ(geteuid(), 0u) << "this case needs the suite to run as root";
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  {
    ScopedCheckoutCmd lazy(CheckoutCommand(dir, "exit 0").c_str());
    err = CaptureStderr([&] { EXPECT_EQ(tovMkWritable(file.c_str()), 0); });
    EXPECT_EQ(err, "{#0 W The check-out command for " + file +
                       " failed: left the file write-protected}\n");
  }
  ScopedCheckoutCmd unlock(CheckoutCommand(dir, "chmod u+w \"$1\"").c_str());
  EXPECT_EQ(tovMkWritable(file.c_str()), 1);
  EXPECT_EQ(ModeOf(file), 0644u);
  EXPECT_EQ(ReadFile(dir.Path("co.log")),
            "[" + file + "][" + file + "][" + file + "][" + file + "]");
}

TEST(MkWritable, OnlyTheDirectoryThatHoldsTheFileGetsOwnerWrite) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.Path("top").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.Path("top/in").c_str(), 0755), 0);
  GiveToUnprivileged(dir.path());
  chmod(dir.Path("top/in").c_str(), 0555);
  chmod(dir.Path("top").c_str(), 0555);
  std::string file = dir.Path("top/in/new.txt");
  EXPECT_EQ(RunAsUnprivileged([&] { return tovMkWritable(file.c_str()); }), 1);
  EXPECT_EQ(ModeOf(dir.Path("top/in")), 0755u);
  EXPECT_EQ(ModeOf(dir.Path("top")), 0555u);
}

#endif  // !_WIN32

TEST(MkWritable, NameWithoutADirectoryCannotBePrepared) {
  ScopedCheckoutCmd env(nullptr);
  EXPECT_EQ(tov::update::tovMkParentDirs("no-such-file-4711.txt"), 0);
  EXPECT_EQ(tov::update::tovMkParentDirs("/no-such-file-4711.txt"), 0);
  EXPECT_EQ(tovMkWritable("no-such-file-4711.txt"), 0);
}

int g_calls = 0;
int g_interruptions = 0;
// Interrupted g_interruptions times, then the file is writable.
int InterruptedAccess(const char *, int) {
  if (++g_calls <= g_interruptions) {
    errno = EINTR;
    return -1;
  }
  return 0;
}

TEST(MkWritable, InterruptedTestIsTriedElevenTimesThenReported) {
  ScopedCheckoutCmd env(nullptr);
  tov::platform::SetAccessForTesting(InterruptedAccess);
  g_calls = 0;
  g_interruptions = 10;
  std::string err = CaptureStderr([] { EXPECT_EQ(tovMkWritable("/d/f"), 1); });
  EXPECT_EQ(err, "");
  EXPECT_EQ(g_calls, 11);

  g_calls = 0;
  g_interruptions = 1000;
  std::strcpy(tovUpdtrErrBuf, "earlier message");
  // The message is composed in a 2048-byte buffer of its own.
  const std::string path = "/" + std::string(3000, 'p');
  err = CaptureStderr([&] { EXPECT_EQ(tovMkWritable(path.c_str()), 0); });
  tov::platform::SetAccessForTesting(nullptr);
  EXPECT_EQ(err, "{#0 E " + path.substr(0, 2047) + "}\n");
  EXPECT_EQ(g_calls, 11);
  EXPECT_STREQ(tovUpdtrErrBuf, "earlier message");
  err = CaptureStderr([] { EXPECT_EQ(tovMkWritable("/no/f"), 0); });
  EXPECT_EQ(err, "");  // ENOENT all the way up: silent
}

#ifndef _WIN32
// (Windows reports a file used as a directory as a missing file.)
TEST(MkWritable, OtherErrorIsReportedWithItsDescription) {
  TempDir dir;
  std::string below = dir.Write("plain.txt", "text") + "/x.txt";
  ScopedCheckoutCmd env(nullptr);
  std::string err =
      CaptureStderr([&] { EXPECT_EQ(tovMkWritable(below.c_str()), 0); });
  EXPECT_EQ(err, "{#0 E " + below + ": " + std::strerror(ENOTDIR) + "}\n");
}

#endif  // !_WIN32

}  // namespace
