#include "update/update_state.h"

#include <cstdlib>

namespace tov::update {

UpdateState::~UpdateState() {
  plan.reset();
  for (tovUpdtrRegexpList *node : lists) std::free(node);
}

UpdateState &LayerState() {
  std::unique_ptr<core::LayerState> &slot = core::GetState().update;
  if (slot == nullptr) slot = std::make_unique<UpdateState>();
  return static_cast<UpdateState &>(*slot);
}

}  // namespace tov::update
