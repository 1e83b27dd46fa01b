// Exported core: initialisation, messages, the guarded line reader and the
// name tables.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "core/guard.h"
#include "core/line_reader.h"
#include "core/messages.h"
#include "core/state.h"
#include "services/design_library/bev.h"
#include "services/hash/zu_hash.h"
#include "tovUpdtr.h"

namespace tov::core {

char *ReadLine(FILE *stream, char *buf, int size) {
  if (stream == nullptr || buf == nullptr || size < 1) return nullptr;
  if (std::fgets(buf, size, stream) != nullptr) return buf;
  if (std::ferror(stream)) {
    int saved = errno;
    std::fputs("{#0 F Encountered Fatal READ error!: }", stderr);
    std::fflush(stderr);
    errno = saved;
    std::perror("Updater Program");
    std::exit(1);
  }
  buf[0] = '\0';
  return nullptr;
}

}  // namespace tov::core

extern "C" {

char tovUpdtrErrBuf[1040];

const char *const tovUpdtrModeStrs[4] = {"TOV_MODE_UNDEFINED", "TOV_MODE_COPY",
                                         "TOV_MODE_RENAME",
                                         "TOV_MODE_REF_RENAME"};

const char *const tovRenameRefAllowStrs[4] = {
    "TOV_UPD_ALL_REFS", "TOV_UPD_VALID_TO_REFS", "TOV_UPD_VALID_FROM_REFS",
    "TOV_UPD_VALID_BOTH_REFS"};

const char *const tovWhatChangedStrs[7] = {
    "LCV_UNSET",       "LCV_ERROR",        "LCV_NONE_CHANGED",
    "LCV_LIB_CHANGED", "LCV_CELL_CHANGED", "LCV_VIEW_CHANGED",
    "LCV_FILE_CHANGED"};

TOVUPDTR_API int tovUpdtrInit(int argc, char **argv, const char *libDefFile,
                              const char *defaultNameSpace) {
  zuInit4(&argc, argv, 0, 0);
  if (bevInit(libDefFile, 0, 0, 0, "") != 0) return 0;
  return tov::core::Guard(0, [&] {
    tov::core::State &state = tov::core::GetState();
    // A NULL name space clears the stored one instead of failing: there is
    // nothing to copy, and the getter's NULL then says "none".
    if (defaultNameSpace == nullptr) {
      state.default_name_space.reset();
    } else {
      // Built aside first so that a failed copy leaves the earlier value.
      std::string copy(defaultNameSpace);
      state.default_name_space = std::move(copy);
    }
    tov::core::RecordVersion();
    return 1;
  });
}

TOVUPDTR_API const char *tovUpdtrGetDefaultNameSpace(void) {
  const tov::core::State &state = tov::core::GetState();
  return state.default_name_space ? state.default_name_space->c_str() : nullptr;
}

TOVUPDTR_API void tovUpdtrPrintErrMsg(int code, int severity,
                                      const char *text) {
  tov::core::Print(code, severity, text);
}

TOVUPDTR_API int tovUpdtrSetMinSeverity(int minSeverity) {
  int &current = tov::core::GetState().min_severity;
  const int previous = current;
  // Fatal messages precede the end of the process: never silenced.
  current = minSeverity < 0 ? 0 : (minSeverity > 3 ? 3 : minSeverity);
  return previous;
}

TOVUPDTR_API const char *tovUpdtrGetVersion(void) {
  return TOVUPDTR_VERSION_STRING;
}

TOVUPDTR_API char *tovUpdtrFgets(FILE *stream, char *buf, int size) {
  return tov::core::ReadLine(stream, buf, size);
}

TOVUPDTR_API const char *bevLastError(void) { return bevErrorReason(); }

}  // extern "C"
