// The whole update of a random text under a random from-to list: the list is
// loaded, its expressions built, and the file of a small design tree
// rewritten.  The first input byte picks the options; the list runs to the
// first NUL byte and the file text is the rest (NUL bytes included).
//
// Promises checked: a dry run and the real update agree; a failed or
// needless update leaves the file byte for byte as it was; the text never
// grows to twice its size; no temporary file is left beside the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "services/regex/mur_regexp.h"
#include "tovUpdtr.h"
#include "update/regexp_list.h"

namespace {

using tov::fuzz::Scratch;
using tov::fuzz::ViewDir;

constexpr size_t kMaxList = 8192;
constexpr size_t kMaxText = 16384;
constexpr int kLevels[] = {4, 4, 4, 4, 0, 1, 2, 3};
constexpr char kReference[] = "lib1.cell:view/f.txt";

int Update(tovUpdtrRegexpList *list, int flags) {
  std::vector<char> line(kReference, kReference + sizeof kReference);
  return tovUpdtrRegexpUpdateFileEx(line.data(), 0, list, "LibraryNT", flags);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const char *bytes = reinterpret_cast<const char *>(data + 1);
  const size_t rest = size - 1;
  const void *nul = std::memchr(bytes, '\0', rest);
  const size_t list_len =
      nul != nullptr ? static_cast<const char *>(nul) - bytes : rest;
  const size_t text_at = nul != nullptr ? list_len + 1 : rest;
  if (list_len > kMaxList || rest - text_at > kMaxText) return 0;
  const std::string text(bytes + text_at, rest - text_at);

  const int level = kLevels[data[0] & 7];
  const int update_type = (data[0] >> 3) & 1;
  const int flags = (data[0] >> 4) & 1 ? TOV_UPDATE_NODE_BY_NODE : 0;
  const int case_sensitive = (data[0] >> 5) & 1;

  Scratch &scratch = Scratch::Get();
  const std::string &view = ViewDir();
  const std::string list_path = scratch.Write("from_to.txt", bytes, list_len);
  const int kind = tovProcessFromToFileEx(list_path.c_str(), level, "LibraryNT",
                                          case_sensitive);
  if (kind == LCV_ERROR) return 0;
  tovUpdtrRegexpList *list = tovUpdtrGenRegexpList(update_type, "LibraryNT");
  if (list == nullptr) return 0;

  const std::string file = scratch.Write("lib1/cell/view/f.txt", text);
  const int dry = Update(list, flags | TOV_UPDATE_DRY_RUN);
  TOV_FUZZ_CHECK(Scratch::Read(file) == text);
  const int real = Update(list, flags);
  TOV_FUZZ_CHECK(real == dry);
  const std::string after = Scratch::Read(file);
  if (real == TOV_UPDATE_CHANGED) {
    TOV_FUZZ_CHECK(after.size() < 2 * text.size());
  } else {
    TOV_FUZZ_CHECK(real == 0 || real == TOV_UPDATE_UNCHANGED);
    TOV_FUZZ_CHECK(after == text);
  }
  TOV_FUZZ_CHECK(Scratch::Names(view) == std::vector<std::string>{"f.txt"});
  tov::update::ReleaseList(list);
  return 0;
}
