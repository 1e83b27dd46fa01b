// Exported argument parsing: the updater's command line, the update mode and
// the rename-reference settings.
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "args/args.h"
#include "core/messages.h"
#include "core/state.h"
#include "platform/platform.h"
#include "tovUpdtr.h"

namespace tov::args {
namespace {

using core::Msg;

struct WordValue {
  const char *word;
  int value;
};

// Searched in this order; the order of the words is not that of the values.
constexpr WordValue kScopeWords[] = {
    {"all", TOV_UPD_ALL_REFS},
    {"from", TOV_UPD_VALID_FROM_REFS},
    {"to", TOV_UPD_VALID_TO_REFS},
    {"both", TOV_UPD_VALID_BOTH_REFS},
    {nullptr, 0},
};

constexpr WordValue kModeWords[] = {
    {"copy", TOV_MODE_COPY},
    {"rename", TOV_MODE_RENAME},
    {"renameRef", TOV_MODE_REF_RENAME},
    {nullptr, 0},
};

// The value of `word` in `table`, or -1.
int LookUp(const WordValue *table, const char *word) {
  for (; table->word != nullptr; ++table) {
    if (std::strcmp(table->word, word) == 0) return table->value;
  }
  return -1;
}

[[noreturn]] void Usage(const char *program) {
  core::Report(0, Msg::kUsage, program);
  std::exit(1);
}

// One of the three file outputs, and whether this call allocated the value it
// holds: only such a value is released when a later occurrence replaces it,
// never one that the caller preset.
struct FileOutput {
  char **slot;
  bool owned = false;

  void Replace(const char *value) {
    char *copy = platform::Strdup(value);
    if (owned) std::free(*slot);
    *slot = copy;  // a failed copy leaves NULL, which then counts as missing
    owned = copy != nullptr;
  }
};

void StoreRenameNames(const char *old_name, const char *new_name) {
  core::State &state = core::GetState();
  try {
    std::string old_copy(old_name);
    std::string new_copy(new_name);
    state.rename_old_name = std::move(old_copy);
    state.rename_new_name = std::move(new_copy);
  } catch (const std::bad_alloc &) {
    core::Report(0, Msg::kOutOfMemory);
  }
}

}  // namespace

void ParseArgs(int argc, char **argv, char **from_to_list,
               char **update_file_list, char **murlib, int *update_mode,
               int *rename_ref_allow) {
  core::State &state = core::GetState();
  if (argv == nullptr) argc = 0;
  const char *program = (argc > 0 && argv[0] != nullptr) ? argv[0] : "";

  // The outputs must be given; a missing one gets a place of its own so that
  // a careless caller cannot make the parser write through NULL.
  char *spare[3] = {nullptr, nullptr, nullptr};
  int spare_mode = 0;
  int spare_scope = 0;
  FileOutput files[3] = {
      {from_to_list != nullptr ? from_to_list : &spare[0]},
      {update_file_list != nullptr ? update_file_list : &spare[1]},
      {murlib != nullptr ? murlib : &spare[2]}};
  if (update_mode == nullptr) update_mode = &spare_mode;
  if (rename_ref_allow == nullptr) rename_ref_allow = &spare_scope;

  static const char *const kFileOptions[3] = {"-fromToList", "-updateFileList",
                                              "-murlib"};
  int i = 1;
  while (i < argc) {
    const char *arg = argv[i];
    if (arg == nullptr) {
      ++i;
      continue;
    }
    const char *next = i + 1 < argc ? argv[i + 1] : nullptr;
    int file_index = -1;
    for (int k = 0; k < 3; ++k) {
      if (std::strcmp(arg, kFileOptions[k]) == 0) file_index = k;
    }
    if (file_index >= 0) {
      if (next == nullptr || next[0] == '-') Usage(program);
      files[file_index].Replace(next);
      i += 2;
    } else if (std::strcmp(arg, "-reason") == 0) {
      int mode =
          (next != nullptr && next[0] != '\0') ? LookUp(kModeWords, next) : -1;
      if (mode >= 0) {
        state.update_mode = mode;
        i += 2;
      } else {
        i += 1;  // the word is examined next as an argument of its own
      }
    } else if (std::strcmp(arg, "-renameRefOldToNew") == 0) {
      const char *new_name = i + 2 < argc ? argv[i + 2] : nullptr;
      if (next != nullptr && new_name != nullptr && next[0] != '\0' &&
          new_name[0] != '\0') {
        StoreRenameNames(next, new_name);
        i += 3;
      } else {
        i += 1;
      }
    } else if (std::strcmp(arg, "-renameRefAllow") == 0) {
      int scope =
          (next != nullptr && next[0] != '\0') ? LookUp(kScopeWords, next) : -1;
      if (scope >= 0) {
        state.rename_ref_allow = scope;
        i += 2;
      } else {
        i += 1;
      }
    } else if (std::strncmp(arg, "-h", 2) == 0) {
      Usage(program);
    } else {
      core::Report(0, Msg::kUnknownArgument, arg);
      i += 1;
    }
  }

  static const Msg kMissing[3] = {Msg::kMissingFromToList,
                                  Msg::kMissingUpdateFileList,
                                  Msg::kMissingMurlib};
  bool missing = false;
  for (int k = 0; k < 3; ++k) {
    if (*files[k].slot == nullptr) {
      core::Report(0, kMissing[k]);
      missing = true;
    }
  }
  if (missing) Usage(program);

  *update_mode = state.update_mode;
  *rename_ref_allow = state.rename_ref_allow;
  for (char *copy : spare) std::free(copy);
}

int UpdateMode() { return core::GetState().update_mode; }

}  // namespace tov::args

extern "C" {

TOVUPDTR_API void tovUpdtrXParseArgs(int argc, char **argv, char **fromToList,
                                     char **updateFileList, char **murlib,
                                     int *updateMode, int *renameRefAllow) {
  tov::args::ParseArgs(argc, argv, fromToList, updateFileList, murlib,
                       updateMode, renameRefAllow);
}

TOVUPDTR_API void tovUpdtrParseArgs(int argc, char **argv, char **fromToList,
                                    char **updateFileList, char **murlib) {
  int mode = 0;
  int scope = 0;
  tov::args::ParseArgs(argc, argv, fromToList, updateFileList, murlib, &mode,
                       &scope);
}

TOVUPDTR_API int tovUpdtrGetUpdateMode(void) { return tov::args::UpdateMode(); }

TOVUPDTR_API void tovUpdtrGetRenameRefData(int *renameRefAllow,
                                           const char **oldName,
                                           const char **newName) {
  if (renameRefAllow != nullptr) *renameRefAllow = 0;
  if (oldName != nullptr) *oldName = nullptr;
  if (newName != nullptr) *newName = nullptr;
  const tov::core::State &state = tov::core::GetState();
  if (state.update_mode != TOV_MODE_REF_RENAME) return;
  if (renameRefAllow != nullptr) *renameRefAllow = state.rename_ref_allow;
  if (oldName != nullptr && state.rename_old_name) {
    *oldName = state.rename_old_name->c_str();
  }
  if (newName != nullptr && state.rename_new_name) {
    *newName = state.rename_new_name->c_str();
  }
}

}  // extern "C"
