// What a hostile list or a hostile path cannot do: rewrite a file outside
// the design library, reach a shell through the check-out command, or see
// (and write) the new content of a file while it is being written.
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "gtest/gtest.h"
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
using tov::test::TempDir;
using tov::test::Update;

tovUpdtrRegexpList *RenameList(const char *from, const char *to) {
  LoadMapping({LibRename(from, to)});
  return tovUpdtrGenRegexpList(0, "LibraryNT");
}

#ifndef _WIN32
using tov::test::GiveToUnprivileged;
using tov::test::RunAsUnprivileged;

unsigned ModeOf(const std::string &path) {
  struct stat st = {};
  stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

#endif  // !_WIN32

TEST(Security, ReferenceThatClimbsOutOfItsViewIsRefused) {
  DesignTree tree;
  tovUpdtrRegexpList *list = RenameList("lib1", "lib2");
  // Targets outside the view: beside it, in the library, beside the library.
  tree.dir().Write("lib1/cell/f.txt", "lib1");
  tree.dir().Write("lib1/view/f.txt", "lib1");
  tree.dir().Write("outside.txt", "lib1");
  tree.dir().Write("lib1/cell/view/sub/f.txt", "lib1");
  for (const std::string reference :
       {"lib1.cell:view/../f.txt", "lib1.cell:view/../../../outside.txt",
        "lib1.cell:view/sub/../../f.txt", "lib1.cell:view/..",
        "lib1.cell:view/sub/..", "lib1.cell:view/..\\..\\f.txt",
        "lib1...:view/f.txt", "lib1.cell:../f.txt",
        "lib1..:../../outside.txt"}) {
    for (int flags : {0, TOV_UPDATE_DRY_RUN}) {
      Outcome o = Update(reference, list, flags, 8);
      EXPECT_EQ(o.result, 0) << reference;
      EXPECT_EQ(o.err, "{#8 E The reference LCVFentry:" + reference +
                           " climbs out of its view directory: not updated}\n");
    }
  }
  EXPECT_EQ(ReadFile(tree.dir().Path("lib1/cell/f.txt")), "lib1");
  EXPECT_EQ(ReadFile(tree.dir().Path("lib1/view/f.txt")), "lib1");
  EXPECT_EQ(ReadFile(tree.dir().Path("outside.txt")), "lib1");

  // Dots that stay inside are names like any other.
  for (const char *name : {"..f", "f..", "a..b", "sub/./f.txt", "./g.txt"}) {
    const std::string reference = std::string("lib1.cell:view/") + name;
    tree.WriteFile(fs::path(name).lexically_normal().string(), "lib1 x");
    Outcome o = Update(reference, list);
    EXPECT_EQ(o.result, TOV_UPDATE_CHANGED) << reference << ": " << o.err;
    EXPECT_EQ(ReadFile(tree.PathOf(name)), "lib2 x") << reference;
  }
}

// The path is checked as the file system sees it: names converted into the
// directory's name space, links resolved.  Each row makes a tree, with the
// library lib1 storing its names in `name_space` (nullptr: as written) and
// `link` (if any) made a symbolic link to `link_to`, and updates
// `reference`; a refused row names the link and where it leads.
TEST(Security, ReferencesAreConfinedAsTheFileSystemSeesThem) {
  enum Expect { kUpdated, kClimbsOut, kLeadsOut };
  struct Row {
    const char *name_space;
    const char *link;     // made in the tree, relative to its folder
    const char *link_to;  // relative to the tree's folder
    const char *reference;
    Expect expect;
    const char *changed;  // the file that holds the text, followed or not
  };
  const Row rows[] = {
      // ".." spelled through an escape, after conversion.
      {"LibraryUnix", nullptr, nullptr, "lib1.#2e#2e:view/f.txt", kClimbsOut,
       "view/f.txt"},
      {"LibraryUnix", nullptr, nullptr, "lib1.cell:#2e#2e/f.txt", kClimbsOut,
       "lib1/cell/f.txt"},
      {"LibraryUnix", nullptr, nullptr, "lib1.#2e#2e:#2e#2e/f.txt", kClimbsOut,
       "f.txt"},
      // Where names are stored as written, "#2e#2e" is a name like any other.
      {nullptr, nullptr, nullptr, "lib1.#2e#2e:view/f.txt", kUpdated,
       "lib1/#2e#2e/view/f.txt"},
      // ".." that stays inside the view.
      {nullptr, nullptr, nullptr, "lib1.cell:view/sub/../f.txt", kUpdated,
       "lib1/cell/view/f.txt"},
#ifndef _WIN32
      // Links out of the library: a view file, a cell and a view directory,
      // a file of another library.
      {nullptr, "lib1/cell/view/f.txt", "outside/f.txt", "lib1.cell:view/f.txt",
       kLeadsOut, "outside/f.txt"},
      {nullptr, "lib1/cell", "outside/cell", "lib1.cell:view/f.txt", kLeadsOut,
       "outside/cell/view/f.txt"},
      {"LibraryUnix", "lib1/cell/view", "outside/view", "lib1.cell:view/f.txt",
       kLeadsOut, "outside/view/f.txt"},
      {nullptr, "lib1/cell/view/f.txt", "lib2/cell/view/f.txt",
       "lib1.cell:view/f.txt", kLeadsOut, "lib2/cell/view/f.txt"},
      // A link that stays inside, and a library directory that is a link.
      {nullptr, "lib1/cell/view/f.txt", "lib1/shared/f.txt",
       "lib1.cell:view/f.txt", kUpdated, "lib1/shared/f.txt"},
      {nullptr, "lib1", "real/lib1", "lib1.cell:view/f.txt", kUpdated,
       "real/lib1/cell/view/f.txt"},
#endif
  };
  for (const Row &row : rows) {
    for (int flags : {0, TOV_UPDATE_DRY_RUN, TOV_UPDATE_FOLLOW_LINKS}) {
      SCOPED_TRACE(std::string(row.reference) + " flags " +
                   std::to_string(flags));
      DesignTree tree;
      const TempDir &dir = tree.dir();
      for (const char *file :
           {"f.txt", "view/f.txt", "lib1/f.txt", "lib1/cell/f.txt",
            "lib1/cell/view/f.txt", "lib1/cell/view/sub/.keep",
            "lib1/#2e#2e/view/f.txt", "outside/f.txt",
            "outside/cell/view/f.txt", "outside/view/f.txt",
            "lib2/cell/view/f.txt", "lib1/shared/f.txt"}) {
        dir.Write(file, "lib1");
      }
      if (row.name_space != nullptr) {
        dir.Write("lib1/.namespace", std::string(row.name_space) + "\n");
      }
      std::string link_shown, target_shown;
#ifndef _WIN32
      if (row.link != nullptr) {
        const fs::path link = dir.Path(row.link),
                       target = dir.Path(row.link_to);
        fs::create_directories(target.parent_path());
        // What the link replaces moves to its target unless one is there.
        if (fs::exists(target)) {
          fs::remove_all(link);
        } else {
          fs::rename(link, target);
        }
        fs::create_symlink(target, link);
        link_shown = link.string();
        target_shown = fs::canonical(target).string();
      }
#endif
      tovUpdtrRegexpList *list = RenameList("lib1", "lib2");
      Outcome o = Update(row.reference, list, flags, 8);
      const std::string prefix =
          std::string("{#8 E The reference LCVFentry:") + row.reference;
      const bool refused =
          row.expect == kClimbsOut ||
          (row.expect == kLeadsOut && !(flags & TOV_UPDATE_FOLLOW_LINKS));
      if (row.expect == kClimbsOut) {
        EXPECT_EQ(o.err, prefix +
                             " climbs out of its view directory: not "
                             "updated}\n");
      } else if (refused) {
        EXPECT_EQ(o.err, prefix + " leads through the link " + link_shown +
                             " to " + target_shown +
                             ", outside its library: not updated}\n");
      } else {
        EXPECT_EQ(o.err, "");
      }
      EXPECT_EQ(o.result, refused ? 0 : TOV_UPDATE_CHANGED);
      const bool written = !refused && !(flags & TOV_UPDATE_DRY_RUN);
      EXPECT_EQ(ReadFile(dir.Path(row.changed)), written ? "lib2" : "lib1");
    }
  }
#ifndef _WIN32
  // A link swapped in during the update (here by the check-out of a
  // write-protected file, which root goes through too) is held to the same
  // rule: the file is looked at again before anything is written.
  for (int flags : {0, TOV_UPDATE_FOLLOW_LINKS}) {
    DesignTree tree;
    const std::string path = tree.WriteFile("f.txt", "lib1");
    const std::string outside = tree.dir().Write("outside/f.txt", "lib1");
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    const std::string co = tree.dir().Write(
        "co.sh", "#!/bin/sh\nrm -f \"$1\" && ln -s " + outside + " \"$1\"\n");
    ASSERT_EQ(chmod(co.c_str(), 0755), 0);
    ScopedCheckoutCmd env(co.c_str());
    Outcome o =
        Update("lib1.cell:view/f.txt", RenameList("lib1", "lib2"), flags, 8);
    if (flags == 0) {
      EXPECT_EQ(o.err,
                "{#8 E The reference LCVFentry:lib1.cell:view/f.txt leads "
                "through the link " +
                    path + " to " + fs::canonical(outside).string() +
                    ", outside its library: not updated}\n");
      EXPECT_EQ(o.result, 0);
      EXPECT_EQ(ReadFile(outside), "lib1");
    } else {
      EXPECT_EQ(o.result, TOV_UPDATE_CHANGED) << o.err;
      EXPECT_EQ(ReadFile(outside), "lib2");
    }
  }
#endif
}

#ifndef _WIN32
// A shell script as the check-out command, an unprivileged user, permission
// bits seen while the new file is written, and a file size limit: POSIX.
// (On Windows, lok_test.cc checks the quoting of the check-out command.)
TEST(Security, CheckOutCommandGetsThePathAsOneArgumentWithoutAShell) {
  TempDir dir;
  // A library directory, and file names, holding everything a shell would
  // act on; the definition file keeps the blanks of a directory.
  const std::string lib_dir =
      dir.Path("my lib 'q' \"d\"; touch p1 $(touch p2)");
  const std::string defs =
      dir.Write("lib.defs", "library lib1 " + lib_dir + "\n");
  ASSERT_EQ(tovUpdtrInit(0, nullptr, defs.c_str(), "LibraryNT"), 1)
      << bevLastError();
  const std::string name =
      "f;touch${IFS}p3;'q'\"d\"$(touch${IFS}p4)`touch${IFS}p5`";
  const std::string file = dir.Write(
      "my lib 'q' \"d\"; touch p1 $(touch p2)/cell/view/" + name, "lib1 x");
  const std::string log = dir.Path("log");
  const std::string co = dir.Write(
      "co.sh", "#!/bin/sh\nprintf '%s:' \"$#\" >> '" + log +
                   "'\nfor a in \"$@\"; do printf '[%s]' \"$a\" >> '" + log +
                   "'; done\nchmod u+w \"$1\"\n");
  ASSERT_EQ(chmod(co.c_str(), 0755), 0);
  // A newline cannot stand in a list line; the exported call takes it.
  const std::string newline = dir.Write("a\nb $(touch p6).txt", "x");
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  ASSERT_EQ(chmod(newline.c_str(), 0444), 0);
  GiveToUnprivileged(dir.path());
  tovUpdtrRegexpList *list = RenameList("lib1", "lib2");
  ScopedCheckoutCmd env(co.c_str());
  const int rc = RunAsUnprivileged([&] {
    if (chdir(dir.path().c_str()) != 0) return 1;
    Outcome o = Update("lib1.cell:view/" + name, list);
    if (o.result != TOV_UPDATE_CHANGED) return 2;
    return tovMkWritable(newline.c_str()) == 1 ? 0 : 3;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ReadFile(log), "1:[" + file + "]1:[" + newline + "]");
  EXPECT_EQ(ReadFile(file), "lib2 x");
  for (const char *made : {"p1", "p2", "p3", "p4", "p5", "p6"}) {
    EXPECT_FALSE(fs::exists(dir.Path(made))) << made;
    EXPECT_FALSE(fs::exists(lib_dir + "/cell/view/" + made)) << made;
  }
}

// What the write-back's new file looked like while it was being written,
// seen from the signal that a write past the file-size limit raises.
std::string *g_view_dir = nullptr;
int g_temp_files = 0;
unsigned g_temp_mode = 0;
nlink_t g_temp_links = 0;

// Called at each write past the size limit (reserving the file's space is
// one): the most new files seen at once.
void LookAtTheNewFile(int) {
  int seen = 0;
  for (const auto &entry : fs::directory_iterator(*g_view_dir)) {
    const std::string name = entry.path().filename().string();
    if (name == ".keep" || name == "f.txt") continue;
    struct stat st = {};
    lstat(entry.path().c_str(), &st);
    ++seen;
    g_temp_mode = st.st_mode & 07777;
    g_temp_links = S_ISREG(st.st_mode) ? st.st_nlink : 0;
  }
  if (seen > g_temp_files) g_temp_files = seen;
}

TEST(Security, NewFileIsPrivateWhileWrittenAndRemovedOnFailure) {
  DesignTree tree;
  tovUpdtrRegexpList *list = RenameList("lib1", "library1");
  std::string original;
  for (int i = 0; i < 40; ++i) original += "lib1 ";
  std::string view = tree.dir().Path("lib1/cell/view");
  // Even a file that everybody may write gets a new file only its owner may
  // touch until its content is complete.
  for (unsigned mode : {0644u, 0666u, 0640u}) {
    const std::string path = tree.WriteFile("f.txt", original);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    auto child = tov::test::RunInChild([&] {
      g_view_dir = &view;
      signal(SIGXFSZ, LookAtTheNewFile);
      struct rlimit limit = {256, 256};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) std::_Exit(10);
      Outcome o = Update(DesignTree::Reference("f.txt"), list);
      std::fprintf(stderr, "%d %o %d", g_temp_files, g_temp_mode,
                   static_cast<int>(g_temp_links));
      std::_Exit(o.result == 0 ? 0 : 11);
    });
    EXPECT_EQ(child.exit_code, 0) << child.err;
    // One new file, a regular one with no other name, readable and writable
    // by its owner alone.
    EXPECT_EQ(child.err, "1 600 1");
    EXPECT_EQ(ReadFile(path), original);
    EXPECT_EQ(ModeOf(path), mode);
    EXPECT_EQ(Names(view), (std::set<std::string>{".keep", "f.txt"}));

    // Without the limit: the content, and the file's own bits after it.
    const mode_t old_mask = umask(077);
    Outcome o = Update(DesignTree::Reference("f.txt"), list);
    umask(old_mask);
    EXPECT_EQ(o.result, TOV_UPDATE_CHANGED) << o.err;
    EXPECT_EQ(ModeOf(path), mode);
    EXPECT_EQ(Names(view), (std::set<std::string>{".keep", "f.txt"}));
  }
}

#endif  // !_WIN32

}  // namespace
