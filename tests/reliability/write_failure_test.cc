// Writes that fail for real, through whole updates: a file-size limit in a
// child, read-only directories and files for an unprivileged user, a file
// that turns into a directory, and a write-access test that keeps being
// interrupted.  Whatever fails, the original content survives, no stray file
// is left beside it and the result says failure.  Then updates that end
// half-way (killed at every step of both write paths, or stopped by a
// signal) and updaters that meet each other's locks: no file is ever lost
// or mixed, and what one leaves, the next repairs.
#ifdef _WIN32
#include <io.h>
#else
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
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

// ---- Interrupted updates -------------------------------------------------

// Where the update in a child stops, and how.
tov::platform::WriteStep g_stop_step = tov::platform::WriteStep::kLockTaken;
int64_t g_stop_bytes = 0;
enum class Stop { kExit, kKill, kSignal };
Stop g_stop_how = Stop::kExit;

void StopHere(tov::platform::WriteStep step, int64_t bytes) {
  if (step != g_stop_step || bytes < g_stop_bytes) return;
  switch (g_stop_how) {
    case Stop::kExit:
      std::_Exit(70);
    case Stop::kKill:
      raise(SIGKILL);
      break;
    case Stop::kSignal:
      raise(SIGTERM);
      break;
  }
}

// What a program does on SIGTERM: undo the update under way, then end.
void CleanUpAndEnd(int signal_number) {
  tovUpdtrCleanup();
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

// 8,000 renamed words: the new text is written in 18 pieces of 4096 bytes.
std::string Words(const char *word) {
  std::string text;
  for (int i = 0; i < 8000; ++i) text += std::string(word) + " ";
  return text;
}

std::string Hostname() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

TEST_F(WriteFailure, UpdateStoppedAtEveryStepIsRepairedByTheNextRun) {
  using tov::platform::WriteStep;
  tovUpdtrRegexpList *list = RenameList("lib1", "library1");
  const std::string old_text = Words("lib1");
  const std::string new_text = Words("library1");
  // The lock, saying whose it is or holding (part of) the new text, and
  // the journal.
  enum Leaves { kLock = 1, kNewText = 2, kJournal = 4 };
  struct Row {
    const char *name;
    bool in_place;  // a second name keeps the file where it stands
    WriteStep step;
    int64_t bytes;
    Stop how;
    int leaves;           // companions found after the stop
    const char *content;  // "old", "new" or "mixed" after the stop
  };
  const Row rows[] = {
      {"new file, lock taken", false, WriteStep::kLockTaken, 0, Stop::kKill,
       kLock, "old"},
      {"new file, first piece", false, WriteStep::kContentWritten, 4096,
       Stop::kExit, kNewText, "old"},
      {"new file, middle", false, WriteStep::kContentWritten, 40960,
       Stop::kKill, kNewText, "old"},
      {"new file, complete", false, WriteStep::kContentComplete, 0, Stop::kKill,
       kNewText, "old"},
      {"new file, in place", false, WriteStep::kReplaced, 0, Stop::kExit, 0,
       "new"},
      {"new file, SIGTERM", false, WriteStep::kContentWritten, 40960,
       Stop::kSignal, 0, "old"},
      {"in place, lock taken", true, WriteStep::kLockTaken, 0, Stop::kExit,
       kLock, "old"},
      {"in place, journal written", true, WriteStep::kJournalWritten, 0,
       Stop::kKill, kLock | kJournal, "old"},
      {"in place, first piece", true, WriteStep::kContentWritten, 4096,
       Stop::kKill, kLock | kJournal, "mixed"},
      {"in place, middle", true, WriteStep::kContentWritten, 40960, Stop::kExit,
       kLock | kJournal, "mixed"},
      {"in place, complete", true, WriteStep::kContentComplete, 0, Stop::kKill,
       kLock | kJournal, "new"},
      {"in place, written", true, WriteStep::kReplaced, 0, Stop::kExit,
       kLock | kJournal, "new"},
      {"in place, SIGTERM", true, WriteStep::kContentWritten, 40960,
       Stop::kSignal, 0, "old"},
  };
  const std::string path = tree_.PathOf("f.txt");
  const std::string other = tree_.dir().Path("other.txt");
  const std::string lock = View() + "/.f.txt.tovlock";
  const std::string journal = View() + "/.f.txt.tovjournal";
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    tree_.WriteFile("f.txt", old_text);
    fs::remove(other);
    if (row.in_place) {
      ASSERT_EQ(link(path.c_str(), other.c_str()), 0);
    }
    const std::set<std::string> names = Names(View());
    g_stop_step = row.step;
    g_stop_bytes = row.bytes;
    g_stop_how = row.how;
    auto child = tov::test::RunInChild([&] {
      signal(SIGTERM, CleanUpAndEnd);
      tov::platform::SetWriteStepHookForTesting(StopHere);
      Update(DesignTree::Reference("f.txt"), list);
      std::_Exit(0);  // not stopped: the row is wrong
    });
    if (row.how == Stop::kExit) {
      EXPECT_EQ(child.exit_code, 70) << child.err;
    } else {
      EXPECT_EQ(child.signal, row.how == Stop::kKill ? SIGKILL : SIGTERM);
    }
    const std::string holder = fs::exists(lock) ? ReadFile(lock) : "";
    const std::string pid = holder.substr(0, holder.find(' '));
    const int leaves = (holder.empty()                            ? 0
                        : holder == pid + " " + Hostname() + "\n" ? kLock
                                                                  : kNewText) |
                       (fs::exists(journal) ? kJournal : 0);
    EXPECT_EQ(leaves, row.leaves);
    const std::string content = ReadFile(path);
    const std::string seen = content == old_text   ? "old"
                             : content == new_text ? "new"
                                                   : "mixed";
    EXPECT_EQ(seen, row.content);
    // Killed before its lock went: the lock names the dead child, or holds
    // the new text that was on its way in (then nobody claims it, and it is
    // taken for left behind once it was not written for a second).
    std::string expected;
    if (leaves & kLock) {
      expected += "{#3 W Removed the lock file " + lock + " of process " + pid +
                  " on this host, which has ended}\n";
    }
    if (leaves & kNewText) {
      expected += "{#3 W Removed the lock file " + lock +
                  " with the new text of an interrupted update}\n";
    }
    if (leaves & kJournal) {
      expected += "{#3 W Restored the old text of " + path +
                  " from the journal of an interrupted update}\n";
    }
    // The next run repairs first, then updates what is still old.
    Outcome o = Update(DesignTree::Reference("f.txt"), list, 0, 3);
    EXPECT_EQ(o.err, expected);
    EXPECT_EQ(o.result, seen == "new" && !(leaves & kJournal)
                            ? TOV_UPDATE_UNCHANGED
                            : TOV_UPDATE_CHANGED);
    EXPECT_EQ(ReadFile(path), new_text);
    if (row.in_place) {
      EXPECT_EQ(ReadFile(other), new_text);
    }
    EXPECT_EQ(Names(View()), names);
  }
  tov::platform::SetWriteStepHookForTesting(nullptr);
}

TEST_F(WriteFailure, JournalThatIsIncompleteOrNotTheFilesIsNeverRestored) {
  tovUpdtrRegexpList *list = RenameList("lib1", "lib2");
  const std::string path = tree_.WriteFile("f.txt", "use lib1;");
  const std::string journal = View() + "/.f.txt.tovjournal";
  // Cut short by a crash while it was written: the file was not touched
  // yet, so the journal just goes.
  tree_.dir().Write("lib1/cell/view/.f.txt.tovjournal",
                    "tovUpdtr journal 1 si");
  Outcome o = Update(DesignTree::Reference("f.txt"), list, 0, 5);
  EXPECT_EQ(o.err, "{#5 W Removed the incomplete journal " + journal +
                       ": the interrupted update had not changed the file}\n");
  EXPECT_EQ(o.result, TOV_UPDATE_CHANGED);
  EXPECT_EQ(ReadFile(path), "use lib2;");
  EXPECT_FALSE(fs::exists(journal));
  // A whole journal, of a file that someone has replaced since: the file
  // at the path stays as it is, and so does the journal, for a person to
  // look at.
  const std::string other = tree_.dir().Path("other.txt");
  tree_.WriteFile("f.txt", "use lib1;");
  ASSERT_EQ(link(path.c_str(), other.c_str()), 0);
  g_stop_step = tov::platform::WriteStep::kJournalWritten;
  g_stop_bytes = 0;
  g_stop_how = Stop::kExit;
  auto child = tov::test::RunInChild([&] {
    tov::platform::SetWriteStepHookForTesting(StopHere);
    Update(DesignTree::Reference("f.txt"), list);
    std::_Exit(0);
  });
  ASSERT_EQ(child.exit_code, 70);
  ASSERT_TRUE(fs::exists(journal));
  fs::remove(path);
  tree_.WriteFile("f.txt", "use lib1;");
  o = Update(DesignTree::Reference("f.txt"), list, 0, 5);
  EXPECT_EQ(o.result, 0);
  EXPECT_NE(o.err.find("{#5 E The journal " + journal +
                       " of an interrupted update cannot be restored: " + path +
                       " not updated}\n"),
            std::string::npos)
      << o.err;
  EXPECT_EQ(ReadFile(path), "use lib1;");
  EXPECT_TRUE(fs::exists(journal));
}

// ---- Two updaters --------------------------------------------------------

// A child process that runs `body` (its result, the exit status), with its
// standard error stream in `err_file`.
pid_t StartChild(const std::string &err_file,
                 const std::function<int()> &body) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (std::freopen(err_file.c_str(), "w", stderr) == nullptr) std::_Exit(99);
    const int result = body();
    std::fflush(stderr);
    std::_Exit(result);
  }
  return pid;
}
int WaitFor(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// The pipes of a child held at its lock: it says "held" on one and waits
// for "go" on the other.
int g_held[2] = {-1, -1};
int g_go[2] = {-1, -1};
void HoldAtTheLock(tov::platform::WriteStep step, int64_t) {
  if (step != tov::platform::WriteStep::kLockTaken) return;
  char c = 'h';
  if (write(g_held[1], &c, 1) != 1 || read(g_go[0], &c, 1) != 1) {
    std::_Exit(98);
  }
}

TEST_F(WriteFailure, SecondUpdaterWaitsForTheLockOrFailsNamingItsHolder) {
  struct Row {
    const char *name;
    bool in_place;
    int wait_ms;  // the second updater's wait
  };
  const Row rows[] = {
      {"new file, no wait", false, 0},
      {"in place, no wait", true, 0},
      {"new file, waits", false, 20000},
      {"in place, waits", true, 20000},
  };
  const std::string path = tree_.PathOf("f.txt");
  const std::string other = tree_.dir().Path("other.txt");
  const std::string lock = View() + "/.f.txt.tovlock";
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    tree_.WriteFile("f.txt", "lib1 cellA\n");
    fs::remove(other);
    if (row.in_place) {
      ASSERT_EQ(link(path.c_str(), other.c_str()), 0);
    }
    const std::set<std::string> names = Names(View());
    ASSERT_EQ(pipe(g_held), 0);
    ASSERT_EQ(pipe(g_go), 0);
    // The first renames the library and stops at its lock; the second
    // renames the cell.
    const pid_t first = StartChild(tree_.dir().Path("first.err"), [&] {
      tovUpdtrRegexpList *list = RenameList("lib1", "lib2");
      tov::platform::SetWriteStepHookForTesting(HoldAtTheLock);
      Outcome o = Update(DesignTree::Reference("f.txt"), list);
      std::fputs(o.err.c_str(), stderr);
      return o.result;
    });
    char c = 0;
    ASSERT_EQ(read(g_held[0], &c, 1), 1);
    const pid_t second = StartChild(tree_.dir().Path("second.err"), [&] {
      tovUpdtrRegexpList *list = RenameList("cellA", "cellB");
      tovUpdtrSetLockWait(row.wait_ms);
      Outcome o = Update(DesignTree::Reference("f.txt"), list, 0, 8);
      std::fputs(o.err.c_str(), stderr);
      return o.result;
    });
    if (row.wait_ms == 0) {
      EXPECT_EQ(WaitFor(second), 0);
      EXPECT_EQ(ReadFile(tree_.dir().Path("second.err")),
                "{#8 E The file " + path + " is being updated by process " +
                    std::to_string(first) + " on " + Hostname() +
                    " (lock file " + lock + "): not updated}\n");
    }
    c = 'g';
    ASSERT_EQ(write(g_go[1], &c, 1), 1);
    EXPECT_EQ(WaitFor(first), TOV_UPDATE_CHANGED);
    if (row.wait_ms == 0) {
      EXPECT_EQ(ReadFile(path), "lib2 cellA\n");
    } else {
      // The second read the file only once the first had written it.
      EXPECT_EQ(WaitFor(second), TOV_UPDATE_CHANGED);
      EXPECT_EQ(ReadFile(tree_.dir().Path("second.err")), "");
      EXPECT_EQ(ReadFile(path), "lib2 cellB\n");
    }
    EXPECT_EQ(ReadFile(tree_.dir().Path("first.err")), "");
    EXPECT_EQ(Names(View()), names);
    for (int fd : {g_held[0], g_held[1], g_go[0], g_go[1]}) close(fd);
  }
}

TEST_F(WriteFailure, LockLeftBehindIsRemovedOnlyWhenItsHolderHasEnded) {
  tovUpdtrRegexpList *list = RenameList("lib1", "lib2");
  const std::string path = tree_.PathOf("f.txt");
  const std::string lock = View() + "/.f.txt.tovlock";
  const pid_t ended = StartChild("/dev/null", [] { return 0; });
  ASSERT_EQ(WaitFor(ended), 0);
  const std::string dead = std::to_string(ended);
  const std::string host = Hostname();
  struct Row {
    const char *name;
    std::string content;
    bool old;      // made long ago
    bool removed;  // by the update, which then succeeds
    std::string err;
  };
  const std::string busy_start =
      "{#4 E The file " + path + " is being updated by process ";
  const std::string busy_end = " (lock file " + lock + "): not updated}\n";
  const Row rows[] = {
      {"ended here", dead + " " + host + "\n", false, true,
       "{#4 W Removed the lock file " + lock + " of process " + dead +
           " on this host, which has ended}\n"},
      {"ended here, room for the new text reserved",
       dead + " " + host + "\n" + std::string(100, '\0'), false, true,
       "{#4 W Removed the lock file " + lock + " of process " + dead +
           " on this host, which has ended}\n"},
      {"running here", "1 " + host + "\n", true, false,
       busy_start + "1 on " + host + busy_end},
      {"another host", dead + " elsewhere.example\n", true, false,
       busy_start + dead + " on elsewhere.example" + busy_end},
      {"unreadable, just written", "", false, false,
       busy_start + "? on ?" + busy_end},
      {"unreadable, long ago", "", true, true,
       "{#4 W Removed the lock file " + lock +
           " with the new text of an interrupted update}\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    tree_.WriteFile("f.txt", "use lib1;");
    tree_.dir().Write("lib1/cell/view/.f.txt.tovlock", row.content);
    if (row.old) {
      fs::last_write_time(
          lock, fs::file_time_type::clock::now() - std::chrono::hours(1));
    }
    tovUpdtrSetLockWait(0);
    Outcome o = Update(DesignTree::Reference("f.txt"), list, 0, 4);
    tovUpdtrSetLockWait(5000);
    EXPECT_EQ(o.err, row.err);
    EXPECT_EQ(o.result, row.removed ? TOV_UPDATE_CHANGED : 0);
    EXPECT_EQ(ReadFile(path), row.removed ? "use lib2;" : "use lib1;");
    EXPECT_EQ(fs::exists(lock), !row.removed);
    fs::remove(lock);
  }
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
