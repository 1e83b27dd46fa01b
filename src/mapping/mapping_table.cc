// The two-way mapping: one pair of hash indexes (from-to and to-from) over
// the same elements, chained intrusively through the elements' two links.
#include "mapping/mapping_table.h"

#include <array>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/messages.h"
#include "core/state.h"
#include "mapping/element_store.h"
#include "platform/platform.h"
#include "services/hash/zu_hash.h"

namespace tov::mapping {
namespace {

// Programs reach the members and links of an element by their offsets, so
// the element's layout is part of the interface: eight member pointers, then
// the from-to link and the to-from link, without padding, on 32-bit targets
// (Windows' included) and on 64-bit ones alike.
#define TOV_LINK_AT(member) offsetof(tovUpdtrHashElement, member)
static_assert(sizeof(void *) != 4 || sizeof(tovUpdtrHashElement) == 40,
              "a 32-bit element is 40 bytes");
static_assert(sizeof(void *) != 4 || (TOV_LINK_AT(fromToLink) == 32 &&
                                      TOV_LINK_AT(toFromLink) == 36),
              "32-bit links at bytes 32 and 36");
static_assert(sizeof(void *) != 8 || sizeof(tovUpdtrHashElement) == 80,
              "a 64-bit element is 80 bytes");
static_assert(sizeof(void *) != 8 || (TOV_LINK_AT(fromToLink) == 64 &&
                                      TOV_LINK_AT(toFromLink) == 72),
              "64-bit links at bytes 64 and 72");
#undef TOV_LINK_AT

AllocFn g_alloc = nullptr;

// The elements made by NewElement, until the indexes are deleted.
ElementStore &Store() {
  static auto *store = new ElementStore();
  return *store;
}

const char *Member(const char *s) { return s != nullptr ? s : ""; }
bool IsEmpty(const char *s) { return s == nullptr || s[0] == '\0'; }

tovUpdtrHashTables *Tables() { return core::GetState().tables; }

// An arithmetic right shift of a 32-bit value, written out so that it does
// not depend on how the compiler shifts negative signed values.
uint32_t ShiftRightArith(uint32_t h, unsigned n) {
  const uint32_t sign = 0u - (h >> 31);  // all ones when negative
  return (h >> n) | (sign << (32 - n));
}

// What each byte adds to the case-insensitive hash: A-Z as a-z, and every
// byte sign-extended to 32 bits, as a signed char would be.
constexpr std::array<uint32_t, 256> kNoCaseValue = [] {
  std::array<uint32_t, 256> value{};
  for (int b = 0; b < 256; ++b) {
    const int c = b >= 'A' && b <= 'Z' ? b + ('a' - 'A') : b;
    value[b] = static_cast<uint32_t>(c < 128 ? c : c - 256);
  }
  return value;
}();

int ExactCompare(const char *a, const char *b) { return std::strcmp(a, b); }

using Side = const char *const (&)[4];

int32_t SideHash(const char *lib, const char *cell, const char *view,
                 const char *file) {
  core::StrHashFn hash = core::GetState().str_hash;
  if (hash == nullptr) hash = tovUpdtrNoCaseHash;
  return hash(Member(lib)) ^ hash(Member(cell)) ^ hash(Member(view)) ^
         hash(Member(file));
}

int SideEqual(Side a, Side b) {
  core::StrCmpFn compare = core::GetState().str_cmp;
  if (compare == nullptr) compare = platform::Stricmp;
  for (int i = 0; i < 4; ++i) {
    if (compare(Member(a[i]), Member(b[i])) != 0) return 0;
  }
  return 1;
}

const tovUpdtrHashElement *AsElement(const void *p) {
  return static_cast<const tovUpdtrHashElement *>(p);
}

zuHashTable *NewRecord() {
  auto *record = static_cast<zuHashTable *>(Alloc(sizeof(zuHashTable)));
  if (record != nullptr) std::memset(record, 0, sizeof(zuHashTable));
  return record;
}

// Empties and releases both indexes.  The elements are freed through the
// from-to index alone: every element is in it (an element is never put in
// the to-from index without it), so each is freed exactly once.
void DeleteIndexes(tovUpdtrHashTables *tables) {
  if (zuHashTable *from_to = tables->fromTo) {
    // The bucket count is read again after every bucket.
    for (int32_t i = 0; i < from_to->bucketCount; ++i) {
      while (void *head = from_to->buckets[i]) {
        void *next = *reinterpret_cast<void **>(static_cast<char *>(head) +
                                                from_to->linkOffset);
        --from_to->count;
        from_to->buckets[i] = next;
        FreeElement(static_cast<tovUpdtrHashElement *>(head));
      }
    }
  }
  // Every element made in the store was in the index just emptied.
  Store().Clear();
  HashFreeTable(tables->fromTo);
  HashFreeTable(tables->toFrom);
  std::free(tables->fromTo);
  std::free(tables->toFrom);
  tables->fromTo = nullptr;
  tables->toFrom = nullptr;
}

struct GenStopper {
  void operator()(zuHashGenerator *gen) const { zuHashStopGen(gen); }
};

void DumpIndex(FILE *out, const char *name, zuHashTable *index) {
  if (index == nullptr) return;
  std::fprintf(out, "Start of %s hash table: %p\n", name,
               static_cast<void *>(index));
  std::unique_ptr<zuHashGenerator, GenStopper> gen(zuHashStartGen(index));
  auto shown = [](const char *s) { return s != nullptr ? s : "<NULL>"; };
  void *p = nullptr;
  for (int n = 1; zuHashGen(gen.get(), &p); ++n) {
    const tovUpdtrHashElement *e = AsElement(p);
    std::fprintf(out,
                 "  %d\tfl:%s fc:%s fv:%s ff:%s\n\ttl:%s tc:%s tv:%s tf:%s\n",
                 n, shown(e->fromLib), shown(e->fromCell), shown(e->fromView),
                 shown(e->fromFile), shown(e->toLib), shown(e->toCell),
                 shown(e->toView), shown(e->toFile));
  }
}

}  // namespace

// ---- Case mode --------------------------------------------------------------

void tovUpdtrHashSetCaseSensitive(int caseSensitive) {
  core::State &state = core::GetState();
  // NULL pointers stand for the case-insensitive pair.
  state.str_hash = caseSensitive != 0 ? HashString32 : nullptr;
  state.str_cmp = caseSensitive != 0 ? ExactCompare : nullptr;
}

int32_t tovUpdtrNoCaseHash(const char *s) {
  if (s == nullptr) return 0;
  // All arithmetic is modulo 2^32; the characters are mixed in pairs.
  const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
  uint32_t h = 0;
  while (p[0] != '\0') {
    h = (h << 3) ^ kNoCaseValue[p[0]];
    if (p[1] == '\0') break;
    h = ShiftRightArith(h, 19) ^ (h << 3) ^ kNoCaseValue[p[1]];
    p += 2;
  }
  h *= 671055u;
  return static_cast<int32_t>(h ^ ShiftRightArith(h, 17));
}

int StrCmp(const char *a, const char *b) {
  core::StrCmpFn fn = core::GetState().str_cmp;
  return fn != nullptr ? fn(a, b) : platform::Stricmp(a, b);
}

// ---- Callbacks --------------------------------------------------------------

int32_t tovUpdtrFromHash(const void *element, int flag) {
  if (flag == 0 || element == nullptr) return 0;
  const tovUpdtrHashElement *e = AsElement(element);
  return SideHash(e->fromLib, e->fromCell, e->fromView, e->fromFile);
}

int32_t tovUpdtrToHash(const void *element, int flag) {
  if (flag == 0 || element == nullptr) return 0;
  const tovUpdtrHashElement *e = AsElement(element);
  return SideHash(e->toLib, e->toCell, e->toView, e->toFile);
}

int tovUpdtrFromEqual(const void *a, const void *b) {
  if (a == nullptr || b == nullptr) return 0;
  const tovUpdtrHashElement *x = AsElement(a);
  const tovUpdtrHashElement *y = AsElement(b);
  return SideEqual({x->fromLib, x->fromCell, x->fromView, x->fromFile},
                   {y->fromLib, y->fromCell, y->fromView, y->fromFile});
}

int tovUpdtrToEqual(const void *a, const void *b) {
  if (a == nullptr || b == nullptr) return 0;
  const tovUpdtrHashElement *x = AsElement(a);
  const tovUpdtrHashElement *y = AsElement(b);
  return SideEqual({x->toLib, x->toCell, x->toView, x->toFile},
                   {y->toLib, y->toCell, y->toView, y->toFile});
}

// ---- Elements ---------------------------------------------------------------

void FreeElement(tovUpdtrHashElement *element) {
  if (element == nullptr) return;
  // An element of the store goes with its block; a program may have pointed
  // one of its members at a heap string of its own, which is freed here.
  const bool stored = Store().Owns(element);
  for (char *member : {element->fromLib, element->fromCell, element->fromView,
                       element->fromFile, element->toLib, element->toCell,
                       element->toView, element->toFile}) {
    if (!stored || (member != nullptr && !Store().Owns(member))) {
      std::free(member);
    }
  }
  if (!stored) std::free(element);
}

ElementPtr NewElement(const char *const (&members)[8]) {
  // The record, then its members one after the other, in one piece of the
  // store.
  size_t lengths[8];
  size_t size = sizeof(tovUpdtrHashElement);
  for (int i = 0; i < 8; ++i) {
    lengths[i] = std::strlen(Member(members[i])) + 1;
    size += lengths[i];
  }
  void *room = Store().Allocate(size, g_alloc);
  if (room == nullptr) return nullptr;
  auto *raw = static_cast<tovUpdtrHashElement *>(room);
  std::memset(raw, 0, sizeof *raw);
  char **slots[8] = {&raw->fromLib,  &raw->fromCell, &raw->fromView,
                     &raw->fromFile, &raw->toLib,    &raw->toCell,
                     &raw->toView,   &raw->toFile};
  char *text = static_cast<char *>(room) + sizeof(tovUpdtrHashElement);
  for (int i = 0; i < 8; ++i) {
    std::memcpy(text, Member(members[i]), lengths[i]);
    *slots[i] = text;
    text += lengths[i];
  }
  return ElementPtr(raw);
}

Stored InsertElement(tovUpdtrHashElement *element, const SideHashes *hashes) {
  tovUpdtrHashTables *tables = Tables();
  if (tables == nullptr || element == nullptr) return Stored::kNone;
  // Each index hashes its side of the element as it stores it, unless the
  // caller has the hashes.
  if (hashes != nullptr
          ? !HashCreateHashed(tables->fromTo, element, hashes->from)
          : !HashCreate(tables->fromTo, element)) {
    return Stored::kNone;
  }
  const int stored = hashes != nullptr
                         ? HashCreateHashed(tables->toFrom, element, hashes->to)
                         : HashCreate(tables->toFrom, element);
  return stored ? Stored::kBoth : Stored::kFromToOnly;
}

SideHashes HashSides(const char *const (&from)[4], const char *const (&to)[4]) {
  const SideHashes hashes{SideHash(from[0], from[1], from[2], from[3]),
                          SideHash(to[0], to[1], to[2], to[3])};
  if (tovUpdtrHashTables *tables = Tables()) {
    HashPrefetch(tables->fromTo, hashes.from);
    HashPrefetch(tables->toFrom, hashes.to);
  }
  return hashes;
}

// ---- Allocation -------------------------------------------------------------

void *Alloc(size_t size) {
  return g_alloc != nullptr ? g_alloc(size) : std::malloc(size);
}

void SetAllocForTesting(AllocFn fn) { g_alloc = fn; }

// ---- The table pair and its walk ------------------------------------------

namespace {

// Releases the pair, its elements and its walk.
void ReleaseTables(tovUpdtrHashTables *tables) {
  DeleteIndexes(tables);
  zuHashStopGen(tables->activeGen);
  std::free(tables);
}

}  // namespace

int CreateTables() {
  core::State &state = core::GetState();
  if (tovUpdtrHashTables *old = state.tables) {
    ReleaseTables(old);
    state.tables = nullptr;
  }
  auto *tables =
      static_cast<tovUpdtrHashTables *>(Alloc(sizeof(tovUpdtrHashTables)));
  if (tables == nullptr) return 0;
  tables->fromTo = nullptr;
  tables->activeGen = nullptr;
  tables->toFrom = nullptr;
  state.tables = tables;
  state.release_tables = ReleaseTables;
  // What is created before a failure stays in the pair; the next create or
  // delete releases it.
  tables->fromTo = NewRecord();
  if (tables->fromTo == nullptr) return 0;
  tables->toFrom = NewRecord();
  if (tables->toFrom == nullptr) return 0;
  if (!HashAllocTable(tables->fromTo, 0, 0,
                      offsetof(tovUpdtrHashElement, fromToLink),
                      tovUpdtrFromEqual, tovUpdtrFromHash) ||
      !HashAllocTable(tables->toFrom, 0, 0,
                      offsetof(tovUpdtrHashElement, toFromLink),
                      tovUpdtrToEqual, tovUpdtrToHash)) {
    return 0;
  }
  core::RecordVersion();
  return 1;
}

tovUpdtrHashElement *Probe(const tovUpdtrHashElement *key, int selector) {
  tovUpdtrHashTables *tables = Tables();
  if (tables == nullptr || key == nullptr) return nullptr;
  return static_cast<tovUpdtrHashElement *>(
      HashProbe(selector != 0 ? tables->fromTo : tables->toFrom, key));
}

void ReserveElements(size_t count) {
  if (tovUpdtrHashTables *tables = Tables()) {
    HashReserve(tables->fromTo, count);
    HashReserve(tables->toFrom, count);
  }
}

tovUpdtrHashElement *ProbeFrom(const tovUpdtrHashElement *key,
                               int32_t from_hash) {
  tovUpdtrHashTables *tables = Tables();
  if (tables == nullptr || key == nullptr) return nullptr;
  return static_cast<tovUpdtrHashElement *>(
      HashProbeHashed(tables->fromTo, key, from_hash));
}

bool IsAtom(const tovUpdtrHashElement *element) {
  if (element == nullptr) return false;
  int empty = 0;
  for (const char *m : {element->fromLib, element->fromCell, element->fromView,
                        element->fromFile}) {
    if (IsEmpty(m)) ++empty;
  }
  return empty == 3;
}

const char *FromMember(const tovUpdtrHashElement *element) {
  if (!IsAtom(element)) return nullptr;
  for (const char *m :
       {element->fromLib, element->fromCell, element->fromView}) {
    if (!IsEmpty(m)) return m;
  }
  return element->fromFile;
}

const char *ToMember(const tovUpdtrHashElement *element) {
  if (!IsAtom(element)) return nullptr;
  for (const char *m : {element->toLib, element->toCell, element->toView}) {
    if (!IsEmpty(m)) return m;
  }
  // The last member is returned even when it is empty as well.
  return element->toFile;
}

void DeleteTables() {
  tovUpdtrHashTables *tables = Tables();
  if (tables == nullptr) return;
  // The pair and its walk stay; the walk yields nothing more.
  DeleteIndexes(tables);
}

zuHashGenerator *StartWalk() {
  tovUpdtrHashTables *tables = Tables();
  if (tables == nullptr) return nullptr;
  zuHashStopGen(tables->activeGen);
  tables->activeGen = zuHashStartGen(tables->fromTo);
  return tables->activeGen;
}

tovUpdtrHashElement *NextInWalk() {
  tovUpdtrHashTables *tables = Tables();
  if (tables == nullptr || tables->activeGen == nullptr) {
    core::Report(0, core::Msg::kHashNextBeforeStart);
    return nullptr;
  }
  void *element = nullptr;
  if (!zuHashGen(tables->activeGen, &element)) return nullptr;
  return static_cast<tovUpdtrHashElement *>(element);
}

bool HasTables() { return Tables() != nullptr; }

size_t ElementCount() {
  tovUpdtrHashTables *tables = Tables();
  if (tables == nullptr || tables->fromTo == nullptr) return 0;
  return static_cast<size_t>(tables->fromTo->count);
}

void Dump(FILE *stream) {
  FILE *out = stream != nullptr ? stream : stderr;
  tovUpdtrHashTables *tables = Tables();
  if (tables == nullptr) return;
  DumpIndex(out, "from-to", tables->fromTo);
  DumpIndex(out, "to-from", tables->toFrom);
}

}  // namespace tov::mapping

// ---- Exported operations ----------------------------------------------------

using tov::mapping::Stored;

extern "C" {

TOVUPDTR_API int tovUpdtrInitHashTable(void) {
  return tov::mapping::CreateTables();
}

TOVUPDTR_API tovUpdtrHashElement *tovUpdtrHashProbe(
    const tovUpdtrHashElement *key) {
  return tov::mapping::Probe(key, 1);
}

TOVUPDTR_API tovUpdtrHashElement *tovUpdtrXHashProbe(
    const tovUpdtrHashElement *key, int selector) {
  return tov::mapping::Probe(key, selector);
}

TOVUPDTR_API int tovUpdtrHashInsert(tovUpdtrHashElement *element) {
  return tov::mapping::InsertElement(element) != Stored::kNone ? 1 : 0;
}

TOVUPDTR_API int tovUpdtrHashIsElementAnAtom(
    const tovUpdtrHashElement *element) {
  return tov::mapping::IsAtom(element) ? 1 : 0;
}

TOVUPDTR_API const char *tovUpdtrHashGetNonNullFromMember(
    const tovUpdtrHashElement *element) {
  return tov::mapping::FromMember(element);
}

TOVUPDTR_API const char *tovUpdtrHashGetNonNullToMember(
    const tovUpdtrHashElement *element) {
  return tov::mapping::ToMember(element);
}

TOVUPDTR_API void tovUpdtrHashTableDelete(void) {
  tov::mapping::DeleteTables();
}

TOVUPDTR_API struct zuHashGenerator *tovUpdtrHashStartGen(void) {
  return tov::mapping::StartWalk();
}

TOVUPDTR_API tovUpdtrHashElement *tovUpdtrHashNext(void) {
  return tov::mapping::NextInWalk();
}

TOVUPDTR_API void tovUpdtrHashDump(FILE *stream) { tov::mapping::Dump(stream); }

}  // extern "C"
