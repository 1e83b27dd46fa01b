#include "services/hash/zu_hash.h"

#include <cstdlib>
#include <exception>
#include <new>
#include <vector>

#include "platform/large_allocator.h"

// The elements of one index in the order in which they were stored.  It is
// shared by the table and by every walk open on it, so that a walk that
// outlives its table (HashFreeTable while a walk is kept) only runs dry
// instead of reading freed storage.
struct zuHashOrder {
  std::vector<void *, tov::platform::LargeAllocator<void *>> elements;
  // The mixed hash of each element, kept so that growing calls no callback;
  // an array of its own, since beside each pointer it would take 8 bytes.
  std::vector<uint32_t, tov::platform::LargeAllocator<uint32_t>> hashes;
  int refs = 1;      // the table's reference plus one per open walk
  bool live = true;  // false once the table was freed
};

struct zuHashGenerator {
  zuHashOrder *order;
  size_t next = 0;    // position in order->elements
  bool done = false;  // set when the walk ran out once
};

namespace {

constexpr int32_t kInitialBuckets = 16;
// Past this many buckets the array no longer grows; chains then lengthen,
// which slows probes but loses nothing.
constexpr int32_t kMaxBuckets = int32_t{1} << 30;

void ReleaseOrder(zuHashOrder *order) {
  if (order != nullptr && --order->refs == 0) delete order;
}

void **LinkOf(void *element, size_t link_offset) {
  return reinterpret_cast<void **>(static_cast<char *>(element) + link_offset);
}

// Spreads the callback's hash over all 32 bits before the bucket is taken
// from its low bits: element hashes built by XOR of string hashes can be
// weak in exactly those bits.
uint32_t Mix(int32_t hash) {
  uint32_t h = static_cast<uint32_t>(hash);
  h ^= h >> 16;
  h *= 0x85EBCA6Bu;
  h ^= h >> 13;
  h *= 0xC2B2AE35u;
  h ^= h >> 16;
  return h;
}

size_t BucketOf(const zuHashTable *table, uint32_t mixed_hash) {
  return mixed_hash & (static_cast<uint32_t>(table->bucketCount) - 1);
}

// Bucket arrays of a megabyte or more come from the system, already zeroed.
void **NewBuckets(int32_t count) {
  const size_t bytes = static_cast<size_t>(count) * sizeof(void *);
  return static_cast<void **>(bytes >= tov::platform::kLargeBlock
                                  ? tov::platform::AllocateLarge(bytes)
                                  : std::calloc(bytes, 1));
}

void FreeBuckets(void **buckets, int32_t count) {
  const size_t bytes = static_cast<size_t>(count) * sizeof(void *);
  if (bytes >= tov::platform::kLargeBlock) {
    tov::platform::FreeLarge(buckets, bytes);
  } else {
    std::free(buckets);
  }
}

// Doubles the bucket array and rechains every element.  The chains are
// rebuilt from the insertion order with insertion at the head, so each chain
// again runs from the newest element to the oldest.  A failed allocation is
// not an error: the old array stays, lookups still work, only slower.
void Grow(zuHashTable *table) {
  if (table->bucketCount >= kMaxBuckets) return;
  void **fresh = NewBuckets(table->bucketCount * 2);
  if (fresh == nullptr) return;
  FreeBuckets(table->buckets, table->bucketCount);
  table->buckets = fresh;
  table->bucketCount *= 2;
  const zuHashOrder &order = *table->order;
  for (size_t i = 0; i < order.elements.size(); ++i) {
    void *element = order.elements[i];
    size_t b = BucketOf(table, order.hashes[i]);
    *LinkOf(element, table->linkOffset) = table->buckets[b];
    table->buckets[b] = element;
  }
}

}  // namespace

// The service keeps no process-wide state, so there is nothing to set up.
void zuInit4(int *, char **, int, int) {}

int HashAllocTable(zuHashTable *table, int, int, size_t linkOffset,
                   zuEqualFunc equal, zuHashFunc hash) {
  if (table == nullptr) return 0;
  table->buckets = nullptr;
  table->bucketCount = 0;
  table->reserved = 0;
  table->count = 0;
  table->linkOffset = linkOffset;
  table->equal = equal;
  table->hash = hash;
  table->order = nullptr;
  if (equal == nullptr || hash == nullptr) return 0;
  void **buckets = NewBuckets(kInitialBuckets);
  zuHashOrder *order = new (std::nothrow) zuHashOrder();
  if (buckets == nullptr || order == nullptr) {
    std::free(buckets);
    delete order;
    return 0;
  }
  table->buckets = buckets;
  table->bucketCount = kInitialBuckets;
  table->order = order;
  return 1;
}

namespace {

bool CanStore(const zuHashTable *table, const void *element) {
  return table != nullptr && element != nullptr && table->buckets != nullptr &&
         table->order != nullptr && table->count != INT32_MAX;
}

// HashCreate of an element whose hash is `hash`, once CanStore said yes.
int Store(zuHashTable *table, void *element, int32_t hash) {
  // Growing rechains the elements already stored, so it comes before the new
  // one is added to the order; a failure to add it then leaves the table as
  // it was, only with more buckets.
  if (table->count >= table->bucketCount) Grow(table);
  uint32_t mixed_hash = Mix(hash);
  zuHashOrder &order = *table->order;
  try {
    order.hashes.push_back(mixed_hash);
    order.elements.push_back(element);
  } catch (const std::bad_alloc &) {
    // Both arrays keep one entry per element.
    order.hashes.resize(order.elements.size());
    return 0;
  }
  size_t b = BucketOf(table, mixed_hash);
  *LinkOf(element, table->linkOffset) = table->buckets[b];
  table->buckets[b] = element;
  ++table->count;
  return 1;
}

void *Lookup(zuHashTable *table, const void *key, int32_t hash) {
  size_t b = BucketOf(table, Mix(hash));
  for (void *e = table->buckets[b]; e != nullptr;
       e = *LinkOf(e, table->linkOffset)) {
    if (table->equal(e, key)) return e;
  }
  return nullptr;
}

}  // namespace

int HashCreate(zuHashTable *table, void *element) {
  if (!CanStore(table, element)) return 0;
  return Store(table, element, table->hash(element, 1));
}

int HashCreateHashed(zuHashTable *table, void *element, int32_t hash) {
  return CanStore(table, element) ? Store(table, element, hash) : 0;
}

void *HashProbe(zuHashTable *table, const void *key) {
  if (table == nullptr || key == nullptr || table->buckets == nullptr) {
    return nullptr;
  }
  return Lookup(table, key, table->hash(key, 1));
}

void HashReserve(zuHashTable *table, size_t count) {
  if (table == nullptr || table->order == nullptr) return;
  zuHashOrder &order = *table->order;
  if (count > order.elements.max_size() - order.elements.size()) return;
  try {
    order.elements.reserve(order.elements.size() + count);
    order.hashes.reserve(order.hashes.size() + count);
  } catch (const std::exception &) {
    // The order grows as it would have.
  }
}

void HashPrefetch(const zuHashTable *table, int32_t hash) {
  if (table == nullptr || table->buckets == nullptr) return;
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(&table->buckets[BucketOf(table, Mix(hash))]);
#else
  (void)hash;
#endif
}

void *HashProbeHashed(zuHashTable *table, const void *key, int32_t hash) {
  if (table == nullptr || key == nullptr || table->buckets == nullptr) {
    return nullptr;
  }
  return Lookup(table, key, hash);
}

void HashFreeTable(zuHashTable *table) {
  if (table == nullptr) return;
  FreeBuckets(table->buckets, table->bucketCount);
  table->buckets = nullptr;
  table->bucketCount = 0;
  table->count = 0;
  if (table->order != nullptr) {
    table->order->live = false;
    decltype(table->order->elements)().swap(table->order->elements);
    decltype(table->order->hashes)().swap(table->order->hashes);
    ReleaseOrder(table->order);
    table->order = nullptr;
  }
}

int32_t HashString32(const char *s) {
  if (s == nullptr) return 0;
  uint32_t h = 2166136261u;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
       *p != '\0'; ++p) {
    h ^= *p;
    h *= 16777619u;
  }
  return static_cast<int32_t>(h);
}

zuHashGenerator *zuHashStartGen(zuHashTable *table) {
  if (table == nullptr || table->order == nullptr) return nullptr;
  zuHashGenerator *gen = new (std::nothrow) zuHashGenerator{table->order};
  if (gen != nullptr) ++table->order->refs;
  return gen;
}

unsigned char zuHashGen(zuHashGenerator *gen, void **element) {
  if (gen == nullptr || gen->done) return 0;
  const zuHashOrder &order = *gen->order;
  if (!order.live || gen->next >= order.elements.size()) {
    gen->done = true;
    return 0;
  }
  void *next = order.elements[gen->next++];
  if (element != nullptr) *element = next;
  return 1;
}

void zuHashStopGen(zuHashGenerator *gen) {
  if (gen == nullptr) return;
  ReleaseOrder(gen->order);
  delete gen;
}
