// The library-definition file: any content is read or refused with a
// reason, a refused file leaves the definitions in force before it, and the
// paths of the libraries it defines fit their outputs exactly.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "services/design_library/bev.h"
#include "tovUpdtr.h"

namespace {

using tov::fuzz::Scratch;

constexpr size_t kMaxInput = 16384;

// The words after "library" on the lines of `text`: the names it defines.
std::vector<std::string> DefinedNames(const std::string &text) {
  std::vector<std::string> names;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string keyword, name;
    if (words >> keyword >> name && keyword == "library") {
      names.push_back(name);
    }
  }
  return names;
}

// Asks for the path of `lib` (and below it `cell`, `view`, `file`) with an
// output of exactly `size` bytes; checks that a path is written only on
// success and always fits.  Returns the path, or "" on failure.
std::string PathOf(const std::string &lib, const char *cell, const char *view,
                   const char *file, size_t size) {
  std::unique_ptr<char[]> out(new char[size == 0 ? 1 : size]);
  std::memset(out.get(), 'Z', size == 0 ? 1 : size);
  const int rc = bevGetPath(0, 0, lib.c_str(), cell, view, file, out.get(),
                            static_cast<int>(size));
  if (rc != 0) {
    TOV_FUZZ_CHECK(rc == kBevNoLibrary || rc == kBevTooLong);
    for (size_t i = 0; i < size; ++i) TOV_FUZZ_CHECK(out[i] == 'Z');
    return "";
  }
  TOV_FUZZ_CHECK(size > 0);
  const size_t length = strnlen(out.get(), size);
  TOV_FUZZ_CHECK(length < size);
  return std::string(out.get(), length);
}

// A definition file that is always read: the library "base" and a library
// whose directory records a name space.
std::string &BaseFile() {
  static std::string *path = [] {
    Scratch &s = Scratch::Get();
    mkdir(s.Path("ns").c_str(), 0755);
    s.Write("ns/.namespace", std::string("LibraryUnix \n"));
    s.Write("inc.defs", std::string("library inc sub/inc\n"));
    return new std::string(
        s.Write("base.defs", std::string("library base base\n"
                                         "library nslib ns\n")));
  }();
  return *path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > kMaxInput) return 0;
  Scratch &scratch = Scratch::Get();
  TOV_FUZZ_CHECK(bevInit(BaseFile().c_str(), 0, 0, 0, "") == 0);
  TOV_FUZZ_CHECK(bevLastError()[0] == '\0');
  const std::string base_path = PathOf("base", nullptr, nullptr, nullptr, 4096);
  TOV_FUZZ_CHECK(!base_path.empty());

  const std::string text(reinterpret_cast<const char *>(data), size);
  const std::string defs = scratch.Write("fuzz.defs", text);
  const int rc = bevInit(defs.c_str(), 0, 0, 0, "");
  const char *reason = bevLastError();
  TOV_FUZZ_CHECK(reason != nullptr);
  if (rc != 0) {
    // Refused with a reason, and "base" still where it was.
    TOV_FUZZ_CHECK(reason[0] != '\0');
    TOV_FUZZ_CHECK(PathOf("base", nullptr, nullptr, nullptr, 4096) ==
                   base_path);
    return 0;
  }
  TOV_FUZZ_CHECK(reason[0] == '\0');

  for (const std::string &name : DefinedNames(text)) {
    const std::string dir = PathOf(name, nullptr, nullptr, nullptr, 4096);
    if (dir.empty()) continue;  // a name this reader of lines misread
    // The exact size fits, one byte less does not.
    TOV_FUZZ_CHECK(PathOf(name, nullptr, nullptr, nullptr, dir.size() + 1) ==
                   dir);
    TOV_FUZZ_CHECK(PathOf(name, nullptr, nullptr, nullptr, dir.size()).empty());
    const std::string file = PathOf(name, "cell", "view", "f.txt", 260);
    if (!file.empty()) TOV_FUZZ_CHECK(file.compare(0, dir.size(), dir) == 0);
    if (const char *space = daxGetNameSpace(dir.c_str())) {
      const size_t n = std::strlen(space);
      TOV_FUZZ_CHECK(n > 0 && n <= kBevMaxNameSpaceLength);
    }
  }
  return 0;
}
