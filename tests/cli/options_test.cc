#include "options.h"
#include "renames.h"

#include <filesystem>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "gtest/gtest.h"
#include "support/test_support.h"
#include "system.h"

namespace {

using tov::cli::AsksForHelp;
using tov::cli::HelpText;
using tov::cli::OptionNames;
using tov::cli::Options;
using tov::cli::TakeOwnOptions;
using tov::cli::sys::FileIdentity;
using tov::test::CaptureStderr;
using tov::test::TempDir;

using Args = std::vector<std::string>;

TEST(TakeOwnOptions, LeavesTheLibrarysOptionsInOrder) {
  Args args = {"tovupdtr", "-quiet",     "-fromToList", "f",       "-level",
               "2",        "-diff",      "-reason",     "rename",  "-x",
               "-dryRun",  "-nameSpace", "LibraryUnix", "-murlib", "m"};
  Options options;
  ASSERT_TRUE(TakeOwnOptions(&args, &options));
  EXPECT_EQ(args, (Args{"tovupdtr", "-fromToList", "f", "-reason", "rename",
                        "-x", "-murlib", "m"}));
  EXPECT_TRUE(options.quiet);
  EXPECT_TRUE(options.diff);
  EXPECT_TRUE(options.dry_run);
  EXPECT_EQ(options.level, 2);
  EXPECT_EQ(options.name_space, "LibraryUnix");
  EXPECT_FALSE(options.version);
  EXPECT_FALSE(options.case_sensitive);
}

TEST(TakeOwnOptions, RefusesMissingValuesBadValuesAndDiffWithoutDryRun) {
  struct Case {
    Args args;
    const char *message;
  };
  const std::vector<Case> cases = {
      {{"p", "-level"}, "tovupdtr: -level needs a value (0..4)\n"},
      {{"p", "-level", "5"}, "tovupdtr: -level 5: the value must be 0..4\n"},
      {{"p", "-updateType", "-1"},
       "tovupdtr: -updateType -1: the value must be 0|1\n"},
      {{"p", "-nameSpace", ""},
       "tovupdtr: -nameSpace : the value must be NS\n"},
      {{"p", "-diff", "-fromToList", "f"},
       "tovupdtr: -diff shows what a dry run would change: add -dryRun\n"},
  };
  for (const Case &c : cases) {
    Args args = c.args;
    Options options;
    bool taken = true;
    EXPECT_EQ(CaptureStderr([&] { taken = TakeOwnOptions(&args, &options); }),
              c.message);
    EXPECT_FALSE(taken) << c.message;
  }
  // -version answers whatever else the line holds.
  Args args = {"p", "-diff", "-version"};
  Options options;
  EXPECT_TRUE(TakeOwnOptions(&args, &options));
  EXPECT_TRUE(options.version);
}

TEST(AsksForHelp, SeesHOnlyWhereAnOptionIsExpected) {
  EXPECT_TRUE(AsksForHelp({"p", "-h"}));
  EXPECT_TRUE(AsksForHelp({"p", "-fromToList", "f", "-help"}));
  EXPECT_TRUE(AsksForHelp({"p", "-hx"}));
  EXPECT_FALSE(AsksForHelp({"p", "-H"}));
  EXPECT_FALSE(AsksForHelp({"p"}));
  // Values the library takes are not requests...
  EXPECT_FALSE(AsksForHelp({"p", "-renameRefOldToNew", "-h", "-hx"}));
  EXPECT_FALSE(AsksForHelp({"p", "-fromToList", "help"}));
  // ...but what the library does not take as a value is.
  EXPECT_TRUE(AsksForHelp({"p", "-renameRefOldToNew", "", "-h"}));
  EXPECT_TRUE(AsksForHelp({"p", "-reason", "-h"}));
  EXPECT_TRUE(AsksForHelp({"p", "-renameRefAllow", "-help"}));
  EXPECT_TRUE(AsksForHelp({"p", "-reason", "copy", "-h"}));
}

TEST(HelpText, ListsEveryOptionWithinEightyColumns) {
  const std::string help = HelpText();
  const std::vector<std::string> names = OptionNames();
  ASSERT_GE(names.size(), 16u);
  for (const std::string &name : names) {
    EXPECT_NE(help.find("\n  " + name + " "), std::string::npos) << name;
  }
  std::istringstream lines(help);
  std::string line;
  while (std::getline(lines, line)) {
    EXPECT_LE(line.size(), 79u) << line;
  }
}

// Files named twice in the update-file list are told apart by this key.
TEST(FileIdentity, OneForEveryNameOfAFileAndNoneForNoFile) {
  TempDir dir;
  const std::string f = dir.Write("d/f.txt", "f");
  const std::string g = dir.Write("d/g.txt", "f");
  std::error_code error;
  std::filesystem::create_hard_link(f, dir.Path("d/h.txt"), error);
  ASSERT_FALSE(error) << error.message();
  const std::string id = FileIdentity(f.c_str());
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(FileIdentity(dir.Path("d/h.txt").c_str()), id);
  EXPECT_EQ(FileIdentity(dir.Path("d/../d/./f.txt").c_str()), id);
  EXPECT_NE(FileIdentity(g.c_str()), id);
  EXPECT_EQ(FileIdentity(dir.Path("d/missing").c_str()), "");
  EXPECT_EQ(FileIdentity(nullptr), "");
}

// What renames applied one after the other, in list order, do to each
// other, against the names a text of all the old names ends with.
TEST(Renames, CyclesAreFoundAndChainsFollowTheOrder) {
  using tov::cli::Rename;
  using Names = std::vector<std::vector<std::string>>;
  struct Row {
    std::vector<Rename> renames;
    Names cycles;
    Names chains;
  };
  const Row rows[] = {
      // A swap and a ring: in order, every name of them ends as the first.
      {{{"nand2_1", "nor2_1"}, {"nor2_1", "nand2_1"}},
       {{"nand2_1", "nor2_1", "nand2_1"}},
       {{"nand2_1", "nor2_1", "nand2_1"}}},
      {{{"a", "b"}, {"b", "c"}, {"c", "a"}},
       {{"a", "b", "c", "a"}},
       {{"a", "b", "c", "a"}}},
      {{{"inv_1", "inv_2"}, {"inv_2", "inv_4"}},
       {},
       {{"inv_1", "inv_2", "inv_4"}}},
      // In the other order the second rename comes too late to follow.
      {{{"inv_2", "inv_4"}, {"inv_1", "inv_2"}}, {}, {}},
      {{{"a", "b"}, {"x", "y"}, {"b", "c"}, {"c", "d"}},
       {},
       {{"a", "b", "c", "d"}}},
      {{{"a", "a"}, {"p", "q"}}, {}, {}},
      // A cycle reached from a name outside it, and two paths that meet
      // without closing one.
      {{{"x", "a"}, {"a", "b"}, {"b", "a"}},
       {{"a", "b", "a"}},
       {{"x", "a", "b", "a"}}},
      {{{"a", "b"}, {"a", "c"}, {"b", "d"}, {"c", "d"}},
       {},
       {{"a", "b", "d"}, {"a", "c", "d"}}},
  };
  for (const Row &row : rows) {
    EXPECT_EQ(tov::cli::Cycles(row.renames), row.cycles);
    const Names chains = tov::cli::Chains(row.renames);
    EXPECT_EQ(chains, row.chains);
    // Each chain says what its first name ends as when every rename is
    // applied to a text in turn.
    for (const auto &chain : chains) {
      std::string name = chain.front();
      for (const Rename &r : row.renames) {
        if (name == r.from) name = r.to;
      }
      EXPECT_EQ(name, chain.back()) << tov::cli::Arrows(chain);
    }
  }
}

}  // namespace
