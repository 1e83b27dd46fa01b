#include "services/hash/zu_hash.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <deque>
#include <vector>

#include "gtest/gtest.h"

namespace {

// The key decides equality, `id` tells equal keys apart, and the link sits
// in the middle so that a wrong offset shows up.
struct Item {
  int key;
  Item *link;
  int id;
};

constexpr size_t kLink = offsetof(Item, link);

int32_t ItemHash(const void *p, int flag) {
  return flag == 0 ? 0 : static_cast<const Item *>(p)->key;
}
// Every key in one chain.
int32_t ConstantHash(const void *, int flag) { return flag == 0 ? 0 : 7; }
int ItemEqual(const void *a, const void *b) {
  return static_cast<const Item *>(a)->key == static_cast<const Item *>(b)->key;
}

// A heap record set up and released as the mapping does it.
struct Table {
  zuHashTable *record =
      static_cast<zuHashTable *>(std::calloc(1, sizeof(zuHashTable)));
  std::deque<Item> items;

  explicit Table(zuHashFunc hash = ItemHash) {
    EXPECT_EQ(HashAllocTable(record, 0, 0, kLink, ItemEqual, hash), 1);
  }
  ~Table() {
    HashFreeTable(record);
    std::free(record);
  }
  // `hashed`: stored with its hash given (ItemHash tables only).
  Item *Add(int key, int id, bool hashed = false) {
    items.push_back({key, nullptr, id});
    EXPECT_EQ(hashed ? HashCreateHashed(record, &items.back(), key)
                     : HashCreate(record, &items.back()),
              1);
    return &items.back();
  }
  std::vector<int> WalkIds() {
    std::vector<int> ids;
    zuHashGenerator *gen = zuHashStartGen(record);
    void *p = nullptr;
    while (zuHashGen(gen, &p)) ids.push_back(static_cast<Item *>(p)->id);
    zuHashStopGen(gen);
    return ids;
  }
  // Chain lengths, following the links as the mapping's delete does.
  std::vector<int> Chains() const {
    std::vector<int> lengths;
    for (int32_t b = 0; b < record->bucketCount; ++b) {
      int n = 0;
      for (Item *e = static_cast<Item *>(record->buckets[b]); e; e = e->link) {
        ++n;
      }
      lengths.push_back(n);
    }
    return lengths;
  }
};

TEST(ZuHash, GrowsSoThatEveryChainStaysShort) {
  Table t;
  const int n = 150000;
  // Room made for a third of them first; every other one stored and probed
  // with its hash given.
  HashReserve(t.record, n / 3);
  for (int i = 0; i < n; ++i) t.Add(i * 7919 - 500000, i, i % 2 == 1);
  EXPECT_EQ(t.record->count, n);
  EXPECT_GE(t.record->bucketCount, n);
  int total = 0, longest = 0;
  for (int len : t.Chains()) {
    total += len;
    longest = std::max(longest, len);
  }
  EXPECT_EQ(total, n);  // every element reachable exactly once
  EXPECT_LT(longest, 16);
  for (int i = 0; i < n; i += 97) {
    Item key{i * 7919 - 500000, nullptr, -1};
    void *found = i % 3 == 0 ? HashProbeHashed(t.record, &key, key.key)
                             : HashProbe(t.record, &key);
    ASSERT_NE(found, nullptr) << i;
    EXPECT_EQ(static_cast<Item *>(found)->id, i);
  }
  Item missing{3, nullptr, -1};
  EXPECT_EQ(HashProbe(t.record, &missing), nullptr);
}

TEST(ZuHash, WalkFollowsInsertionOrderAcrossGrowthAndCollisions) {
  for (zuHashFunc hash : {ItemHash, ConstantHash}) {
    Table t(hash);
    HashReserve(t.record, 300);  // room for some, the rest by growing
    std::vector<int> expected;
    for (int i = 0; i < 1000; ++i) {
      t.Add((1000 - i) * 31, i);  // descending keys
      expected.push_back(i);
    }
    EXPECT_EQ(t.WalkIds(), expected);
    Item key{31 * 500, nullptr, -1};
    ASSERT_NE(HashProbe(t.record, &key), nullptr);
    EXPECT_EQ(static_cast<Item *>(HashProbe(t.record, &key))->id, 500);
  }
}

TEST(ZuHash, EqualKeysAreAllStoredAndTheLastIsFound) {
  Table t;
  t.Add(5, 1);
  Item *second = t.Add(5, 2);
  EXPECT_EQ(HashProbe(t.record, second), second);
  // Growth rebuilds the chains; the newest equal element still comes first.
  for (int i = 100; i < 400; ++i) t.Add(i, i);
  Item *third = t.Add(5, 3);
  EXPECT_EQ(HashProbe(t.record, second), third);
  std::vector<int> ids = t.WalkIds();
  ASSERT_EQ(ids.size(), 303u);
  EXPECT_EQ(ids[1], 2);
}

TEST(ZuHash, WalkRunsOutOnceAndForAll) {
  Table t;
  t.Add(1, 1);
  zuHashGenerator *gen = zuHashStartGen(t.record);
  void *p = nullptr;
  ASSERT_TRUE(zuHashGen(gen, &p));
  // Stored while the walk runs: still yielded.
  Item *two = t.Add(2, 2);
  ASSERT_TRUE(zuHashGen(gen, &p));
  EXPECT_EQ(p, two);
  EXPECT_FALSE(zuHashGen(gen, &p));
  // Stored after the walk ran out: not yielded by that walk.
  t.Add(3, 3);
  EXPECT_FALSE(zuHashGen(gen, &p));
  zuHashStopGen(gen);
  EXPECT_EQ(t.WalkIds(), (std::vector<int>{1, 2, 3}));
}

TEST(ZuHash, WalkThatOutlivesItsTableYieldsNothing) {
  auto *t = new Table();
  t->Add(1, 1);
  t->Add(2, 2);
  zuHashGenerator *gen = zuHashStartGen(t->record);
  void *p = nullptr;
  ASSERT_TRUE(zuHashGen(gen, &p));
  delete t;                          // frees the table and the record
  EXPECT_FALSE(zuHashGen(gen, &p));  // under ASan, no read of freed storage
  zuHashStopGen(gen);
}

TEST(ZuHash, UnsetFreedAndNullTablesAreHarmless) {
  zuHashTable record{};
  Item a{1, nullptr, 1};
  EXPECT_EQ(HashCreate(&record, &a), 0);  // never set up
  EXPECT_EQ(HashProbe(&record, &a), nullptr);
  EXPECT_EQ(zuHashStartGen(&record), nullptr);
  ASSERT_EQ(HashAllocTable(&record, 0, 0, kLink, ItemEqual, ItemHash), 1);
  HashCreate(&record, &a);
  HashFreeTable(&record);
  HashFreeTable(&record);
  HashPrefetch(&record, 1);  // no buckets to ask for
  HashPrefetch(nullptr, 1);
  HashReserve(&record, 100);  // no order to make room in
  HashReserve(nullptr, 100);
  EXPECT_EQ(HashProbe(&record, &a), nullptr);
  EXPECT_EQ(HashProbeHashed(&record, &a, 1), nullptr);
  EXPECT_EQ(HashCreate(&record, &a), 0);
  EXPECT_EQ(HashCreateHashed(&record, &a, 1), 0);
  EXPECT_EQ(HashAllocTable(&record, 0, 0, kLink, nullptr, ItemHash), 0);
  EXPECT_EQ(HashAllocTable(nullptr, 0, 0, kLink, ItemEqual, ItemHash), 0);
  EXPECT_EQ(HashProbe(nullptr, &a), nullptr);
  void *p = nullptr;
  EXPECT_EQ(zuHashGen(nullptr, &p), 0);
  zuHashStopGen(nullptr);
}

TEST(ZuHash, HashString32IsFnv1aAndCaseSensitive) {
  // Published FNV-1a 32-bit test vectors.
  EXPECT_EQ(static_cast<uint32_t>(HashString32("")), 0x811C9DC5u);
  EXPECT_EQ(static_cast<uint32_t>(HashString32("a")), 0xE40C292Cu);
  EXPECT_EQ(static_cast<uint32_t>(HashString32("foobar")), 0xBF9CF968u);
  EXPECT_EQ(static_cast<uint32_t>(HashString32("\xE9")),
            (0x811C9DC5u ^ 0xE9u) * 16777619u);  // bytes taken unsigned
  EXPECT_EQ(HashString32(nullptr), 0);
  EXPECT_NE(HashString32("Lib"), HashString32("lib"));
}

}  // namespace
