#include "update/writable.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "gtest/gtest.h"
#include "platform/platform.h"
#include "support/test_support.h"
#include "tovUpdtr.h"

namespace {

using tov::test::CaptureStderr;
using tov::test::GiveToUnprivileged;
using tov::test::ReadFile;
using tov::test::RunAsUnprivileged;
using tov::test::TempDir;

// Sets TOVUPDTR_CHECKOUT_CMD (or unsets it, for nullopt) for one scope.
class ScopedCheckoutCmd {
 public:
  explicit ScopedCheckoutCmd(const std::optional<std::string> &value) {
    const char *old = std::getenv(kName);
    if (old != nullptr) saved_ = old;
    if (value) {
      setenv(kName, value->c_str(), 1);
    } else {
      unsetenv(kName);
    }
  }
  ~ScopedCheckoutCmd() {
    if (saved_) {
      setenv(kName, saved_->c_str(), 1);
    } else {
      unsetenv(kName);
    }
  }

 private:
  static constexpr const char *kName = "TOVUPDTR_CHECKOUT_CMD";
  std::optional<std::string> saved_;
};

// Puts a fake behind platform::Access for one scope.
class ScopedAccess {
 public:
  explicit ScopedAccess(tov::platform::AccessFn fn) {
    tov::platform::SetAccessForTesting(fn);
  }
  ~ScopedAccess() { tov::platform::SetAccessForTesting(nullptr); }
};

unsigned ModeOf(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

bool Exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

// A check-out command that logs the path it was given and then runs `then`.
struct Checkout {
  std::string command;
  std::string log;
};
Checkout WriteCheckout(const TempDir &dir, const std::string &then) {
  Checkout c;
  c.log = dir.Path("checkout.log");
  c.command = dir.Write("co.sh", "#!/bin/sh\nprintf '[%s]' \"$1\" >> '" +
                                     c.log + "'\n" + then + "\n");
  chmod(c.command.c_str(), 0755);
  return c;
}

TEST(MkWritable, NullOrEmptyPathIsRefusedWithoutAskingTheService) {
  TempDir dir;
  Checkout co = WriteCheckout(dir, "exit 0");
  ScopedCheckoutCmd env(co.command);
  std::string err = CaptureStderr([] {
    EXPECT_EQ(tovMkWritable(nullptr), 0);
    EXPECT_EQ(tovMkWritable(""), 0);
  });
  EXPECT_EQ(err, "");
  EXPECT_FALSE(Exists(co.log));
}

TEST(MkWritable, WritableFileIsLeftAlone) {
  TempDir dir;
  std::string file = dir.Write("f.txt", "text");
  chmod(file.c_str(), 0640);
  Checkout co = WriteCheckout(dir, "exit 0");
  ScopedCheckoutCmd env(co.command);
  GiveToUnprivileged(dir.path());
  EXPECT_EQ(RunAsUnprivileged([&] { return tovMkWritable(file.c_str()); }), 1);
  EXPECT_EQ(ModeOf(file), 0640u);
  EXPECT_EQ(ReadFile(file), "text");
  EXPECT_FALSE(Exists(co.log));  // a writable file is never checked out
}

TEST(MkWritable, MissingFileInAWritableDirectoryIsAcceptedNotCreated) {
  TempDir dir;
  std::string file = dir.Path("new.txt");
  GiveToUnprivileged(dir.path());
  EXPECT_EQ(RunAsUnprivileged([&] { return tovMkWritable(file.c_str()); }), 1);
  EXPECT_FALSE(Exists(file));
}

TEST(MkWritable, MissingDirectoriesAreCreatedOutsideIn) {
  TempDir dir;
  std::string file = dir.Path("x/y/z/f.txt");
  ASSERT_EQ(mkdir(dir.Path("x").c_str(), 0755), 0);
  GiveToUnprivileged(dir.path());
  EXPECT_EQ(RunAsUnprivileged([&] { return tovMkWritable(file.c_str()); }), 1);
  struct stat st;
  ASSERT_EQ(stat(dir.Path("x/y/z").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_uid, geteuid() == 0 ? tov::test::kUnprivilegedId : geteuid());
  EXPECT_FALSE(Exists(file));
}

TEST(MkWritable, PathLongerThanThePlatformLimitIsPrepared) {
  TempDir dir;
  const std::string part(100, 'd');
  std::string file = dir.Path(part + "/" + part + "/" + part + "/f.txt");
  ASSERT_GT(file.size(), 300u);
  GiveToUnprivileged(dir.path());
  EXPECT_EQ(RunAsUnprivileged([&] { return tovMkWritable(file.c_str()); }), 1);
  EXPECT_TRUE(Exists(dir.Path(part + "/" + part + "/" + part)));
}

TEST(MkWritable, WriteProtectedUnmanagedFileGetsOwnerWriteOnly) {
  TempDir dir;
  std::string a = dir.Write("a.txt", "text");
  std::string b = dir.Write("b.txt", "text");
  chmod(a.c_str(), 0444);
  chmod(b.c_str(), 0505);
  GiveToUnprivileged(dir.path());
  ScopedCheckoutCmd env(std::nullopt);
  int rc = RunAsUnprivileged(
      [&] { return tovMkWritable(a.c_str()) * 10 + tovMkWritable(b.c_str()); });
  EXPECT_EQ(rc, 11);
  EXPECT_EQ(ModeOf(a), 0644u);
  EXPECT_EQ(ModeOf(b), 0705u);
  EXPECT_EQ(ReadFile(a), "text");
}

TEST(MkWritable, WriteProtectedManagedFileIsCheckedOut) {
  TempDir dir;
  std::string file = dir.Write("a b.txt", "text");
  chmod(file.c_str(), 0444);
  Checkout co = WriteCheckout(dir, "chmod u+w \"$1\"");
  GiveToUnprivileged(dir.path());
  ScopedCheckoutCmd env(co.command);
  std::string err = CaptureStderr([&] {
    EXPECT_EQ(RunAsUnprivileged([&] { return tovMkWritable(file.c_str()); }),
              1);
  });
  EXPECT_EQ(err, "");
  EXPECT_EQ(ReadFile(co.log), "[" + file + "]");
  EXPECT_EQ(ModeOf(file), 0644u);
}

TEST(MkWritable, FailedCheckOutIsAFailureWithoutPermissionChange) {
  TempDir dir;
  std::string file = dir.Write("f.txt", "text");
  chmod(file.c_str(), 0444);
  Checkout co = WriteCheckout(dir, "exit 1");
  GiveToUnprivileged(dir.path());
  ScopedCheckoutCmd env(co.command);
  std::string err = CaptureStderr([&] {
    EXPECT_EQ(RunAsUnprivileged([&] { return tovMkWritable(file.c_str()); }),
              0);
  });
  EXPECT_EQ(err, "");
  EXPECT_EQ(ReadFile(co.log), "[" + file + "]");
  EXPECT_EQ(ModeOf(file), 0444u);
}

TEST(MkWritable, MissingFileInAWriteProtectedDirectoryGetsTheDirectoryFixed) {
  TempDir dir;
  std::string sub = dir.Path("ro");
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  GiveToUnprivileged(dir.path());
  chmod(sub.c_str(), 0555);
  std::string file = sub + "/new.txt";
  EXPECT_EQ(RunAsUnprivileged([&] { return tovMkWritable(file.c_str()); }), 1);
  EXPECT_EQ(ModeOf(sub), 0755u);
  EXPECT_FALSE(Exists(file));
}

TEST(MkWritable, OnlyTheHoldingDirectoryIsExamined) {
  // A write-protected directory above an existing one is not touched.
  TempDir dir;
  std::string top = dir.Path("top");
  ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((top + "/in").c_str(), 0755), 0);
  GiveToUnprivileged(dir.path());
  chmod(top.c_str(), 0555);
  std::string file = top + "/in/new.txt";
  EXPECT_EQ(RunAsUnprivileged([&] { return tovMkWritable(file.c_str()); }), 1);
  EXPECT_EQ(ModeOf(top), 0555u);
}

TEST(MkWritable, BareMissingNameHasNoDirectoryToPrepare) {
  ScopedCheckoutCmd env(std::nullopt);
  EXPECT_EQ(tov::update::tovMkParentDirs("no-such-file-4711.txt"), 0);
  EXPECT_EQ(tov::update::tovMkParentDirs("/no-such-file-4711.txt"), 0);
  EXPECT_EQ(tovMkWritable("no-such-file-4711.txt"), 0);
}

int g_access_calls = 0;
int g_interruptions = 0;

// Interrupted g_interruptions times, then the file is writable.
int InterruptedAccess(const char *, int) {
  if (++g_access_calls <= g_interruptions) {
    errno = EINTR;
    return -1;
  }
  return 0;
}

TEST(MkWritable, InterruptedTestIsTriedElevenTimesInAll) {
  ScopedCheckoutCmd env(std::nullopt);
  ScopedAccess fake(InterruptedAccess);
  g_access_calls = 0;
  g_interruptions = 10;
  std::string err =
      CaptureStderr([] { EXPECT_EQ(tovMkWritable("/some/dir/file.txt"), 1); });
  EXPECT_EQ(err, "");
  EXPECT_EQ(g_access_calls, 11);
}

TEST(MkWritable, EndlessInterruptionIsReportedInItsOwnBuffer) {
  ScopedCheckoutCmd env(std::nullopt);
  ScopedAccess fake(InterruptedAccess);
  g_access_calls = 0;
  g_interruptions = 1000;
  std::strcpy(tovUpdtrErrBuf, "earlier message");
  std::string err = CaptureStderr(
      [] { EXPECT_EQ(tovMkWritable("/no/such/dir/file.txt"), 0); });
  EXPECT_EQ(err, std::string("{#0 E /no/such/dir/file.txt: ") +
                     std::strerror(EINTR) + "}\n");
  EXPECT_EQ(g_access_calls, 11);
  EXPECT_STREQ(tovUpdtrErrBuf, "earlier message");
}

TEST(MkWritable, OtherErrorIsReportedAndStillFails) {
  TempDir dir;
  std::string file = dir.Write("plain.txt", "text");
  std::string below = file + "/x.txt";  // a file cannot hold another
  ScopedCheckoutCmd env(std::nullopt);
  std::string err =
      CaptureStderr([&] { EXPECT_EQ(tovMkWritable(below.c_str()), 0); });
  EXPECT_EQ(err, "{#0 E " + below + ": " + std::strerror(ENOTDIR) + "}\n");
}

TEST(MkWritable, LongPathInTheMessageIsCutToItsBuffer) {
  ScopedCheckoutCmd env(std::nullopt);
  ScopedAccess fake(InterruptedAccess);
  g_access_calls = 0;
  g_interruptions = 1000;
  std::string path = "/" + std::string(3000, 'p');
  std::string err =
      CaptureStderr([&] { EXPECT_EQ(tovMkWritable(path.c_str()), 0); });
  // "{#0 E " + 2047 characters of the message + "}\n"
  EXPECT_EQ(err, "{#0 E " + path.substr(0, 2047) + "}\n");
}

}  // namespace
