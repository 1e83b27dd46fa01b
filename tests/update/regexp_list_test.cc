#include "update/regexp_list.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "services/regex/mur_regexp.h"
#include "support/test_support.h"
#include "tovUpdtr.h"
#include "update_fixture.h"

namespace {

using tov::test::CaptureStderr;
using tov::test::LibRename;
using tov::test::LoadMapping;
using tov::test::Members;
using tov::test::Nodes;

// What group 2 of `regexp` finds in `text` ("<no match>" when nothing).
std::string NameFound(murRegexp *regexp, const std::string &text) {
  if (mur_regexecn(regexp, text.data(), text.size()) != 1) return "<no match>";
  return std::string(regexp->startp[2], regexp->endp[2]);
}

// The list of the current mapping, with what the call printed.
struct Generated {
  tovUpdtrRegexpList *list;
  std::string err;
};
Generated Generate(int update_type, const char *name_space = "LibraryNT") {
  Generated g{};
  g.err = CaptureStderr(
      [&] { g.list = tovUpdtrGenRegexpList(update_type, name_space); });
  return g;
}

const Members kCellElement = {"lib", "c1", "", "", "lib", "c2", "", ""};
const Members kCellAtom = {"", "c1", "", "", "", "c2", "", ""};

TEST(GenRegexpList, EmptyMappingGivesOneBareNodeWhateverTheType) {
  for (int type : {0, 1, 2, 7, -1}) {
    LoadMapping({});
    Generated g = Generate(type);
    ASSERT_NE(g.list, nullptr) << type;
    EXPECT_EQ(g.list->element, nullptr);
    EXPECT_EQ(g.list->regexp, nullptr);
    EXPECT_EQ(g.list->next, nullptr);
    EXPECT_EQ(g.err, "");
  }
}

TEST(GenRegexpList, Type0FindsTheNameBetweenNonWordCharacters) {
  LoadMapping({LibRename("lib1", "lib2")});
  Generated g = Generate(0);
  ASSERT_NE(g.list, nullptr);
  ASSERT_EQ(Nodes(g.list).size(), 1u);
  EXPECT_STREQ(g.list->element->fromLib, "lib1");
  murRegexp *re = g.list->regexp;
  ASSERT_NE(re, nullptr);
  EXPECT_EQ(NameFound(re, "lib1"), "lib1");
  EXPECT_EQ(NameFound(re, "x/lib1.y"), "lib1");
  ASSERT_EQ(mur_regexec(re, "(lib1)"), 1);
  EXPECT_EQ(std::string(re->startp[1], re->endp[1]), "(");
  EXPECT_EQ(std::string(re->startp[3], re->endp[3]), ")");
  EXPECT_EQ(NameFound(re, "lib1$"), "lib1");  // '$' ends a word here
  for (const char *text :
       {"lib10", "mylib1", "my_lib1", "9lib1", "Lib1", "lib1_"}) {
    EXPECT_EQ(NameFound(re, text), "<no match>") << text;
  }
}

TEST(GenRegexpList, Type1AllowsADigitBeforeAndNoDollarAfter) {
  LoadMapping({LibRename("lib1", "lib2")});
  Generated g = Generate(1);
  ASSERT_NE(g.list, nullptr);
  murRegexp *re = g.list->regexp;
  ASSERT_NE(re, nullptr);
  EXPECT_EQ(NameFound(re, "9lib1"), "lib1");
  EXPECT_EQ(NameFound(re, "x lib1.y"), "lib1");
  for (const char *text : {"lib1$", "_lib1", "alib1", "lib19", "lib1a"}) {
    EXPECT_EQ(NameFound(re, text), "<no match>") << text;
  }
}

TEST(GenRegexpList, EveryElementHasANodeOnlyAtomsAnExpression) {
  LoadMapping({kCellElement, LibRename("a", "b"), kCellAtom});
  Generated g = Generate(0);
  ASSERT_NE(g.list, nullptr);
  std::vector<tovUpdtrRegexpList *> nodes = Nodes(g.list);
  ASSERT_EQ(nodes.size(), 3u);
  // The head holds the first element of the walk, here no atom.
  EXPECT_STREQ(nodes[0]->element->fromCell, "c1");
  EXPECT_STREQ(nodes[0]->element->fromLib, "lib");
  EXPECT_EQ(nodes[0]->regexp, nullptr);
  EXPECT_STREQ(nodes[1]->element->fromLib, "a");
  ASSERT_NE(nodes[1]->regexp, nullptr);
  EXPECT_EQ(NameFound(nodes[1]->regexp, "x a y"), "a");
  EXPECT_STREQ(nodes[2]->element->fromCell, "c1");
  ASSERT_NE(nodes[2]->regexp, nullptr);
  EXPECT_EQ(NameFound(nodes[2]->regexp, "lib c1"), "c1");
}

TEST(GenRegexpList, UpdateTypeIsRefusedOnlyWhenAnAtomIsReached) {
  LoadMapping({kCellElement});
  EXPECT_NE(Generate(2).list, nullptr);
  EXPECT_NE(Generate(9).list, nullptr);

  LoadMapping({kCellElement, LibRename("a", "b")});
  Generated g = Generate(2);
  EXPECT_EQ(g.list, nullptr);
  EXPECT_EQ(g.err,
            "{#0 E In tovUpdtrLib llibrary, tovUpdtrGenRegexpList does not "
            "yet supportGeneric Text updater}\n");
  g = Generate(3);
  EXPECT_EQ(g.list, nullptr);
  EXPECT_EQ(g.err, "{#0 E Unknown UpdateType encountered. }\n");
  g = Generate(-1);
  EXPECT_EQ(g.err, "{#0 E Unknown UpdateType encountered. }\n");
}

TEST(GenRegexpList, IllegalOldNameIsReportedAsHeldBeforeTheTypeIsLookedAt) {
  LoadMapping({LibRename("ok", "fine"), LibRename("bad|name", "x")});
  Generated g = Generate(2);
  EXPECT_EQ(g.list, nullptr);
  // The first atom already fails on the type.
  EXPECT_EQ(g.err,
            "{#0 E In tovUpdtrLib llibrary, tovUpdtrGenRegexpList does not "
            "yet supportGeneric Text updater}\n");
  LoadMapping({LibRename("bad|name", "x")});
  g = Generate(7);
  EXPECT_EQ(g.list, nullptr);
  EXPECT_EQ(g.err,
            "{#0 E The string bad|name is illegal in LibraryNT "
            "namespace }\n");
}

TEST(GenRegexpList, NameIsSearchedInTheTargetNameSpace) {
  // "#3a" is how LibraryNT writes ':', which LibraryUnix writes as it is.
  LoadMapping({LibRename("lib#3aa", "x")});
  Generated unix_list = Generate(0, "LibraryUnix");
  ASSERT_NE(unix_list.list, nullptr);
  EXPECT_EQ(NameFound(unix_list.list->regexp, "lib#3aa lib:a"), "lib:a");
  Generated nt_list = Generate(0, "LibraryNT");
  ASSERT_NE(nt_list.list, nullptr);
  EXPECT_EQ(NameFound(nt_list.list->regexp, "lib:a lib#3aa"), "lib#3aa");
}

TEST(GenRegexpList, NameKeepsTheMeaningOfItsPatternCharacters) {
  LoadMapping({LibRename("a.b", "c")});
  Generated g = Generate(0);
  ASSERT_NE(g.list, nullptr);
  EXPECT_EQ(NameFound(g.list->regexp, "x axb y"), "axb");

  LoadMapping({LibRename("ab(", "c")});
  g = Generate(0);
  EXPECT_EQ(g.list, nullptr);
  EXPECT_EQ(g.err, "");  // a pattern that does not compile has no message
}

TEST(GenRegexpList, LongestNameFitsThePatternBufferLongerOneIsRefused) {
  const std::string fits0(223, 'n'), over0(224, 'n');
  const std::string fits1(225, 'n'), over1(226, 'n');
  LoadMapping({LibRename(fits0.c_str(), "x")});
  Generated g = Generate(0);
  ASSERT_NE(g.list, nullptr);
  EXPECT_EQ(NameFound(g.list->regexp, " " + fits0 + " "), fits0);

  LoadMapping({LibRename(over0.c_str(), "x")});
  g = Generate(0);
  EXPECT_EQ(g.list, nullptr);
  EXPECT_EQ(g.err, "{#0 E The name " + over0 +
                       " is too long for a regular expression (at most 223 "
                       "characters)}\n");

  LoadMapping({LibRename(fits1.c_str(), "x")});
  EXPECT_NE(Generate(1).list, nullptr);
  LoadMapping({LibRename(over1.c_str(), "x")});
  g = Generate(1);
  EXPECT_EQ(g.list, nullptr);
  EXPECT_NE(g.err.find("(at most 225 characters)"), std::string::npos);
}

TEST(BuildWordPattern, EmptyNameIsRefusedWithItsOldName) {
  std::string pattern = "untouched";
  std::string err = CaptureStderr([&] {
    EXPECT_FALSE(tov::update::BuildWordPattern(0, "vanishing", "",
                                               "LibraryUnix", &pattern));
  });
  EXPECT_EQ(err,
            "{#0 E The string vanishing converts to an empty name in "
            "LibraryUnix namespace}\n");
}

TEST(BuildWordPattern, PatternIsTheTwoBoundariesAroundTheName) {
  std::string pattern;
  ASSERT_TRUE(
      tov::update::BuildWordPattern(0, "lib1", "lib1", "LibraryNT", &pattern));
  EXPECT_EQ(pattern, "(^|[^a-zA-Z0-9_])(lib1)([^a-zA-Z0-9_]|$)");
  ASSERT_TRUE(
      tov::update::BuildWordPattern(1, "lib1", "lib1", "LibraryNT", &pattern));
  EXPECT_EQ(pattern, "(^|[^a-zA-Z_])(lib1)([^a-zA-Z0-9$_]|$)");
  EXPECT_LT(pattern.size(), tov::update::kPatternSize);
}

}  // namespace
