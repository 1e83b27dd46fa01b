#include "services/design_management/lok.h"

#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "support/test_support.h"

namespace {

using tov::test::ReadFile;
using tov::test::TempDir;

// Sets the check-out command for one scope (NULL: unset).
class ScopedCheckoutCmd {
 public:
  explicit ScopedCheckoutCmd(const char *value) {
    tov::test::SetEnv(kName, value);
  }
  ~ScopedCheckoutCmd() { tov::test::SetEnv(kName, nullptr); }

 private:
  static constexpr const char *kName = "TOVUPDTR_CHECKOUT_CMD";
};

struct SpecDeleter {
  void operator()(lokSpec *spec) const { lokFreeSpec(spec); }
};
using Spec = std::unique_ptr<lokSpec, SpecDeleter>;
Spec MakeSpec(const std::string &path) {
  return Spec(lokCreateSpec(0, 0, 0, path.c_str(), 0));
}

#ifndef _WIN32
// An executable shell script `name` in `dir`; it first logs its arguments
// to dir/log as "count:[arg][arg]...".
std::string Script(const TempDir &dir, const std::string &name,
                   const std::string &then) {
  std::string log = dir.Path("log");
  std::string path =
      dir.Write(name, "#!/bin/sh\nprintf '%s:' \"$#\" > '" + log +
                          "'\nfor a in \"$@\"; do printf '[%s]' \"$a\" >> '" +
                          log + "'; done\n" + then + "\n");
  chmod(path.c_str(), 0755);
  return path;
}

#endif  // !_WIN32

TEST(Lok, ManagedOnlyWhenACommandIsSetAndTheFileExists) {
  EXPECT_EQ(lokCreateSpec(0, 0, 0, nullptr, 0), nullptr);
  EXPECT_EQ(lokCreateSpec(0, 0, 0, "", 0), nullptr);
  TempDir dir;
  Spec existing = MakeSpec(dir.Write("f.txt", "x"));
  Spec missing = MakeSpec(dir.Path("absent.txt"));
  ASSERT_NE(existing, nullptr);
  for (const char *unset : {static_cast<const char *>(nullptr), "", " \t "}) {
    ScopedCheckoutCmd env(unset);
    EXPECT_NE(lokIsManaged(existing.get()), 0);
    EXPECT_NE(lokCo(existing.get(), 0, 0, 0), 0);
  }
  ScopedCheckoutCmd env("true");
  EXPECT_EQ(lokIsManaged(existing.get()), 0);
  EXPECT_NE(lokIsManaged(missing.get()), 0);
  EXPECT_NE(lokIsManaged(nullptr), 0);
  EXPECT_NE(lokCo(nullptr, 0, 0, 0), 0);
}

#ifndef _WIN32
TEST(Lok, PathReachesTheCommandAsOneArgumentWithoutAShell) {
  TempDir dir;
  std::string command = Script(dir, "co.sh", "exit 0");
  // Everything a shell would act on.
  std::string path = dir.Write(
      "a b 'c' \"d\"; touch p1 $(touch p2) `touch p3` *\nx&|<>", "data");
  ScopedCheckoutCmd env(("  " + command + "  -q\t --flag  ").c_str());
  Spec spec = MakeSpec(path);
  EXPECT_EQ(lokCo(spec.get(), 0, 0, 0), 0);
  EXPECT_EQ(ReadFile(dir.Path("log")), "3:[-q][--flag][" + path + "]");
  for (const char *name : {"p1", "p2", "p3"}) {
    EXPECT_NE(access(name, F_OK), 0) << name;
    EXPECT_NE(access(dir.Path(name).c_str(), F_OK), 0) << name;
  }
}

TEST(Lok, CheckOutFailsWhenTheCommandFailsOrLeavesTheFileReadOnly) {
  TempDir dir;
  std::string file = dir.Write("f.txt", "x");
  chmod(file.c_str(), 0444);
  std::string failing = Script(dir, "fail.sh", "chmod u+w \"$1\"; exit 3");
  std::string killed = Script(dir, "killed.sh", "kill -9 $$");
  std::string lazy = Script(dir, "lazy.sh", "exit 0");
  // Hangs; what it started would leave a mark 2 s later if it went on.
  std::string hang =
      Script(dir, "hang.sh",
             "(sleep 2; touch '" + dir.Path("alive") + "') & sleep 30");
  std::string unlock = Script(dir, "unlock.sh", "chmod u+w \"$1\"");
  const struct {
    std::string command;
    const char *reason;
  } kFailures[] = {
      {failing, "exit status 3"},
      {killed, "killed by signal 9"},
      {lazy, "left the file write-protected"},
      {dir.Path("no-such-command"), "not found"},
      {hang, "timed out after 1 s"},
  };
  tov::test::GiveToUnprivileged(dir.path());
  tov::test::SetEnv("TOVUPDTR_CHECKOUT_TIMEOUT", "1");
  int rc = tov::test::RunAsUnprivileged([&] {
    Spec spec = MakeSpec(file);
    int failures = 0;
    for (const auto &row : kFailures) {
      ScopedCheckoutCmd env(row.command.c_str());
      const auto start = std::chrono::steady_clock::now();
      const bool failed = lokCo(spec.get(), 0, 0, 0) != 0;
      const auto took = std::chrono::steady_clock::now() - start;
      if (failed && lokCoFailure(spec.get()) == std::string(row.reason) &&
          took < std::chrono::seconds(5)) {
        ++failures;
      } else {
        std::fprintf(stderr, "%s: \"%s\"\n", row.command.c_str(),
                     lokCoFailure(spec.get()));
      }
      chmod(file.c_str(), 0444);
    }
    if (failures != 5) return 1;
    ScopedCheckoutCmd env(unlock.c_str());
    if (lokCo(spec.get(), 0, 0, 0) != 0) return 2;
    return lokCoFailure(spec.get())[0] == '\0' ? 0 : 3;
  });
  tov::test::SetEnv("TOVUPDTR_CHECKOUT_TIMEOUT", nullptr);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ReadFile(dir.Path("log")), "1:[" + file + "]");
  // The hanging command was stopped with what it had started.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_FALSE(std::filesystem::exists(dir.Path("alive")));
}

TEST(Lok, RootChecksOutAFileThatNoWriteBitAllows) {
  // Root may write the file all the same; the check-out must not be skipped
  // for that, nor count as done while the file is write-protected.
  ASSERT_EQ(geteuid(), 0u) << "this case needs the suite to run as root";
  TempDir dir;
  std::string file = dir.Write("f.txt", "x");
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  Spec spec = MakeSpec(file);
  {
    ScopedCheckoutCmd env(Script(dir, "lazy.sh", "exit 0").c_str());
    EXPECT_NE(lokCo(spec.get(), 0, 0, 0), 0);
    EXPECT_STREQ(lokCoFailure(spec.get()), "left the file write-protected");
  }
  ScopedCheckoutCmd env(Script(dir, "unlock.sh", "chmod g+w \"$1\"").c_str());
  EXPECT_EQ(lokCo(spec.get(), 0, 0, 0), 0);
  EXPECT_STREQ(lokCoFailure(spec.get()), "");
}

#endif  // !_WIN32

#ifdef _WIN32
// The check-out command on Windows: the test helper tov_argv_log, found
// beside this program (Windows looks for a program without a directory in
// the caller's own first), logs the arguments it gets into dir/log and then
// does `action`.
std::string ArgvLog(const TempDir &dir, const std::string &action) {
  return "tov_argv_log " + dir.Path("log") + " " + action;
}

TEST(Lok, PathReachesTheCommandAsOneArgumentWithoutAShell) {
  TempDir dir;
  // What cmd.exe would act on, and blanks; a file name holds no quote.
  std::string path =
      dir.Write("a b & echo p1 ^& %PATH% (c); 'd' !e!.txt", "data");
  // Words with quotes and with backslashes before a quote or at the end,
  // which the quoting must carry through the command line unchanged.
  ScopedCheckoutCmd env(
      ("  " + ArgvLog(dir, "exit0") + "  -q\t x\\y\\ q\"uo\\\"te\\\\\" ")
          .c_str());
  Spec spec = MakeSpec(path);
  EXPECT_EQ(lokCo(spec.get(), 0, 0, 0), 0);
  EXPECT_EQ(ReadFile(dir.Path("log")),
            "4:[-q][x\\y\\][q\"uo\\\"te\\\\\"][" + path + "]");
}

TEST(Lok, CheckOutFailsWhenTheCommandFailsOrLeavesTheFileReadOnly) {
  TempDir dir;
  std::string file = dir.Write("f.txt", "x");
  Spec spec = MakeSpec(file);
  for (const std::string &command :
       {ArgvLog(dir, "exit3"), ArgvLog(dir, "abort"), ArgvLog(dir, "exit0"),
        dir.Path("no-such-command.exe")}) {
    ASSERT_EQ(_chmod(file.c_str(), _S_IREAD), 0);
    ScopedCheckoutCmd env(command.c_str());
    EXPECT_NE(lokCo(spec.get(), 0, 0, 0), 0) << command;
  }
  // Each program that ran logged its one argument, the path.
  ScopedCheckoutCmd env(ArgvLog(dir, "unlock").c_str());
  EXPECT_EQ(lokCo(spec.get(), 0, 0, 0), 0);
  EXPECT_EQ(ReadFile(dir.Path("log")),
            "1:[" + file + "]1:[" + file + "]1:[" + file + "]1:[" + file + "]");
}
TEST(Lok, CommandWritesToTheCallersStandardStreams) {
  TempDir dir;
  std::string file = dir.Write("f.txt", "x");
  ASSERT_EQ(_chmod(file.c_str(), _S_IREAD), 0);
  Spec spec = MakeSpec(file);
  ScopedCheckoutCmd env(ArgvLog(dir, "tell").c_str());
  // The capture stands in for the caller's own stderr, a file here.
  EXPECT_EQ(tov::test::CaptureStderr(
                [&] { EXPECT_EQ(lokCo(spec.get(), 0, 0, 0), 0); }),
            "checked out " + file + "\r\n");
}
#endif  // _WIN32

}  // namespace
