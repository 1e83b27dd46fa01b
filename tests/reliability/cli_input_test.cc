// The updater program on lists that another tool wrote: line ends of either
// kind in all three lists, an update-file list that names one file more
// than once, and lists that are too long, hold NUL bytes, are empty or are
// no regular files.
#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "support/test_support.h"

namespace {

using tov::test::ReadFile;
using tov::test::TempDir;

const char kProgram[] = TOVUPDTR_PROGRAM;

class CliInput : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Write("lib1/cell/view/f.txt", "a b\r\nx a\r\n");
    dir_.Write("lib1/cell/view/g.txt", "b\n");
  }
  // `list_arg` is the value of -updateFileList.
  tov::test::ChildResult Update(const std::string &defs,
                                const std::string &from_to,
                                const std::string &update_list,
                                const std::string &list_arg = "update.txt") {
    dir_.Write("lib.defs", defs);
    dir_.Write("from_to.txt", from_to);
    dir_.Write("update.txt", update_list);
    return tov::test::RunProgram(
        dir_.path(), {kProgram, "-fromToList", "from_to.txt", "-updateFileList",
                      list_arg, "-murlib", "lib.defs"});
  }
  std::string Text(const std::string &name) {
    return ReadFile(dir_.Path("lib1/cell/view/" + name));
  }
  TempDir dir_;
};

TEST_F(CliInput, CarriageReturnsEndLinesInEveryList) {
  for (const char *end : {"\n", "\r\n"}) {
    SetUp();
    const std::string e = end;
    auto r = Update("# defs" + e + "library lib1 lib1" + e,
                    "b/. c/." + e + "a/. b/." + e,
                    "lib1.cell:view/f.txt" + e + "lib1.cell:view/g.txt" + e);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    // Renames apply in list order: b to c first, then a to b.
    EXPECT_EQ(Text("f.txt"), "b c\r\nx b\r\n");
    EXPECT_EQ(Text("g.txt"), "c\n");
  }
}

TEST_F(CliInput, FileNamedTwiceIsUpdatedOnce) {
  // Updated twice, the a that became b would then become c.
  auto r = Update("library lib1 lib1\n", "b/. c/.\na/. b/.\n",
                  "lib1.cell:view/f.txt\n"
                  "lib1.cell:view/./f.txt\r\n"
                  "  lib1.cell:view/f.txt  comment\n");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Text("f.txt"), "b c\r\nx b\r\n");
  const std::string path = dir_.Path("lib1/cell/view/f.txt");
  EXPECT_NE(r.err.find("tovupdtr: line 2 names the file of line 1 again (" +
                       path + "): not updated twice\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("tovupdtr: line 3 names the file of line 1 again"),
            std::string::npos)
      << r.err;
}

TEST_F(CliInput, ListLimits) {
  // The renames' new libraries are defined: no warning about them.
  // lib2 is defined, and its directory is missing.
  const std::string kDefsWithNewLibraries =
      "library lib1 lib1\nlibrary b b\nlibrary c c\nlibrary lib2 lib2\n";
  // Each row runs b to c, then a to b, on f.txt ("a b\r\nx a\r\n") and
  // g.txt ("b\n") with one update-file list (or from-to list).
  const std::string f_new = "b c\r\nx b\r\n", f_old = "a b\r\nx a\r\n";
  const std::string long_tail = std::string(70000, ' ') + "note";
  const std::string long_line =
      "tovupdtr: line 1 of the update-file list is longer than 65536 bytes: "
      "not used\n";
  struct Row {
    const char *what;
    std::string from_to;
    std::string update_list;
    std::string list_arg;  // -updateFileList's value ("-": update.txt on
                           // the standard input)
    int exit_code;
    std::string f, g;  // the files afterwards
    std::string err;   // a part of stderr
    bool whole_err;    // err is all of stderr
  };
  const std::string renames = "b/. c/.\na/. b/.\n";
  // No listed file holds an a.
  const std::string unmatched =
      "tovupdtr: warning: the rename a -> b matched nothing in any file\n";
  const std::vector<Row> rows = {
      {"a line too long fails alone", renames,
       "lib1.cell:view/g.txt" + long_tail + "\nlib1.cell:view/f.txt\n",
       "update.txt", 1, f_new, "b\n", long_line, false},
      {"a line too long does not claim its file", renames,
       "lib1.cell:view/f.txt" + long_tail + "\nlib1.cell:view/f.txt\n",
       "update.txt", 1, f_new, "b\n", long_line, true},
      {"a NUL byte ends no line and claims no file", renames,
       std::string("lib1.cell:view/f.txt\0 x\nlib1.cell:view/f.txt\n", 45),
       "update.txt", 1, f_new, "b\n",
       "tovupdtr: line 1 of the update-file list holds a NUL byte: not used\n",
       true},
      {"a directory is no list", renames, "lib1.cell:view/f.txt\n", "lib1", 3,
       f_old, "b\n",
       "tovupdtr: the update-file list lib1 is not a regular file\n", true},
#ifndef _WIN32
      {"a device is no list", renames, "lib1.cell:view/f.txt\n", "/dev/null", 3,
       f_old, "b\n",
       "tovupdtr: the update-file list /dev/null is not a regular file\n",
       true},
#endif
      {"- reads the standard input", renames, "lib1.cell:view/g.txt\n", "-", 0,
       f_old, "c\n", unmatched, true},
      {"an empty update-file list", renames, "", "update.txt", 3, f_old, "b\n",
       "tovupdtr: the update-file list update.txt is empty\n", true},
      {"an update-file list of blank lines", renames, "\n  \r\n", "update.txt",
       3, f_old, "b\n", "tovupdtr: the update-file list update.txt is empty\n",
       true},
      {"a missing library directory is said once", renames,
       "lib2.c:v/f.txt\nlib2.c:v/g.txt\nlib1.cell:view/g.txt\n", "update.txt",
       1, f_old, "c\n",
       " of the library lib2 does not exist: its listed files are not "
       "updated\n",
       false},
      {"an undefined library is said once", renames,
       "nolib.c:v/f.txt\nnolib.c:v/g.txt\nlib1.cell:view/g.txt\n", "update.txt",
       1, f_old, "c\n",
       "tovupdtr: the library nolib is not in the library definitions: its "
       "listed files are not updated\n" +
           unmatched,
       true},
      {"a new library the definitions do not hold", renames + "q/. newlib/.\n",
       "lib1.cell:view/g.txt\n", "update.txt", 0, f_old, "c\n",
       "tovupdtr: warning: the new library newlib is not in the library "
       "definitions lib.defs\n" +
           unmatched +
           "tovupdtr: warning: the rename q -> newlib matched nothing in any "
           "file\n",
       true},
      {"a name that one of its renames replaced is not said unmatched",
       "b.x/. c.y/.\nl.b/. l.z/.\n", "lib1.cell:view/g.txt\n", "update.txt", 0,
       f_old, "c\n",
       "tovupdtr: warning: the rename x -> y matched nothing in any file\n",
       true},
      {"past ten unmatched renames, the rest are counted",
       renames + "n1/. m1/.\nn2/. m2/.\nn3/. m3/.\nn4/. m4/.\nn5/. m5/.\n"
                 "n6/. m6/.\nn7/. m7/.\nn8/. m8/.\nn9/. m9/.\nn10/. m10/.\n"
                 "n11/. m11/.\n",
       "lib1.cell:view/g.txt\n", "update.txt", 0, f_old, "c\n",
       "tovupdtr: warning: the rename n9 -> m9 matched nothing in any file\n"
       "tovupdtr: warning: and 2 more renames matched nothing\n",
       false},
      {"an empty from-to list", "", "lib1.cell:view/f.txt\n", "update.txt", 3,
       f_old, "b\n",
       "tovupdtr: the from-to list from_to.txt is empty\n"
       "tovupdtr: the from-to list from_to.txt was not loaded\n",
       true},
  };
  for (const Row &row : rows) {
    SetUp();
    tov::test::ChildResult r;
    if (row.list_arg == "-") {
      dir_.Write("update.txt", row.update_list);
      // The child inherits this process's standard input.
#ifdef _WIN32
      const int saved = _dup(0);
      FILE *in = std::fopen(dir_.Path("update.txt").c_str(), "rb");
      ASSERT_NE(in, nullptr);
      _dup2(_fileno(in), 0);
      r = Update(kDefsWithNewLibraries, row.from_to, row.update_list, "-");
      _dup2(saved, 0);
      _close(saved);
      std::fclose(in);
#else
      const int saved = dup(0);
      const int in = open(dir_.Path("update.txt").c_str(), O_RDONLY);
      ASSERT_GE(in, 0);
      dup2(in, 0);
      r = Update(kDefsWithNewLibraries, row.from_to, row.update_list, "-");
      dup2(saved, 0);
      close(saved);
      close(in);
#endif
    } else {
      r = Update(kDefsWithNewLibraries, row.from_to, row.update_list,
                 row.list_arg);
    }
    EXPECT_EQ(r.exit_code, row.exit_code) << row.what << ": " << r.err;
    EXPECT_EQ(Text("f.txt"), row.f) << row.what;
    EXPECT_EQ(Text("g.txt"), row.g) << row.what;
    if (row.whole_err) {
      EXPECT_EQ(r.err, row.err) << row.what;
    } else {
      EXPECT_NE(r.err.find(row.err), std::string::npos) << row.what << r.err;
    }
  }
}

// Every file of the tree in `dir` and its bytes, the lists and reports left
// out: the libraries and their definitions.
std::map<std::string, std::string> TreeOf(const TempDir &dir) {
  std::map<std::string, std::string> files;
  for (const auto &e :
       std::filesystem::recursive_directory_iterator(dir.path())) {
    const std::string rel =
        std::filesystem::relative(e.path(), dir.path()).generic_string();
    if (e.is_regular_file() && rel.rfind("lib", 0) == 0) {
      files[rel] = ReadFile(e.path().string());
    }
  }
  return files;
}

// The files of whole libraries, and files given by their paths, against the
// same files listed by their references: two libraries, the second (which
// stores its names in LibraryUnix) referring to the first, a binary file and
// a hidden directory that a walk leaves alone.
TEST_F(CliInput, WholeLibrariesAndPathsEqualTheExplicitList) {
  namespace fs = std::filesystem;
#ifdef _WIN32
  const std::string cell2 = "c2";  // no ':' in a Windows file name
#else
  const std::string cell2 = "a:b";
#endif
  const std::string cell2_ref = cell2 == "a:b" ? "a#3ab" : cell2;
  // A layout with the structure `name`: HEADER, LIBNAME, BGNSTR, STRNAME,
  // ENDSTR, ENDLIB.
  const auto layout = [](const std::string &name) {
    return std::string("\0\6\0\2\2\x58\0\x08\2\6lib1\0\6\5\2\0\1", 20) +
           std::string{'\0',
                       static_cast<char>(4 + name.size() + name.size() % 2),
                       '\6', '\6'} +
           name + std::string(name.size() % 2, '\0') +
           std::string("\0\4\7\0\0\4\4\0", 8);
  };
  auto make_tree = [&](const TempDir &dir) {
    dir.Write("lib.defs", "library lib1 lib1\nlibrary lib2 lib2\n");
    dir.Write("from_to.txt", "a/. b/.\n");
    dir.Write("lib1/top.txt", "a\n");
    dir.Write("lib1/cell/g.txt", "x a\n");
    dir.Write("lib1/cell/view/f.txt", "a b\n");
    dir.Write("lib1/cell/view/sub/deep.txt", "(a)\n");
    dir.Write("lib1/cell/view/blob.bin", std::string("a\0a", 3));
    dir.Write("lib1/cell/layout/cell.gds", layout("a"));
    dir.Write("lib1/cell/layout/cell.oas", "%SEMI-OASIS\r\n a\n");
    dir.Write("lib1/.git/config", "a\n");
    dir.Write("lib2/.namespace", "LibraryUnix\n");
    dir.Write("lib2/" + cell2 + "/v/h.txt", "a lib1\n");
  };
  const auto tree_of = TreeOf;
  const std::string references =
      "lib1/top.txt\nlib1.cell/g.txt\nlib1.cell:layout/cell.gds\n"
      "lib1.cell:view/f.txt\n"
      "lib1.cell:view/sub/deep.txt\nlib2." +
      cell2_ref + ":v/h.txt\n";
  // The model: the files listed by their references.
  TempDir model_dir;
  make_tree(model_dir);
  model_dir.Write("update.txt", references);
  auto model_run = tov::test::RunProgram(
      model_dir.path(),
      {kProgram, "-fromToList", "from_to.txt", "-updateFileList", "update.txt",
       "-murlib", "lib.defs"});
  ASSERT_EQ(model_run.exit_code, 0) << model_run.err;
  std::map<std::string, std::string> model = tree_of(model_dir);
  ASSERT_EQ(model["lib1/cell/view/f.txt"], "b b\n");
  ASSERT_EQ(model["lib2/" + cell2 + "/v/h.txt"], "b lib1\n");
  ASSERT_EQ(model["lib1/cell/layout/cell.gds"], layout("b"));

  TempDir fresh;
  make_tree(fresh);
  const std::map<std::string, std::string> untouched = tree_of(fresh);
  struct Row {
    const char *what;
    std::string list;  // "" for none
    std::vector<std::string> args;
    int exit_code;
    bool changes;  // the tree ends as the model, or as it was
  };
  const Row rows[] = {
      {"every library", "", {"-updateAllLibraries"}, 0, true},
      {"both libraries named",
       "",
       {"-updateLibrary", "lib2", "-updateLibrary", "lib1"},
       0,
       true},
      {"paths, relative and absolute",
       "./lib1/top.txt\n" + fresh.path() +
           "/lib1/cell/g.txt note\n./lib1/cell/layout/cell.gds\n"
           "./lib1/../lib1/cell/view/f.txt\n./lib1/cell/view/sub/deep.txt\n"
           "./lib2/" +
           cell2 + "/v/h.txt\n",
       {},
       0,
       true},
      {"a walk and the same files listed",
       references,
       {"-updateLibrary", "lib1", "-updateLibrary", "lib2"},
       0,
       true},
      {"a dry run of a walk", "", {"-updateAllLibraries", "-dryRun"}, 0, false},
      {"a library not defined", "", {"-updateLibrary", "nolib"}, 3, false},
      {"a path in no library", "./lib.defs\n", {}, 1, false},
  };
  for (const Row &row : rows) {
    TempDir dir;
    make_tree(dir);
    std::vector<std::string> args = {kProgram,    "-fromToList", "from_to.txt",
                                     "-murlib",   "lib.defs",    "-report",
                                     "report.tsv"};
    if (!row.list.empty()) {
      // The absolute path of the row was written for `fresh`.
      std::string list = row.list;
      const size_t at = list.find(fresh.path());
      if (at != std::string::npos)
        list.replace(at, fresh.path().size(), dir.path());
      dir.Write("update.txt", list);
      args.insert(args.end(), {"-updateFileList", "update.txt"});
    }
    args.insert(args.end(), row.args.begin(), row.args.end());
    auto r = tov::test::RunProgram(dir.path(), args);
    EXPECT_EQ(r.exit_code, row.exit_code) << row.what << ": " << r.err;
    EXPECT_EQ(tree_of(dir), row.changes ? model : untouched) << row.what;
    if (row.exit_code == 0) {
      const std::string report = ReadFile(dir.Path("report.tsv"));
      const bool walks = row.list.empty() || row.args.size() > 2;
      EXPECT_EQ(
          report.find("\tskipped\t0\tlooks binary") != std::string::npos &&
              report.find("lib1.cell:view/blob.bin\t") != std::string::npos,
          walks)
          << row.what << report;
      EXPECT_EQ(
          report.find("cell.oas\tskipped\t0\tis an OASIS layout, a format "
                      "not supported yet") != std::string::npos,
          walks)
          << row.what << report;
      EXPECT_EQ(report.find(".git"), std::string::npos) << row.what << report;
    }
  }
}

// -copyLibrary and -renameCells against the trees they must make, written
// out here: the copy under its new directory names, its files updated, the
// definitions with the new library at their end (their comment kept), the
// old library as it was; the cell renamed in place and its files updated;
// and every way they cannot be made leaves the tree as it was.
TEST_F(CliInput, CopyLibraryMakesTheTreeTheModelSays) {
  auto make_tree = [](const TempDir &dir) {
    dir.Write("lib.defs", "# defs\nlibrary lib1 lib1\n");
    dir.Write("from_to.txt", "lib1.cell/. lib9.cell2/.\n");
    dir.Write("lib1/cell/view/f.txt", "cell lib1 a\n");
    dir.Write("lib1/cell/g.txt", "cell\n");
    dir.Write("lib1/other/view/h.txt", "x(cell)\n");
  };
  TempDir fresh;
  make_tree(fresh);
  const std::map<std::string, std::string> untouched = TreeOf(fresh);
  std::map<std::string, std::string> model = untouched;
  model["lib.defs"] = "# defs\nlibrary lib1 lib1\nlibrary lib9 lib9\n";
  model["lib9/cell2/view/f.txt"] = "cell2 lib9 a\n";
  model["lib9/cell2/g.txt"] = "cell2\n";
  model["lib9/other/view/h.txt"] = "x(cell2)\n";
  std::map<std::string, std::string> in_place = untouched;
  in_place.erase("lib1/cell/view/f.txt");
  in_place.erase("lib1/cell/g.txt");
  in_place["lib1/cell2/view/f.txt"] = "cell2 lib1 a\n";
  in_place["lib1/cell2/g.txt"] = "cell2\n";
  in_place["lib1/other/view/h.txt"] = "x(cell2)\n";
  enum Ends { kAsItWas, kCopied, kRenamedInPlace };
  struct Row {
    const char *what;
    std::vector<std::string> args;
    const char *before;  // a file written into the tree first ("": none)
    int exit_code;
    Ends ends;
  };
  const std::string copy = "-copyLibrary", rename = "-renameCells";
  const Row rows[] = {
      {"copy, rename and update",
       {copy, "lib1", "lib9", "lib9"},
       "",
       0,
       kCopied},
      {"a dry run", {copy, "lib1", "lib9", "lib9", "-dryRun"}, "", 0, kAsItWas},
      {"the target is there",
       {copy, "lib1", "lib9", "lib9"},
       "lib9/x.txt",
       3,
       kAsItWas},
      {"the new library is defined",
       {copy, "lib1", "lib9", "lib9"},
       "lib.defs",
       3,
       kAsItWas},
      {"the old library is not",
       {copy, "nolib", "lib9", "lib9"},
       "",
       3,
       kAsItWas},
      {"the copy cannot be made",
       {copy, "lib1", "lib9", "no/such/lib9"},
       "",
       3,
       kAsItWas},
      {"a renamed cell the old library holds",
       {copy, "lib1", "lib9", "lib9"},
       "lib1/cell2/y.txt",
       3,
       kAsItWas},
      {"a cell renamed in place", {rename, "lib1"}, "", 0, kRenamedInPlace},
      {"a dry run in place", {rename, "lib1", "-dryRun"}, "", 0, kAsItWas},
      {"a cell renamed in place onto one it holds",
       {rename, "lib1"},
       "lib1/cell2/y.txt",
       3,
       kAsItWas},
  };
  for (const Row &row : rows) {
    TempDir dir;
    make_tree(dir);
    if (row.args[0] == rename) {
      dir.Write("from_to.txt", "lib1.cell/. lib1.cell2/.\n");
    }
    std::map<std::string, std::string> expected = row.ends == kCopied ? model
                                                  : row.ends == kRenamedInPlace
                                                      ? in_place
                                                      : untouched;
    if (row.before[0] != '\0') {
      const std::string text =
          std::string(row.before) == "lib.defs"
              ? "# defs\nlibrary lib1 lib1\nlibrary lib9 q\n"
              : "y\n";
      dir.Write(row.before, text);
      expected[row.before] = text;
    }
    std::vector<std::string> args = {kProgram, "-fromToList", "from_to.txt",
                                     "-murlib", "lib.defs"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    auto r = tov::test::RunProgram(dir.path(), args);
    EXPECT_EQ(r.exit_code, row.exit_code) << row.what << ": " << r.err;
    EXPECT_EQ(TreeOf(dir), expected) << row.what;
    // Nothing half-made is left beside the tree either.
    for (const auto &e : std::filesystem::directory_iterator(dir.path())) {
      EXPECT_EQ(e.path().filename().string().find(".tov"), std::string::npos)
          << row.what << ": " << e.path();
    }
  }
#ifndef _WIN32
  // A library that stores its names in LibraryUnix gets its directories
  // renamed in that name space: the cell a:b (a#3ab in a reference) becomes
  // c:d, while the files, written in LibraryNT, name it c#3ad.
  TempDir dir;
  make_tree(dir);
  dir.Write("lib1/.namespace", "LibraryUnix\n");
  dir.Write("lib1/a:b/v/k.txt", "a#3ab\n");
  dir.Write("from_to.txt", "lib1.a#3ab/. lib9.c#3ad/.\n");
  auto r = tov::test::RunProgram(
      dir.path(), {kProgram, "-fromToList", "from_to.txt", "-murlib",
                   "lib.defs", "-copyLibrary", "lib1", "lib9", "lib9"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadFile(dir.Path("lib9/c:d/v/k.txt")), "c#3ad\n");
  EXPECT_EQ(ReadFile(dir.Path("lib1/a:b/v/k.txt")), "a#3ab\n");
  EXPECT_EQ(ReadFile(dir.Path("lib9/cell/g.txt")), "cell\n");
#endif
}

}  // namespace
