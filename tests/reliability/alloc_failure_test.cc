// Allocation failure, swept: an operation is run once to count its
// allocations, then once per allocation with exactly that one failing.  Each
// run must end without a crash, either with the failure result, a message
// and nothing of the failed work left behind, or (where the code can do
// without the block) with the same outcome as the run that had all its
// memory.  Under AddressSanitizer every run is followed by a leak check.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "failing_alloc.h"
#include "gtest/gtest.h"
#include "support/reliability_util.h"
#include "support/test_support.h"
#include "tovUpdtr.h"

// RE2 is not written for exceptions: when operator new throws inside its
// compiler, the blocks it had taken so far are lost.  Those are RE2's; every
// other block, the library's own included, is held to the leak check.
extern "C" __attribute__((visibility("default"))) const char *
__lsan_default_suppressions() {
  return "leak:libre2.so\n";
}

namespace {

using tov::test::ArmAllocationFailure;
using tov::test::CaptureStderr;
using tov::test::DisarmAllocationFailure;
using tov::test::ReadFile;
using tov::test::TempDir;

constexpr long kRunsPerLeakCheck = 16;

// One operation to sweep.
struct Operation {
  // Sets the stage before each run, with all memory available.
  std::function<void()> prepare;
  // The call itself: only its allocations are counted and failed.
  std::function<int()> call;
  // What the call left (a file's content, the mapping): read after it.
  std::function<std::string()> observe;
  // The message of a failed call when it prints none (NULL: its stderr).
  std::function<std::string()> message;
  int failure = 0;
  // Whether a failure must leave observe() as it was before the call.
  bool failure_keeps_state = true;
};

struct RunResult {
  int result;
  std::string err;
  std::string state;
  bool failed_allocation;
  long allocations;
};

RunResult RunOnce(const Operation &op, long fail_at) {
  op.prepare();
  RunResult r{};
  r.err = CaptureStderr([&] {
    ArmAllocationFailure(fail_at);
    r.result = op.call();
    DisarmAllocationFailure();
  });
  r.failed_allocation = tov::test::AllocationFailed();
  r.allocations = tov::test::AllocationCount();
  r.state = op.observe();
  return r;
}

// Sweeps `op`; returns the number of allocations swept.
long Sweep(const char *name, const Operation &op) {
  op.prepare();
  const std::string before = op.observe();
  const RunResult full = RunOnce(op, 0);
  EXPECT_NE(full.result, op.failure) << name << ": " << full.err;
  EXPECT_GT(full.allocations, 0) << name;
  long failed = 0, recovered = 0;
  for (long n = 1; n <= full.allocations; ++n) {
    const RunResult r = RunOnce(op, n);
    SCOPED_TRACE(std::string(name) + ", allocation " + std::to_string(n) +
                 " of " + std::to_string(full.allocations));
    if (r.result == op.failure) {
      ++failed;
      EXPECT_TRUE(r.failed_allocation);
      const std::string message = op.message ? op.message() : r.err;
      EXPECT_NE(message, "");
      if (op.failure_keeps_state) {
        EXPECT_EQ(r.state, before);
      }
    } else {
      ++recovered;
      EXPECT_EQ(r.result, full.result) << r.err;
      EXPECT_EQ(r.state, full.state);
    }
    // A lost block stays lost: a check every few runs finds it all the
    // same, at a fraction of the cost of scanning the heap after each one.
    if (n % kRunsPerLeakCheck == 0 || n == full.allocations) {
      EXPECT_FALSE(tov::test::LeaksFound())
          << "in the runs up to allocation " << n;
    }
    if (::testing::Test::HasFailure()) break;  // one broken point is enough
  }
  std::printf(
      "[ sweep    ] %s: %ld allocations swept, %ld failed cleanly, "
      "%ld done without the block\n",
      name, full.allocations, failed, recovered);
  return full.allocations;
}

class AllocationFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    defs_ = dir_.Write("lib.defs", "library lib1 lib1\nlibrary unix unix\n");
    dir_.Write("lib1/cell/view/.keep", "");
    dir_.Write("unix/.namespace", "LibraryUnix\n");
    dir_.Write("unix/c#3a1/v/.keep", "");
    Init(defs_);
  }

  void Init(const std::string &defs) {
    ASSERT_EQ(tovUpdtrInit(0, nullptr, defs.c_str(), "LibraryNT"), 1)
        << bevLastError();
  }

  static std::string PathOfLib1() {
    char *path = lcvGetPath("lib1", "cell", "view", "f.txt");
    std::string text = path != nullptr ? path : "(none)";
    std::free(path);
    return text;
  }

  TempDir dir_;
  std::string defs_;
};

TEST_F(AllocationFailure, LibraryDefinitionsKeepTheEarlierOnes) {
  // The file read under test moves lib1 and includes another file.
  const std::string moved =
      dir_.Write("moved.defs",
                 "# moved\nlibrary lib1 elsewhere/lib1\ninclude more.defs\n");
  dir_.Write("more.defs", "library more more\r\nlibrary a#3ab a\n");
  Operation op;
  op.prepare = [&] { Init(defs_); };
  op.call = [&] {
    return tovUpdtrInit(0, nullptr, moved.c_str(), "LibraryNT");
  };
  op.observe = [] { return PathOfLib1(); };
  op.message = [] { return std::string(bevLastError()); };
  op.failure = 0;
  Sweep("library definitions", op);
}

TEST_F(AllocationFailure, FromToLoadReportsAndLeavesAUsableMapping) {
  struct Case {
    const char *name;
    std::string list;
    int level;
    const char *name_space;
  };
  const Case cases[] = {
      {"from-to load, atoms",
       "lib1.c1:v1/. lib2.c2:v2/.\r\nlibA.cA:vA/. libB.cB:vB/.\nlibA.cA:vA/. "
       "libB.cB:vB/.\n",
       4, "LibraryNT"},
      {"from-to load, file level",
       "lib1.c:v/f1 lib1.c:v/f2 extra\nlib1.c:v/g1 lib1.c:v/g2\n", 3,
       "LibraryNT"},
      {"from-to load, names mapped", "a#3ab.c/. x.y/.\nq.r/. s.t/.\n", 1,
       "LibraryUnix"},
  };
  for (const Case &c : cases) {
    const std::string path = dir_.Write("from_to.txt", c.list);
    Operation op;
    // The mapping a failed load discards is the previous one; what must hold
    // is that the library can load again at once.
    op.prepare = [] { tovUpdtrHashTableDelete(); };
    op.call = [&] {
      return tovProcessFromToFileEx(path.c_str(), c.level, c.name_space, 1);
    };
    op.observe = [] { return tov::test::MappingText(); };
    op.failure = LCV_ERROR;
    op.failure_keeps_state = false;
    Sweep(c.name, op);
    // Whatever was swept last, a load with all its memory succeeds.
    EXPECT_NE(tovProcessFromToFileEx(path.c_str(), c.level, c.name_space, 1),
              LCV_ERROR);
  }
}

TEST_F(AllocationFailure, ExpressionListIsAllOrNothing) {
  const std::string path = dir_.Write(
      "from_to.txt", "lib1.c1:v1/. lib2.c2:v2/.\nlibA.cA:vA/. libB.cB:vB/.\n");
  ASSERT_EQ(tovProcessFromToFileEx(path.c_str(), 4, "LibraryNT", 0),
            LCV_VIEW_CHANGED);
  tovUpdtrRegexpList *list = nullptr;
  Operation op;
  op.prepare = [&] { list = nullptr; };
  op.call = [&] {
    list = tovUpdtrGenRegexpList(0, "LibraryNT");
    return list != nullptr ? 1 : 0;
  };
  op.observe = [&] { return tov::test::ListText(list); };
  op.failure = 0;
  op.failure_keeps_state = false;
  Sweep("expression list", op);
}

TEST_F(AllocationFailure, FileUpdateLeavesTheFileAsItWas) {
  const std::string original =
      "lib1 cell view\nlib1/cell:view c1 (v1) lib10\r\nlibA c1 lib1\n";
  const std::string file = dir_.Path("lib1/cell/view/f.txt");
  struct Case {
    const char *name;
    int flags;
    const char *list;
    int kind;
    const char *expected;
  };
  // Node by node, every expression compiles its RE2 program inside the
  // swept call: two of them are enough to go through that path.
  const Case cases[] = {
      {"file update", 0,
       "lib1.c1:v1/. lib2.c2:v2/.\nlibA.cA:vA/. libB.cB:vB/.\n",
       LCV_VIEW_CHANGED,
       "lib2 cell view\nlib2/cell:view c2 (v2) lib10\r\nlibB c2 lib2\n"},
      {"file update, node by node", TOV_UPDATE_NODE_BY_NODE,
       "lib1.c1/. lib2.c2/.\n", LCV_CELL_CHANGED,
       "lib2 cell view\nlib2/cell:view c2 (v1) lib10\r\nlibA c2 lib2\n"},
  };
  for (const Case &c : cases) {
    const std::string list_path = dir_.Write("from_to.txt", c.list);
    tovUpdtrRegexpList *list = nullptr;
    Operation op;
    // A fresh list each time, so that the expressions are compiled inside
    // the call as in a program's first update.
    op.prepare = [&] {
      dir_.Write("lib1/cell/view/f.txt", original);
      ASSERT_EQ(tovProcessFromToFileEx(list_path.c_str(), 4, "LibraryNT", 0),
                c.kind);
      list = tovUpdtrGenRegexpList(0, "LibraryNT");
      ASSERT_NE(list, nullptr);
    };
    op.call = [&] {
      char line[] = "lib1.cell:view/f.txt";
      return tovUpdtrRegexpUpdateFileEx(line, 3, list, "LibraryNT", c.flags);
    };
    // The content, and every name in the view: no temporary file stays.
    op.observe = [&] {
      std::string state = ReadFile(file);
      for (const std::string &name :
           tov::test::Names(dir_.Path("lib1/cell/view"))) {
        state += "\n[" + name + "]";
      }
      return state;
    };
    op.failure = 0;
    Sweep(c.name, op);
    EXPECT_EQ(ReadFile(file), c.expected);
  }
}

}  // namespace
