#include "mapping/mapping_table.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Builds an element with the eight members and stores it; returns it.
tovUpdtrHashElement *Add(const char *fl, const char *fc, const char *fv,
                         const char *ff, const char *tl, const char *tc,
                         const char *tv, const char *tf) {
  tovUpdtrHashElement *e =
      tov::mapping::NewElement({fl, fc, fv, ff, tl, tc, tv, tf}).release();
  EXPECT_NE(e, nullptr);
  EXPECT_EQ(tovUpdtrHashInsert(e), 1);
  return e;
}

tovUpdtrHashElement *AddLib(const char *fl, const char *tl) {
  return Add(fl, "", "", "", tl, "", "", "");
}

// An element with NULL members, as a caller of the exported functions may
// build one by hand (malloc'ed, so that the mapping can free it).
tovUpdtrHashElement *NewBareElement() {
  return static_cast<tovUpdtrHashElement *>(
      std::calloc(1, sizeof(tovUpdtrHashElement)));
}

char *Dup(const char *s) {
  char *copy = static_cast<char *>(std::malloc(std::strlen(s) + 1));
  std::strcpy(copy, s);
  return copy;
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
  // The byte is taken as a negative character value.
  EXPECT_EQ(tovUpdtrNoCaseHash("\xE9"), 15434349);
  // Values worked out apart from this code.  Negative characters make the
  // right shifts copy the sign bit, and long names run both shifts often.
  EXPECT_EQ(tovUpdtrNoCaseHash("\xE9\xE9"), 108710080);
  EXPECT_EQ(
      tovUpdtrNoCaseHash("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"),
      1808944309);
  EXPECT_EQ(tovUpdtrNoCaseHash("Hello, World"), 695572341);
  EXPECT_EQ(tovUpdtrNoCaseHash("newLib.top:schematic"), 1134766369);
  // Bytes above 0x7F do not fold, whatever the locale.
  EXPECT_NE(tovUpdtrNoCaseHash("\xC9"), tovUpdtrNoCaseHash("\xE9"));
}

TEST(NoCaseHash, MixesLongNamesWithoutOverflowTrouble) {
  // Long names push bits through both shifts, the sign bit included; the
  // hash stays a pure function of the folded text.
  std::string upper(500, 'Z'), lower(500, 'z');
  upper[250] = '\xFF';
  lower[250] = '\xFF';
  EXPECT_EQ(tovUpdtrNoCaseHash(upper.c_str()),
            tovUpdtrNoCaseHash(lower.c_str()));
  EXPECT_NE(tovUpdtrNoCaseHash("ab"), tovUpdtrNoCaseHash("ba"));
}

TEST_F(MappingTable, CaseModeIsProcessWideAndSurvivesTheTable) {
  tov::core::State &state = tov::core::GetState();
  EXPECT_EQ(tov::mapping::StrCmp("Lib", "lIB"), 0);
  tovUpdtrHashSetCaseSensitive(1);
  EXPECT_EQ(state.str_hash, &HashString32);
  EXPECT_NE(tov::mapping::StrCmp("Lib", "lIB"), 0);
  EXPECT_EQ(tov::mapping::StrHash("Lib"), HashString32("Lib"));
  tovUpdtrHashTableDelete();
  ASSERT_EQ(tovUpdtrInitHashTable(), 1);
  EXPECT_NE(tov::mapping::StrCmp("Lib", "lIB"), 0);
  tovUpdtrHashSetCaseSensitive(0);
  EXPECT_EQ(state.str_hash, nullptr);
  EXPECT_EQ(state.str_cmp, nullptr);
  EXPECT_EQ(tov::mapping::StrHash("Lib"), tovUpdtrNoCaseHash("lib"));
}

TEST_F(MappingTable, ProbesFollowTheCaseMode) {
  AddLib("newlib", "x");
  Key upper("NEWLIB", "", "", "");
  EXPECT_EQ(Describe(tovUpdtrHashProbe(upper.get())), "newlib,,,>x,,,");

  tovUpdtrHashTableDelete();
  ASSERT_EQ(tovUpdtrInitHashTable(), 1);
  tovUpdtrHashSetCaseSensitive(1);
  AddLib("Lib", "a");
  AddLib("lib", "b");
  Key lib("lib", "", "", ""), cap("Lib", "", "", ""), all("LIB", "", "", "");
  EXPECT_EQ(Describe(tovUpdtrHashProbe(lib.get())), "lib,,,>b,,,");
  EXPECT_EQ(Describe(tovUpdtrHashProbe(cap.get())), "Lib,,,>a,,,");
  EXPECT_EQ(tovUpdtrHashProbe(all.get()), nullptr);
}

TEST_F(MappingTable, MemberHashesCombineByXor) {
  // Empty members hash to 0, so a library-only element hashes as its name.
  tovUpdtrHashElement *lib_only = AddLib("name", "z");
  EXPECT_EQ(tov::mapping::tovUpdtrFromHash(lib_only, 1),
            tovUpdtrNoCaseHash("name"));
  EXPECT_EQ(tov::mapping::tovUpdtrFromHash(lib_only, 0), 0);
  EXPECT_EQ(tov::mapping::tovUpdtrFromHash(nullptr, 1), 0);

  // Two equal members cancel out, yet the element is found.
  tovUpdtrHashElement *xx = Add("x", "X", "", "", "y", "y", "", "");
  EXPECT_EQ(tov::mapping::tovUpdtrFromHash(xx, 1), 0);
  Key key_xx("x", "x", "", "");
  EXPECT_EQ(tovUpdtrHashProbe(key_xx.get()), xx);

  // Swapped members hash alike but are different keys.
  tovUpdtrHashElement *pq = Add("p", "q", "", "", "1", "", "", "");
  Key key_qp("q", "p", "", "");
  EXPECT_EQ(tov::mapping::tovUpdtrFromHash(pq, 1),
            tov::mapping::tovUpdtrFromHash(key_qp.get(), 1));
  EXPECT_EQ(tovUpdtrHashProbe(key_qp.get()), nullptr);
  tovUpdtrHashElement *qp = Add("q", "p", "", "", "2", "", "", "");
  EXPECT_EQ(tovUpdtrHashProbe(key_qp.get()), qp);
  Key key_pq("p", "q", "", "");
  EXPECT_EQ(tovUpdtrHashProbe(key_pq.get()), pq);
}

TEST_F(MappingTable, EqualityComparesAllFourMembersOfOneSide) {
  tovUpdtrHashElement *a = Add("l", "c", "v", "f", "L", "C", "V", "F");
  tovUpdtrHashElement *b = Add("l", "c", "v", "g", "L", "C", "V", "F");
  EXPECT_EQ(tov::mapping::tovUpdtrFromEqual(a, b), 0);
  EXPECT_EQ(tov::mapping::tovUpdtrToEqual(a, b), 1);
  EXPECT_EQ(tov::mapping::tovUpdtrFromEqual(a, nullptr), 0);
  EXPECT_EQ(tov::mapping::tovUpdtrToEqual(nullptr, b), 0);
}

TEST_F(MappingTable, ExtendedProbeLooksUpEitherSide) {
  tovUpdtrHashElement *one = Add("a", "c", "", "", "n", "d", "", "");
  tovUpdtrHashElement *two = Add("b", "c", "", "", "n", "d", "", "");
  Key by_to("N", "d", "", "", /*to_side=*/true);
  tovUpdtrHashElement *found = tovUpdtrXHashProbe(by_to.get(), 0);
  EXPECT_TRUE(found == one || found == two);
  Key from_a("a", "c", "", ""), from_b("b", "c", "", "");
  EXPECT_EQ(tovUpdtrXHashProbe(from_a.get(), 1), one);
  EXPECT_EQ(tovUpdtrXHashProbe(from_b.get(), 7), two);
  // Selector 0 reads the key's to side, which is empty here: no element is
  // mapped to nothing yet.
  EXPECT_EQ(tovUpdtrXHashProbe(from_a.get(), 0), nullptr);
  tovUpdtrHashElement *blank = Add("e", "", "", "", "", "", "", "");
  EXPECT_EQ(tovUpdtrXHashProbe(from_a.get(), 0), blank);
  Key empty_to("", "", "", "", /*to_side=*/true);
  EXPECT_EQ(tovUpdtrXHashProbe(empty_to.get(), 0), blank);
  EXPECT_EQ(tovUpdtrXHashProbe(nullptr, 0), nullptr);
}

TEST_F(MappingTable, AtomTestAndSingleNames) {
  struct Case {
    const char *from[4];
    int atom;
    const char *name;
  };
  const Case cases[] = {
      {{"l", "", "", ""}, 1, "l"},        {{"", "c", "", ""}, 1, "c"},
      {{"", "", "v", ""}, 1, "v"},        {{"", "", "", "f"}, 1, "f"},
      {{"l", "c", "", ""}, 0, nullptr},   {{"", "", "", ""}, 0, nullptr},
      {{"l", "c", "v", "f"}, 0, nullptr},
  };
  for (const Case &c : cases) {
    tovUpdtrHashElement *e =
        Add(c.from[0], c.from[1], c.from[2], c.from[3], "T", "U", "", "");
    EXPECT_EQ(tovUpdtrHashIsElementAnAtom(e), c.atom) << Describe(e);
    const char *name = tovUpdtrHashGetNonNullFromMember(e);
    EXPECT_STREQ(name, c.name) << Describe(e);
    // The to side does not matter to the test; an atom's new name is its
    // first non-empty to-member.
    EXPECT_STREQ(tovUpdtrHashGetNonNullToMember(e), c.atom ? "T" : nullptr);
  }
  tovUpdtrHashElement *to_view = Add("", "c", "", "", "", "", "w", "x");
  EXPECT_STREQ(tovUpdtrHashGetNonNullToMember(to_view), "w");
  // All to-members empty: the empty toFile, not NULL.
  tovUpdtrHashElement *to_none = Add("", "", "v", "", "", "", "", "");
  const char *none = tovUpdtrHashGetNonNullToMember(to_none);
  ASSERT_NE(none, nullptr);
  EXPECT_EQ(none, to_none->toFile);
  EXPECT_EQ(tovUpdtrHashIsElementAnAtom(nullptr), 0);
  EXPECT_EQ(tovUpdtrHashGetNonNullFromMember(nullptr), nullptr);
}

TEST_F(MappingTable, WalkYieldsInsertionOrderAndRestarts) {
  std::string err =
      CaptureStderr([] { EXPECT_EQ(tovUpdtrHashNext(), nullptr); });
  EXPECT_EQ(err,
            "{#0 E Call tovUpdtrHashStartGen beforecalling tovUpdtrHashNext "
            "function}\n");
  EXPECT_STREQ(tovUpdtrErrBuf,
               "Call tovUpdtrHashStartGen beforecalling tovUpdtrHashNext "
               "function");

  std::vector<std::string> expected;
  for (int i = 0; i < 300; ++i) {
    std::string from = "from" + std::to_string(299 - i);
    std::string to = "to" + std::to_string(i);
    AddLib(from.c_str(), to.c_str());
    expected.push_back(from + ",,,>" + to + ",,,");
  }
  ASSERT_NE(tovUpdtrHashStartGen(), nullptr);
  std::vector<std::string> walked;
  while (const tovUpdtrHashElement *e = tovUpdtrHashNext()) {
    walked.push_back(Describe(e));
  }
  EXPECT_EQ(walked, expected);
  // Run out: NULL again and again, with no message.
  err = CaptureStderr([] {
    EXPECT_EQ(tovUpdtrHashNext(), nullptr);
    EXPECT_EQ(tovUpdtrHashNext(), nullptr);
  });
  EXPECT_EQ(err, "");
  // A new walk starts from the first element.
  zuHashGenerator *gen = tovUpdtrHashStartGen();
  EXPECT_EQ(tov::core::GetState().tables->activeGen, gen);
  EXPECT_EQ(Describe(tovUpdtrHashNext()), expected[0]);
}

TEST_F(MappingTable, KeptWalkRunsDryAfterDelete) {
  AddLib("a", "b");
  AddLib("c", "d");
  tovUpdtrHashStartGen();
  EXPECT_EQ(Describe(tovUpdtrHashNext()), "a,,,>b,,,");
  tovUpdtrHashTableDelete();
  // The walk is still kept but its elements are gone: NULL, no crash.
  EXPECT_NE(tov::core::GetState().tables->activeGen, nullptr);
  EXPECT_EQ(tovUpdtrHashNext(), nullptr);
}

TEST_F(MappingTable, DumpPrintsBothIndexesInTheirFormat) {
  AddLib("a", "b");
  tovUpdtrHashElement *bare = NewBareElement();
  bare->fromLib = Dup("l");
  bare->fromCell = Dup("");
  bare->toLib = Dup("m");
  ASSERT_EQ(tovUpdtrHashInsert(bare), 1);
  tovUpdtrHashTables *tables = tov::core::GetState().tables;
  char from_to[64], to_from[64];
  std::snprintf(from_to, sizeof from_to, "%p",
                static_cast<void *>(tables->fromTo));
  std::snprintf(to_from, sizeof to_from, "%p",
                static_cast<void *>(tables->toFrom));
  const std::string elements =
      "  1\tfl:a fc: fv: ff:\n\ttl:b tc: tv: tf:\n"
      "  2\tfl:l fc: fv:<NULL> ff:<NULL>\n"
      "\ttl:m tc:<NULL> tv:<NULL> tf:<NULL>\n";
  const std::string expected =
      std::string("Start of from-to hash table: ") + from_to + "\n" + elements +
      "Start of to-from hash table: " + to_from + "\n" + elements;

  // A NULL stream means stderr.
  std::string err = CaptureStderr([] { tovUpdtrHashDump(nullptr); });
  EXPECT_EQ(err, expected);
  // The dump's own walks leave the active walk alone.
  EXPECT_EQ(tables->activeGen, nullptr);

  FILE *f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  tovUpdtrHashDump(f);
  std::rewind(f);
  std::string written;
  char buf[256];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) written.append(buf, n);
  std::fclose(f);
  EXPECT_EQ(written, expected);
}

TEST_F(MappingTable, DumpOfAnEmptyTableIsTwoHeaders) {
  tovUpdtrHashTables *tables = tov::core::GetState().tables;
  char expected[160];
  std::snprintf(expected, sizeof expected,
                "Start of from-to hash table: %p\nStart of to-from hash "
                "table: %p\n",
                static_cast<void *>(tables->fromTo),
                static_cast<void *>(tables->toFrom));
  EXPECT_EQ(CaptureStderr([] { tovUpdtrHashDump(nullptr); }), expected);
}

TEST_F(MappingTable, NothingCrashesWithoutTables) {
  tovUpdtrHashTableDelete();
  tovUpdtrHashTableDelete();  // twice is harmless
  Key key("a", "", "", "");
  EXPECT_EQ(tovUpdtrHashProbe(key.get()), nullptr);
  EXPECT_EQ(tovUpdtrXHashProbe(key.get(), 0), nullptr);
  tovUpdtrHashElement *e =
      tov::mapping::NewElement({"a", "", "", "", "b", "", "", ""}).release();
  EXPECT_EQ(tovUpdtrHashInsert(e), 0);  // not taken: still ours
  tov::mapping::FreeElement(e);
  EXPECT_EQ(tovUpdtrHashStartGen(), nullptr);
  EXPECT_EQ(CaptureStderr([] { tovUpdtrHashDump(nullptr); }), "");

  // No pair at all, as before the first create.
  tov::core::State &state = tov::core::GetState();
  tovUpdtrHashTables *saved = state.tables;
  state.tables = nullptr;
  tovUpdtrHashTableDelete();
  EXPECT_EQ(tovUpdtrHashProbe(key.get()), nullptr);
  EXPECT_EQ(tovUpdtrHashStartGen(), nullptr);
  std::string err =
      CaptureStderr([] { EXPECT_EQ(tovUpdtrHashNext(), nullptr); });
  EXPECT_NE(err.find("Call tovUpdtrHashStartGen"), std::string::npos);
  EXPECT_EQ(CaptureStderr([] { tovUpdtrHashDump(nullptr); }), "");
  state.tables = saved;

  // A create after a delete gives a working empty table.
  ASSERT_EQ(tovUpdtrInitHashTable(), 1);
  EXPECT_EQ(WalkMapping(), std::vector<std::string>{});
  AddLib("a", "b");
  EXPECT_EQ(Describe(tovUpdtrHashProbe(key.get())), "a,,,>b,,,");
}

TEST_F(MappingTable, CreateReplacesTheMappingAndItsWalk) {
  AddLib("a", "b");
  tovUpdtrHashStartGen();
  ASSERT_EQ(tovUpdtrInitHashTable(), 1);
  tovUpdtrHashTables *tables = tov::core::GetState().tables;
  EXPECT_EQ(tables->activeGen, nullptr);
  EXPECT_EQ(tables->fromTo->count, 0);
  Key key("a", "", "", "");
  EXPECT_EQ(tovUpdtrHashProbe(key.get()), nullptr);
}

TEST_F(MappingTable, ManyElementsStayReachableFromBothSides) {
  const int n = 20000;
  for (int i = 0; i < n; ++i) {
    std::string c = "cell" + std::to_string(i);
    std::string t = "new" + std::to_string(i);
    Add("lib", c.c_str(), "", "", "lib", t.c_str(), "", "");
  }
  tovUpdtrHashTables *tables = tov::core::GetState().tables;
  EXPECT_EQ(tables->fromTo->count, n);
  EXPECT_EQ(tables->toFrom->count, n);
  for (int i = 0; i < n; i += 101) {
    Key from("LIB", "Cell" + std::to_string(i), "", "");
    Key to("lib", "NEW" + std::to_string(i), "", "", /*to_side=*/true);
    const tovUpdtrHashElement *a = tovUpdtrHashProbe(from.get());
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(tovUpdtrXHashProbe(to.get(), 0), a);
  }
  EXPECT_EQ(WalkMapping().size(), static_cast<size_t>(n));
  // Deleting frees every element exactly once (checked under ASan) and
  // leaves the pair without indexes.
  tovUpdtrHashTableDelete();
  EXPECT_EQ(tables->fromTo, nullptr);
  EXPECT_EQ(tables->toFrom, nullptr);
}

// Fails the n-th allocation of the mapping from now on.
int g_fail_at = 0;
void *FailingAlloc(size_t size) {
  return --g_fail_at == 0 ? nullptr : std::malloc(size);
}

TEST_F(MappingTable, FailedCreateReportsZeroAndLeavesNoLeak) {
  // The pair, then the two index records: fail each in turn.
  for (int fail = 1; fail <= 3; ++fail) {
    g_fail_at = fail;
    tov::mapping::SetAllocForTesting(FailingAlloc);
    std::string err =
        CaptureStderr([] { EXPECT_EQ(tovUpdtrInitHashTable(), 0); });
    tov::mapping::SetAllocForTesting(nullptr);
    EXPECT_EQ(err, "");
    // Unusable but harmless.
    Key key("a", "", "", "");
    EXPECT_EQ(tovUpdtrHashProbe(key.get()), nullptr);
    tovUpdtrHashElement *e =
        tov::mapping::NewElement({"a", "", "", "", "b", "", "", ""}).release();
    if (tovUpdtrHashInsert(e) == 0) tov::mapping::FreeElement(e);
  }
  ASSERT_EQ(tovUpdtrInitHashTable(), 1);
  AddLib("a", "b");
  EXPECT_EQ(WalkMapping(), std::vector<std::string>{"a,,,>b,,,"});
}

TEST_F(MappingTable, NewElementCopiesAndCleansUpOnFailure) {
  const char *names[8] = {"a", nullptr, "", "f", "b", "c", "", ""};
  tov::mapping::ElementPtr e =
      tov::mapping::NewElement({names[0], names[1], names[2], names[3],
                                names[4], names[5], names[6], names[7]});
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(Describe(e.get()), "a,,,f>b,c,,");
  EXPECT_NE(e->fromLib, names[0]);  // a copy
  EXPECT_EQ(e->fromToLink, nullptr);
  // The record and then each member copy fail in turn; under ASan nothing
  // may leak.
  for (int fail = 1; fail <= 9; ++fail) {
    g_fail_at = fail;
    tov::mapping::SetAllocForTesting(FailingAlloc);
    tov::mapping::ElementPtr failed =
        tov::mapping::NewElement({"a", "b", "c", "d", "e", "f", "g", "h"});
    tov::mapping::SetAllocForTesting(nullptr);
    EXPECT_EQ(failed, nullptr) << fail;
  }
}

}  // namespace
