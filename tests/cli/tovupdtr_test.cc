// The tovupdtr program as a user runs it, on copies of the example design
// tree.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "diff_check.h"
#include "gtest/gtest.h"
#include "options.h"
#include "support/test_support.h"
#include "tovUpdtr.h"

namespace {

namespace fs = std::filesystem;
using tov::test::ApplyUnifiedDiff;
using tov::test::ReadFile;
using tov::test::SystemDiff;
using tov::test::TempDir;

const char kProgram[] = TOVUPDTR_PROGRAM;
const char kSourceDir[] = TOVUPDTR_SOURCE_DIR;

struct Outcome {
  int status = -1;  // exit status, -1 when it did not exit
  std::string out;
  std::string err;
};

// Runs `args` (args[0] is the program) in `dir` with `env` added to the
// environment; the standard output goes to a pipe, or to a terminal when
// `terminal`.
Outcome RunIn(const std::string &dir, const std::vector<std::string> &args,
              const std::vector<std::string> &env = {}, bool terminal = false) {
  Outcome run;
  TempDir scratch;
  const std::string out_path = scratch.Path("out"),
                    err_path = scratch.Path("err");
  int terminal_fd = -1;
  std::string terminal_name;
  if (terminal) {
    terminal_fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (terminal_fd < 0 || grantpt(terminal_fd) != 0 ||
        unlockpt(terminal_fd) != 0) {
      ADD_FAILURE() << "no pseudo-terminal";
      return run;
    }
    terminal_name = ptsname(terminal_fd);
  }
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int out = terminal ? open(terminal_name.c_str(), O_WRONLY)
                       : open(out_path.c_str(), O_WRONLY | O_CREAT, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT, 0600);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
        chdir(dir.c_str()) != 0) {
      _exit(127);
    }
    for (const std::string &e : env) putenv(const_cast<char *>(e.c_str()));
    std::vector<char *> argv;
    for (const std::string &a : args)
      argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int wstatus = 0;
  if (terminal) {
    // Read what the child writes while it runs, so that it never waits for
    // room on the terminal, then what is left once it has ended.
    fcntl(terminal_fd, F_SETFL, O_NONBLOCK);
    char chunk[4096];
    bool ended = false;
    while (true) {
      ssize_t n = read(terminal_fd, chunk, sizeof chunk);
      if (n > 0) {
        run.out.append(chunk, n);
        continue;
      }
      if (ended) break;
      ended = waitpid(pid, &wstatus, WNOHANG) == pid;
      if (!ended) usleep(10000);
    }
    close(terminal_fd);
  } else {
    waitpid(pid, &wstatus, 0);
  }
  if (WIFEXITED(wstatus)) run.status = WEXITSTATUS(wstatus);
  if (!terminal) run.out = ReadFile(out_path);
  run.err = ReadFile(err_path);
  return run;
}

// Every regular file below `root`, by its path relative to `root`, with its
// content.
std::map<std::string, std::string> Tree(const std::string &root) {
  std::map<std::string, std::string> files;
  for (const auto &entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    files[fs::relative(entry.path(), root).string()] =
        ReadFile(entry.path().string());
  }
  return files;
}

// A copy of examples/ in a temporary directory, and the command line that
// fixes it.
class Examples : public ::testing::Test {
 protected:
  Examples() {
    for (const char *copy : {"before", "work"}) {
      fs::copy(std::string(kSourceDir) + "/examples", dir_.Path(copy),
               fs::copy_options::recursive);
    }
  }

  std::string Work() const { return dir_.Path("work"); }
  std::string Before() const { return dir_.Path("before"); }

  // The program with the example's files and `extra` options.
  static std::vector<std::string> Command(
      const std::vector<std::string> &extra) {
    std::vector<std::string> args = {
        kProgram,          "-fromToList", "rename.ftl",
        "-updateFileList", "update.list", "-murlib",
        "lib.defs",        "-reason",     "rename"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  TempDir dir_;
};

TEST_F(Examples, DryRunDiffShowsExactlyWhatTheRealRunChanges) {
  const Outcome preview = RunIn(Work(), Command({"-dryRun", "-diff"}));
  ASSERT_EQ(preview.status, 0) << preview.err;
  EXPECT_EQ(preview.err, "");
  EXPECT_EQ(preview.out.find('\033'), std::string::npos) << "colour on a pipe";
  EXPECT_EQ(Tree(Work()), Tree(Before())) << "a dry run wrote";

  const Outcome real = RunIn(Work(), Command({}));
  ASSERT_EQ(real.status, 0) << real.err;
  const auto before = Tree(Before()), after = Tree(Work());
  std::set<std::string> changed;
  for (const auto &[name, content] : after) {
    if (before.at(name) != content) changed.insert(name);
  }
  ASSERT_EQ(changed.size(), 5u);
  // The layout: one line for each string that changes, none of them a
  // unified diff's line.
  const std::string layout = "libs/newLib/top/layout/layout.gds";
  const std::string lines =
      layout + ": library, LIBNAME: \"oldLib\" -> \"newLib\"\n" + layout +
      ": structure \"inv\", STRNAME: \"inv\" -> \"inv_x1\"\n" + layout +
      ": structure \"nand2\", STRNAME: \"nand2\" -> \"nand2_x1\"\n" + layout +
      ": structure \"top\", SNAME: \"nand2\" -> \"nand2_x1\"\n" + layout +
      ": structure \"top\", PROPVALUE: \"u1 oldLib/nand2\" -> \"u1 "
      "newLib/nand2_x1\"\n" +
      layout + ": structure \"top\", SNAME: \"inv\" -> \"inv_x1\"\n" + layout +
      ": structure \"top\", PROPVALUE: \"u2 u3 oldLib/inv\" -> \"u2 u3 "
      "newLib/inv_x1\"\n";
  EXPECT_NE(preview.out.find("would change: newLib.top:layout/layout.gds\n" +
                             lines + "tovupdtr: "),
            std::string::npos)
      << preview.out;
  changed.erase(layout);

  // The preview is, per file, a "would change" line and the diff; each diff
  // is what diff -u prints for the real change and patches the old file
  // into the new one.
  std::set<std::string> shown;
  size_t at = 0;
  while ((at = preview.out.find("\n--- ", at)) != std::string::npos) {
    const size_t label_start = at + 5;
    const size_t label_end = preview.out.find('\n', label_start);
    const std::string label =
        preview.out.substr(label_start, label_end - label_start);
    size_t end = preview.out.find("\nwould change: ", label_end);
    end =
        std::min(end, preview.out.find("\nlibs/newLib/top/layout/", label_end));
    if (end == std::string::npos)
      end = preview.out.find("\ntovupdtr: ", label_end);
    ASSERT_NE(end, std::string::npos);
    const std::string diff = preview.out.substr(at + 1, end - at);
    EXPECT_EQ(diff, SystemDiff(Before() + "/" + label, Work() + "/" + label,
                               label, label));
    std::string patched, why;
    ASSERT_TRUE(ApplyUnifiedDiff(before.at(label), diff, &patched, &why))
        << why;
    EXPECT_EQ(patched, after.at(label));
    shown.insert(label);
    at = end;
  }
  EXPECT_EQ(shown, changed);
  EXPECT_NE(preview.out.find("would change: newLib.top:spice/top.sp\n--- "
                             "libs/newLib/top/spice/top.sp\n"),
            std::string::npos);
  EXPECT_NE(preview.out.find("tovupdtr: 6 listed, 5 would change, 1 "
                             "unchanged, 0 failed\n"),
            std::string::npos);
}

TEST_F(Examples, ColourOnlyOnATerminalThatTakesIt) {
  const Outcome coloured =
      RunIn(Work(), Command({"-dryRun", "-diff"}), {}, true);
  EXPECT_EQ(coloured.status, 0) << coloured.err;
  EXPECT_NE(coloured.out.find("\033[31m-module inv (input A, output Y);"),
            std::string::npos);
  EXPECT_NE(coloured.out.find("\033[32m+module inv_x1 (input A, output Y);"),
            std::string::npos);
  const Outcome plain =
      RunIn(Work(), Command({"-dryRun", "-diff"}), {"NO_COLOR=1"}, true);
  EXPECT_EQ(plain.status, 0);
  EXPECT_NE(plain.out.find("-module inv (input A, output Y);"),
            std::string::npos);
  EXPECT_EQ(plain.out.find('\033'), std::string::npos);
}

TEST_F(Examples, QuietKeepsErrorsAndTheSummary) {
  {
    FILE *f = std::fopen((Work() + "/update.list").c_str(), "ab");
    ASSERT_NE(f, nullptr);
    std::fputs("newLib.top:schematic/missing.v\n", f);
    std::fputs("newLib.top:spice/top.sp\n", f);
    std::fclose(f);
  }
  const std::string error =
      "{#7 E Problem \"stat\"ing file: libs/newLib/top/schematic/missing.v}\n"
      "{#7 W No such file or directory}\n";
  const std::string summary =
      "tovupdtr: 8 listed, 5 would change, 2 unchanged, 1 failed\n";

  const Outcome loud = RunIn(Work(), Command({"-dryRun"}));
  EXPECT_EQ(loud.status, 1);
  const std::string note =
      "tovupdtr: line 8 names the file of line 2 again (" +
      fs::canonical(Work() + "/libs/newLib/top/spice/top.sp").string() +
      "): not updated twice\n";
  EXPECT_EQ(loud.err, error + note);
  EXPECT_NE(loud.out.find("would change: "), std::string::npos);

  const Outcome quiet = RunIn(Work(), Command({"-dryRun", "-quiet"}));
  EXPECT_EQ(quiet.status, 1);
  EXPECT_EQ(quiet.err, error);
  EXPECT_EQ(quiet.out, summary);

  // The diffs asked for stay.
  const Outcome diffs = RunIn(Work(), Command({"-dryRun", "-quiet", "-diff"}));
  EXPECT_EQ(diffs.err, error);
  EXPECT_EQ(diffs.out.find("would change: "), std::string::npos);
  EXPECT_NE(diffs.out.find("--- libs/newLib/inv_x1/schematic/netlist.v\n"),
            std::string::npos);
  EXPECT_EQ(diffs.out.substr(diffs.out.size() - summary.size()), summary);
}

TEST_F(Examples, AFromToListThatIsNotLoadedIsNamed) {
  // Each row is a from-to list with one bad line: the program names its
  // file and line and why, before the library loads it (which fails some
  // of them without a message of its own), and stops with nothing touched.
  struct Row {
    std::string list;
    std::vector<std::string> extra;
    const char *reason;
  };
  const Row rows[] = {
      {"newLib/. newLib/.\n",
       {},
       "same.ftl:1: the old and the new reference are the same (newLib/.): "
       "the line changes nothing"},
      {"\t newLib/.\t\r newLib/.\r\n",
       {},
       "same.ftl:1: the old and the new reference are the same (newLib/.): "
       "the line changes nothing"},
      {"newLib/. newLib/.\n",
       {"-level", "0"},
       "same.ftl:1: the old and the new reference are the same (newLib/.): "
       "the line changes nothing"},
      {"oldLib.inv/. newLib.inv_x1/.\n\noldLib.nand2/. newLib.nand2_x1/.\n",
       {},
       "same.ftl:2: a blank line: the from-to list has no blank lines"},
      {"oldLib.inv/. newLib.inv_x1/.\n \t\r\n",
       {},
       "same.ftl:2: a blank line: the from-to list has no blank lines"},
      {"oldLib.inv/. newLib.inv_x1/.\r\noldLib.nand2/.\r\n",
       {},
       "same.ftl:2: one reference (oldLib.nand2/.): a line needs an old and "
       "a new reference"},
      {"# cells renamed in the copy\noldLib.inv/. newLib.inv_x1/.\n",
       {},
       "same.ftl:1: a comment: the from-to list has no comments"},
      {std::string("oldLib.inv/. newLib.inv_x1/.\0\n", 31),
       {},
       "same.ftl:1: a NUL byte: the line cannot be read"},
  };
  for (const Row &row : rows) {
    FILE *f = std::fopen((Work() + "/same.ftl").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(row.list.data(), 1, row.list.size(), f);
    std::fclose(f);
    std::vector<std::string> args = Command(row.extra);
    args[2] = "same.ftl";
    for (bool quiet : {false, true}) {
      if (quiet) args.push_back("-quiet");
      const Outcome run = RunIn(Work(), args);
      EXPECT_EQ(run.status, 3) << row.reason;
      EXPECT_EQ(run.err, "tovupdtr: " + std::string(row.reason) +
                             "\ntovupdtr: the from-to list same.ftl was not "
                             "loaded\n");
      EXPECT_EQ(run.out, "") << row.reason;
    }
    std::filesystem::remove(Work() + "/same.ftl");
    EXPECT_EQ(Tree(Work()), Tree(Before())) << row.reason;
  }

  // Renames that form a cycle load, but would make the names of the cycle
  // one: refused before any file is read.
  FILE *f = std::fopen((Work() + "/same.ftl").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs(
      "newLib.inv_x1/. newLib.nand2_x1/.\n"
      "newLib.nand2_x1/. newLib.inv_x1/.\n",
      f);
  std::fclose(f);
  std::vector<std::string> args = Command({});
  args[2] = "same.ftl";
  const Outcome swap = RunIn(Work(), args);
  EXPECT_EQ(swap.status, 3);
  EXPECT_EQ(swap.err,
            "tovupdtr: the renames inv_x1 -> nand2_x1 -> inv_x1 form a cycle: "
            "applied one after the other they would make these names one\n");
  std::filesystem::remove(Work() + "/same.ftl");
  EXPECT_EQ(Tree(Work()), Tree(Before()));

  // A chain is applied, with a warning that says how it ends (none under
  // -quiet).
  f = std::fopen((Work() + "/same.ftl").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs(
      "newLib.inv_x1/. newLib.inv_x2/.\n"
      "newLib.inv_x2/. newLib.inv_x4/.\n",
      f);
  std::fclose(f);
  std::vector<std::string> preview = Command({"-dryRun"});
  preview[2] = "same.ftl";
  const std::string chain_warning =
      "tovupdtr: warning: the renames inv_x1 -> inv_x2 -> inv_x4 follow each "
      "other in the order of the from-to list: inv_x1 ends as inv_x4\n";
  EXPECT_NE(RunIn(Work(), preview).err.find(chain_warning), std::string::npos);
  preview.push_back("-quiet");
  EXPECT_EQ(RunIn(Work(), preview).err.find("follow each other"),
            std::string::npos);
  std::filesystem::remove(Work() + "/same.ftl");
  EXPECT_EQ(Tree(Work()), Tree(Before()));

  // Applied together, a swap swaps: each inv becomes nand2 and each nand2
  // inv, and a word that merely starts with one of them stays.
  f = std::fopen((Work() + "/same.ftl").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs("newLib.inv/. newLib.nand2/.\nnewLib.nand2/. newLib.inv/.\n", f);
  std::fclose(f);
  const std::string top = Work() + "/libs/newLib/top/spice/top.sp";
  const std::string before = ReadFile(top);
  std::string swapped, word;
  for (size_t i = 0; i <= before.size(); ++i) {
    const char c = i < before.size() ? before[i] : '\0';
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
      word += c;
      continue;
    }
    swapped += word == "inv" ? "nand2" : word == "nand2" ? "inv" : word;
    word.clear();
    if (i < before.size()) swapped += c;
  }
  ASSERT_NE(swapped, before);
  args.push_back("-simultaneous");
  const Outcome together = RunIn(Work(), args);
  EXPECT_EQ(together.status, 0) << together.err;
  EXPECT_EQ(ReadFile(top), swapped);
}

TEST_F(Examples, ReportHasOneRecordPerListedLine) {
  // Each row runs the example's renames on its own update-file list with
  // -report, on a fresh copy of the tree.
  const std::string top =
      "newLib.top:spice/top.sp\tlibs/newLib/top/spice/top.sp";
  struct Row {
    const char *what;
    std::string list;
    std::vector<std::string> extra;
    int status;
    std::string report;
  };
  const Row rows[] = {
      {"updated",
       "newLib.top:spice/top.sp note\n",
       {},
       0,
       top + "\tupdated\t7\t\n"},
      {"unchanged",
       "newLib.io#3apad:layout/pins.txt\n",
       {},
       0,
       "newLib.io#3apad:layout/pins.txt\tlibs/newLib/io#3apad/layout/"
       "pins.txt\tunchanged\t0\t\n"},
      {"failed",
       "\nnewLib.top:schematic/missing.v\n",
       {},
       1,
       "newLib.top:schematic/missing.v\tlibs/newLib/top/schematic/"
       "missing.v\tfailed\t0\tProblem \"stat\"ing file: "
       "libs/newLib/top/schematic/missing.v\n"},
      {"skipped",
       "newLib.top:spice/top.sp\nnewLib.top:spice/./top.sp\n",
       {},
       0,
       top + "\tupdated\t7\t\nnewLib.top:spice/./top.sp\t"
             "libs/newLib/top/spice/./top.sp\tskipped\t0\tnames the file of "
             "line 1 again\n"},
      {"dry run",
       "newLib.top:spice/top.sp\n",
       {"-dryRun", "-quiet"},
       0,
       top + "\twould-change\t7\t\n"},
  };
  for (const Row &row : rows) {
    fs::remove_all(Work());
    fs::copy(Before(), Work(), fs::copy_options::recursive);
    FILE *f = std::fopen((Work() + "/update.list").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs(row.list.c_str(), f);
    std::fclose(f);
    std::vector<std::string> extra = row.extra;
    extra.insert(extra.end(), {"-report", "out.tsv"});
    const Outcome run = RunIn(Work(), Command(extra));
    EXPECT_EQ(run.status, row.status) << row.what << ": " << run.err;
    EXPECT_EQ(ReadFile(Work() + "/out.tsv"), row.report) << row.what;
    const bool wrote = ReadFile(Work() + "/libs/newLib/top/spice/top.sp") !=
                       ReadFile(Before() + "/libs/newLib/top/spice/top.sp");
    EXPECT_EQ(wrote, row.report.find("\tupdated\t") != std::string::npos)
        << row.what;
  }
}

TEST_F(Examples, VersionAndHelp) {
  const Outcome version = RunIn(Work(), {kProgram, "-version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out,
            std::string("tovupdtr ") + TOVUPDTR_VERSION_STRING + "\n");
  EXPECT_EQ(version.err, "");
  EXPECT_STREQ(tovUpdtrGetVersion(), TOVUPDTR_VERSION_STRING);

  // The program's help on the standard output, before anything is read.
  for (const char *ask : {"-help", "-h"}) {
    const Outcome help = RunIn(Work(), Command({"-dryRun", ask}));
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, tov::cli::HelpText() + "\n");
    EXPECT_EQ(help.err, "");
  }
  EXPECT_EQ(Tree(Work()), Tree(Before()));
}

TEST_F(Examples, MistypedCommandLinesTouchNothing) {
  // Each row changes the example's command line; the program must stop
  // with status 2 and the reason before it reads or writes anything,
  // quiet or not.
  struct Row {
    std::vector<std::string> extra;
    size_t drop;  // an argument of the command left out (0: none)
    const char *reason;
  };
  const Row rows[] = {
      {{"-dryrun"}, 0, "unknown option -dryrun (did you mean -dryRun?)"},
      {{"-nodebynode"},
       0,
       "unknown option -nodebynode (did you mean -nodeByNode?)"},
      {{"-dryRun", "-murLib", "lib.defs"},
       0,
       "unknown option -murLib (did you mean -murlib?)"},
      {{"-folowLinks"},
       0,
       "unknown option -folowLinks (did you mean -followLinks?)"},
      {{"-extra"}, 0, "unknown option -extra"},
      {{"stray"}, 0, "unknown argument stray"},
      {{"-reason", "renam"},
       0,
       "-reason renam: the value must be copy|rename|renameRef"},
      {{"-renameRefOldToNew", "a"},
       0,
       "-renameRefOldToNew needs two values (OLD NEW)"},
      {{}, 5, "-murlib FILE is required"},
      {{"-updateType", "2"}, 0, ""},
  };
  for (const Row &row : rows) {
    for (bool quiet : {false, true}) {
      std::vector<std::string> args = Command(row.extra);
      if (row.drop != 0)
        args.erase(args.begin() + row.drop, args.begin() + row.drop + 2);
      if (quiet) args.push_back("-quiet");
      const Outcome run = RunIn(Work(), args);
      EXPECT_EQ(run.status, 2) << row.reason;
      if (row.reason[0] != '\0') {
        EXPECT_EQ(run.err, "tovupdtr: " + std::string(row.reason) +
                               "; see tovupdtr -help\n");
      }
      EXPECT_EQ(run.out, "") << row.reason;
      EXPECT_EQ(Tree(Work()), Tree(Before())) << row.reason;
    }
  }
}

// The manual page renders without a warning and has an entry for every
// option that the program's help lists.
TEST(ManPage, RendersAndCoversEveryOption) {
  if (std::system("command -v man > /dev/null 2>&1") != 0) {
    GTEST_SKIP() << "man is not installed";
  }
  TempDir dir;
  const std::string page = std::string(kSourceDir) + "/docs/tovupdtr.1";
  const std::string out = dir.Path("out"), err = dir.Path("err");
  const std::string command = "MANWIDTH=80 man --warnings -l '" + page +
                              "' > '" + out + "' 2> '" + err + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << ReadFile(err);
  EXPECT_EQ(ReadFile(err), "");
  const std::string text = ReadFile(out);
  for (const std::string &name : tov::cli::OptionNames()) {
    EXPECT_NE(text.find("\n       " + name), std::string::npos) << name;
  }
  for (const char *section : {"\nSYNOPSIS\n", "\nFILES\n", "\nEXIT STATUS\n",
                              "\nEXAMPLES\n", "\nENVIRONMENT\n"}) {
    EXPECT_NE(text.find(section), std::string::npos) << section;
  }
}

}  // namespace
