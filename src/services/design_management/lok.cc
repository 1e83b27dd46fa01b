#include "services/design_management/lok.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

struct lokSpec {
  std::string path;
  std::string failure;  // why the last check-out failed; "" otherwise
};

namespace tov::lok {
namespace {

constexpr char kCheckoutVariable[] = "TOVUPDTR_CHECKOUT_CMD";
constexpr char kTimeoutVariable[] = "TOVUPDTR_CHECKOUT_TIMEOUT";

// The time limit of a check-out when the variable gives none that can be
// read, in seconds; and the largest one taken (about 30 years).
constexpr double kDefaultTimeout = 300;
constexpr double kLongestTimeout = 1e9;

// The words of the check-out command (split on blanks and tabs); empty when
// the variable is unset or holds no word.
std::vector<std::string> CheckoutCommand() {
  std::vector<std::string> words;
  const char *value = std::getenv(kCheckoutVariable);
  if (value == nullptr) return words;
  std::string word;
  for (const char *p = value;; ++p) {
    if (*p == ' ' || *p == '\t' || *p == '\0') {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
      if (*p == '\0') break;
    } else {
      word.push_back(*p);
    }
  }
  return words;
}

// The time limit in seconds: the variable's value when it is a positive
// number (blanks around it allowed), the default otherwise.
double TimeoutSeconds() {
  const char *value = std::getenv(kTimeoutVariable);
  if (value == nullptr) return kDefaultTimeout;
  char *end = nullptr;
  errno = 0;
  const double seconds = std::strtod(value, &end);
  if (end == value || errno == ERANGE) return kDefaultTimeout;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0' || !(seconds > 0) || std::isinf(seconds)) {
    return kDefaultTimeout;
  }
  return seconds < kLongestTimeout ? seconds : kLongestTimeout;
}

// A number as the reasons show it: "300", "1.5", "0.001".
std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

// Why a command that ran as `result` did not check the file out; "" when it
// exited with status 0.
std::string Failure(const tov::platform::CommandResult &result,
                    double timeout) {
  using tov::platform::CommandEnd;
  switch (result.end) {
    case CommandEnd::kNotStarted:
      return "not found";
    case CommandEnd::kExited:
      if (result.value == 0) return "";
      return "exit status " + std::to_string(result.value);
    case CommandEnd::kSignaled:
      return "killed by signal " + std::to_string(result.value);
    case CommandEnd::kTimedOut:
      return "timed out after " + Number(timeout) + " s";
    case CommandEnd::kUnknown:
      break;
  }
  return "its end could not be told";
}

}  // namespace
}  // namespace tov::lok

lokSpec *lokCreateSpec(int, int, int, const char *path, int) {
  if (path == nullptr || path[0] == '\0') return nullptr;
  auto spec = std::make_unique<lokSpec>();
  spec->path = path;
  return spec.release();  // the caller frees it with lokFreeSpec
}

int lokIsManaged(lokSpec *spec) {
  if (spec == nullptr) return 1;
  if (tov::lok::CheckoutCommand().empty()) return 1;
  return tov::platform::Access(spec->path.c_str(), tov::platform::kExists) == 0
             ? 0
             : 1;
}

int lokCo(lokSpec *spec, int, int, int) {
  if (spec == nullptr) return 1;
  spec->failure.clear();
  std::vector<std::string> argv = tov::lok::CheckoutCommand();
  if (argv.empty()) {
    spec->failure = "no command is set";
    return 1;
  }
  // The path is one argument whatever it holds: no shell ever sees it.
  argv.push_back(spec->path);
  const double timeout = tov::lok::TimeoutSeconds();
  // At least 1 ms: a limit of 0 would mean none.
  const int64_t limit_ms = static_cast<int64_t>(std::ceil(timeout * 1000));
  spec->failure =
      tov::lok::Failure(tov::platform::RunCommand(argv, limit_ms), timeout);
  if (!spec->failure.empty()) return 1;
  // A command that exits 0 but leaves the file read-only has not checked it
  // out as far as the caller is concerned.
  if (tov::platform::Access(spec->path.c_str(), tov::platform::kWriteOk) != 0 ||
      lokIsWriteProtected(spec->path.c_str()) != 0) {
    spec->failure = "left the file write-protected";
    return 1;
  }
  return 0;
}

const char *lokCoFailure(const lokSpec *spec) {
  return spec != nullptr ? spec->failure.c_str() : "";
}

int lokIsWriteProtected(const char *path) {
  tov::platform::FileStatus status;
  if (path == nullptr || tov::platform::Stat(path, &status) != 0) return 0;
  // Owner, group and other write bits: where none is set, only a process
  // that the system lets write anything (root) could write the file.
  return (status.mode & 0222u) == 0 ? 1 : 0;
}

int lokFreeSpec(lokSpec *spec) {
  std::unique_ptr<lokSpec> owned(spec);
  return 0;
}
