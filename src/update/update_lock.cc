#include "update/update_lock.h"

#include <cstdint>
#include <string>

#include "core/guard.h"
#include "core/messages.h"
#include "platform/platform.h"
#include "tovUpdtr.h"
#include "update/update_state.h"

namespace tov::update {

using core::Msg;

bool UpdateLock::Take(int code, const std::string &path) {
  platform::SetErrorNumber(0);
  switch (lock_.Take(path, LayerState().lock_wait_ms)) {
    case platform::FileLock::kNotPossible:
      error_ = platform::ErrorNumber();
      return true;
    case platform::FileLock::kBusy: {
      const platform::LockHolder &holder = lock_.holder();
      const std::string pid =
          holder.pid > 0 ? std::to_string(holder.pid) : std::string("?");
      core::Report(code, Msg::kFileLocked, path.c_str(), pid.c_str(),
                   holder.host.empty() ? "?" : holder.host.c_str(),
                   lock_.lock_path().c_str());
      return false;
    }
    case platform::FileLock::kTaken:
      break;
  }
  met_another_ = lock_.met_another();
  if (lock_.broken() && lock_.stale().pid > 0) {
    core::Report(code, Msg::kStaleLockRemoved, lock_.lock_path().c_str(),
                 std::to_string(lock_.stale().pid).c_str());
  } else if (lock_.broken()) {
    core::Report(code, Msg::kStaleUpdateRemoved, lock_.lock_path().c_str());
  }
  // The journal is looked for every time, not only after a lock left
  // behind: a file half rewritten must never be read as it is, even where
  // its lock was removed by hand.
  platform::SetErrorNumber(0);
  switch (platform::RecoverFromJournal(path)) {
    case platform::Recovery::kNothing:
      return true;
    case platform::Recovery::kRestored:
      met_another_ = true;
      core::Report(code, Msg::kRestoredFromJournal, path.c_str());
      return true;
    case platform::Recovery::kIncomplete:
      core::Report(code, Msg::kJournalDiscarded,
                   platform::JournalPathOf(path).c_str());
      return true;
    case platform::Recovery::kFailed:
      break;
  }
  const int error = platform::ErrorNumber();
  core::Report(code, Msg::kJournalUnusable,
               platform::JournalPathOf(path).c_str(), path.c_str());
  core::ReportReason(code, error);
  return false;
}

bool UpdateLock::MayWrite(int code, const char *path) const {
  if (lock_.taken()) return true;
  core::Report(code, Msg::kLockFailed, path);
  core::ReportReason(code, error_);
  return false;
}

}  // namespace tov::update

extern "C" TOVUPDTR_API int tovUpdtrSetLockWait(int milliseconds) {
  return tov::core::Guard(-1, [&] {
    tov::update::UpdateState &state = tov::update::LayerState();
    const auto before = static_cast<int>(state.lock_wait_ms);
    if (milliseconds >= 0) state.lock_wait_ms = milliseconds;
    return before;
  });
}

extern "C" TOVUPDTR_API void tovUpdtrCleanup(void) {
  tov::platform::CleanUpNow();
}
