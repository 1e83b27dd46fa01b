// An allocator for vectors that may grow large: a block of a megabyte or
// more is taken from the system (in large pages where it has them, see
// AllocateLarge) instead of the heap, so that filling it costs few page
// faults and freeing it gives it back at once.
#ifndef TOVUPDTR_PLATFORM_LARGE_ALLOCATOR_H_
#define TOVUPDTR_PLATFORM_LARGE_ALLOCATOR_H_

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

#include "platform/platform.h"

namespace tov::platform {

// Blocks of at least this size come from the system, smaller ones from the
// heap.
constexpr size_t kLargeBlock = size_t{1} << 20;

template <typename T>
struct LargeAllocator {
  using value_type = T;

  LargeAllocator() = default;
  template <typename U>
  LargeAllocator(const LargeAllocator<U> &) {}

  T *allocate(size_t n) {
    if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    const size_t bytes = n * sizeof(T);
    if (bytes < kLargeBlock) {
      // Aligned for T, which may ask for more than the heap's own alignment
      // (system blocks start on a page).
      return static_cast<T *>(
          ::operator new (bytes, std::align_val_t{alignof(T)}));
    }
    void *p = AllocateLarge(bytes);
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T *>(p);
  }
  void deallocate(T *p, size_t n) {
    const size_t bytes = n * sizeof(T);
    if (bytes >= kLargeBlock) {
      FreeLarge(p, bytes);
    } else {
      ::operator delete (p, std::align_val_t{alignof(T)});
    }
  }

  template <typename U>
  bool operator==(const LargeAllocator<U> &) const {
    return true;
  }
  template <typename U>
  bool operator!=(const LargeAllocator<U> &) const {
    return false;
  }
};

// LargeAllocator for buffers that are written before they are read: a
// vector of it grows without filling its new room first.
template <typename T>
struct UnfilledAllocator : LargeAllocator<T> {
  template <typename U>
  struct rebind {
    using other = UnfilledAllocator<U>;
  };

  UnfilledAllocator() = default;
  template <typename U>
  UnfilledAllocator(const UnfilledAllocator<U> &) {}

  template <typename U>
  void construct(U *p) noexcept {
    ::new (static_cast<void *>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U *p, Args &&...args) {
    ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
  }
};

}  // namespace tov::platform

#endif  // TOVUPDTR_PLATFORM_LARGE_ALLOCATOR_H_
