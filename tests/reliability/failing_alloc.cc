#include "failing_alloc.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *p, size_t size);
char *__real_strdup(const char *s);
char *__real_strndup(const char *s, size_t n);
FILE *__real_fopen(const char *path, const char *mode);
}

namespace tov::test {
namespace {

// Plain globals: the test runs on one thread, and the counting must not
// allocate itself.
bool g_counting = false;
long g_count = 0;
long g_fail_at = 0;
bool g_failed = false;

// Counts one allocation; true when it is the one that must fail.
bool ShouldFail() {
  if (!g_counting) return false;
  ++g_count;
  if (g_count != g_fail_at) return false;
  g_failed = true;
  errno = ENOMEM;
  return true;
}

}  // namespace

void ArmAllocationFailure(long n) {
  g_count = 0;
  g_fail_at = n;
  g_failed = false;
  g_counting = true;
}

void DisarmAllocationFailure() { g_counting = false; }
long AllocationCount() { return g_count; }
bool AllocationFailed() { return g_failed; }

}  // namespace tov::test

using tov::test::ShouldFail;

extern "C" {

void *__wrap_malloc(size_t size) {
  return ShouldFail() ? nullptr : __real_malloc(size);
}

void *__wrap_calloc(size_t count, size_t size) {
  return ShouldFail() ? nullptr : __real_calloc(count, size);
}

void *__wrap_realloc(void *p, size_t size) {
  return ShouldFail() ? nullptr : __real_realloc(p, size);
}

char *__wrap_strdup(const char *s) {
  return ShouldFail() ? nullptr : __real_strdup(s);
}

char *__wrap_strndup(const char *s, size_t n) {
  return ShouldFail() ? nullptr : __real_strndup(s, n);
}

// A stream is an allocation too: its buffer and record come from the heap.
FILE *__wrap_fopen(const char *path, const char *mode) {
  return ShouldFail() ? nullptr : __real_fopen(path, mode);
}

}  // extern "C"

// ---- operator new and delete --------------------------------------------
//
// Every form goes to malloc and free, so that AddressSanitizer's leak
// checking sees every block as one kind of allocation.

namespace {

void *NewBlock(size_t size) {
  if (ShouldFail()) throw std::bad_alloc();
  void *p = __real_malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void *NewAligned(size_t size, std::align_val_t align) {
  if (ShouldFail()) throw std::bad_alloc();
  void *p = nullptr;
  size_t alignment = static_cast<size_t>(align);
  if (alignment < sizeof(void *)) alignment = sizeof(void *);
  if (posix_memalign(&p, alignment, size == 0 ? 1 : size) != 0) {
    throw std::bad_alloc();
  }
  return p;
}

}  // namespace

void *operator new(size_t size) { return NewBlock(size); }
void *operator new[](size_t size) { return NewBlock(size); }
void *operator new(size_t size, const std::nothrow_t &) noexcept {
  if (ShouldFail()) return nullptr;
  return __real_malloc(size == 0 ? 1 : size);
}
void *operator new[](size_t size, const std::nothrow_t &) noexcept {
  if (ShouldFail()) return nullptr;
  return __real_malloc(size == 0 ? 1 : size);
}
void *operator new(size_t size, std::align_val_t align) {
  return NewAligned(size, align);
}
void *operator new[](size_t size, std::align_val_t align) {
  return NewAligned(size, align);
}

void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }
void operator delete[](void *p, size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept {
  std::free(p);
}
void operator delete(void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void *p, size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void *p, size_t, std::align_val_t) noexcept {
  std::free(p);
}
