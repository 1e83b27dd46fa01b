#include "update/update_state.h"

#include <cstdlib>

#include "platform/large_allocator.h"
#include "platform/platform.h"

namespace tov::update {

UpdateState::~UpdateState() {
  plan.reset();
  for (const NodeBlock &block : lists) FreeNodes(block.nodes, block.count);
}

tovUpdtrRegexpList *AllocateNodes(size_t count) {
  if (count > static_cast<size_t>(-1) / sizeof(tovUpdtrRegexpList)) {
    return nullptr;
  }
  const size_t bytes = count * sizeof(tovUpdtrRegexpList);
  return static_cast<tovUpdtrRegexpList *>(
      bytes >= platform::kLargeBlock
          ? platform::AllocateLarge(bytes)
          : std::calloc(count, sizeof(tovUpdtrRegexpList)));
}

void FreeNodes(tovUpdtrRegexpList *nodes, size_t count) {
  const size_t bytes = count * sizeof(tovUpdtrRegexpList);
  if (bytes >= platform::kLargeBlock) {
    platform::FreeLarge(nodes, bytes);
  } else {
    std::free(nodes);
  }
}

UpdateState &LayerState() {
  std::unique_ptr<core::LayerState> &slot = core::GetState().update;
  if (slot == nullptr) slot = std::make_unique<UpdateState>();
  return static_cast<UpdateState &>(*slot);
}

}  // namespace tov::update
