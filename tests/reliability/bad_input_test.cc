// Bad input: lines, names and paths at and past every buffer they meet,
// every byte value in names and in file texts.  Nothing may be written past
// a buffer (the AddressSanitizer build watches), and every input either
// works as for a short, plain one or is refused with a message.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "support/reliability_util.h"
#include "support/test_support.h"
#include "support/update_fixture.h"
#include "tovUpdtr.h"

namespace {

using tov::test::CaptureStderr;
using tov::test::DesignTree;
using tov::test::LibRename;
using tov::test::LoadList;
using tov::test::LoadMapping;
using tov::test::Outcome;
using tov::test::ReadFile;
using tov::test::TempDir;
using tov::test::Update;

bool IsWordByte(int b) {
  return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') ||
         (b >= '0' && b <= '9') || b == '_';
}

// The expression list of the mapping loaded last, with what it printed.
tovUpdtrRegexpList *GenList(int update_type, std::string *err) {
  tovUpdtrRegexpList *list = nullptr;
  *err = CaptureStderr(
      [&] { list = tovUpdtrGenRegexpList(update_type, "LibraryNT"); });
  return list;
}

TEST(BadInput, FromToLinesAtAndPastTheLineBuffer) {
  TempDir dir;
  // One read takes 1039 characters; the rest of a longer line is read as a
  // line of its own, which here never holds two references.
  const std::string head = "a/. b/";
  for (size_t length :
       {1037u, 1038u, 1039u, 1040u, 1041u, 2078u, 2079u, 2080u, 100000u}) {
    for (bool newline : {true, false}) {
      SCOPED_TRACE(std::to_string(length) + (newline ? " and a newline" : ""));
      const std::string file_part(length - head.size(), 'f');
      const std::string line = head + file_part + (newline ? "\n" : "");
      Outcome o = LoadList(dir, line, 3);
      const bool whole = length < 1039 || (length == 1039 && !newline);
      if (whole) {
        EXPECT_EQ(o.result, LCV_FILE_CHANGED) << o.err;
        EXPECT_EQ(o.err, "");
        ASSERT_NE(tovUpdtrHashStartGen(), nullptr);
        const tovUpdtrHashElement *e = tovUpdtrHashNext();
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->toFile, file_part);
      } else {
        EXPECT_EQ(o.result, LCV_ERROR);
        EXPECT_NE(o.err, "");
      }
    }
  }
}

TEST(BadInput, ReferenceComponentsAtAndPastTheirBuffers) {
  DesignTree tree;
  LoadMapping({LibRename("lib1", "lib2")});
  tovUpdtrRegexpList *list = tovUpdtrGenRegexpList(0, "LibraryNT");
  // Each component of an update reference has 260 bytes: 259 characters.
  const std::string n259(259, 'n'), n260(260, 'n'), n5000(5000, 'n');
  struct Case {
    std::string reference;
    std::string err;
  };
  const Case cases[] = {
      {n259 + ".c:v/f",
       "{#3 E Problem encountered in getting path for "
       "LCVFentry:" +
           n259 + ".c:v/f}\n"},
      {n260 + ".c:v/f", "{#0 E Lib name longer than 259 characters in LCV: " +
                            n260 + ".c:v/f}\n"},
      {"lib1." + n260 + ":v/f",
       "{#0 E Cell name longer than 259 characters in LCV: lib1." + n260 +
           ":v/f}\n"},
      {"lib1.c:" + n260 + "/f",
       "{#0 E View name longer than 259 characters in LCV: lib1.c:" + n260 +
           "/f}\n"},
      {"lib1.c:v/" + n260,
       "{#0 E File name longer than 259 characters in LCV: lib1.c:v/" + n260 +
           "}\n"},
  };
  for (const Case &c : cases) {
    Outcome o = Update(c.reference, list, 0, 3);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.err, c.err);
  }
  // A reference far longer than the message buffer: the message is cut.
  Outcome o = Update("lib1.c:v/" + n5000, list, 0, 3);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.err.size(), std::strlen("{#0 E }\n") + sizeof tovUpdtrErrBuf - 1);

  // The resolved path has 260 bytes: 259 characters with its terminator.
  const std::string view = tree.dir().Path("lib1/cell/view/");
  for (size_t length = 257; length <= 261; ++length) {
    const std::string name(length - view.size(), 'g');
    tree.WriteFile(name, "lib1");
    Outcome r = Update(DesignTree::Reference(name), list, 0, 3);
    if (length <= 259) {
      EXPECT_EQ(r.result, TOV_UPDATE_CHANGED) << length << r.err;
      EXPECT_EQ(ReadFile(view + name), "lib2");
    } else {
      EXPECT_EQ(r.result, 0) << length;
      EXPECT_EQ(r.err,
                "{#3 E Problem encountered in getting path for LCVFentry:" +
                    DesignTree::Reference(name) + "}\n");
      EXPECT_EQ(ReadFile(view + name), "lib1");
    }
  }
}

TEST(BadInput, OldAndNewNamesAtAndPastTheirLimits) {
  DesignTree tree;
  // The pattern buffer leaves 223 characters for an old name under update
  // type 0 and 225 under type 1.
  for (int type : {0, 1}) {
    const size_t longest = type == 0 ? 223 : 225;
    for (size_t length : {longest, longest + 1, size_t{259}, size_t{260}}) {
      const std::string old_name(length, 'o');
      LoadMapping({LibRename(old_name.c_str(), "new")});
      std::string err;
      tovUpdtrRegexpList *list = GenList(type, &err);
      if (length <= longest) {
        ASSERT_NE(list, nullptr) << err;
        tree.WriteFile("f.txt", "x " + old_name + " y");
        EXPECT_EQ(Update(DesignTree::Reference("f.txt"), list).result,
                  TOV_UPDATE_CHANGED);
        EXPECT_EQ(ReadFile(tree.PathOf("f.txt")), "x new y");
      } else if (length < 260) {
        EXPECT_EQ(list, nullptr);
        EXPECT_EQ(err, "{#0 E The name " + old_name +
                           " is too long for a regular expression (at most " +
                           std::to_string(longest) + " characters)}\n");
      } else {
        // Too long for the name-mapping service already.
        EXPECT_EQ(list, nullptr);
        EXPECT_EQ(err, "{#0 E The string " + old_name +
                           " is illegal in LibraryNT namespace }\n");
      }
    }
  }
  // A new name is converted into a 260-byte buffer: 259 characters.
  const std::string padding(600, ' ');
  for (size_t length : {259u, 260u}) {
    const std::string new_name(length, 'w');
    LoadMapping({LibRename("lib1", new_name.c_str())});
    tovUpdtrRegexpList *list = tovUpdtrGenRegexpList(0, "LibraryNT");
    tree.WriteFile("f.txt", "lib1" + padding);
    Outcome o = Update(DesignTree::Reference("f.txt"), list, 0, 5);
    if (length == 259) {
      EXPECT_EQ(o.result, TOV_UPDATE_CHANGED) << o.err;
      EXPECT_EQ(ReadFile(tree.PathOf("f.txt")), new_name + padding);
    } else {
      EXPECT_EQ(o.result, 0);
      EXPECT_EQ(o.err, "{#5 E The string " + new_name +
                           " is illegal in LibraryNT namespace }\n");
      EXPECT_EQ(ReadFile(tree.PathOf("f.txt")), "lib1" + padding);
    }
  }
}

TEST(BadInput, LibraryDefinitionLinesAndNamesAtTheirLimits) {
  TempDir dir;
  const std::string good = dir.Write("good.defs", "library lib1 lib1\n");
  // "library x " and a directory: 4096 bytes in all, then one more.
  for (size_t length : {4096u, 4097u}) {
    const std::string line = "library x " + std::string(length - 10, 'd');
    const std::string defs = dir.Write("long.defs", line + "\r\n");
    ASSERT_EQ(tovUpdtrInit(0, nullptr, good.c_str(), "LibraryNT"), 1);
    const int rc = tovUpdtrInit(0, nullptr, defs.c_str(), "LibraryNT");
    if (length == 4096) {
      EXPECT_EQ(rc, 1) << bevLastError();
    } else {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(std::string(bevLastError()),
                defs + ":1: line longer than 4096 bytes");
    }
  }
  for (size_t length : {259u, 260u}) {
    const std::string name(length, 'n');
    const std::string defs = dir.Write("name.defs", "library " + name + " d\n");
    const int rc = tovUpdtrInit(0, nullptr, defs.c_str(), "LibraryNT");
    if (length == 259) {
      EXPECT_EQ(rc, 1) << bevLastError();
    } else {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(std::string(bevLastError()),
                defs + ":1: library name longer than 259 bytes");
    }
  }
}

// Every byte value around an old name in a file: the name is replaced where
// the bytes on either side are no word bytes of the update type, and every
// other byte, NUL included, is kept.
TEST(BadInput, EveryByteValueInAFileText) {
  DesignTree tree;
  for (int type : {0, 1}) {
    for (int flags : {0, TOV_UPDATE_NODE_BY_NODE}) {
      SCOPED_TRACE("update type " + std::to_string(type) + ", flags " +
                   std::to_string(flags));
      LoadMapping({LibRename("lib1", "library2")});
      tovUpdtrRegexpList *list = tovUpdtrGenRegexpList(type, "LibraryNT");
      ASSERT_NE(list, nullptr);
      // A byte may stand before a name under type 1 if it is a digit; after
      // it, never if it is a dollar sign.
      auto before_ok = [&](int b) {
        return type == 0 ? !IsWordByte(b)
                         : !IsWordByte(b) || (b >= '0' && b <= '9');
      };
      auto after_ok = [&](int b) {
        return type == 0 ? !IsWordByte(b) : !IsWordByte(b) && b != '$';
      };
      std::string text, expected;
      for (int b = 0; b <= 255; ++b) {
        const char c = static_cast<char>(b);
        text += std::string(" lib1") + c + " ";
        expected +=
            std::string(" ") + (after_ok(b) ? "library2" : "lib1") + c + " ";
        text += std::string(" ") + c + "lib1 ";
        expected +=
            std::string(" ") + c + (before_ok(b) ? "library2" : "lib1") + " ";
      }
      tree.WriteFile("bytes.bin", text);
      Outcome o = Update(DesignTree::Reference("bytes.bin"), list, flags);
      EXPECT_EQ(o.result, TOV_UPDATE_CHANGED) << o.err;
      EXPECT_EQ(ReadFile(tree.PathOf("bytes.bin")), expected);
    }
  }
}

// Every byte value inside an old library name, through the whole chain of
// load, expression list and update.  Bytes that the name space escapes are
// refused when the list is built; bytes with a meaning in the expression
// dialect keep it; every other byte is a name byte like a letter.
TEST(BadInput, EveryByteValueInAName) {
  DesignTree tree;
  TempDir dir;
  const std::string escaped = "#<>:\"\\|?*";
  const std::string dialect = "()[]*+?^$|\\";
  int replaced = 0, illegal = 0;
  for (int b = 1; b <= 255; ++b) {
    const char c = static_cast<char>(b);
    // These end a reference or a component of it.
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '/' ||
        c == '.') {
      continue;
    }
    SCOPED_TRACE("byte " + std::to_string(b));
    const std::string old_name = std::string("n") + c + "m";
    const std::string new_name = std::string("q") + c + "r";
    Outcome load = LoadList(dir, old_name + "/. " + new_name + "/.\r\n", 4);
    ASSERT_EQ(load.result, LCV_LIB_CHANGED) << load.err;
    std::string err;
    tovUpdtrRegexpList *list = GenList(0, &err);
    const std::string text = "x " + old_name + " y";
    tree.WriteFile("f.txt", text);
    if (b < 0x20 || b == 0x7f || escaped.find(c) != std::string::npos) {
      EXPECT_EQ(list, nullptr);
      EXPECT_EQ(err, "{#0 E The string " + old_name +
                         " is illegal in LibraryNT namespace }\n");
      ++illegal;
      continue;
    }
    if (list == nullptr) {
      // A pattern the dialect cannot read: refused, as the expression list
      // refuses it, without a message.
      EXPECT_NE(dialect.find(c), std::string::npos);
      continue;
    }
    Outcome o = Update(DesignTree::Reference("f.txt"), list);
    if (dialect.find(c) != std::string::npos) {
      // The byte acts in the expression: whatever it finds, nothing beyond
      // the file changes and the update ends.
      EXPECT_NE(o.result, 0) << o.err;
      continue;
    }
    EXPECT_EQ(o.result, TOV_UPDATE_CHANGED) << o.err;
    EXPECT_EQ(ReadFile(tree.PathOf("f.txt")), "x " + new_name + " y");
    ++replaced;
  }
  // Of the 249 bytes tried, 38 are written escaped in "LibraryNT" (28
  // control bytes, DEL and #<>:"\|?*) and 7 more act in the dialect.
  EXPECT_EQ(replaced, 204);
  EXPECT_EQ(illegal, 38);
}

// Every byte value in a file name: the reference reaches that file.
TEST(BadInput, EveryByteValueInAFileName) {
  DesignTree tree;
  LoadMapping({LibRename("lib1", "lib2")});
  tovUpdtrRegexpList *list = tovUpdtrGenRegexpList(0, "LibraryNT");
  for (int b = 1; b <= 255; ++b) {
    const char c = static_cast<char>(b);
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '/') continue;
#ifdef _WIN32
    // Windows allows no control byte and none of <>:"\|?* in a name (\ is
    // its separator), and what a byte above 0x7F means depends on the code
    // page.
    if (b < 0x20 || b > 0x7F || std::strchr("<>:\"\\|?*", c) != nullptr) {
      continue;
    }
#endif
    const std::string name = std::string("f") + c + "g";
    tree.WriteFile(name, "lib1");
    Outcome o = Update(DesignTree::Reference(name), list);
    EXPECT_EQ(o.result, TOV_UPDATE_CHANGED) << b << ": " << o.err;
    EXPECT_EQ(ReadFile(tree.PathOf(name)), "lib2") << b;
  }
}

}  // namespace
