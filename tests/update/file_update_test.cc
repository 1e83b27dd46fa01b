#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "support/test_support.h"
#include "support/update_fixture.h"
#include "tovUpdtr.h"

namespace {

using tov::test::DesignTree;
using tov::test::LibRename;
using tov::test::ListOf;
using tov::test::Members;
using tov::test::Outcome;
using tov::test::ReadFile;
using tov::test::Update;
#ifndef _WIN32
using tov::test::RunAsUnprivileged;
#endif

#ifdef _WIN32
// The modification time, file index and attributes of `path`, which any
// write changes.
std::string Stamp(const std::string &path) {
  HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  BY_HANDLE_FILE_INFORMATION info = {};
  if (h != INVALID_HANDLE_VALUE) {
    GetFileInformationByHandle(h, &info);
    CloseHandle(h);
  }
  return std::to_string(info.ftLastWriteTime.dwHighDateTime) + "." +
         std::to_string(info.ftLastWriteTime.dwLowDateTime) + " " +
         std::to_string(info.nFileIndexHigh) + "." +
         std::to_string(info.nFileIndexLow) + " " +
         std::to_string(info.dwFileAttributes);
}

// Sets the modification time of `path` an hour back, so that a write shows.
void Backdate(const std::string &path) {
  std::filesystem::last_write_time(
      path,
      std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
}
#else
// The modification time, inode and mode of `path`, which any write changes.
std::string Stamp(const std::string &path) {
  struct stat st = {};
  stat(path.c_str(), &st);
  return std::to_string(st.st_mtim.tv_sec) + "." +
         std::to_string(st.st_mtim.tv_nsec) + " " + std::to_string(st.st_ino) +
         " " + std::to_string(st.st_mode & 07777);
}

// Sets the modification time of `path` an hour back, so that a write shows.
void Backdate(const std::string &path) {
  const time_t then = std::time(nullptr) - 3600;
  struct timeval times[2] = {{then, 0}, {then, 0}};
  utimes(path.c_str(), times);
}
#endif

class FileUpdate : public ::testing::Test {
 protected:
  DesignTree tree_;
};

TEST_F(FileUpdate, WorkedExampleAndTheEndsOfTheText) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib2")});
  Outcome o =
      tree_.Update("f.txt", "lib1/lib1.x lib10 mylib1 my_lib1 (lib1)", list);
  EXPECT_EQ(o.result, TOV_UPDATE_CHANGED);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.bytes, "lib2/lib2.x lib10 mylib1 my_lib1 (lib2)");
  o = tree_.Update("whole.txt", "lib1", list);
  EXPECT_EQ(o.result, TOV_UPDATE_CHANGED);
  EXPECT_EQ(o.bytes, "lib2");
  // Binary both ways: carriage returns stay.
  o = tree_.Update("crlf.txt", "lib1\r\nx\r\nlib1", list);
  EXPECT_EQ(o.result, TOV_UPDATE_CHANGED);
  EXPECT_EQ(o.bytes, "lib2\r\nx\r\nlib2");
}

TEST_F(FileUpdate, NulBytesAndWhatFollowsThemAreKept) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib22")});
  Outcome o =
      tree_.Update("f.bin", std::string("lib1\0lib1 x\0\0t lib1\0", 20), list);
  ASSERT_EQ(o.result, TOV_UPDATE_CHANGED);
  EXPECT_EQ(o.bytes, std::string("lib22\0lib22 x\0\0t lib22\0", 23));
}

TEST_F(FileUpdate, NothingToDoLeavesTheFileUntouched) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib2")});
  std::string empty = tree_.WriteFile("empty.txt", "");
  std::string other = tree_.WriteFile("other.txt", "lib10 xlib1");
  Backdate(empty);
  Backdate(other);
  const std::string empty_stamp = Stamp(empty), other_stamp = Stamp(other);
  Outcome o = Update(DesignTree::Reference("empty.txt"), list, 0, 7);
  EXPECT_EQ(o.result, TOV_UPDATE_UNCHANGED);
  EXPECT_EQ(o.err, "{#7 E Skiping Empty input file: " + empty + "}\n");
  // Each list is used while its mapping is loaded: a new mapping frees the
  // elements that the older lists point to.
  for (int i = 0; i < 3; ++i) {
    tovUpdtrRegexpList *l = i == 0 ? list : i == 1 ? ListOf({}) : nullptr;
    o = Update(DesignTree::Reference("other.txt"), l);
    EXPECT_EQ(o.result, TOV_UPDATE_UNCHANGED);
    EXPECT_EQ(o.err, "");
  }
  list = ListOf({LibRename("lib10", "lib11")});
  EXPECT_EQ(Update(DesignTree::Reference("other.txt"), list, TOV_UPDATE_DRY_RUN)
                .result,
            TOV_UPDATE_CHANGED);
  EXPECT_EQ(Stamp(empty), empty_stamp);
  EXPECT_EQ(Stamp(other), other_stamp);
  // The same name as old and new still counts as a change.
  list = ListOf({LibRename("lib10", "lib10")});
  EXPECT_EQ(Update(DesignTree::Reference("other.txt"), list).result,
            TOV_UPDATE_CHANGED);
}

#ifndef _WIN32
// Permission bits, an unprivileged user and a shell script as the check-out
// command: POSIX.  (windows_files_test.cc has the read-only attribute.)
TEST_F(FileUpdate, WriteProtectionIsTouchedOnlyWhenSomethingChanges) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib2")});
  std::string same = tree_.WriteFile("same.txt", "only lib10");
  std::string changed = tree_.WriteFile("changed.txt", "use lib1;");
  chmod(same.c_str(), 0444);
  chmod(changed.c_str(), 0444);
  Backdate(same);
  const std::string stamp = Stamp(same);
  tov::test::GiveToUnprivileged(tree_.dir().path());
  int rc = RunAsUnprivileged([&] {
    if (Update(DesignTree::Reference("same.txt"), list).result !=
        TOV_UPDATE_UNCHANGED) {
      return 1;
    }
    Outcome o = Update(DesignTree::Reference("changed.txt"), list);
    return o.result == TOV_UPDATE_CHANGED && o.err.empty() ? 0 : 2;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(Stamp(same), stamp);
  EXPECT_EQ(ReadFile(changed), "use lib2;");
  struct stat st = {};
  stat(changed.c_str(), &st);
  EXPECT_EQ(st.st_mode & 07777, 0644u);

  // Managed, and the check-out fails: the file stays as it was; the
  // check-out's reason (code 0) comes before the caller's line.
  std::string co = tree_.dir().Write("co.sh", "#!/bin/sh\nexit 1\n");
  chmod(co.c_str(), 0755);
  tree_.WriteFile("changed.txt", "use lib1;");
  chmod(changed.c_str(), 0444);
  tov::test::ScopedCheckoutCmd env(co.c_str());
  rc = RunAsUnprivileged([&] {
    Outcome o = Update(DesignTree::Reference("changed.txt"), list, 0, 3);
    return o.result == 0 && o.err == "{#0 W The check-out command for " +
                                         changed +
                                         " failed: exit status 1}\n"
                                         "{#3 E Problem encountered in making "
                                         "the file writeable: " +
                                         changed + "}\n"
               ? 0
               : 1;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ReadFile(changed), "use lib1;");
}

TEST_F(FileUpdate, CheckOutThatRewritesALargeFileIsFollowed) {
  // A large file is read before it is made writable: a check-out that
  // rewrites it in between (the same size with other words, or cut short)
  // has it updated as the check-out left it, never patched where the old
  // text had the names, and never read through a mapping that a file cut
  // short would turn into a signal.  Both paths: a piece at a time (a run of
  // plain names) and read whole (node by node).
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib2")});
  std::string before, fetched, want;
  while (before.size() < (1u << 20) + 100) {
    before += "lib1 a\n";
    fetched += "b lib1\n";
    want += "b lib2\n";
  }
  const std::string shorter = fetched.substr(0, 70);
  for (int flags : {0, TOV_UPDATE_NODE_BY_NODE}) {
    for (const std::string *checked_in :
         std::initializer_list<const std::string *>{&fetched, &shorter}) {
      const std::string path = tree_.WriteFile("big.v", before);
      const std::string source = tree_.dir().Write("fetched.v", *checked_in);
      chmod(path.c_str(), 0444);
      Backdate(path);
      std::string co =
          tree_.dir().Write("co.sh", "#!/bin/sh\nchmod u+w \"$1\" && cat " +
                                         source + " > \"$1\"\n");
      chmod(co.c_str(), 0755);
      tov::test::ScopedCheckoutCmd env(co.c_str());
      tov::test::GiveToUnprivileged(tree_.dir().path());
      const int rc = RunAsUnprivileged([&] {
        Outcome o = Update(DesignTree::Reference("big.v"), list, flags);
        return o.result == TOV_UPDATE_CHANGED && o.err.empty() ? 0 : 1;
      });
      EXPECT_EQ(rc, 0) << flags << " " << checked_in->size();
      EXPECT_TRUE(ReadFile(path) == want.substr(0, checked_in->size()))
          << flags << " " << checked_in->size();
    }
  }
}

#endif  // !_WIN32

TEST_F(FileUpdate, LineIsCutAfterItsReference) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib2")});
  tree_.WriteFile("f.txt", "lib1");
  std::string line = " \t" + DesignTree::Reference("f.txt") + " other\tx\n";
  // The call without flags says 1 for a file changed or left as it was.
  ASSERT_EQ(tovUpdtrRegexpUpdateFile(&line[0], 0, list, "LibraryNT"), 1);
  EXPECT_EQ(ReadFile(tree_.PathOf("f.txt")), "lib2");
  const size_t cut = 2 + DesignTree::Reference("f.txt").size();
  EXPECT_EQ(line[cut], '\0');
  EXPECT_EQ(line.substr(cut + 1), "other\tx\n");
  line = DesignTree::Reference("f.txt");
  EXPECT_EQ(tovUpdtrRegexpUpdateFile(&line[0], 0, list, "LibraryNT"), 1);
  for (const char *blank : {"", " \t \r\n"}) {
    Outcome o = Update(blank, list, 0, 5);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.err, "{#5 E strtok failed}\n");
  }
}

TEST_F(FileUpdate, ReferenceProblemsFailWithTheirMessages) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "lib2")});
  // The parse prints its own messages (with code 0), this call none.
  for (const std::string &bad :
       {std::string("lib1"), "lib1." + std::string(300, 'c') + ":v/f"}) {
    Outcome o = Update(bad, list, 0, 5);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.err.rfind("{#0 E ", 0), 0u) << o.err;
    EXPECT_EQ(o.err.find("{#5"), std::string::npos) << o.err;
  }
  Outcome o = Update("nolib.cell:view/f.txt", list, 0, 5);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.err,
            "{#5 E Problem encountered in getting path for "
            "LCVFentry:nolib.cell:view/f.txt}\n");
  o = Update(DesignTree::Reference("absent.txt"), list, 0, 5);
  EXPECT_EQ(o.err,
            "{#5 E Problem \"stat\"ing file: " + tree_.PathOf("absent.txt") +
                "}\n{#5 W No such file or directory}\n");
}

TEST_F(FileUpdate, IllegalNewNameFailsOnlyWhereTheOldNameOccurs) {
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "bad|name")});
  EXPECT_EQ(tree_.Update("without.txt", "lib10", list).result,
            TOV_UPDATE_UNCHANGED);
  Outcome o = tree_.Update("with.txt", "x lib1", list, 0, 2);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.err,
            "{#2 E The string bad|name is illegal in LibraryNT namespace }\n");
  EXPECT_EQ(o.bytes, "x lib1");
}

// The text may grow to twice the file size, less one byte for the NUL.
TEST_F(FileUpdate, TextThatOutgrowsItsBuffersLeavesTheFileAsItWas) {
  struct Case {
    const char *content;
    std::vector<Members> renames;
    std::string message;
  };
  const std::string kSpace =
      "Buffer space for reading and writing files inadequate";
  const Case cases[] = {
      // One byte, two for the new name with its NUL: no room.
      {"a", {LibRename("a", "bb")}, kSpace + ". Increase the scaling factor."},
      // 4 bytes give 8: "aaaaaa" fits, the two blanks after it do not.
      {"a  a", {LibRename("a", "aaaaaa")}, kSpace},
      // 6 bytes give 12: the new name fits, the rest " cccc" does not.
      {"a cccc",
       {LibRename("a", "bbbbbbbb")},
       kSpace + " for the rest of the file: " + tree_.PathOf("f.txt")},
      // Each node alone fits, both together do not.
      {"a b",
       {LibRename("a", "aaa"), LibRename("b", "bbb")},
       kSpace + ". Increase the scaling factor."},
  };
  for (const Case &c : cases) {
    tovUpdtrRegexpList *list = ListOf(c.renames);
    Outcome o = tree_.Update("f.txt", c.content, list, 0, 4);
    EXPECT_EQ(o.result, 0) << c.content;
    EXPECT_EQ(o.err, "{#4 E " + c.message + "}\n") << c.content;
    EXPECT_EQ(o.bytes, c.content);
  }
  // Twice the size less one still fits.
  Outcome o = tree_.Update(
      "f.txt", "a b", ListOf({LibRename("a", "aa"), LibRename("b", "bb")}));
  EXPECT_EQ(o.result, TOV_UPDATE_CHANGED);
  EXPECT_EQ(o.bytes, "aa bb");
}

// GDSII streams built record by record, lengths and padding computed here.
std::string Record(unsigned type, unsigned kind, const std::string &data) {
  const size_t n = 4 + data.size();
  return std::string{static_cast<char>(n >> 8), static_cast<char>(n & 0xff),
                     static_cast<char>(type), static_cast<char>(kind)} +
         data;
}
std::string Text(unsigned type, std::string text) {
  if (text.size() % 2 != 0) text += '\0';
  return Record(type, 6, text);
}
// `n` 2-byte (kind 2) or 4-byte (kind 3) integers counting up from `first`.
std::string Ints(unsigned type, unsigned kind, int n, int first = 1) {
  std::string data;
  const int bytes = kind == 3 ? 4 : 2;
  for (int i = 0; i < n; ++i) {
    for (int b = bytes - 1; b >= 0; --b) {
      data += static_cast<char>(((first + i) >> (8 * b)) & 0xff);
    }
  }
  return Record(type, kind, data);
}
std::string NoData(unsigned type) { return Record(type, 0, ""); }

// A library of two structures: `cell` (a box and the label "`cell` A") and
// "top", which places `cell` by SREF (with the property "`cell` x") and by
// AREF; `label` is the text of a second label of `cell`.
std::string Layout(const std::string &lib, const std::string &cell,
                   const std::string &label = "inv2 B",
                   const std::string &reflib = "lib1") {
  std::string s = Ints(0x00, 2, 1, 600) + Ints(0x01, 2, 12) + Text(0x02, lib) +
                  Text(0x1f, reflib + std::string(44 - reflib.size(), '\0') +
                                 std::string(44, '\0')) +
                  Record(0x03, 5, std::string(16, '\x3e'));
  s += Ints(0x05, 2, 12) + Text(0x06, cell) + NoData(0x08) + Ints(0x0d, 2, 1) +
       Ints(0x0e, 2, 1) + Ints(0x10, 3, 10) + NoData(0x11) + NoData(0x0c) +
       Ints(0x0d, 2, 1) + Ints(0x16, 2, 1) + Ints(0x10, 3, 2) +
       Text(0x19, cell + " A") + NoData(0x11) + NoData(0x0c) +
       Ints(0x0d, 2, 1) + Ints(0x16, 2, 1) + Ints(0x10, 3, 2) +
       Text(0x19, label) + NoData(0x11) + NoData(0x07);
  s += Ints(0x05, 2, 12) + Text(0x06, "top") + NoData(0x0a) + Text(0x12, cell) +
       Ints(0x10, 3, 2) + Ints(0x2b, 2, 1) + Text(0x2c, cell + " x") +
       NoData(0x11) + NoData(0x0b) + Text(0x12, cell) + Ints(0x13, 2, 2) +
       Ints(0x10, 3, 6) + NoData(0x11) + NoData(0x07) + NoData(0x04);
  return s;
}

// The strings of a layout are renamed by the rules of a text, each in its
// record, whose length and padding follow; every other byte stays.
TEST_F(FileUpdate, LayoutStringsAreRenamedInTheirRecords) {
  struct Case {
    const char *what;
    std::vector<Members> renames;
    std::string before, after;
  };
  const std::string at_limit(65530 - 5, 'x');
  const Case cases[] = {
      {"longer, odd to even",
       {LibRename("inv", "inv_1")},
       Layout("lib1", "inv"),
       Layout("lib1", "inv_1")},
      {"shorter, even to odd",
       {LibRename("inv_12", "i")},
       Layout("lib1", "inv_12"),
       Layout("lib1", "i")},
      {"the same length; inv2 is another word",
       {LibRename("inv", "buf")},
       Layout("lib1", "inv"),
       Layout("lib1", "buf")},
      {"a library, in LIBNAME and in a REFLIBS field",
       {LibRename("lib1", "library2")},
       Layout("lib1", "inv"),
       Layout("library2", "inv", "inv2 B", "library2")},
      {"one after the other",
       {LibRename("inv", "nand"), LibRename("nand", "nor")},
       Layout("lib1", "inv"),
       Layout("lib1", "nor")},
      {"a label of the longest length a record holds",
       {LibRename("inv2", "abcd")},
       Layout("lib1", "inv", at_limit + " inv2"),
       Layout("lib1", "inv", at_limit + " abcd")},
      {"a label with a newline in it",
       {LibRename("inv2", "nand2"), LibRename("inv", "nor")},
       Layout("lib1", "inv", "inv2\ninv\nB"),
       Layout("lib1", "nor", "nand2\nnor\nB")},
      {"NUL padding after ENDLIB",
       {LibRename("inv", "nor")},
       Layout("lib1", "inv") + std::string(10, '\0'),
       Layout("lib1", "nor") + std::string(10, '\0')},
  };
  for (const Case &c : cases) {
    for (const int flags : {0, TOV_UPDATE_NODE_BY_NODE}) {
      Outcome o = tree_.Update("cell.gds", c.before, ListOf(c.renames), flags);
      EXPECT_EQ(o.result, TOV_UPDATE_CHANGED) << c.what;
      EXPECT_EQ(o.err, "") << c.what;
      EXPECT_TRUE(o.bytes == c.after) << c.what;
    }
  }
  // A stream large enough to be read in pieces if it were a text.
  std::string big = Layout("lib1", "inv");
  const std::string big_label(60000, 'y');
  std::string renamed = Layout("lib1", "nand");
  const std::string tail = Text(0x19, big_label + " inv") + NoData(0x04);
  const std::string renamed_tail =
      Text(0x19, big_label + " nand") + NoData(0x04);
  big.resize(big.size() - 4);
  renamed.resize(renamed.size() - 4);
  for (int i = 0; i < 40; ++i) {
    big += tail.substr(0, tail.size() - 4);
    renamed += renamed_tail.substr(0, renamed_tail.size() - 4);
  }
  big += NoData(0x04);
  renamed += NoData(0x04);
  Outcome o =
      tree_.Update("big.gds", big, ListOf({LibRename("inv", "nand")}), 0);
  EXPECT_EQ(o.result, TOV_UPDATE_CHANGED);
  EXPECT_TRUE(o.bytes == renamed);
  // Nothing to rename: the file is not touched.
  const std::string path = tree_.WriteFile("same.gds", Layout("lib1", "inv"));
  Backdate(path);
  const std::string stamp = Stamp(path);
  EXPECT_EQ(Update(DesignTree::Reference("same.gds"),
                   ListOf({LibRename("nand", "nor")}))
                .result,
            TOV_UPDATE_UNCHANGED);
  EXPECT_EQ(Stamp(path), stamp);
}

// A stream that is not valid, one that a rename would make invalid, and
// the layout formats that are not updated yet fail with the file as it was.
TEST_F(FileUpdate, LayoutsThatCannotBeRenamedAreLeftAsTheyAre) {
  struct Case {
    std::string content;
    const char *old_name, *new_name;
    std::string message;  // after "{#3 E "; {} stands for the path
  };
  const std::string good = Layout("lib1", "inv");
  const std::string strname = Text(0x06, "inv");
  const size_t strname_at = good.find(strname);
  std::string odd = good, int2_name = good, short_record = good;
  odd[strname_at + 1] = 7;
  int2_name[strname_at + 3] = 2;
  short_record[strname_at + 1] = 2;
  const std::string at_limit(65530 - 5, 'x');
  const std::string long_lib(45, 'l');
  const std::string malformed = "The layout {} is not a valid GDSII stream (";
  const Case cases[] = {
      {good.substr(0, good.size() - 2), "inv", "nor",
       malformed + "at byte " + std::to_string(good.size() - 4) +
           ", the stream ends inside a record header): not updated"},
      {good.substr(0, good.size() - 4), "inv", "nor",
       malformed + "the stream ends before its ENDLIB record): not updated"},
      {good.substr(0, strname_at + 6), "inv", "nor",
       malformed + "at byte " + std::to_string(strname_at) +
           ", the stream ends inside a STRNAME record of 8 bytes): not "
           "updated"},
      {odd, "inv", "nor",
       malformed + "at byte " + std::to_string(strname_at) +
           ", a record of 7 bytes (a record has an even length of 4 bytes or "
           "more)): not updated"},
      {short_record, "inv", "nor",
       malformed + "at byte " + std::to_string(strname_at) +
           ", a record of 2 bytes (a record has an even length of 4 bytes or "
           "more)): not updated"},
      {int2_name, "inv", "nor",
       malformed + "at byte " + std::to_string(strname_at) +
           ", a STRNAME record of 8 bytes holding 2-byte integers instead of "
           "a string): not updated"},
      {std::string("\0\6\0\1", 4) + good.substr(4), "inv", "nor",
       malformed + "at byte 0, a HEADER record of 6 bytes holding bit arrays "
                   "instead of 2-byte integers): not updated"},
      {good + "x", "inv", "nor",
       malformed + "at byte " + std::to_string(good.size()) +
           ", bytes other than padding after the ENDLIB record): not "
           "updated"},
      {Layout("lib1", "inv", std::string("in\0v", 4)), "inv", "nor",
       malformed + "at byte " +
           std::to_string(good.find(Text(0x19, "inv2 B"))) +
           ", a STRING record whose string is followed by bytes other than "
           "padding): not updated"},
      {Layout("lib1", "inv", at_limit + " inv2"), "inv2", "abcde",
       "The renamed layout {} would not be a valid GDSII stream (at byte " +
           std::to_string(good.find(Text(0x19, "inv2 B"))) +
           ", the STRING record would hold the string \"" +
           std::string(64, 'x') +
           "\"... of 65531 bytes, where a record holds at most 65530): not "
           "updated"},
      {good, "lib1", long_lib.c_str(),
       "The renamed layout {} would not be a valid GDSII stream (at byte " +
           std::to_string(good.find(std::string("\0\x5c\x1f\x06", 4))) +
           ", the REFLIBS "
           "record would hold the string \"" +
           std::string(45, 'l') +
           "\" of 45 bytes, where a field holds at most 44): not updated"},
      {"%SEMI-OASIS\r\n\x01\x03" + good, "inv", "nor",
       "The file {} is an OASIS layout, a format not supported yet: not "
       "updated"},
      {"\x1f\x8b\x08\x00" + good, "inv", "nor",
       "The file {} is a compressed stream, a format not supported yet: not "
       "updated"},
  };
  for (const Case &c : cases) {
    const std::string path = tree_.PathOf("cell.gds");
    std::string message = c.message;
    message.replace(message.find("{}"), 2, path);
    Outcome o = tree_.Update("cell.gds", c.content,
                             ListOf({LibRename(c.old_name, c.new_name)}), 0, 3);
    EXPECT_EQ(o.result, 0) << message;
    EXPECT_EQ(o.err, "{#3 E " + message + "}\n");
    EXPECT_TRUE(o.bytes == c.content) << message;
  }
}

#ifndef _WIN32
// A file size limit (RLIMIT_FSIZE) makes the write fail: POSIX.
TEST_F(FileUpdate, WriteThatFailsHalfWayLeavesTheOriginal) {
  // A small file, and one large enough to be read a piece at a time and
  // written from a thread of its own: the write fails past the file size
  // limit, a little beyond the old size.
  tovUpdtrRegexpList *list = ListOf({LibRename("lib1", "library1")});
  for (const size_t words : {40, 1800000}) {
    std::string original;
    for (size_t i = 0; i < words; ++i) original += "lib1 ";
    std::string path = tree_.WriteFile("f.txt", original);
    auto child = tov::test::RunInChild([&] {
      signal(SIGXFSZ, SIG_IGN);
      const rlim_t size = original.size() + 56;  // it grows by 80 %
      struct rlimit limit = {size, size};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) std::_Exit(10);
      Outcome o = Update(DesignTree::Reference("f.txt"), list, 0, 6);
      std::fputs(o.err.c_str(), stderr);
      std::_Exit(o.result == 0 ? 0 : 11);
    });
    EXPECT_EQ(child.exit_code, 0) << words;
    EXPECT_EQ(child.err, "{#6 E Problem encountered Writing to the file: " +
                             path + "}\n{#6 W File too large}\n");
    EXPECT_TRUE(ReadFile(path) == original) << words;
    int entries = 0;  // the file and the tree's .keep, nothing left over
    for (const auto &entry : std::filesystem::directory_iterator(
             tree_.dir().Path("lib1/cell/view"))) {
      entries += entry.is_regular_file() ? 1 : 100;
    }
    EXPECT_EQ(entries, 2) << words;
  }
}

#endif  // !_WIN32

}  // namespace
