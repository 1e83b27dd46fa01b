// Writes that fail for real, through whole updates: a file-size limit in a
// child, read-only directories and files for an unprivileged user, a file
// that turns into a directory, and a write-access test that keeps being
// interrupted.  Whatever fails, the original content survives, no stray file
// is left beside it and the result says failure.
#ifdef _WIN32
#include <io.h>
#else
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "gtest/gtest.h"
#include "platform/platform.h"
#include "support/reliability_util.h"
#include "support/test_support.h"
#include "support/update_fixture.h"
#include "tovUpdtr.h"

namespace {

namespace fs = std::filesystem;
using tov::test::DesignTree;
using tov::test::LibRename;
using tov::test::LoadMapping;
using tov::test::Names;
using tov::test::Outcome;
using tov::test::ReadFile;
using tov::test::ScopedCheckoutCmd;
using tov::test::Update;
#ifndef _WIN32
using tov::test::GiveToUnprivileged;
using tov::test::RunAsUnprivileged;
#endif

tovUpdtrRegexpList *RenameList(const char *from, const char *to) {
  LoadMapping({LibRename(from, to)});
  return tovUpdtrGenRegexpList(0, "LibraryNT");
}

class WriteFailure : public ::testing::Test {
 protected:
  std::string View() const { return tree_.dir().Path("lib1/cell/view"); }
  DesignTree tree_;
};

#ifndef _WIN32
// A file size limit (RLIMIT_FSIZE), directories without write permission and
// an unprivileged user: POSIX.

// 200 bytes that grow to 360 under lib1 -> library1.
std::string Original() {
  std::string text;
  for (int i = 0; i < 40; ++i) text += "lib1 ";
  return text;
}

TEST_F(WriteFailure, FileSizeLimitLeavesTheOriginalOnBothWritePaths) {
  tovUpdtrRegexpList *list = RenameList("lib1", "library1");
  // A new file renamed over the old one; then, for a file with a second
  // name, the content rewritten in place and put back.
  for (bool linked : {false, true}) {
    SCOPED_TRACE(linked ? "in place" : "new file");
    const std::string path = tree_.WriteFile("f.txt", Original());
    const std::string other = tree_.dir().Path("other.txt");
    fs::remove(other);
    if (linked) {
      ASSERT_EQ(link(path.c_str(), other.c_str()), 0);
    }
    const std::set<std::string> names = Names(View());
    auto child = tov::test::RunInChild([&] {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit = {256, 256};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) std::_Exit(10);
      Outcome o = Update(DesignTree::Reference("f.txt"), list, 0, 6);
      std::fputs(o.err.c_str(), stderr);
      std::_Exit(o.result == 0 ? 0 : 11);
    });
    EXPECT_EQ(child.exit_code, 0) << child.err;
    EXPECT_EQ(child.err, "{#6 E Problem encountered Writing to the file: " +
                             path + "}\n{#6 W File too large}\n");
    EXPECT_EQ(ReadFile(path), Original());
    if (linked) {
      EXPECT_EQ(ReadFile(other), Original());
    }
    EXPECT_EQ(Names(View()), names);
  }
}

TEST_F(WriteFailure, ReadOnlyDirectoryForAnUnprivilegedUser) {
  tovUpdtrRegexpList *list = RenameList("lib1", "lib2");
  const std::string mine = tree_.WriteFile("mine.txt", "use lib1;");
  const std::string roots = tree_.WriteFile("roots.txt", "use lib1;");
  const std::string plain = tree_.WriteFile("plain.txt", "use lib3;");
  GiveToUnprivileged(tree_.dir().path());
  ASSERT_EQ(chown(roots.c_str(), 0, 0), 0);
  ASSERT_EQ(chmod(roots.c_str(), 0644), 0);
  ASSERT_EQ(chmod(View().c_str(), 0555), 0);
  const std::set<std::string> names = Names(View());
  int rc = RunAsUnprivileged([&] {
    if (access(View().c_str(), W_OK) == 0) return 1;
    // A directory nobody may write holds no lock, new file or journal: its
    // files are read, and those that would change are left as they are,
    // the user's own as well as another user's.
    Outcome o = Update(DesignTree::Reference("plain.txt"), list);
    if (o.result != TOV_UPDATE_UNCHANGED || !o.err.empty()) return 2;
    for (const std::string &path : {mine, roots}) {
      o = Update(DesignTree::Reference(fs::path(path).filename().string()),
                 list, 0, 4);
      if (o.result != 0 ||
          o.err != "{#4 E The file " + path +
                       " cannot be locked for its update (no lock file can "
                       "be made beside it): not updated}\n{#4 W Permission "
                       "denied}\n") {
        std::fputs(o.err.c_str(), stderr);
        return 3;
      }
    }
    return 0;
  });
  chmod(View().c_str(), 0755);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ReadFile(mine), "use lib1;");
  EXPECT_EQ(ReadFile(roots), "use lib1;");
  EXPECT_EQ(Names(View()), names);
}

#endif  // !_WIN32

TEST_F(WriteFailure, FileThatTurnsIntoADirectoryIsLeftAlone) {
  tovUpdtrRegexpList *list = RenameList("lib1", "lib2");
  // Between the listing and the update.
  const std::string path = tree_.PathOf("f.txt");
  fs::create_directories(path);
  tree_.WriteFile("f.txt/inside.txt", "lib1");
  Outcome o = Update(DesignTree::Reference("f.txt"), list, 0, 2);
  EXPECT_EQ(o.result, 0);
  EXPECT_NE(o.err, "");
  EXPECT_TRUE(fs::is_directory(path));
  EXPECT_EQ(ReadFile(path + "/inside.txt"), "lib1");

#ifndef _WIN32
  // (A shell script as the check-out command and an unprivileged user:
  // POSIX.)
  // During the update: the file is write-protected and managed, and its
  // check-out puts a directory in its place.
  const std::string g = tree_.WriteFile("g.txt", "lib1");
  ASSERT_EQ(chmod(g.c_str(), 0444), 0);
  const std::string co = tree_.dir().Write(
      "co.sh", "#!/bin/sh\nrm -f \"$1\" && mkdir \"$1\" && touch \"$1/x\"\n");
  ASSERT_EQ(chmod(co.c_str(), 0755), 0);
  ScopedCheckoutCmd env(co.c_str());
  GiveToUnprivileged(tree_.dir().path());
  int rc = RunAsUnprivileged([&] {
    Outcome r = Update(DesignTree::Reference("g.txt"), list, 0, 2);
    return r.result == 0 &&
                   r.err == "{#2 E Problem encountered opening the file: " + g +
                                "}\n"
               ? 0
               : 1;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(fs::is_directory(g));
  EXPECT_EQ(Names(g), std::set<std::string>{"x"});
  EXPECT_EQ(Names(View()), (std::set<std::string>{".keep", "f.txt", "g.txt"}));
#endif
}

int g_access_calls = 0;
int g_interruptions = 0;
int InterruptedAccess(const char *path, int mode) {
  if (++g_access_calls <= g_interruptions) {
    errno = EINTR;
    return -1;
  }
#ifdef _WIN32
  return _access(path, mode);
#else
  return access(path, mode);
#endif
}

TEST_F(WriteFailure, InterruptedWriteAccessTestGivesUpAfterElevenCalls) {
  tovUpdtrRegexpList *list = RenameList("lib1", "lib2");
  ScopedCheckoutCmd env(nullptr);
  const std::string path = tree_.PathOf("f.txt");
  struct Case {
    int interruptions;
    std::string err;
  };
  const Case cases[] = {
      // The eleventh call answers: nothing to report.
      {10, ""},
      // Never answered: reported with the system's words, then the file is
      // made writable by its owner-write bit as for any unmanaged file.
      {1000, "{#0 E " + path + ": " + std::strerror(EINTR) + "}\n"},
  };
  for (const Case &c : cases) {
    tree_.WriteFile("f.txt", "lib1 x");
    g_access_calls = 0;
    g_interruptions = c.interruptions;
    tov::platform::SetAccessForTesting(InterruptedAccess);
    Outcome o = Update(DesignTree::Reference("f.txt"), list, 0, 9);
    tov::platform::SetAccessForTesting(nullptr);
    EXPECT_EQ(g_access_calls, 11);
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(o.result, TOV_UPDATE_CHANGED);
    EXPECT_EQ(ReadFile(path), "lib2 x");
  }
}

}  // namespace
