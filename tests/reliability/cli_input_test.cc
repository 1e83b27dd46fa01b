// The updater program on lists that another tool wrote: line ends of either
// kind in all three lists, and an update-file list that names one file more
// than once.
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
  tov::test::ChildResult Update(const std::string &defs,
                                const std::string &from_to,
                                const std::string &update_list) {
    dir_.Write("lib.defs", defs);
    dir_.Write("from_to.txt", from_to);
    dir_.Write("update.txt", update_list);
    return tov::test::RunProgram(
        dir_.path(), {kProgram, "-fromToList", "from_to.txt", "-updateFileList",
                      "update.txt", "-murlib", "lib.defs"});
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

}  // namespace
