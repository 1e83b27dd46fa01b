#include "services/hash/zu_hash.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "gtest/gtest.h"

namespace {

// A test element: the key decides equality, `id` tells equal keys apart,
// and the link sits in the middle so that a wrong offset shows up.
struct Item {
  int key;
  Item *link;
  int id;
};

constexpr size_t kLink = offsetof(Item, link);

int g_hash_calls = 0;

int32_t ItemHash(const void *p, int flag) {
  ++g_hash_calls;
  if (flag == 0) return 0;
  return static_cast<const Item *>(p)->key;
}

// Every key hashes alike: one long chain.
int32_t ConstantHash(const void *, int flag) { return flag == 0 ? 0 : 7; }

int ItemEqual(const void *a, const void *b) {
  return static_cast<const Item *>(a)->key == static_cast<const Item *>(b)->key;
}

// A table record that is set up and released like the mapping does it.
class Table {
 public:
  explicit Table(zuHashFunc hash = ItemHash) {
    std::memset(&record_, 0, sizeof record_);
    ok_ = HashAllocTable(&record_, 0, 0, kLink, ItemEqual, hash);
  }
  ~Table() { HashFreeTable(&record_); }
  zuHashTable *get() { return &record_; }
  bool ok() const { return ok_ != 0; }

 private:
  zuHashTable record_;
  int ok_;
};

std::vector<int> WalkIds(zuHashTable *table) {
  std::vector<int> ids;
  zuHashGenerator *gen = zuHashStartGen(table);
  void *p = nullptr;
  while (zuHashGen(gen, &p)) ids.push_back(static_cast<Item *>(p)->id);
  zuHashStopGen(gen);
  return ids;
}

// The number of elements reachable from the buckets through the links, as
// the mapping's delete reaches them.
int CountThroughChains(const zuHashTable *table) {
  int n = 0;
  for (int32_t b = 0; b < table->bucketCount; ++b) {
    for (void *e = table->buckets[b]; e != nullptr;
         e = *reinterpret_cast<void **>(static_cast<char *>(e) + kLink)) {
      ++n;
    }
  }
  return n;
}

TEST(ZuHash, AllocFillsTheRecordTheLibraryReads) {
  Table t;
  ASSERT_TRUE(t.ok());
  EXPECT_NE(t.get()->buckets, nullptr);
  EXPECT_GT(t.get()->bucketCount, 0);
  EXPECT_EQ(t.get()->count, 0);
  EXPECT_EQ(t.get()->linkOffset, kLink);
  for (int32_t b = 0; b < t.get()->bucketCount; ++b) {
    EXPECT_EQ(t.get()->buckets[b], nullptr);
  }
}

TEST(ZuHash, StoresAndFindsManyElementsWhileGrowing) {
  Table t;
  std::deque<Item> items;
  const int n = 150000;
  for (int i = 0; i < n; ++i) {
    // Keys spread over a wide range with a stride, negative ones included.
    items.push_back({i * 7919 - 500000, nullptr, i});
    ASSERT_EQ(HashCreate(t.get(), &items.back()), 1);
  }
  EXPECT_EQ(t.get()->count, n);
  // The buckets grew with the elements: no more elements than buckets.
  EXPECT_GE(t.get()->bucketCount, n);
  EXPECT_EQ(t.get()->bucketCount & (t.get()->bucketCount - 1), 0);
  EXPECT_EQ(CountThroughChains(t.get()), n);
  for (int i = 0; i < n; i += 97) {
    Item key{i * 7919 - 500000, nullptr, -1};
    void *found = HashProbe(t.get(), &key);
    ASSERT_NE(found, nullptr) << i;
    EXPECT_EQ(static_cast<Item *>(found)->id, i);
  }
  Item missing{3, nullptr, -1};
  EXPECT_EQ(HashProbe(t.get(), &missing), nullptr);
}

TEST(ZuHash, ProbeLooksAtOneChainOnly) {
  Table t;
  std::deque<Item> items;
  for (int i = 0; i < 5000; ++i) {
    items.push_back({i, nullptr, i});
    HashCreate(t.get(), &items.back());
  }
  // A probe compares the key only with the few elements of its bucket: far
  // fewer equality calls than elements.  Counted through the hash callback,
  // which runs once per probe.
  g_hash_calls = 0;
  Item key{4321, nullptr, -1};
  ASSERT_NE(HashProbe(t.get(), &key), nullptr);
  EXPECT_EQ(g_hash_calls, 1);
  int longest = 0;
  for (int32_t b = 0; b < t.get()->bucketCount; ++b) {
    int len = 0;
    for (void *e = t.get()->buckets[b]; e != nullptr;
         e = *reinterpret_cast<void **>(static_cast<char *>(e) + kLink)) {
      ++len;
    }
    if (len > longest) longest = len;
  }
  EXPECT_LT(longest, 16);
}

TEST(ZuHash, WalkFollowsInsertionOrderAcrossGrowthAndCollisions) {
  for (zuHashFunc hash : {ItemHash, ConstantHash}) {
    Table t(hash);
    std::deque<Item> items;
    std::vector<int> expected;
    for (int i = 0; i < 1000; ++i) {
      // Descending keys: any order by key or by bucket would differ.
      items.push_back({(1000 - i) * 31, nullptr, i});
      HashCreate(t.get(), &items.back());
      expected.push_back(i);
    }
    EXPECT_EQ(WalkIds(t.get()), expected);
    EXPECT_EQ(CountThroughChains(t.get()), 1000);
  }
}

TEST(ZuHash, EqualKeysAreAllStoredAndTheLastIsFound) {
  Table t;
  Item a{5, nullptr, 1}, b{5, nullptr, 2}, c{5, nullptr, 3};
  HashCreate(t.get(), &a);
  HashCreate(t.get(), &b);
  EXPECT_EQ(HashProbe(t.get(), &a), &b);
  // Growth rebuilds the chains; the newest equal element still comes first.
  std::deque<Item> filler;
  for (int i = 100; i < 400; ++i) {
    filler.push_back({i, nullptr, i});
    HashCreate(t.get(), &filler.back());
  }
  HashCreate(t.get(), &c);
  EXPECT_EQ(HashProbe(t.get(), &a), &c);
  EXPECT_EQ(t.get()->count, 303);
  std::vector<int> ids = WalkIds(t.get());
  ASSERT_EQ(ids.size(), 303u);
  EXPECT_EQ(ids[0], 1);
  EXPECT_EQ(ids[1], 2);
  EXPECT_EQ(ids.back(), 3);
}

TEST(ZuHash, ExhaustedWalkStaysExhausted) {
  Table t;
  Item a{1, nullptr, 1}, b{2, nullptr, 2};
  HashCreate(t.get(), &a);
  zuHashGenerator *gen = zuHashStartGen(t.get());
  void *p = nullptr;
  ASSERT_TRUE(zuHashGen(gen, &p));
  EXPECT_EQ(p, &a);
  EXPECT_FALSE(zuHashGen(gen, &p));
  // An element stored after the walk ran out is not yielded by that walk.
  HashCreate(t.get(), &b);
  EXPECT_FALSE(zuHashGen(gen, &p));
  zuHashStopGen(gen);
  // A new walk sees both.
  EXPECT_EQ(WalkIds(t.get()), (std::vector<int>{1, 2}));
}

TEST(ZuHash, WalkStoredWhileRunningYieldsNewElements) {
  Table t;
  Item a{1, nullptr, 1}, b{2, nullptr, 2};
  HashCreate(t.get(), &a);
  zuHashGenerator *gen = zuHashStartGen(t.get());
  void *p = nullptr;
  ASSERT_TRUE(zuHashGen(gen, &p));
  HashCreate(t.get(), &b);
  ASSERT_TRUE(zuHashGen(gen, &p));
  EXPECT_EQ(p, &b);
  zuHashStopGen(gen);
}

TEST(ZuHash, WalkThatOutlivesItsTableYieldsNothing) {
  auto *record =
      static_cast<zuHashTable *>(std::calloc(1, sizeof(zuHashTable)));
  ASSERT_EQ(HashAllocTable(record, 0, 0, kLink, ItemEqual, ItemHash), 1);
  Item a{1, nullptr, 1}, b{2, nullptr, 2};
  HashCreate(record, &a);
  HashCreate(record, &b);
  zuHashGenerator *gen = zuHashStartGen(record);
  void *p = nullptr;
  ASSERT_TRUE(zuHashGen(gen, &p));
  HashFreeTable(record);
  std::free(record);
  // Under ASan a read of the freed table would fail here.
  EXPECT_FALSE(zuHashGen(gen, &p));
  EXPECT_FALSE(zuHashGen(gen, &p));
  zuHashStopGen(gen);
}

TEST(ZuHash, FreedOrUnsetTablesAreHarmless) {
  zuHashTable record;
  std::memset(&record, 0, sizeof record);
  Item a{1, nullptr, 1};
  // Never set up: nothing is stored and nothing is found.
  EXPECT_EQ(HashCreate(&record, &a), 0);
  EXPECT_EQ(HashProbe(&record, &a), nullptr);
  EXPECT_EQ(zuHashStartGen(&record), nullptr);
  HashFreeTable(&record);

  ASSERT_EQ(HashAllocTable(&record, 0, 0, kLink, ItemEqual, ItemHash), 1);
  HashCreate(&record, &a);
  HashFreeTable(&record);
  EXPECT_EQ(record.buckets, nullptr);
  EXPECT_EQ(HashProbe(&record, &a), nullptr);
  EXPECT_EQ(HashCreate(&record, &a), 0);
  HashFreeTable(&record);  // a second release does nothing

  EXPECT_EQ(HashAllocTable(nullptr, 0, 0, kLink, ItemEqual, ItemHash), 0);
  EXPECT_EQ(HashAllocTable(&record, 0, 0, kLink, nullptr, ItemHash), 0);
  EXPECT_EQ(HashCreate(nullptr, &a), 0);
  EXPECT_EQ(HashProbe(nullptr, &a), nullptr);
  EXPECT_EQ(zuHashStartGen(nullptr), nullptr);
  void *p = nullptr;
  EXPECT_EQ(zuHashGen(nullptr, &p), 0);
  zuHashStopGen(nullptr);
  HashFreeTable(nullptr);
}

TEST(ZuHash, LibraryMayEmptyTheBucketsBeforeFreeing) {
  // The mapping unlinks and frees the elements itself, through the record's
  // public fields, and then releases the table.
  auto *record =
      static_cast<zuHashTable *>(std::calloc(1, sizeof(zuHashTable)));
  ASSERT_EQ(HashAllocTable(record, 0, 0, kLink, ItemEqual, ItemHash), 1);
  for (int i = 0; i < 100; ++i) {
    Item *item = static_cast<Item *>(std::malloc(sizeof(Item)));
    *item = {i, nullptr, i};
    HashCreate(record, item);
  }
  for (int32_t b = 0; b < record->bucketCount; ++b) {
    while (void *head = record->buckets[b]) {
      record->buckets[b] = static_cast<Item *>(head)->link;
      --record->count;
      std::free(head);
    }
  }
  EXPECT_EQ(record->count, 0);
  HashFreeTable(record);
  std::free(record);
}

TEST(ZuHash, HashString32IsFnv1aAndCaseSensitive) {
  // Published FNV-1a 32-bit test vectors.
  EXPECT_EQ(static_cast<uint32_t>(HashString32("")), 0x811C9DC5u);
  EXPECT_EQ(static_cast<uint32_t>(HashString32("a")), 0xE40C292Cu);
  EXPECT_EQ(static_cast<uint32_t>(HashString32("foobar")), 0xBF9CF968u);
  EXPECT_EQ(HashString32(nullptr), 0);
  EXPECT_NE(HashString32("Lib"), HashString32("lib"));
  // Bytes above 0x7F are taken unsigned.
  EXPECT_EQ(static_cast<uint32_t>(HashString32("\xE9")),
            (0x811C9DC5u ^ 0xE9u) * 16777619u);
}

}  // namespace
