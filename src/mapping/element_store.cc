#include "mapping/element_store.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <new>

#include "platform/large_allocator.h"
#include "platform/platform.h"

namespace tov::mapping {
namespace {

// Blocks start small, so that a list of a few lines holds little, and double
// up to a size that large pages back whole.
constexpr size_t kFirstBlock = size_t{4} << 10;
constexpr size_t kLargestBlock = size_t{4} << 20;
constexpr size_t kAlign = alignof(void *);

bool Before(const char *a, const char *b) { return std::less<>()(a, b); }

}  // namespace

void *ElementStore::Allocate(size_t size, void *(*alloc)(size_t)) {
  size = (size + kAlign - 1) / kAlign * kAlign;
  if (size > static_cast<size_t>(limit_ - next_)) {
    // A new block is found again by Owns through blocks_, so its entry is
    // made room for before the block exists.
    try {
      blocks_.reserve(blocks_.size() + 1);
    } catch (const std::bad_alloc &) {
      return nullptr;
    }
    next_block_size_ = next_block_size_ == 0
                           ? kFirstBlock
                           : std::min(next_block_size_ * 2, kLargestBlock);
    const size_t block_size = std::max(next_block_size_, size);
    const bool large = alloc == nullptr && block_size >= platform::kLargeBlock;
    void *memory = alloc != nullptr ? alloc(block_size)
                   : large          ? platform::AllocateLarge(block_size)
                                    : std::malloc(block_size);
    if (memory == nullptr) return nullptr;
    auto *begin = static_cast<char *>(memory);
    const Block block{begin, begin + block_size, large};
    auto at = std::upper_bound(
        blocks_.begin(), blocks_.end(), begin,
        [](const char *p, const Block &b) { return Before(p, b.begin); });
    blocks_.insert(at, block);
    next_ = begin;
    limit_ = block.end;
  }
  void *room = next_;
  next_ += size;
  return room;
}

bool ElementStore::Owns(const void *p) const {
  const char *c = static_cast<const char *>(p);
  auto after = std::upper_bound(
      blocks_.begin(), blocks_.end(), c,
      [](const char *q, const Block &b) { return Before(q, b.begin); });
  return after != blocks_.begin() && Before(c, std::prev(after)->end);
}

void ElementStore::Clear() {
  for (const Block &block : blocks_) {
    if (block.large) {
      platform::FreeLarge(block.begin,
                          static_cast<size_t>(block.end - block.begin));
    } else {
      std::free(block.begin);
    }
  }
  blocks_.clear();
  next_ = limit_ = nullptr;
  next_block_size_ = 0;
}

}  // namespace tov::mapping
