// What the update does with files the Windows way: the read-only attribute
// in place of permission bits, paths written with either separator, files
// read and written in binary mode, and a program as the check-out command.
#include <io.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "support/test_support.h"
#include "support/update_fixture.h"
#include "tovUpdtr.h"

namespace {

using tov::test::CaptureStderr;
using tov::test::DesignTree;
using tov::test::LibRename;
using tov::test::LoadMapping;
using tov::test::Outcome;
using tov::test::ReadFile;
using tov::test::ScopedCheckoutCmd;
using tov::test::TempDir;
using tov::test::Update;

bool IsWritable(const std::string &path) {
  return _access(path.c_str(), 2) == 0;
}

// The check-out command tov_argv_log (a test program beside this one) that
// logs its arguments into dir/co.log and then does `action`.
std::string CheckoutCommand(const TempDir &dir, const std::string &action) {
  return "tov_argv_log " + dir.Path("co.log") + " " + action;
}

TEST(WindowsFiles, ReadOnlyUnmanagedFileIsMadeWritable) {
  TempDir dir;
  const std::string file = dir.Write("f.txt", "text");
  ASSERT_EQ(_chmod(file.c_str(), _S_IREAD), 0);
  ASSERT_FALSE(IsWritable(file));
  ScopedCheckoutCmd env(nullptr);
  EXPECT_EQ(tovMkWritable(file.c_str()), 1);
  EXPECT_TRUE(IsWritable(file));
  EXPECT_EQ(ReadFile(file), "text");
}

TEST(WindowsFiles, ReadOnlyManagedFileIsCheckedOutNeverMadeWritable) {
  TempDir dir;
  const std::string file = dir.Write("a b.txt", "text");
  ASSERT_EQ(_chmod(file.c_str(), _S_IREAD), 0);
  {
    ScopedCheckoutCmd env(CheckoutCommand(dir, "exit3").c_str());
    EXPECT_EQ(tovMkWritable(file.c_str()), 0);
    EXPECT_FALSE(IsWritable(file));
  }
  ScopedCheckoutCmd env(CheckoutCommand(dir, "unlock").c_str());
  EXPECT_EQ(CaptureStderr([&] { EXPECT_EQ(tovMkWritable(file.c_str()), 1); }),
            "");
  EXPECT_TRUE(IsWritable(file));
  EXPECT_EQ(ReadFile(dir.Path("co.log")), "1:[" + file + "]1:[" + file + "]");
}

TEST(WindowsFiles, MissingDirectoriesOfEitherSeparatorAreCreated) {
  TempDir dir;
  std::string mixed = dir.path() + "/x\\y/z\\f.txt";
  EXPECT_EQ(tovMkWritable(mixed.c_str()), 1);
  struct _stat64 st;
  EXPECT_EQ(_stat64(dir.Path("x/y/z").c_str(), &st), 0);
  EXPECT_NE(st.st_mode & _S_IFDIR, 0);
}

TEST(WindowsFiles, EveryByteOfAFileSurvivesTheUpdate) {
  DesignTree tree;
  LoadMapping({LibRename("lib1", "lib22")});
  tovUpdtrRegexpList *list = tovUpdtrGenRegexpList(0, "LibraryNT");
  ASSERT_NE(list, nullptr);
  // CR LF, a lone CR, a lone LF, and Ctrl-Z, which ends a file read in text
  // mode: a text-mode read would also come up short of the file's size.
  const std::string text("lib1\r\nx\rlib1\n\x1a lib1\r\n", 21);
  Outcome o = tree.Update("f.txt", text, list, 0, 3);
  EXPECT_EQ(o.result, TOV_UPDATE_CHANGED);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.bytes, std::string("lib22\r\nx\rlib22\n\x1a lib22\r\n", 24));
}

TEST(WindowsFiles, ReadOnlyFileThatChangesIsWritten) {
  DesignTree tree;
  LoadMapping({LibRename("lib1", "lib2")});
  tovUpdtrRegexpList *list = tovUpdtrGenRegexpList(0, "LibraryNT");
  const std::string file = tree.WriteFile("f.txt", "use lib1;\r\n");
  ASSERT_EQ(_chmod(file.c_str(), _S_IREAD), 0);
  ScopedCheckoutCmd env(nullptr);
  Outcome o = Update(DesignTree::Reference("f.txt"), list, 0, 3, file);
  EXPECT_EQ(o.result, TOV_UPDATE_CHANGED);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.bytes, "use lib2;\r\n");
}

TEST(WindowsFiles, PathsOfEitherSeparatorComeOutWithBackslashes) {
  TempDir dir;
  // Directories with both separators, relative and absolute; CR LF lines.
  std::string forward = dir.path() + "\\abs\\lib3";
  for (char &c : forward) {
    if (c == '\\') c = '/';
  }
  const std::string defs =
      dir.Write("lib.defs",
                "library lib1 sub\\lib1\r\nlibrary lib2 sub/lib2/\r\n"
                "library lib3 " +
                    forward + "\r\n");
  ASSERT_EQ(tovUpdtrInit(0, nullptr, defs.c_str(), "LibraryNT"), 1)
      << bevLastError();
  const struct {
    const char *lib, *file;
    std::string path;
  } cases[] = {
      {"lib1", "f.txt", dir.Path("sub/lib1/c/v/f.txt")},
      {"lib2", "d/e.txt", dir.Path("sub/lib2/c/v/d/e.txt")},
      {"lib3", "f.txt", dir.Path("abs/lib3/c/v/f.txt")},
  };
  for (const auto &c : cases) {
    std::unique_ptr<char, decltype(&std::free)> path(
        lcvGetPath(c.lib, "c", "v", c.file), &std::free);
    ASSERT_NE(path, nullptr) << c.lib;
    EXPECT_EQ(std::string(path.get()), c.path);
  }
  // The update finds the file and names it in its messages the same way.
  dir.Write("sub/lib2/c/v/d/e.txt", "lib2 x");
  LoadMapping({LibRename("lib2", "lib9")});
  tovUpdtrRegexpList *list = tovUpdtrGenRegexpList(0, "LibraryNT");
  Outcome o =
      Update("lib2.c:v/d/e.txt", list, 0, 3, dir.Path("sub/lib2/c/v/d/e.txt"));
  EXPECT_EQ(o.result, TOV_UPDATE_CHANGED) << o.err;
  EXPECT_EQ(o.bytes, "lib9 x");
  o = Update("lib2.c:v/d/absent.txt", list, 0, 3);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.err, "{#3 E Problem \"stat\"ing file: " +
                       dir.Path("sub/lib2/c/v/d/absent.txt") +
                       "}\n{#3 W No such file or directory}\n");
}

}  // namespace
