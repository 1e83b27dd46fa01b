// Large work buffers taken from the system page by page rather than from the
// heap, so that they can be backed by large pages and filled in one call.
#include <cstddef>
#include <cstdint>

#include <sys/mman.h>
#include <unistd.h>

#include "platform/platform.h"

namespace tov::platform {
namespace {

// The size of a large page where the system has them.
constexpr size_t kLargePage = size_t{2} << 20;
// Blocks from this size on are made of large pages.  A block of half a large
// page or more is cheaper backed by one large page, cleared in one go, than
// by hundreds of small ones, each a page fault (costly on virtual machines).
constexpr size_t kLargePagesFrom = kLargePage / 2;

}  // namespace

void *AllocateLarge(size_t bytes) {
  if (bytes == 0) bytes = 1;
  if (bytes < kLargePagesFrom) {
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
  }
  // Large pages must start on a large-page boundary: map a large page more
  // than asked and give back what lies before the boundary and after the
  // end.
  const size_t length = (bytes + kLargePage - 1) / kLargePage * kLargePage;
  if (length < bytes || length + kLargePage < length) return nullptr;
  void *raw = mmap(nullptr, length + kLargePage, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kLargePage - 1) & ~(kLargePage - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t end = start + length + kLargePage;
  if (end > aligned + length) {
    munmap(reinterpret_cast<void *>(aligned + length),
           end - (aligned + length));
  }
  void *p = reinterpret_cast<void *>(aligned);
#ifdef MADV_HUGEPAGE
  // Only advice: without large pages the memory works all the same.
  madvise(p, length, MADV_HUGEPAGE);
#endif
  return p;
}

void FreeLarge(void *p, size_t bytes) {
  if (p == nullptr) return;
  if (bytes == 0) bytes = 1;
  const size_t length = bytes < kLargePagesFrom ? bytes
                                                : (bytes + kLargePage - 1) /
                                                      kLargePage * kLargePage;
  munmap(p, length);
}

void PrefaultLarge(void *p, size_t bytes) {
  if (p == nullptr || bytes == 0) return;
#ifdef MADV_POPULATE_WRITE
  // The range must start on a page; the page the first byte lies on is part
  // of the buffer, since buffers start on pages.
  static const uintptr_t page_size =
      static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t start = reinterpret_cast<uintptr_t>(p);
  const uintptr_t page = start & ~(page_size - 1);
  madvise(reinterpret_cast<void *>(page), bytes + (start - page),
          MADV_POPULATE_WRITE);
#endif
}

}  // namespace tov::platform
