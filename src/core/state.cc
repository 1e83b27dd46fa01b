#include "core/state.h"

namespace tov::core {

State &GetState() {
  // Built on first use and never destroyed, so that no exit path depends on
  // the order in which static objects are torn down.
  static State *state = new State();
  return *state;
}

void ResetState() {
  State &state = GetState();
  if (state.tables != nullptr && state.release_tables != nullptr) {
    state.release_tables(state.tables);
  }
  // The update layer's state goes before the rest, while the fields it may
  // read on its way out are still as they were.
  state.update.reset();
  state = State();
}

const char *VersionId() {
  return "$Id: tovUpdtr " TOVUPDTR_VERSION_STRING " $";
}

void RecordVersion() {
  State &state = GetState();
  if (state.version == nullptr) state.version = VersionId();
}

}  // namespace tov::core
