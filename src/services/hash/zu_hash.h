// Hash-table service: intrusive chained hash indexes.
//
// An index chains its elements through a link field (a pointer) at a fixed
// byte offset inside each element, and locates and matches them with two
// callbacks.  Storing an element allocates nothing per element beyond one
// slot of the service's insertion-order list; the bucket array doubles
// whenever the elements outnumber the buckets, so chains stay short and a
// probe costs O(1) on average however many elements are stored.
//
// A walk yields the elements in the order in which they were stored, on
// every platform and in every run alike: the order never depends on hash
// values or on the bucket count.
#ifndef TOVUPDTR_SERVICES_HASH_ZU_HASH_H_
#define TOVUPDTR_SERVICES_HASH_ZU_HASH_H_

#include <cstddef>
#include <cstdint>

// hash(element, flag): the element's hash; 0 when flag is 0.  The service
// always passes 1.
using zuHashFunc = int32_t (*)(const void *element, int flag);
// equal(a, b): 1 when equal, 0 when not.  The service passes the stored
// element first and the probe key second.
using zuEqualFunc = int (*)(const void *a, const void *b);

// The insertion-order list of an index (private to the service).
struct zuHashOrder;

// The table record, allocated (and zeroed) by the caller and filled in by
// HashAllocTable.  The caller may read the first five fields and may empty
// the buckets itself, unlinking the chains through the link fields, as the
// mapping's delete does before HashFreeTable; the rest is private.
struct zuHashTable {
  void **buckets;       // heads of the chains; NULL ends a chain
  int32_t bucketCount;  // number of buckets, a power of two
  intptr_t reserved;    // private: unused, kept for the record's layout
  int32_t count;        // number of elements stored
  size_t linkOffset;    // byte offset of the link field inside an element
  zuEqualFunc equal;    // private
  zuHashFunc hash;      // private
  zuHashOrder *order;   // private: the elements in the order stored
};

struct zuHashGenerator;

// Initialises the service; the arguments are reserved.
void zuInit4(int *argc, char **argv, int reserved1, int reserved2);

// Fills in `table` for an empty index; `reserved1` and `reserved2` are 0.
// Returns 1, or 0 when `table` or a callback is NULL or memory is exhausted
// (the record is then left with no buckets: probes find nothing, stores
// fail, and HashFreeTable is harmless).
int HashAllocTable(zuHashTable *table, int reserved1, int reserved2,
                   size_t linkOffset, zuEqualFunc equal, zuHashFunc hash);
// Stores `element` (an element equal to one already stored is stored as
// well); 1 when stored, 0 when `table` or `element` is NULL, the table was
// never set up, or memory is exhausted (then nothing was changed).
int HashCreate(zuHashTable *table, void *element);
// The stored element equal to `key`, or NULL.  Of several equal elements,
// the one stored last is returned.
void *HashProbe(zuHashTable *table, const void *key);
// HashCreate and HashProbe for a caller that has worked out the hash
// already: `hash` must be what the table's hash callback gives for
// `element` (`key`), which the service then does not call.
int HashCreateHashed(zuHashTable *table, void *element, int32_t hash);
void *HashProbeHashed(zuHashTable *table, const void *key, int32_t hash);
// Makes room at once in the order of `table` for `count` more elements,
// so that it does not grow by doubling (and copying) while they are
// stored.  Only advice: nothing changes when memory is short.
void HashReserve(zuHashTable *table, size_t count);
// Asks for the memory that storing or probing an element of hash `hash`
// reads first, so that it may be there by the time it is read.  Only
// advice: nothing changes.
void HashPrefetch(const zuHashTable *table, int32_t hash);
// Releases the service's storage of `table` and leaves it with no buckets;
// touches neither the elements nor the record itself.  A walk still open on
// the table yields nothing more (and stays safe to end).  NULL is harmless.
void HashFreeTable(zuHashTable *table);
// Case-sensitive 32-bit hash of a NUL-terminated string: 32-bit FNV-1a over
// its bytes (offset basis 2166136261, prime 16777619), the result read as a
// signed value.  The empty string gives -2128831035 (0x811C9DC5); NULL
// gives 0.
int32_t HashString32(const char *s);

// Starts a walk over `table` in the order in which its elements were
// stored; NULL when `table` is NULL or memory is exhausted.  Elements stored
// while the walk runs are yielded too, until the walk has once run out.
zuHashGenerator *zuHashStartGen(zuHashTable *table);
// Stores the next element in *element and returns nonzero; 0 when none is
// left, and 0 on every later call for that walk.  A NULL `gen` gives 0.
unsigned char zuHashGen(zuHashGenerator *gen, void **element);
// Ends the walk and releases `gen`; NULL is harmless.
void zuHashStopGen(zuHashGenerator *gen);

#endif  // TOVUPDTR_SERVICES_HASH_ZU_HASH_H_
