// The mapping table's internals shared inside the library: the case mode,
// the hash and equality callbacks the hash-table service calls, element
// construction and the allocation seam.
#ifndef TOVUPDTR_MAPPING_MAPPING_TABLE_H_
#define TOVUPDTR_MAPPING_MAPPING_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "services/hash/zu_hash.h"
#include "tovUpdtr.h"

namespace tov::mapping {

// ---- Case mode -------------------------------------------------------------

// Nonzero: names hash with HashString32 and compare with strcmp; 0: they
// hash with tovUpdtrNoCaseHash and compare with A-Z folded (the starting
// mode).  Stays until the next call; creating or deleting the table leaves
// it alone.  Must not change while elements are stored: they are found
// again only under the hash and comparison they were stored with.
void tovUpdtrHashSetCaseSensitive(int caseSensitive);

// The library's own case-insensitive string hash; NULL and "" give 0.
// Bytes are taken as signed values and only A-Z fold (whatever the host's
// locale), so "abc", "ABC" and "Abc" all give 377585917.
int32_t tovUpdtrNoCaseHash(const char *s);

// The string comparison (0 when equal) of the current case mode.
int StrCmp(const char *a, const char *b);

// ---- Callbacks of the two indexes ------------------------------------------

// XOR of the current case mode's string hash (tovUpdtrNoCaseHash, or
// HashString32 when case-sensitive) over the four from-members (to-members);
// 0 when `flag` is 0 or `element` is NULL.  A NULL member counts as "".
int32_t tovUpdtrFromHash(const void *element, int flag);
int32_t tovUpdtrToHash(const void *element, int flag);
// 1 when the four from-members (to-members) of `a` and `b` compare equal
// under the case mode, else 0 (also when either is NULL).
int tovUpdtrFromEqual(const void *a, const void *b);
int tovUpdtrToEqual(const void *a, const void *b);

// ---- Elements --------------------------------------------------------------

// Frees the non-NULL members and the record; NULL is harmless.  An element
// made by NewElement stays in the store until the indexes are deleted; only
// the members that a program pointed elsewhere are freed.
void FreeElement(tovUpdtrHashElement *element);

struct ElementDeleter {
  void operator()(tovUpdtrHashElement *element) const { FreeElement(element); }
};
using ElementPtr = std::unique_ptr<tovUpdtrHashElement, ElementDeleter>;

// A new element whose members are fresh copies of `members` (from library,
// cell, view, file, then the to side; NULL is taken as ""), links NULL, made
// in the store with its members right behind it; an empty pointer when
// memory is exhausted (nothing is then left allocated).
ElementPtr NewElement(const char *const (&members)[8]);

// Where an element went: nowhere (the caller still owns it), into the
// from-to index only (the mapping owns it, but a to-from probe misses it),
// or into both indexes.
enum class Stored { kNone, kFromToOnly, kBoth };

// The hashes of an element's two sides, when worked out already: its
// tovUpdtrFromHash and tovUpdtrToHash.
struct SideHashes {
  int32_t from;
  int32_t to;
};

// tovUpdtrHashInsert with the whole outcome, under `hashes` when given.
Stored InsertElement(tovUpdtrHashElement *element,
                     const SideHashes *hashes = nullptr);
// The hashes of the sides `from` and `to` (four members each, NULL as ""),
// and the memory that storing an element of those sides reads first asked
// for: the line's probe then runs while it comes.
SideHashes HashSides(const char *const (&from)[4], const char *const (&to)[4]);

// ---- The table pair and its walk ------------------------------------------

// Makes room in both indexes for `count` more elements (HashReserve).
void ReserveElements(size_t count);

// Replaces the pair (releasing the old one, its elements and its walk) with
// a new empty one (tovUpdtrInitHashTable).  1 when ready; 0 when memory ran
// out, leaving what was made in the state for the next create or delete.
int CreateTables();

// The stored element whose from-members (`selector` nonzero) or to-members
// (0) equal those of `key`; NULL when none, or without a pair or a key.
tovUpdtrHashElement *Probe(const tovUpdtrHashElement *key, int selector);
// Probe of the from-members of `key`, whose tovUpdtrFromHash is `from_hash`.
tovUpdtrHashElement *ProbeFrom(const tovUpdtrHashElement *key,
                               int32_t from_hash);

// True when exactly one from-member of `element` is not empty.
bool IsAtom(const tovUpdtrHashElement *element);
// The non-empty from-member (to-member) of an atom, the first of library,
// cell, view, file; the to side gives the file member even when it is empty.
// NULL when `element` is no atom.
const char *FromMember(const tovUpdtrHashElement *element);
const char *ToMember(const tovUpdtrHashElement *element);

// Releases every element and both indexes; the pair and its walk stay, and
// the walk yields nothing more.
void DeleteTables();

// Starts the one walk of the mapping over the from-to index, ending the
// walk before it; NULL without a pair.
zuHashGenerator *StartWalk();
// The next element of the walk, NULL at its end; without a walk, NULL after
// reporting that the walk must be started first.
tovUpdtrHashElement *NextInWalk();

// How many elements the from-to index holds, as many as a walk yields; 0
// without one.
size_t ElementCount();

// True once a pair exists (even one whose indexes were deleted).
bool HasTables();

// Writes both indexes, element by element, to `stream` (stderr when NULL).
void Dump(FILE *stream);

// ---- Allocation ------------------------------------------------------------

// The allocator of the mapping's own blocks (the pair, the index records,
// elements and their members); they are released with free(), so a
// replacement must hand out malloc-compatible blocks.
using AllocFn = void *(*)(size_t size);
void *Alloc(size_t size);
// Test seam: replaces the allocator (NULL restores malloc).
void SetAllocForTesting(AllocFn fn);

}  // namespace tov::mapping

#endif  // TOVUPDTR_MAPPING_MAPPING_TABLE_H_
