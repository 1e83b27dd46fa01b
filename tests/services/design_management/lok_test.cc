#include "services/design_management/lok.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "support/test_support.h"

namespace {

using tov::test::ReadFile;
using tov::test::TempDir;

// Sets the check-out command for one scope (NULL: unset).
class ScopedCheckoutCmd {
 public:
  explicit ScopedCheckoutCmd(const char *value) {
    value != nullptr ? setenv(kName, value, 1) : unsetenv(kName);
  }
  ~ScopedCheckoutCmd() { unsetenv(kName); }

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
  std::string unlock = Script(dir, "unlock.sh", "chmod u+w \"$1\"");
  tov::test::GiveToUnprivileged(dir.path());
  int rc = tov::test::RunAsUnprivileged([&] {
    Spec spec = MakeSpec(file);
    int failures = 0;
    for (const std::string &command :
         {failing, killed, lazy, dir.Path("no-such-command")}) {
      ScopedCheckoutCmd env(command.c_str());
      if (lokCo(spec.get(), 0, 0, 0) != 0) ++failures;
      chmod(file.c_str(), 0444);
    }
    if (failures != 4) return 1;
    ScopedCheckoutCmd env(unlock.c_str());
    return lokCo(spec.get(), 0, 0, 0) == 0 ? 0 : 2;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ReadFile(dir.Path("log")), "1:[" + file + "]");
}

}  // namespace
