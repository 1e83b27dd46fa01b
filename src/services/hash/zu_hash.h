// Hash-table service: intrusive chained hash indexes.
//
// An index chains its elements through a link field (a pointer) at a fixed
// byte offset inside each element, and locates and matches them with two
// callbacks.  Inserting never allocates per element beyond the service's own
// bookkeeping; the index grows as elements are added, so probes stay O(1).
// A walk yields the elements in the order in which they were inserted.
#ifndef TOVUPDTR_SERVICES_HASH_ZU_HASH_H_
#define TOVUPDTR_SERVICES_HASH_ZU_HASH_H_

#include <cstddef>
#include <cstdint>

// hash(element, flag): the element's hash; 0 when flag is 0.
using zuHashFunc = int32_t (*)(const void *element, int flag);
// equal(a, b): 1 when equal, 0 when not.
using zuEqualFunc = int (*)(const void *a, const void *b);

// The table record, allocated by the caller and filled in by HashAllocTable.
// The caller may read the first five fields (and empty the buckets itself, as
// the mapping's delete does); the rest is private.
struct zuHashTable {
  void **buckets;       // heads of the chains; NULL ends a chain
  int32_t bucketCount;  // number of buckets
  intptr_t reserved;    // private
  int32_t count;        // number of elements stored
  size_t linkOffset;    // byte offset of the link field inside an element
  zuEqualFunc equal;    // private
  zuHashFunc hash;      // private
  void *impl;           // private
};

struct zuHashGenerator;

// Initialises the service; the arguments are reserved.
void zuInit4(int *argc, char **argv, int reserved1, int reserved2);

// Fills in `table` for an empty index; `reserved1` and `reserved2` are 0.
// Returns 1, or 0 when `table` is NULL or memory is exhausted.
int HashAllocTable(zuHashTable *table, int reserved1, int reserved2,
                   size_t linkOffset, zuEqualFunc equal, zuHashFunc hash);
// Stores `element`; 1 when stored, 0 when `table` or `element` is NULL or
// memory is exhausted.
int HashCreate(zuHashTable *table, void *element);
// The stored element equal to `key`, or NULL.
void *HashProbe(zuHashTable *table, const void *key);
// Releases the service's storage of `table`; touches neither the elements nor
// the record itself.
void HashFreeTable(zuHashTable *table);
// Case-sensitive 32-bit hash of a NUL-terminated string (0 for NULL).
int32_t HashString32(const char *s);

// Starts a walk over `table` in insertion order; NULL when `table` is NULL or
// memory is exhausted.
zuHashGenerator *zuHashStartGen(zuHashTable *table);
// Stores the next element in *element and returns nonzero; 0 when none is
// left (and on every later call).
unsigned char zuHashGen(zuHashGenerator *gen, void **element);
// Ends the walk and releases `gen`; NULL is harmless.
void zuHashStopGen(zuHashGenerator *gen);

#endif  // TOVUPDTR_SERVICES_HASH_ZU_HASH_H_
