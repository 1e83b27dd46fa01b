// Memory for the large work buffers of a file update.
//
// Fresh memory costs a page fault per page on its first use, which for a
// buffer of many megabytes takes longer than the work done in it.  Large
// blocks are therefore taken from the system in large pages (where it has
// them) and filled in one call, and the buffers of one update are kept for
// the next.
#ifndef TOVUPDTR_UPDATE_WORK_MEMORY_H_
#define TOVUPDTR_UPDATE_WORK_MEMORY_H_

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

#include "platform/large_allocator.h"
#include "platform/platform.h"

namespace tov::update {

using platform::kLargeBlock;
using platform::LargeAllocator;

// A byte buffer that keeps its memory from one use to the next.
class LargeBuffer {
 public:
  LargeBuffer() = default;
  ~LargeBuffer() { Release(); }
  LargeBuffer(const LargeBuffer &) = delete;
  LargeBuffer &operator=(const LargeBuffer &) = delete;

  // Makes the buffer hold at least `capacity` bytes; what it held is lost.
  // False when the memory cannot be had (the buffer is then empty).
  bool Reserve(size_t capacity) {
    if (capacity <= capacity_ && data_ != nullptr) return true;
    Release();
    data_ = static_cast<char *>(platform::AllocateLarge(capacity));
    if (data_ == nullptr) return false;
    capacity_ = capacity;
    return true;
  }
  // Has the first `bytes` backed by memory in one go, before they are
  // written (see platform::PrefaultLarge); what was done before is not done
  // again.
  void Prefault(size_t bytes) {
    if (bytes > capacity_) bytes = capacity_;
    if (bytes <= prefaulted_) return;
    platform::PrefaultLarge(data_ + prefaulted_, bytes - prefaulted_);
    prefaulted_ = bytes;
  }
  // Exchanges the memory of the two buffers, with what they hold.
  void Swap(LargeBuffer &other) {
    std::swap(data_, other.data_);
    std::swap(capacity_, other.capacity_);
    std::swap(prefaulted_, other.prefaulted_);
  }
  // Gives the memory back to the system.
  void Release() {
    platform::FreeLarge(data_, capacity_);
    data_ = nullptr;
    capacity_ = 0;
    prefaulted_ = 0;
  }

  char *data() const { return data_; }
  size_t capacity() const { return capacity_; }

 private:
  char *data_ = nullptr;
  size_t capacity_ = 0;
  size_t prefaulted_ = 0;
};

}  // namespace tov::update

#endif  // TOVUPDTR_UPDATE_WORK_MEMORY_H_
