#include "services/design_library/bev.h"

#include <array>
#include <string>

#include "gtest/gtest.h"
#include "platform/platform.h"
#include "support/test_support.h"
#include "tovUpdtr.h"

namespace {

using tov::test::CaptureStderr;
using tov::test::TempDir;

// `path` with the platform separator: the one the paths handed out have.
std::string Native(std::string path) {
  for (char &c : path) {
    if (c == '/') c = tov::platform::kDirSep;
  }
  return path;
}

// `parts` joined by the platform separator.
std::string Join(std::initializer_list<std::string> parts) {
  std::string out;
  for (const std::string &part : parts) {
    if (!out.empty()) out += tov::platform::kDirSep;
    out += part;
  }
  return out;
}

class Bev : public ::testing::Test {
 protected:
  // Writes `text` as the definition file `name` and reads it; bevInit must
  // print nothing, whatever the file holds.
  int Init(const std::string &text, const std::string &name = "lib.defs") {
    defs_ = dir_.Write(name, text);
    int rc = -1;
    EXPECT_EQ(CaptureStderr([&] { rc = bevInit(defs_.c_str(), 0, 0, 0, ""); }),
              "");
    return rc;
  }
  // The path bevGetPath gives, or "<none>".
  static std::string Path(const char *lib, const char *cell = nullptr,
                          const char *view = nullptr,
                          const char *file = nullptr) {
    char out[260];
    if (bevGetPath(0, 0, lib, cell, view, file, out, sizeof out) != 0) {
      return "<none>";
    }
    return out;
  }
  TempDir dir_;
  std::string defs_;
};

TEST_F(Bev, StatementsDefineLibraries) {
  dir_.Write("sub/more.defs", "library d d\n");
  ASSERT_EQ(Init("# comment\n"
                 "   \t# indented comment\n"
                 "\n"
                 "library  a\tlibs/a   \n"
                 "\tlibrary b /abs/b dir with blanks \t\r\n"
                 "library c ./c//\n"
                 "library a other/a\n"  // replaces the first a
                 "include sub/more.defs\n"
                 "library r /"),
            0)
      << bevLastError();
  EXPECT_STREQ(bevLastError(), "");
  EXPECT_EQ(Path("a"), dir_.Path("other/a"));
  EXPECT_EQ(Path("b"), Native("/abs/b dir with blanks"));
  EXPECT_EQ(Path("d"), dir_.Path("sub/d"));
  EXPECT_EQ(Path("c", "cell", "", "f"), Join({dir_.Path("./c"), "cell", "f"}));
  EXPECT_EQ(Path("r", "cell"), Native("/cell"));
  EXPECT_EQ(Path("b", nullptr, "v", "f.txt"),
            Native("/abs/b dir with blanks/v/f.txt"));
}

TEST_F(Bev, LibraryNamesAreComparedAsTheNamesTheySpell) {
  ASSERT_EQ(Init("library a#3Ab /x\n"), 0) << bevLastError();
  EXPECT_EQ(Path("a#3ab"), Native("/x"));
  EXPECT_EQ(Path("a:b"), Native("/x"));
  EXPECT_EQ(Path("a#2fb"), "<none>");
  EXPECT_EQ(Path("a/b"), "<none>");  // not a LibraryUnix name at all
  EXPECT_EQ(Path(""), "<none>");
  EXPECT_EQ(Path(nullptr), "<none>");
}

TEST_F(Bev, BadFilesAreRejectedWithFileLineAndReason) {
  const std::string n259(259, 'n');
  struct Case {
    std::string text, reason;
  } cases[] = {
      {"libary a b\n",
       ":1: unknown keyword \"libary\" (expected \"library\" or \"include\")"},
      {"\n\nlibrary\n", ":3: library: missing library name"},
      {"library a  \n", ":1: library a: missing directory"},
      {"include \t\n", ":1: include: missing file name"},
      {"library a/b d\n",
       ":1: library name \"a/b\" is not a legal LibraryUnix name"},
      {"library x#zz d\n",
       ":1: library name \"x#zz\" is not a legal LibraryUnix name"},
      {"library " + n259 + "n d\n", ":1: library name longer than 259 bytes"},
      {"# ok\n#" + std::string(4096, 'x'), ":2: line longer than 4096 bytes"},
      {std::string("\x7f"
                   "ELF\x02\x01\x01\0\0\0",
                   10),
       ":1: NUL byte in line: not a text file"},
      {"\x89PNG\r\n\x1a\n",
       ":1: unknown keyword \"\\x89PNG\" (expected \"library\" or "
       "\"include\")"},
      {"include none.defs\n", ":1: include \"" + dir_.Path("none.defs") +
                                  "\": cannot be opened: No such file or "
                                  "directory"},
  };
  for (const Case &c : cases) {
    EXPECT_NE(Init(c.text), 0) << c.reason;
    EXPECT_EQ(bevLastError(), defs_ + c.reason);
  }
  // The longest line and name that are accepted.
  EXPECT_EQ(Init("#" + std::string(4095, 'x') + "\nlibrary " + n259 + " d"), 0)
      << bevLastError();
  EXPECT_EQ(Path(n259.c_str()), dir_.Path("d"));
}

TEST_F(Bev, IncludeCyclesAndDepthAreBounded) {
  // The cycle is found however the path back is spelled.
  dir_.Write("b.defs", "include .//a.defs\n");
  EXPECT_NE(Init("include b.defs\n", "a.defs"), 0);
  // (The include's own spelling, after the directory of the file it is in.)
  EXPECT_EQ(bevLastError(), dir_.Path("b.defs") + ":1: include cycle: \"" +
                                dir_.path() + tov::platform::kDirSep +
                                ".//a.defs\" is already being read");
  EXPECT_NE(Init("include self.defs\n", "self.defs"), 0);

  // f0 includes f1 ... includes f<last>; f<last> defines the library.
  auto chain = [&](int last) {
    for (int i = 1; i <= last; ++i) {
      dir_.Write("f" + std::to_string(i),
                 i == last ? "library deep /d\n"
                           : "include f" + std::to_string(i + 1) + "\n");
    }
    return Init("include f1\n", "f0");
  };
  EXPECT_EQ(chain(32), 0) << bevLastError();
  EXPECT_EQ(Path("deep"), Native("/d"));
  EXPECT_NE(chain(33), 0);
  EXPECT_EQ(bevLastError(),
            dir_.Path("f32") + ":1: includes nested more than 32 deep");
}

TEST_F(Bev, UnreadableFilesAreRejectedAndKeepEarlierDefinitions) {
  ASSERT_EQ(Init("library old /old\n"), 0);
  EXPECT_NE(bevInit(dir_.Path("missing").c_str(), 0, 0, 0, ""), 0);
  EXPECT_EQ(
      bevLastError(),
      dir_.Path("missing") + ": cannot be opened: No such file or directory");
  EXPECT_NE(bevInit(dir_.path().c_str(), 0, 0, 0, ""), 0);  // a directory
  EXPECT_NE(bevInit(nullptr, 0, 0, 0, ""), 0);
  EXPECT_STRNE(bevLastError(), "");
  EXPECT_EQ(Path("old"), Native("/old"));
  // A file that is read replaces every definition.
  ASSERT_EQ(Init("library new /new\n"), 0);
  EXPECT_EQ(Path("old"), "<none>");
  EXPECT_EQ(Path("new"), Native("/new"));
}

TEST_F(Bev, PathMustFitTheGivenSize) {
  ASSERT_EQ(Init("library a /d\n"), 0);
  std::array<char, 16> out;
  out.fill('@');
  EXPECT_EQ(bevGetPath(0, 0, "a", "c", "v", "f", out.data(), 8), kBevTooLong);
  EXPECT_EQ(out[0], '@');  // nothing written on failure
  EXPECT_EQ(bevGetPath(0, 0, "a", "c", "v", "f", out.data(), 9), 0);
  EXPECT_EQ(out.data(), Native("/d/c/v/f"));
  EXPECT_EQ(out[9], '@');
  EXPECT_EQ(bevGetPath(0, 0, "b", "c", "v", "f", out.data(), 9), kBevNoLibrary);
  EXPECT_NE(bevGetPath(0, 0, "a", nullptr, nullptr, nullptr, out.data(), 0), 0);
}

TEST_F(Bev, NameSpaceIsTheTrimmedFirstLine) {
  struct Case {
    std::string content;
    const char *want;  // NULL: none recorded
  } cases[] = {
      {"", nullptr},
      {"\nLibraryUnix\n", nullptr},
      {" \t\r\n", nullptr},
      {"  LibraryUnix \t\r\nLibraryNT\n", "LibraryUnix"},
      {"LibraryNT", "LibraryNT"},
      {std::string("Lib\0NT\n", 7), nullptr},
      {std::string(255, 'x'), nullptr},  // replaced below
      {std::string(256, 'x'), nullptr},
  };
  std::string longest(255, 'x');
  cases[6].want = longest.c_str();
  for (const Case &c : cases) {
    dir_.Write("lib/.namespace", c.content);
    const char *got = daxGetNameSpace(dir_.Path("lib").c_str());
    if (c.want == nullptr) {
      EXPECT_EQ(got, nullptr) << c.content;
    } else {
      ASSERT_NE(got, nullptr) << c.content;
      EXPECT_STREQ(got, c.want);
    }
  }
  dir_.Write("lib/.namespace", "LibraryNT\n");
  EXPECT_STREQ(daxGetNameSpace((dir_.Path("lib") + "/").c_str()), "LibraryNT");
  EXPECT_EQ(daxGetNameSpace(dir_.Path("none").c_str()), nullptr);
  EXPECT_EQ(daxGetNameSpace(nullptr), nullptr);
}

TEST(MurCanonicalizeDirSep, MakesSeparatorsThePlatformsOwn) {
  char path[] = "a/b\\c/";
  murCanonicalizeDirSep(path);
  EXPECT_STREQ(path, tov::platform::kDirSep == '/' ? "a/b\\c/" : "a\\b\\c\\");
  murCanonicalizeDirSep(nullptr);
}

}  // namespace
