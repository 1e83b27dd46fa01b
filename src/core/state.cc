#include "core/state.h"

namespace tov::core {

State &GetState() {
  // Built on first use and never destroyed, so that no exit path depends on
  // the order in which static objects are torn down.
  static State *state = new State();
  return *state;
}

const char *VersionId() {
  return "$Id: tovUpdtr " TOVUPDTR_VERSION_STRING " $";
}

void RecordVersion() {
  State &state = GetState();
  if (state.version == nullptr) state.version = VersionId();
}

}  // namespace tov::core
