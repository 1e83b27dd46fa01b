// The library's process-wide state: one record behind one accessor.  Each
// field has one owner, the subsystem named beside it, which is its only
// writer.
#ifndef TOVUPDTR_CORE_STATE_H_
#define TOVUPDTR_CORE_STATE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "services/name_mapping/rix.h"
#include "tovUpdtr.h"

namespace tov::core {

// Size of the from-to loading path's component buffers.
constexpr size_t kFromToComponentSize = 2048;
// Size of the update path's component and name buffers.
constexpr size_t kUpdateComponentSize = 260;

using StrHashFn = int32_t (*)(const char *s);
using StrCmpFn = int (*)(const char *a, const char *b);

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
  tovUpdtrHashTables *tables = nullptr;
  StrHashFn str_hash = nullptr;
  StrCmpFn str_cmp = nullptr;

  // Loading: the element name space of the last load that opened its file,
  // and the current line's components, as parsed and as mapped (from
  // library, cell, view, file, then the same of the to side).
  std::optional<std::string> from_to_name_space;
  bool from_to_is_library_nt = true;
  rixNameFunc from_to_ident_to_name = nullptr;
  char from_to_parsed[8][kFromToComponentSize] = {};
  char from_to_mapped[8][kFromToComponentSize] = {};
};

// The one State of the process.
State &GetState();

// Records the version identification in the state the first time it is
// called.
void RecordVersion();

// The version identification string.
const char *VersionId();

}  // namespace tov::core

#endif  // TOVUPDTR_CORE_STATE_H_
