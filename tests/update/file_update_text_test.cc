// tovUpdtrRegexpUpdateFileText: the path and new text handed out for a
// preview must be exactly what a real run writes.
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "support/test_support.h"
#include "support/update_fixture.h"
#include "tovUpdtr.h"

namespace {

using tov::test::CaptureStderr;
using tov::test::DesignTree;
using tov::test::LibRename;
using tov::test::ListOf;
using tov::test::LoadMapping;
using tov::test::Members;
using tov::test::ReadFile;

// The bytes of a literal, NULs included.
template <size_t N>
std::string Bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

struct FreeDeleter {
  void operator()(char *p) const { std::free(p); }
};

// What one call handed out.
struct Handed {
  int result = -1;
  std::unique_ptr<char, FreeDeleter> path;
  std::unique_ptr<char, FreeDeleter> text;
  size_t length = 99;
  std::string err;
};

class FileUpdateText : public ::testing::Test {
 protected:
  // Calls the function on the reference of `name`; the outputs start out
  // holding garbage, so that a result that leaves them alone shows.
  Handed Call(const std::string &name, tovUpdtrRegexpList *list, int flags) {
    Handed h;
    std::string line = DesignTree::Reference(name) + "\n";
    char *path = reinterpret_cast<char *>(0x1);
    char *text = reinterpret_cast<char *>(0x1);
    h.err = CaptureStderr([&] {
      h.result = tovUpdtrRegexpUpdateFileText(&line[0], 0, list, "LibraryNT",
                                              flags, &path, &text, &h.length);
    });
    h.path.reset(path);
    h.text.reset(text);
    return h;
  }

  DesignTree tree_;
};

TEST_F(FileUpdateText, DryRunHandsOutWhatTheRealRunWrites) {
  tovUpdtrRegexpList *list =
      ListOf({LibRename("lib1", "lib_2"), LibRename("x", "yy")});
  const std::string before = Bytes("lib1 x\0lib1\r\nx lib10\n");
  const std::string path = tree_.WriteFile("f.v", before);

  Handed dry = Call("f.v", list, TOV_UPDATE_DRY_RUN);
  ASSERT_EQ(dry.result, TOV_UPDATE_CHANGED);
  EXPECT_EQ(dry.err, "");
  ASSERT_NE(dry.path, nullptr);
  EXPECT_EQ(std::string(dry.path.get()), path);
  ASSERT_NE(dry.text, nullptr);
  const std::string preview(dry.text.get(), dry.length);
  EXPECT_EQ(dry.text.get()[dry.length], '\0');
  EXPECT_EQ(ReadFile(path), before);  // a dry run writes nothing

  Handed real = Call("f.v", list, 0);
  ASSERT_EQ(real.result, TOV_UPDATE_CHANGED);
  EXPECT_EQ(ReadFile(path), preview);
  EXPECT_EQ(preview, Bytes("lib_2 yy\0lib_2\r\nyy lib10\n"));
  ASSERT_NE(real.text, nullptr);
  EXPECT_EQ(std::string(real.text.get(), real.length), preview);

  // A layout: the new stream, and one line for each string it renames.
  const std::string layout = Bytes(
      "\0\6\0\2\2\x58\0\x08\2\6lib1\0\6\5\2\0\1\0\6\6\6x\0"
      "\0\4\x0a\0\0\x08\x12\6lib1\0\4\x11\0\0\4\7\0\0\4\4\0");
  const std::string renamed = Bytes(
      "\0\6\0\2\2\x58\0\x0a\2\6lib_2\0\0\6\5\2\0\1\0\6\6\6yy"
      "\0\4\x0a\0\0\x0a\x12\6lib_2\0\0\4\x11\0\0\4\7\0\0\4\4\0");
  const std::string gds = tree_.WriteFile("f.gds", layout);
  dry = Call("f.gds", list, TOV_UPDATE_DRY_RUN);
  ASSERT_EQ(dry.result, TOV_UPDATE_CHANGED);
  ASSERT_NE(dry.text, nullptr);
  EXPECT_TRUE(std::string(dry.text.get(), dry.length) == renamed);
  EXPECT_EQ(ReadFile(gds), layout);
  std::unique_ptr<char, FreeDeleter> lines(tovUpdtrDescribeLayoutChange(
      layout.data(), layout.size(), dry.text.get(), dry.length));
  ASSERT_NE(lines, nullptr);
  EXPECT_STREQ(lines.get(),
               "library, LIBNAME: \"lib1\" -> \"lib_2\"\n"
               "structure \"x\", STRNAME: \"x\" -> \"yy\"\n"
               "structure \"x\", SNAME: \"lib1\" -> \"lib_2\"\n");
  EXPECT_EQ(Call("f.gds", list, 0).result, TOV_UPDATE_CHANGED);
  EXPECT_TRUE(ReadFile(gds) == renamed);
  // Streams that are not one renamed from the other are not described.
  EXPECT_EQ(tovUpdtrDescribeLayoutChange(layout.data(), layout.size(),
                                         preview.data(), preview.size()),
            nullptr);
  EXPECT_EQ(tovUpdtrDescribeLayoutChange(layout.data(), layout.size(),
                                         layout.data(), 30),
            nullptr);
}

TEST_F(FileUpdateText, LengthAloneIsThatOfTheNewText) {
  // Asked for the length without the text, small files and large ones
  // (which are not held in memory whole), in dry runs and real ones.
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib_2")});
  std::string large;
  while (large.size() < (2u << 20)) large += "lib1 lib10\n";
  for (const std::string &before : {std::string("lib1 x lib1"), large}) {
    const std::string path = tree_.WriteFile("f.v", before);
    // One more byte for each whole-word lib1.
    const size_t hits = before == large ? before.size() / 11 : 2;
    const size_t grown = before.size() + hits;
    for (int flags : {TOV_UPDATE_DRY_RUN, 0}) {
      std::string line = DesignTree::Reference("f.v");
      size_t length = 0;
      EXPECT_EQ(tovUpdtrRegexpUpdateFileText(&line[0], 0, list, "LibraryNT",
                                             flags, nullptr, nullptr, &length),
                TOV_UPDATE_CHANGED);
      EXPECT_EQ(length, flags == 0 ? ReadFile(path).size() : grown)
          << before.size() << " bytes, flags " << flags;
    }
    EXPECT_EQ(ReadFile(path).size(), grown);
  }
}

TEST_F(FileUpdateText, NoChangeOrFailureHandsOutNothing) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib2")});
  tree_.WriteFile("same.txt", "lib10 mylib1");
  tree_.WriteFile("empty.txt", "");
  for (const char *name : {"same.txt", "empty.txt", "missing.txt"}) {
    for (int flags : {0, TOV_UPDATE_DRY_RUN}) {
      Handed h = Call(name, list, flags);
      EXPECT_NE(h.result, TOV_UPDATE_CHANGED) << name;
      EXPECT_EQ(h.path, nullptr) << name;
      EXPECT_EQ(h.text, nullptr) << name;
      EXPECT_EQ(h.length, 0u) << name;
    }
  }
}

TEST_F(FileUpdateText, NullAddressesAreAllowed) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib2")});
  const std::string path = tree_.WriteFile("f.txt", "lib1");
  std::string line = DesignTree::Reference("f.txt");
  char *text = nullptr;
  EXPECT_EQ(
      tovUpdtrRegexpUpdateFileText(&line[0], 0, list, "LibraryNT",
                                   TOV_UPDATE_DRY_RUN, nullptr, &text, nullptr),
      TOV_UPDATE_CHANGED);
  std::unique_ptr<char, FreeDeleter> owned(text);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "lib2");
  line = DesignTree::Reference("f.txt");
  EXPECT_EQ(tovUpdtrRegexpUpdateFileText(&line[0], 0, list, "LibraryNT", 0,
                                         nullptr, nullptr, nullptr),
            TOV_UPDATE_CHANGED);
  EXPECT_EQ(ReadFile(path), "lib2");
}

}  // namespace
