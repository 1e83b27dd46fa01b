#include "mapping/mapping_table.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/state.h"
#include "gtest/gtest.h"
#include "mapping_test_util.h"
#include "services/hash/zu_hash.h"
#include "support/test_support.h"
#include "tovUpdtr.h"

namespace {

using tov::mapping::tovUpdtrHashSetCaseSensitive;
using tov::mapping::tovUpdtrNoCaseHash;
using tov::test::CaptureStderr;
using tov::test::Describe;
using tov::test::Key;
using tov::test::WalkMapping;

tovUpdtrHashElement *Add(const char *fl, const char *fc, const char *tl,
                         const char *tc) {
  tovUpdtrHashElement *e =
      tov::mapping::NewElement({fl, fc, "", "", tl, tc, "", ""}).release();
  EXPECT_EQ(tovUpdtrHashInsert(e), 1);
  return e;
}

// Fails the n-th allocation of the mapping from now on.
int g_fail_at = 0;
void *FailingAlloc(size_t size) {
  return --g_fail_at == 0 ? nullptr : std::malloc(size);
}

class MappingTable : public ::testing::Test {
 protected:
  void SetUp() override {
    tovUpdtrHashSetCaseSensitive(0);
    ASSERT_EQ(tovUpdtrInitHashTable(), 1);
  }
  void TearDown() override {
    tovUpdtrHashTableDelete();
    tovUpdtrHashSetCaseSensitive(0);
    tov::mapping::SetAllocForTesting(nullptr);
  }
};

TEST(NoCaseHash, GivesTheDocumentedValues) {
  EXPECT_EQ(tovUpdtrNoCaseHash(nullptr), 0);
  EXPECT_EQ(tovUpdtrNoCaseHash(""), 0);
  EXPECT_EQ(tovUpdtrNoCaseHash("a"), 65092383);
  EXPECT_EQ(tovUpdtrNoCaseHash("abc"), 377585917);
  EXPECT_EQ(tovUpdtrNoCaseHash("ABC"), 377585917);
  EXPECT_EQ(tovUpdtrNoCaseHash("Abc"), 377585917);
  EXPECT_EQ(tovUpdtrNoCaseHash("\xE9"), 15434349);  // a negative character
  // Values worked out apart from this code: negative characters make the
  // right shifts copy the sign bit, and long names run both shifts often.
  EXPECT_EQ(tovUpdtrNoCaseHash("\xE9\xE9"), 108710080);
  EXPECT_EQ(tovUpdtrNoCaseHash("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"
                               "\xFF\xFF"),
            1808944309);
  EXPECT_EQ(tovUpdtrNoCaseHash("Hello, World"), 695572341);
  EXPECT_EQ(tovUpdtrNoCaseHash("newLib.top:schematic"), 1134766369);
  // Bytes above 0x7F do not fold, whatever the locale.
  EXPECT_NE(tovUpdtrNoCaseHash("\xC9"), tovUpdtrNoCaseHash("\xE9"));
}

TEST_F(MappingTable, CaseModeDecidesWhatAProbeFinds) {
  Add("newlib", "", "x", "");
  Key upper("NEWLIB", "");
  EXPECT_EQ(Describe(tovUpdtrHashProbe(upper.get())), "newlib,,,>x,,,");

  // The mode is process-wide: creating the table does not reset it.
  tovUpdtrHashSetCaseSensitive(1);
  ASSERT_EQ(tovUpdtrInitHashTable(), 1);
  EXPECT_EQ(tov::core::GetState().str_hash, &HashString32);
  Add("Lib", "", "a", "");
  Add("lib", "", "b", "");
  Key lib("lib", ""), cap("Lib", ""), all("LIB", "");
  EXPECT_EQ(Describe(tovUpdtrHashProbe(lib.get())), "lib,,,>b,,,");
  EXPECT_EQ(Describe(tovUpdtrHashProbe(cap.get())), "Lib,,,>a,,,");
  EXPECT_EQ(tovUpdtrHashProbe(all.get()), nullptr);
}

TEST_F(MappingTable, MemberHashesCombineByXor) {
  // Empty members hash to 0: a library-only element hashes as its name.
  tovUpdtrHashElement *lib_only = Add("name", "", "z", "");
  EXPECT_EQ(tov::mapping::tovUpdtrFromHash(lib_only, 1),
            tovUpdtrNoCaseHash("name"));
  EXPECT_EQ(tov::mapping::tovUpdtrFromHash(lib_only, 0), 0);
  // Equal members cancel out, yet the element is found.
  tovUpdtrHashElement *xx = Add("x", "X", "y", "y");
  EXPECT_EQ(tov::mapping::tovUpdtrFromHash(xx, 1), 0);
  Key key_xx("x", "x");
  EXPECT_EQ(tovUpdtrHashProbe(key_xx.get()), xx);
  // Swapped members hash alike but are different keys.
  tovUpdtrHashElement *pq = Add("p", "q", "1", "");
  Key key_qp("q", "p"), key_pq("p", "q");
  EXPECT_EQ(tov::mapping::tovUpdtrFromHash(pq, 1),
            tov::mapping::tovUpdtrFromHash(key_qp.get(), 1));
  EXPECT_EQ(tovUpdtrHashProbe(key_qp.get()), nullptr);
  tovUpdtrHashElement *qp = Add("q", "p", "2", "");
  EXPECT_EQ(tovUpdtrHashProbe(key_qp.get()), qp);
  EXPECT_EQ(tovUpdtrHashProbe(key_pq.get()), pq);
}

TEST_F(MappingTable, EqualityLooksAtAllFourMembersOfItsSide) {
  using tov::mapping::NewElement;
  tov::mapping::ElementPtr a =
      NewElement({"l", "c", "v", "f", "L", "C", "V", "F"});
  tov::mapping::ElementPtr b =
      NewElement({"L", "C", "V", "g", "l", "c", "v", "F"});
  tov::mapping::ElementPtr c =
      NewElement({"l", "c", "v", "f", "L", "C", "V", "G"});
  EXPECT_EQ(tov::mapping::tovUpdtrFromEqual(a.get(), b.get()), 0);
  EXPECT_EQ(tov::mapping::tovUpdtrToEqual(a.get(), b.get()), 1);
  EXPECT_EQ(tov::mapping::tovUpdtrFromEqual(a.get(), c.get()), 1);
  EXPECT_EQ(tov::mapping::tovUpdtrToEqual(a.get(), c.get()), 0);
  EXPECT_EQ(tov::mapping::tovUpdtrFromEqual(a.get(), nullptr), 0);
}

TEST_F(MappingTable, ExtendedProbeLooksUpEitherSide) {
  tovUpdtrHashElement *one = Add("a", "c", "n", "d");
  tovUpdtrHashElement *two = Add("b", "c", "n", "d");
  Key by_to("N", "d", /*to_side=*/true), from_a("a", "c");
  tovUpdtrHashElement *found = tovUpdtrXHashProbe(by_to.get(), 0);
  EXPECT_TRUE(found == one || found == two);
  EXPECT_EQ(tovUpdtrXHashProbe(from_a.get(), 7), one);
  // Selector 0 reads the key's to side, empty here.
  EXPECT_EQ(tovUpdtrXHashProbe(from_a.get(), 0), nullptr);
  tovUpdtrHashElement *blank = Add("e", "", "", "");
  EXPECT_EQ(tovUpdtrXHashProbe(from_a.get(), 0), blank);
}

TEST_F(MappingTable, AtomTestAndSingleNames) {
  struct Case {
    const char *from[4];
    const char *name;  // NULL: no atom
  };
  const Case cases[] = {
      {{"l", "", "", ""}, "l"},      {{"", "c", "", ""}, "c"},
      {{"", "", "v", ""}, "v"},      {{"", "", "", "f"}, "f"},
      {{"l", "c", "", ""}, nullptr}, {{"", "", "", ""}, nullptr},
  };
  for (const Case &c : cases) {
    tov::mapping::ElementPtr e = tov::mapping::NewElement(
        {c.from[0], c.from[1], c.from[2], c.from[3], "", "T", "U", ""});
    EXPECT_EQ(tovUpdtrHashIsElementAnAtom(e.get()), c.name ? 1 : 0);
    EXPECT_STREQ(tovUpdtrHashGetNonNullFromMember(e.get()), c.name);
    EXPECT_STREQ(tovUpdtrHashGetNonNullToMember(e.get()),
                 c.name ? "T" : nullptr);
  }
  // All to-members empty: the empty toFile, not NULL.
  tov::mapping::ElementPtr none =
      tov::mapping::NewElement({"", "", "v", "", "", "", "", ""});
  EXPECT_EQ(tovUpdtrHashGetNonNullToMember(none.get()), none->toFile);
}

TEST_F(MappingTable, WalkYieldsInsertionOrderAndRestarts) {
  std::string err = CaptureStderr([] { tovUpdtrHashNext(); });
  EXPECT_EQ(err,
            "{#0 E Call tovUpdtrHashStartGen beforecalling tovUpdtrHashNext "
            "function}\n");
  std::vector<std::string> expected;
  for (int i = 0; i < 300; ++i) {
    std::string from = "f" + std::to_string(299 - i), to = std::to_string(i);
    Add(from.c_str(), "", to.c_str(), "");
    expected.push_back(from + ",,,>" + to + ",,,");
  }
  EXPECT_EQ(WalkMapping(), expected);
  // Run out: NULL again, silently; a new walk starts from the first.
  EXPECT_EQ(CaptureStderr([] { EXPECT_EQ(tovUpdtrHashNext(), nullptr); }), "");
  EXPECT_EQ(tovUpdtrHashStartGen(), tov::core::GetState().tables->activeGen);
  EXPECT_EQ(Describe(tovUpdtrHashNext()), expected[0]);
  // A walk kept across a delete runs dry instead of reading freed elements.
  tovUpdtrHashTableDelete();
  EXPECT_EQ(tovUpdtrHashNext(), nullptr);
}

TEST_F(MappingTable, DumpPrintsBothIndexesInTheirFormat) {
  tovUpdtrHashTables *tables = tov::core::GetState().tables;
  char headers[2][64];
  std::snprintf(headers[0], 64, "Start of from-to hash table: %p\n",
                static_cast<void *>(tables->fromTo));
  std::snprintf(headers[1], 64, "Start of to-from hash table: %p\n",
                static_cast<void *>(tables->toFrom));
  EXPECT_EQ(CaptureStderr([] { tovUpdtrHashDump(nullptr); }),
            std::string(headers[0]) + headers[1]);
  Add("a", "", "b", "");
  // An element built by hand may hold NULL members.
  auto *bare = static_cast<tovUpdtrHashElement *>(
      std::calloc(1, sizeof(tovUpdtrHashElement)));
  bare->fromLib = static_cast<char *>(std::calloc(2, 1));
  bare->fromLib[0] = 'l';
  bare->fromCell = static_cast<char *>(std::calloc(1, 1));
  ASSERT_EQ(tovUpdtrHashInsert(bare), 1);
  const std::string elements =
      "  1\tfl:a fc: fv: ff:\n\ttl:b tc: tv: tf:\n"
      "  2\tfl:l fc: fv:<NULL> ff:<NULL>\n"
      "\ttl:<NULL> tc:<NULL> tv:<NULL> tf:<NULL>\n";
  const std::string expected =
      std::string(headers[0]) + elements + headers[1] + elements;
  EXPECT_EQ(CaptureStderr([] { tovUpdtrHashDump(nullptr); }), expected);
  EXPECT_EQ(tables->activeGen, nullptr);  // the dump walks on its own
}

TEST_F(MappingTable, NothingCrashesWithoutTables) {
  tovUpdtrHashTableDelete();
  tovUpdtrHashTableDelete();
  Key key("a", "");
  EXPECT_EQ(tovUpdtrHashProbe(key.get()), nullptr);
  tovUpdtrHashElement *e =
      tov::mapping::NewElement({"a", "", "", "", "b", "", "", ""}).release();
  EXPECT_EQ(tovUpdtrHashInsert(e), 0);  // not taken: still ours
  tov::mapping::FreeElement(e);
  EXPECT_EQ(tovUpdtrHashStartGen(), nullptr);
  EXPECT_EQ(CaptureStderr([] { tovUpdtrHashDump(nullptr); }), "");
  // A create after a delete gives a working empty table.
  ASSERT_EQ(tovUpdtrInitHashTable(), 1);
  EXPECT_EQ(WalkMapping(), std::vector<std::string>{});
}

TEST_F(MappingTable, DeleteFreesEveryElementOnce) {
  const int n = 20000;
  for (int i = 0; i < n; ++i) {
    std::string c = "cell" + std::to_string(i), t = "new" + std::to_string(i);
    Add("lib", c.c_str(), "lib", t.c_str());
  }
  tovUpdtrHashTables *tables = tov::core::GetState().tables;
  EXPECT_EQ(tables->toFrom->count, n);
  Key to("LIB", "NEW777", /*to_side=*/true);
  EXPECT_EQ(Describe(tovUpdtrXHashProbe(to.get(), 0)),
            "lib,cell777,,>lib,new777,,");
  // A program's own element, and a member that a program pointed at a
  // string of its own, are freed with the elements of the store.
  auto *own = static_cast<tovUpdtrHashElement *>(
      std::calloc(1, sizeof(tovUpdtrHashElement)));
  for (char **m :
       {&own->fromLib, &own->fromCell, &own->fromView, &own->fromFile,
        &own->toLib, &own->toCell, &own->toView, &own->toFile}) {
    *m = static_cast<char *>(std::calloc(2, 1));
  }
  own->fromLib[0] = 'p';
  ASSERT_EQ(tovUpdtrHashInsert(own), 1);
  tovUpdtrHashElement *e = Add("lib", "moved", "lib", "x");
  e->toCell = static_cast<char *>(std::malloc(4));
  std::snprintf(e->toCell, 4, "new");
  Key moved("lib", "moved");
  EXPECT_EQ(Describe(tovUpdtrHashProbe(moved.get())), "lib,moved,,>lib,new,,");
  // Under ASan a double or missing free fails here.
  tovUpdtrHashTableDelete();
  EXPECT_EQ(tables->fromTo, nullptr);
  EXPECT_EQ(tables->toFrom, nullptr);
}

TEST_F(MappingTable, ExhaustedMemoryLeavesNoLeak) {
  // The pair, then the two index records.
  for (int fail = 1; fail <= 3; ++fail) {
    g_fail_at = fail;
    tov::mapping::SetAllocForTesting(FailingAlloc);
    EXPECT_EQ(CaptureStderr([] { EXPECT_EQ(tovUpdtrInitHashTable(), 0); }), "");
    tov::mapping::SetAllocForTesting(nullptr);
    Key key("a", "");
    EXPECT_EQ(tovUpdtrHashProbe(key.get()), nullptr);
  }
  // An element and its members are one piece of a block of the store: the
  // first element after a delete needs a block, the next ones fit in it,
  // and one larger than a block gets a block of its own.
  auto fails_first_allocation = [](const char *lib) {
    g_fail_at = 1;
    tov::mapping::SetAllocForTesting(FailingAlloc);
    const bool failed = tov::mapping::NewElement(
                            {lib, "b", "", "", "c", "d", "", ""}) == nullptr;
    tov::mapping::SetAllocForTesting(nullptr);
    return failed;
  };
  ASSERT_EQ(tovUpdtrInitHashTable(), 1);
  EXPECT_TRUE(fails_first_allocation("a"));
  Add("a", "b", "c", "d");
  EXPECT_FALSE(fails_first_allocation("e"));
  EXPECT_TRUE(fails_first_allocation(std::string(1 << 21, 'x').c_str()));
  // Deleting the indexes releases the blocks.
  tovUpdtrHashTableDelete();
  EXPECT_TRUE(fails_first_allocation("e"));
}

}  // namespace
