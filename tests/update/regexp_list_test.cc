#include "update/regexp_list.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "services/name_mapping/rix.h"
#include "services/regex/mur_regexp.h"
#include "support/test_support.h"
#include "support/update_fixture.h"
#include "tovUpdtr.h"

namespace {

using tov::test::CaptureStderr;
using tov::test::LibRename;
using tov::test::LoadMapping;
using tov::test::Members;
using tov::test::Nodes;

// What group 2 (the name) of `regexp` finds in `text`.
std::string NameFound(murRegexp *regexp, const std::string &text) {
  if (mur_regexecn(regexp, text.data(), text.size()) != 1) return "<no match>";
  return std::string(regexp->startp[2], regexp->endp[2]);
}

// The list of a mapping of `elements`, and what building it printed.
struct Generated {
  tovUpdtrRegexpList *list;
  std::string err;
};
Generated Generate(const std::vector<Members> &elements, int update_type,
                   const char *name_space = "LibraryNT") {
  LoadMapping(elements);
  Generated g{};
  g.err = CaptureStderr(
      [&] { g.list = tovUpdtrGenRegexpList(update_type, name_space); });
  return g;
}

const Members kCellElement = {"lib", "c1", "", "", "lib", "c2", "", ""};
const Members kCellAtom = {"", "c1", "", "", "", "c2", "", ""};
const char kGeneric[] =
    "{#0 E In tovUpdtrLib llibrary, tovUpdtrGenRegexpList does not yet "
    "supportGeneric Text updater}\n";

TEST(GenRegexpList, WordBoundariesOfBothUpdateTypes) {
  struct Case {
    const char *text;
    const char *type0;
    const char *type1;
  };
  const Case cases[] = {
      {"lib1", "lib1", "lib1"},
      {"x/lib1.y", "lib1", "lib1"},
      {"9lib1", "<no match>", "lib1"},
      {"lib1$", "lib1", "<no match>"},
      {"lib10", "<no match>", "<no match>"},
      {"my_lib1", "<no match>", "<no match>"},
      {"Lib1", "<no match>", "<no match>"},
  };
  murRegexp *re0 = Generate({LibRename("lib1", "lib2")}, 0).list->regexp;
  murRegexp *re1 = Generate({LibRename("lib1", "lib2")}, 1).list->regexp;
  ASSERT_NE(re0, nullptr);
  ASSERT_NE(re1, nullptr);
  for (const Case &c : cases) {
    EXPECT_EQ(NameFound(re0, c.text), c.type0) << c.text;
    EXPECT_EQ(NameFound(re1, c.text), c.type1) << c.text;
  }
  ASSERT_EQ(mur_regexec(re0, "(lib1)"), 1);  // groups 1 and 3: delimiters
  EXPECT_EQ(std::string(re0->startp[1], re0->endp[3]), "(lib1)");
}

TEST(GenRegexpList, OneNodePerElementExpressionsForAtomsOnly) {
  for (int type : {0, 2, 7}) {  // the type is not looked at without atoms
    Generated g = Generate({}, type);
    ASSERT_NE(g.list, nullptr);
    EXPECT_EQ(g.list->element, nullptr);
    EXPECT_EQ(g.list->regexp, nullptr);
    EXPECT_EQ(g.list->next, nullptr);
    EXPECT_NE(Generate({kCellElement}, type).list, nullptr);
    EXPECT_EQ(g.err, "");
  }
  Generated g = Generate({kCellElement, LibRename("a", "b"), kCellAtom}, 0);
  std::vector<tovUpdtrRegexpList *> nodes = Nodes(g.list);
  ASSERT_EQ(nodes.size(), 3u);
  EXPECT_STREQ(nodes[0]->element->fromCell, "c1");  // the head, no atom
  EXPECT_EQ(nodes[0]->regexp, nullptr);
  EXPECT_EQ(NameFound(nodes[1]->regexp, "x a y"), "a");
  EXPECT_EQ(NameFound(nodes[2]->regexp, "lib c1"), "c1");
}

TEST(GenRegexpList, RefusalsAndTheirMessages) {
  Generated g = Generate({kCellElement, LibRename("a", "b")}, 2);
  EXPECT_EQ(g.list, nullptr);
  EXPECT_EQ(g.err, kGeneric);
  g = Generate({LibRename("a", "b")}, -1);
  EXPECT_EQ(g.err, "{#0 E Unknown UpdateType encountered. }\n");
  // The name is converted before the type is looked at.
  g = Generate({LibRename("bad|name", "x")}, 2);
  EXPECT_EQ(g.list, nullptr);
  EXPECT_EQ(g.err,
            "{#0 E The string bad|name is illegal in LibraryNT namespace }\n");
  // A name that would not compile as an expression is searched for as the
  // name it is.
  g = Generate({LibRename("ab(", "x")}, 0);
  ASSERT_NE(g.list, nullptr);
  EXPECT_EQ(g.err, "");
  EXPECT_EQ(NameFound(g.list->regexp, "x ab( y"), "ab(");
}

TEST(GenRegexpList, NameIsSearchedAsConvertedAndUnescaped) {
  // LibraryNT writes ':' as "#3a"; LibraryUnix writes it as it is.
  Generated g = Generate({LibRename("lib#3aa", "x")}, 0, "LibraryUnix");
  EXPECT_EQ(NameFound(g.list->regexp, "lib#3aa lib:a"), "lib:a");
  g = Generate({LibRename("lib#3aa", "x")}, 0, "LibraryNT");
  EXPECT_EQ(NameFound(g.list->regexp, "lib:a lib#3aa"), "lib#3aa");
  // Names are literal: every character the expression dialect gives a
  // meaning matches only itself, written directly or as its escape (those
  // that "LibraryNT" names cannot hold only so).
  for (const char *name :
       {"a.b", "a[0]", "e(1)", "c+d", "a^b", "a$b", "a#2eb", "e#281#29",
        "c#2ad", "c#3fd", "a#7cb", "a#5cb", "sky130_fd_sc_hd__udp_dff$P"}) {
    for (int type : {0, 1}) {
      g = Generate({LibRename(name, "x")}, type, "LibraryUnix");
      ASSERT_NE(g.list, nullptr) << name << " " << g.err;
      char literal[64];
      ASSERT_NE(rixMapName("LibraryNT", "LibraryUnix", name, 0, literal), 0);
      const std::string text = std::string("axb ab aab ") + literal + " e1 c";
      EXPECT_EQ(NameFound(g.list->regexp, text), literal) << name << type;
    }
  }
}

TEST(GenRegexpList, LongestNamesFitThePatternBufferLongerOnesAreRefused) {
  const std::string fits0(223, 'n'), over0(224, 'n');
  Generated g = Generate({LibRename(fits0.c_str(), "x")}, 0);
  ASSERT_NE(g.list, nullptr);
  EXPECT_EQ(NameFound(g.list->regexp, " " + fits0 + " "), fits0);
  g = Generate({LibRename(over0.c_str(), "x")}, 0);
  EXPECT_EQ(g.list, nullptr);
  EXPECT_EQ(g.err, "{#0 E The name " + over0 +
                       " is too long for a regular expression (at most 223 "
                       "characters)}\n");
  EXPECT_NE(Generate({LibRename(std::string(225, 'n').c_str(), "x")}, 1).list,
            nullptr);
  g = Generate({LibRename(std::string(226, 'n').c_str(), "x")}, 1);
  EXPECT_EQ(g.list, nullptr);
  EXPECT_NE(g.err.find("(at most 225 characters)"), std::string::npos);
}

TEST(BuildWordPattern, BoundariesAroundTheNameAndNoEmptyName) {
  std::string pattern;
  ASSERT_TRUE(
      tov::update::BuildWordPattern(1, "lib1", "lib1", "LibraryNT", &pattern));
  EXPECT_EQ(pattern, "(^|[^a-zA-Z_])(lib1)([^a-zA-Z0-9$_]|$)");
  // The name-mapping service gives no empty name for a legal one, so this
  // case is reached only here.
  std::string err = CaptureStderr([&] {
    EXPECT_FALSE(tov::update::BuildWordPattern(0, "vanishing", "",
                                               "LibraryUnix", &pattern));
  });
  EXPECT_EQ(err,
            "{#0 E The string vanishing converts to an empty name in "
            "LibraryUnix namespace}\n");
}

}  // namespace
