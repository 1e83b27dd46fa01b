// tovMkWritable: a file is made writable directly, by preparing its directory
// when it does not exist yet, by checking it out of design management, or by
// adding owner-write permission.
#include "update/writable.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "core/guard.h"
#include "core/messages.h"
#include "platform/platform.h"
#include "services/design_library/bev.h"
#include "services/design_management/lok.h"
#include "tovUpdtr.h"

namespace tov::update {
namespace {

// An interrupted test is tried again, 11 calls in all.
constexpr int kAccessAttempts = 11;

// The size of the buffer the messages of this file are composed in; the
// shared message buffer is left as it was.
constexpr size_t kMessageSize = 2048;

// Write-access test: 0 when `path` exists and may be written; -1 with the
// reason in the error number otherwise.
int TestWriteAccess(const char *path) {
  int rc = -1;
  for (int attempt = 0; attempt < kAccessAttempts; ++attempt) {
    rc = platform::Access(path, platform::kWriteOk);
    if (rc == 0 || platform::ErrorNumber() != EINTR) break;
  }
  return rc;
}

// Adds owner-write to the mode of `path`, leaving every other bit; 1 when
// done.
int AddOwnerWrite(const char *path) {
  platform::FileStatus status;
  if (platform::Stat(path, &status) != 0) return 0;
  return platform::Chmod(path, status.mode | platform::kOwnerWrite) == 0 ? 1
                                                                         : 0;
}

struct SpecDeleter {
  void operator()(lokSpec *spec) const { lokFreeSpec(spec); }
};

}  // namespace

int tovMkParentDirs(const char *path) {
  // A copy of any length: the directory steps never cut a long path short or
  // write past a fixed buffer.
  std::string dir(path);
  murCanonicalizeDirSep(&dir[0]);
  const size_t sep = dir.rfind(platform::kDirSep);
  if (sep == std::string::npos || sep == 0) return 0;
  dir.resize(sep);

  if (TestWriteAccess(dir.c_str()) == 0) return 1;
  switch (platform::ErrorNumber()) {
    case ENOENT:
      // The directories above are prepared first, so that each one is made
      // only inside one that exists.
      if (tovMkParentDirs(dir.c_str()) == 0) return 0;
      return platform::Mkdir(dir.c_str()) == 0 ? 1 : 0;
    case EACCES:
      return AddOwnerWrite(dir.c_str());
    default:
      return 0;
  }
}

int tovCheckWritable(const char *path) {
  // A file that no write bit allows is write-protected for whoever runs
  // this, root too: design management then has its say.
  if (TestWriteAccess(path) == 0) return lokIsWriteProtected(path) ? 0 : 1;
  const int error = platform::ErrorNumber();
  if (error == EACCES) return 0;
  if (error == ENOENT) return tovMkParentDirs(path);
  char message[kMessageSize];
  core::ReportInto(message, sizeof message, 0, core::Msg::kSystemError, path,
                   std::strerror(error));
  return 0;
}

int MkWritable(const char *path) {
  if (path == nullptr || path[0] == '\0') return 0;
  return core::Guard(0, [&] {
    if (tovCheckWritable(path) != 0) return 1;
    // Exists but read-only, or an error was met, or the directory could not
    // be prepared: design management has a say in all three.
    std::unique_ptr<lokSpec, SpecDeleter> spec(lokCreateSpec(0, 0, 0, path, 0));
    if (spec == nullptr) return 0;
    if (lokIsManaged(spec.get()) == 0) {
      if (lokCo(spec.get(), 0, 0, 0) == 0) return 1;
      // Code 0: this call has no list line to name.  The caller's own line
      // (with its code) follows when the caller reports the failure.
      char message[kMessageSize];
      core::ReportInto(message, sizeof message, 0, core::Msg::kCheckoutFailed,
                       path, lokCoFailure(spec.get()));
      return 0;
    }
    spec.reset();
    return AddOwnerWrite(path);
  });
}

}  // namespace tov::update

extern "C" TOVUPDTR_API int tovMkWritable(const char *path) {
  return tov::update::MkWritable(path);
}
