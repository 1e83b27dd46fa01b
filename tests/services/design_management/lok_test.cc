#include "services/design_management/lok.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "gtest/gtest.h"
#include "support/test_support.h"

namespace {

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

struct SpecDeleter {
  void operator()(lokSpec *spec) const { lokFreeSpec(spec); }
};
using Spec = std::unique_ptr<lokSpec, SpecDeleter>;

Spec MakeSpec(const std::string &path) {
  return Spec(lokCreateSpec(0, 0, 0, path.c_str(), 0));
}

// An executable script in `dir` with the body `body`.
std::string WriteScript(const TempDir &dir, const std::string &name,
                        const std::string &body) {
  std::string path = dir.Write(name, "#!/bin/sh\n" + body);
  chmod(path.c_str(), 0755);
  return path;
}

// A script that writes its argument count and every argument, each in
// brackets, to `log`, then exits with `status`.
std::string RecordingScript(const TempDir &dir, const std::string &log,
                            int status) {
  return WriteScript(dir, "record.sh",
                     "printf '%s:' \"$#\" > '" + log +
                         "'\nfor a in \"$@\"; do printf '[%s]' \"$a\" >> '" +
                         log + "'; done\nexit " + std::to_string(status) +
                         "\n");
}

TEST(Lok, HandleOnlyForANonEmptyPath) {
  EXPECT_EQ(lokCreateSpec(0, 0, 0, nullptr, 0), nullptr);
  EXPECT_EQ(lokCreateSpec(0, 0, 0, "", 0), nullptr);
  Spec spec = MakeSpec("some/file");
  EXPECT_NE(spec, nullptr);
  EXPECT_EQ(lokFreeSpec(nullptr), 0);
}

TEST(Lok, ManagedOnlyWhenACommandIsSetAndTheFileExists) {
  TempDir dir;
  std::string file = dir.Write("f.txt", "x");
  Spec existing = MakeSpec(file);
  Spec missing = MakeSpec(dir.Path("absent.txt"));
  {
    ScopedCheckoutCmd env(std::nullopt);
    EXPECT_NE(lokIsManaged(existing.get()), 0);
  }
  {
    ScopedCheckoutCmd env(std::string(""));
    EXPECT_NE(lokIsManaged(existing.get()), 0);
  }
  {
    ScopedCheckoutCmd env(std::string(" \t "));
    EXPECT_NE(lokIsManaged(existing.get()), 0);
  }
  {
    ScopedCheckoutCmd env(std::string("true"));
    EXPECT_EQ(lokIsManaged(existing.get()), 0);
    EXPECT_NE(lokIsManaged(missing.get()), 0);
    EXPECT_NE(lokIsManaged(nullptr), 0);
  }
}

TEST(Lok, PathReachesTheCommandAsOneArgumentWithoutAShell) {
  TempDir dir;
  std::string log = dir.Path("args.log");
  std::string script = RecordingScript(dir, log, 0);
  // Everything a shell would act on: blanks, quotes, separators, command
  // substitution, globbing, a newline.
  std::string path = dir.Path(
      "a b 'c' \"d\"; touch pwned1 $(touch pwned2) `touch pwned3` *\nx&|<>");
  { std::ofstream(path) << "data"; }
  ScopedCheckoutCmd env("  " + script + "  -q\t --flag  ");
  Spec spec = MakeSpec(path);
  ASSERT_EQ(lokIsManaged(spec.get()), 0);
  EXPECT_EQ(lokCo(spec.get(), 0, 0, 0), 0);
  EXPECT_EQ(ReadFile(log), "3:[-q][--flag][" + path + "]");
  for (const char *name : {"pwned1", "pwned2", "pwned3"}) {
    EXPECT_NE(access(name, F_OK), 0) << name;
    EXPECT_NE(access(dir.Path(name).c_str(), F_OK), 0) << name;
  }
}

TEST(Lok, CheckoutFailsWhenTheCommandFailsOrCannotRun) {
  TempDir dir;
  std::string file = dir.Write("f.txt", "x");
  Spec spec = MakeSpec(file);
  {
    ScopedCheckoutCmd env(RecordingScript(dir, dir.Path("log"), 3));
    EXPECT_NE(lokCo(spec.get(), 0, 0, 0), 0);
    EXPECT_EQ(ReadFile(dir.Path("log")), "1:[" + file + "]");
  }
  {
    ScopedCheckoutCmd env(dir.Path("no-such-command"));
    EXPECT_NE(lokCo(spec.get(), 0, 0, 0), 0);
  }
  {
    ScopedCheckoutCmd env(WriteScript(dir, "killed.sh", "kill -9 $$\n"));
    EXPECT_NE(lokCo(spec.get(), 0, 0, 0), 0);
  }
  {
    ScopedCheckoutCmd env(std::nullopt);
    EXPECT_NE(lokCo(spec.get(), 0, 0, 0), 0);
  }
  EXPECT_NE(lokCo(nullptr, 0, 0, 0), 0);
}

TEST(Lok, CheckoutSucceedsOnlyWhenTheFileIsWritableAfterwards) {
  TempDir dir;
  std::string file = dir.Write("f.txt", "x");
  chmod(file.c_str(), 0444);
  std::string lazy = WriteScript(dir, "lazy.sh", "exit 0\n");
  std::string unlock = WriteScript(dir, "unlock.sh", "chmod u+w \"$1\"\n");
  tov::test::GiveToUnprivileged(dir.path());
  int rc = RunAsUnprivileged([&] {
    Spec spec = MakeSpec(file);
    {
      ScopedCheckoutCmd env(lazy);
      if (lokCo(spec.get(), 0, 0, 0) == 0) return 1;  // still read-only
    }
    ScopedCheckoutCmd env(unlock);
    if (lokCo(spec.get(), 0, 0, 0) != 0) return 2;
    return access(file.c_str(), W_OK) == 0 ? 0 : 3;
  });
  EXPECT_EQ(rc, 0);
}

}  // namespace
