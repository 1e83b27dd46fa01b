// RunCommand on POSIX systems: a program started without a shell, waited for
// within a time limit, and stopped together with the processes it started
// (its process group) when it overruns.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/file_calls.h"
#include "platform/platform.h"

extern char **environ;

namespace tov::platform {
namespace {

using Clock = std::chrono::steady_clock;

// How long a command that was asked to end may take before it is killed.
constexpr std::chrono::milliseconds kGrace(2000);

// Attributes of posix_spawn, destroyed with the scope.
class SpawnAttributes {
 public:
  SpawnAttributes() { ok_ = posix_spawnattr_init(&attr_) == 0; }
  ~SpawnAttributes() {
    if (ok_) posix_spawnattr_destroy(&attr_);
  }
  SpawnAttributes(const SpawnAttributes &) = delete;
  SpawnAttributes &operator=(const SpawnAttributes &) = delete;

  // The child leads a process group of its own, so that it and every
  // process it starts can be signalled together.
  bool NewProcessGroup() {
    return ok_ && posix_spawnattr_setpgroup(&attr_, 0) == 0 &&
           posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETPGROUP) == 0;
  }
  const posix_spawnattr_t *get() const { return &attr_; }

 private:
  posix_spawnattr_t attr_;
  bool ok_ = false;
};

// Whether the child `pid` has ended, without collecting it: while it is not
// collected its number still names its process group.  1 when it has ended,
// 0 when not yet, -1 when it cannot be told.
int HasEnded(pid_t pid) {
  siginfo_t info = {};
  if (RetryOnInterrupt([&] {
        return waitid(P_PID, static_cast<id_t>(pid), &info,
                      WEXITED | WNOHANG | WNOWAIT);
      }) != 0) {
    return -1;
  }
  return info.si_pid == pid ? 1 : 0;
}

// Sleeps a little, longer the longer the command has run already (from 1
// to 50 ms), but not past `until`.
void Nap(std::chrono::milliseconds *step, Clock::time_point until) {
  const auto left = until - Clock::now();
  if (left <= Clock::duration::zero()) return;
  std::this_thread::sleep_for(std::min<Clock::duration>(*step, left));
  if (*step < std::chrono::milliseconds(50)) *step *= 2;
}

// Collects the child `pid`; false when its status cannot be had.
bool Collect(pid_t pid, int *status) {
  return RetryOnInterrupt([&] { return waitpid(pid, status, 0); }) != -1;
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string> &argv,
                         int64_t limit_ms) {
  CommandResult result;
  if (argv.empty()) return result;
  std::vector<char *> args;
  args.reserve(argv.size() + 1);
  for (const std::string &arg : argv) {
    args.push_back(const_cast<char *>(arg.c_str()));
  }
  args.push_back(nullptr);
  SpawnAttributes attributes;
  if (!attributes.NewProcessGroup()) {
    result.value = errno;
    return result;
  }
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, args[0], nullptr, attributes.get(),
                              args.data(), environ);
  if (rc != 0) {
    errno = rc;
    result.value = rc;
    return result;
  }
  const bool limited = limit_ms > 0;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(limited ? limit_ms : 0);
  int ended = 0;
  if (!limited) {
    ended = 1;
  } else {
    auto step = std::chrono::milliseconds(1);
    while ((ended = HasEnded(pid)) == 0 && Clock::now() < deadline) {
      Nap(&step, deadline);
    }
  }
  if (ended == 0) {
    // Overrun: the whole group is asked to end, and what is left of it when
    // the command has ended, or after the grace, is killed.
    kill(-pid, SIGTERM);
    const Clock::time_point grace_end = Clock::now() + kGrace;
    auto step = std::chrono::milliseconds(1);
    while (HasEnded(pid) == 0 && Clock::now() < grace_end) {
      Nap(&step, grace_end);
    }
    kill(-pid, SIGKILL);
    int status = 0;
    Collect(pid, &status);
    result.end = CommandEnd::kTimedOut;
    return result;
  }
  int status = 0;
  if (!Collect(pid, &status)) {
    result.end = CommandEnd::kUnknown;
    result.value = errno;
    return result;
  }
  if (WIFEXITED(status)) {
    result.end = CommandEnd::kExited;
    result.value = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.end = CommandEnd::kSignaled;
    result.value = WTERMSIG(status);
  } else {
    result.end = CommandEnd::kUnknown;
  }
  return result;
}

}  // namespace tov::platform
