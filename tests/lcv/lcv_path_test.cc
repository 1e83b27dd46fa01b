// lcvGetPath through the real services: a definition file and library
// directories that record their name space, or none.
#include <cstdlib>
#include <string>
#include <utility>

#include "gtest/gtest.h"
#include "platform/platform.h"
#include "support/test_support.h"
#include "tovUpdtr.h"

namespace {

using tov::test::CaptureStderr;
using tov::test::TempDir;

class LcvGetPath : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Write("unix/.namespace", "LibraryUnix\n");
    dir_.Write("nt/.namespace", "LibraryNT\n");
    dir_.Write("other/.namespace", "libraryunix\n");
    dir_.Write("bare/cell/placeholder", "");
    dir_.Write("backslash/.namespace", "LibraryUnix\n");
    std::string defs = dir_.Write("lib.defs",
                                  "library unixlib unix\n"
                                  "library ntlib nt\n"
                                  "library otherlib other\n"
                                  "library barelib bare\n"
                                  "library a\\b backslash\n");
    char *argv[] = {const_cast<char *>("test"), nullptr};
    ASSERT_EQ(tovUpdtrInit(1, argv, defs.c_str(), "LibraryNT"), 1)
        << bevLastError();
  }

  // The path lcvGetPath gives ("<null>" for NULL), and what it printed.
  std::string Resolve(const std::string &lib, const std::string &cell,
                      const std::string &view, const std::string &file,
                      std::string *err = nullptr) {
    std::string path;
    std::string printed = CaptureStderr([&] {
      char *got =
          lcvGetPath(lib.c_str(), cell.c_str(), view.c_str(), file.c_str());
      path = got != nullptr ? got : "<null>";
      std::free(got);
    });
    if (err != nullptr) {
      *err = printed;
    } else {
      EXPECT_EQ(printed, "") << lib << " " << cell;
    }
    return path;
  }

  // dir/parts[0]/parts[1]... with the platform separator.
  std::string In(std::initializer_list<std::string> parts) {
    std::string out = dir_.path();
    for (const std::string &part : parts) {
      out += tov::platform::kDirSep + part;
    }
    return out;
  }

  static std::string CouldntMap(const std::string &name) {
    return "{#0 E Couldn't map " + name +
           " from LibraryNT to libraryUnix namespace.\n}\n";
  }

  TempDir dir_;
};

TEST_F(LcvGetPath, NamesAreConvertedAsTheLibraryDirectoryStoresThem) {
  EXPECT_EQ(Resolve("unixlib", "c#5c1", "v#2fw", "f#5c"),
            In({"unix", "c\\1", "v#2fw", "f#5c"}));
  // A name space other than exactly "LibraryUnix", or none: as written.
  for (auto [lib, dir] :
       {std::pair{"ntlib", "nt"}, std::pair{"otherlib", "other"},
        std::pair{"barelib", "bare"}}) {
    EXPECT_EQ(Resolve(lib, "c#5c1", "v#2fw", "f#5c"),
              In({dir, "c#5c1", "v#2fw", "f#5c"}));
  }
  // The library name is always converted.
  EXPECT_EQ(Resolve("a#5cb", "c", "v", "f"), In({"backslash", "c", "v", "f"}));
  EXPECT_EQ(Resolve("ntlib", "", "", ""), In({"nt"}));
  EXPECT_EQ(Resolve("unixlib", "cell", "", ""), In({"unix", "cell"}));
  // Bytes above 0x7F stand for themselves in both spaces.
  std::string high;
  for (int b = 0x80; b <= 0xFF; ++b) high.push_back(static_cast<char>(b));
  EXPECT_EQ(Resolve("unixlib", high, "v", "f"), In({"unix", high, "v", "f"}));
}

TEST_F(LcvGetPath, NamesIllegalInLibraryNTAreReportedWhereConverted) {
  std::string err;
  EXPECT_EQ(Resolve("a\\b", "c", "v", "f", &err), "<null>");
  EXPECT_EQ(err, CouldntMap("a\\b"));
  EXPECT_EQ(Resolve("unixlib", "c:1", "v", "f", &err), "<null>");
  EXPECT_EQ(err, CouldntMap("c:1"));
  EXPECT_EQ(Resolve("unixlib", "c", "v?", "f", &err), "<null>");
  EXPECT_EQ(err, CouldntMap("v?"));
  EXPECT_EQ(Resolve("ntlib", "c:1", "v?", "f"), In({"nt", "c:1", "v?", "f"}));
  EXPECT_EQ(Resolve("nolib", "c", "v", "f"), "<null>");  // silent
}

TEST_F(LcvGetPath, OverlongNamesAndPathsFailWithoutOverrun) {
  std::string every;  // each byte value 1-255 once
  for (int b = 1; b <= 255; ++b) every.push_back(static_cast<char>(b));
  std::string err;
  EXPECT_EQ(Resolve("unixlib", every, "v", "f", &err), "<null>");
  EXPECT_EQ(err, CouldntMap(every));
  EXPECT_EQ(Resolve(every, "c", "v", "f", &err), "<null>");
  EXPECT_EQ(err, CouldntMap(every));
  // Legal, but the path would not fit 260 bytes.
  EXPECT_EQ(Resolve("ntlib", every, "v", "f"), "<null>");
  std::string f(259 - In({"nt", "c", "v", ""}).size(), 'f');
  EXPECT_EQ(Resolve("ntlib", "c", "v", f), In({"nt", "c", "v", f}));
  EXPECT_EQ(Resolve("ntlib", "c", "v", f + "f"), "<null>");
  // A name that escapes to more than 259 bytes.
  std::string slashes;
  for (int i = 0; i < 87; ++i) slashes += "#2f";
  EXPECT_EQ(Resolve("unixlib", slashes, "v", "f", &err), "<null>");
  EXPECT_EQ(err, CouldntMap(slashes));
}

}  // namespace
