#include "services/design_management/lok.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

struct lokSpec {
  std::string path;
};

namespace tov::lok {
namespace {

constexpr char kCheckoutVariable[] = "TOVUPDTR_CHECKOUT_CMD";

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
  std::vector<std::string> argv = tov::lok::CheckoutCommand();
  if (argv.empty()) return 1;
  // The path is one argument whatever it holds: no shell ever sees it.
  argv.push_back(spec->path);
  if (tov::platform::RunCommand(argv) != 0) return 1;
  // A command that exits 0 but leaves the file read-only has not checked it
  // out as far as the caller is concerned.
  return tov::platform::Access(spec->path.c_str(), tov::platform::kWriteOk) == 0
             ? 0
             : 1;
}

int lokFreeSpec(lokSpec *spec) {
  std::unique_ptr<lokSpec> owned(spec);
  return 0;
}
