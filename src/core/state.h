// The library's process-wide state: one record behind one accessor, with one
// reset.  Each field has one owner, the layer named beside it, which is its
// only writer.  docs/internals.md lists this state beside the state that the
// services keep of their own.
#ifndef TOVUPDTR_CORE_STATE_H_
#define TOVUPDTR_CORE_STATE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "services/name_mapping/rix.h"
#include "tovUpdtr.h"

namespace tov::core {

using StrHashFn = int32_t (*)(const char *s);
using StrCmpFn = int (*)(const char *a, const char *b);

// The state of a layer above the core that only that layer understands (the
// update layer's reused work memory, plan and handed-out lists).  The State
// owns it, so that the one reset releases it too.
class LayerState {
 public:
  virtual ~LayerState() = default;
};

struct State {
  // Core: copy of tovUpdtrInit's default name space.
  std::optional<std::string> default_name_space;
  // Core: the version identification, recorded once.
  const char *version = nullptr;
  // Core: messages below this severity are not printed.
  int min_severity = 0;

  // Arguments.
  int update_mode = TOV_MODE_UNDEFINED;
  int rename_ref_allow = TOV_UPD_ALL_REFS;
  std::optional<std::string> rename_old_name;
  std::optional<std::string> rename_new_name;

  // Mapping: the two-way mapping and its case mode.  NULL function pointers
  // stand for the case-insensitive pair, which is thus in force from load on.
  // `release_tables` is set by the mapping with the pair, so that the reset
  // can release a pair without knowing how it is built.
  tovUpdtrHashTables *tables = nullptr;
  void (*release_tables)(tovUpdtrHashTables *tables) = nullptr;
  StrHashFn str_hash = nullptr;
  StrCmpFn str_cmp = nullptr;

  // Loading: the element name space of the last load that opened its file.
  std::optional<std::string> from_to_name_space;
  bool from_to_is_library_nt = true;
  rixNameFunc from_to_ident_to_name = nullptr;

  // Update: built on first use by the update layer.
  std::unique_ptr<LayerState> update;
};

// The one State of the process.
State &GetState();

// Releases everything the State holds (the mapping pair with its elements,
// the update layer's state with the expression lists it handed out) and
// gives every field its initial value, as if the library had just been
// loaded: no pointer that the library handed out before may be used again.
// The services keep their own state.
void ResetState();

// Records the version identification in the state the first time it is
// called.
void RecordVersion();

// The version identification string.
const char *VersionId();

}  // namespace tov::core

#endif  // TOVUPDTR_CORE_STATE_H_
