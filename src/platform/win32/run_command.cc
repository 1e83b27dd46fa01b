// RunCommand on Windows: a program started without a shell, waited for within
// a time limit, and stopped together with the processes it started (its job)
// when it overruns.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include "platform/platform.h"

namespace tov::platform {
namespace {

using Clock = std::chrono::steady_clock;

// One argument as the C run-time of the started program splits its command
// line back: quoted when it holds blanks or quotes, with the backslashes
// before a quote (and before the closing quote) doubled.
std::string QuoteArgument(const std::string &arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
    return arg;
  }
  std::string out = "\"";
  for (size_t i = 0;; ++i) {
    size_t backslashes = 0;
    while (i < arg.size() && arg[i] == '\\') {
      ++i;
      ++backslashes;
    }
    if (i == arg.size()) {
      out.append(backslashes * 2, '\\');
      break;
    }
    if (arg[i] == '"') {
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    out.push_back(arg[i]);
  }
  out.push_back('"');
  return out;
}

struct HandleCloser {
  void operator()(void *handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// Waits for `process` until `deadline` (none when `limited` is false); true
// when it ended.
bool WaitUntil(HANDLE process, bool limited, Clock::time_point deadline) {
  for (;;) {
    DWORD wait = INFINITE;
    if (limited) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - Clock::now());
      if (left.count() <= 0) {
        return WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
      }
      // One wait covers at most about 24 days; a longer limit takes several.
      wait = left.count() < 0x7fffffff ? static_cast<DWORD>(left.count())
                                       : 0x7fffffff;
    }
    const DWORD rc = WaitForSingleObject(process, wait);
    if (rc == WAIT_OBJECT_0) return true;
    if (rc != WAIT_TIMEOUT) return false;
  }
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string> &argv,
                         int64_t limit_ms) {
  CommandResult result;
  if (argv.empty()) return result;
  std::string line;
  for (const std::string &arg : argv) {
    if (!line.empty()) line.push_back(' ');
    line += QuoteArgument(arg);
  }
  // The command writes where the calling program writes: it inherits the
  // standard handles, and only them of all the handles that could be
  // inherited.
  HANDLE inherited[3];
  DWORD count = 0;
  STARTUPINFOEXA startup = {};
  startup.StartupInfo.cb = sizeof startup;
  HANDLE *std_handles[3] = {&startup.StartupInfo.hStdInput,
                            &startup.StartupInfo.hStdOutput,
                            &startup.StartupInfo.hStdError};
  const DWORD kinds[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE,
                          STD_ERROR_HANDLE};
  for (int i = 0; i < 3; ++i) {
    HANDLE h = GetStdHandle(kinds[i]);
    DWORD flags = 0;
    if (h == nullptr || h == INVALID_HANDLE_VALUE ||
        !GetHandleInformation(h, &flags) || !(flags & HANDLE_FLAG_INHERIT)) {
      continue;
    }
    *std_handles[i] = h;
    bool listed = false;
    for (DWORD k = 0; k < count; ++k) listed = listed || inherited[k] == h;
    if (!listed) inherited[count++] = h;
  }
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> attributes(size);
  auto *list =
      reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
  const bool inherit = count > 0 && size > 0 &&
                       InitializeProcThreadAttributeList(list, 1, 0, &size) &&
                       UpdateProcThreadAttribute(
                           list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                           inherited, count * sizeof(HANDLE), nullptr, nullptr);
  if (inherit) {
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.lpAttributeList = list;
  }
  // Started suspended, so that it is in its job before it can start
  // processes of its own: stopping the job stops them all.
  PROCESS_INFORMATION info = {};
  const DWORD creation =
      CREATE_SUSPENDED | (inherit ? EXTENDED_STARTUPINFO_PRESENT : 0);
  const BOOL started = CreateProcessA(nullptr, &line[0], nullptr, nullptr,
                                      inherit ? TRUE : FALSE, creation, nullptr,
                                      nullptr, &startup.StartupInfo, &info);
  if (inherit) DeleteProcThreadAttributeList(list);
  if (!started) {
    result.value = static_cast<int64_t>(GetLastError());
    return result;
  }
  Handle process(info.hProcess);
  Handle thread(info.hThread);
  // Without a job (where the program's own job forbids one) only the
  // command itself can be stopped.
  Handle job(CreateJobObjectA(nullptr, nullptr));
  if (job != nullptr && !AssignProcessToJobObject(job.get(), process.get())) {
    job.reset();
  }
  ResumeThread(thread.get());
  const bool limited = limit_ms > 0;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(limited ? limit_ms : 0);
  if (!WaitUntil(process.get(), limited, deadline)) {
    // Windows has no request to end that every program hears: the command
    // and the processes of its job are ended at once.
    if (job != nullptr) TerminateJobObject(job.get(), 1);
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), INFINITE);
    result.end = limited && Clock::now() >= deadline ? CommandEnd::kTimedOut
                                                     : CommandEnd::kUnknown;
    return result;
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(process.get(), &code)) {
    result.end = CommandEnd::kUnknown;
    return result;
  }
  result.end = CommandEnd::kExited;
  result.value = static_cast<int64_t>(code);
  return result;
}

}  // namespace tov::platform
