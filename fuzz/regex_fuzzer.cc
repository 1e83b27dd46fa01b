// The regular-expression dialect: any pattern compiles or is refused, and a
// search of any text (NUL bytes included) reports a match whose groups lie
// inside the text and inside the whole match, each starting before it ends.
// The input is the pattern, a NUL byte, and the text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "services/regex/mur_regexp.h"

namespace {

constexpr size_t kMaxPattern = 512;
constexpr size_t kMaxText = 8192;

// Checks what the last search of `prog` over [text, text + len) left.
void CheckGroups(const murRegexp *prog, int matched, const char *text,
                 size_t len) {
  TOV_FUZZ_CHECK(matched == 0 || matched == 1);
  if (matched == 0) {
    for (int i = 0; i < kMurGroups; ++i) {
      TOV_FUZZ_CHECK(prog->startp[i] == nullptr && prog->endp[i] == nullptr);
    }
    return;
  }
  const char *start = prog->startp[0];
  const char *end = prog->endp[0];
  TOV_FUZZ_CHECK(start != nullptr && end != nullptr);
  TOV_FUZZ_CHECK(text <= start && start <= end && end <= text + len);
  for (int i = 1; i < kMurGroups; ++i) {
    const char *s = prog->startp[i];
    const char *e = prog->endp[i];
    TOV_FUZZ_CHECK((s == nullptr) == (e == nullptr));
    if (s == nullptr) continue;
    TOV_FUZZ_CHECK(start <= s && s <= e && e <= end);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *bytes = reinterpret_cast<const char *>(data);
  const void *nul = std::memchr(bytes, '\0', size);
  const size_t pattern_len =
      nul != nullptr ? static_cast<const char *>(nul) - bytes : size;
  if (pattern_len > kMaxPattern) return 0;
  const std::string pattern(bytes, pattern_len);
  const size_t text_at = nul != nullptr ? pattern_len + 1 : size;
  const std::string text(bytes + text_at, size - text_at);
  if (text.size() > kMaxText) return 0;

  murRegexp *prog = mur_regcomp(pattern.c_str());
  // The same pattern with a frame cut off it, of lengths the input picks:
  // it is the same expression, refused alike, and finds the same.
  const size_t head = size % 5;
  const size_t tail = size / 5 % 5;
  murRegexp *framed = mur_regcomp_framed(pattern.c_str(), head, tail);
  TOV_FUZZ_CHECK((framed == nullptr) == (prog == nullptr));
  if (prog == nullptr) return 0;
  TOV_FUZZ_CHECK(pattern == mur_regsource(prog));

  // The whole text, then the rest after each match, as the updater searches:
  // '^' holds again at every new start.
  size_t scan = 0;
  for (int searches = 0; searches < 64 && scan <= text.size(); ++searches) {
    const char *rest = text.data() + scan;
    const size_t len = text.size() - scan;
    const int matched = mur_regexecn(prog, rest, len);
    CheckGroups(prog, matched, rest, len);
    if (matched != 1) break;
    const size_t end = static_cast<size_t>(prog->endp[0] - text.data());
    scan = end > scan ? end : scan + 1;
  }

  // A text without NUL bytes searched as a C string finds the same.
  if (text.find('\0') == std::string::npos) {
    const int by_length = mur_regexecn(prog, text.c_str(), text.size());
    const char *start = prog->startp[0];
    const char *end = prog->endp[0];
    const int by_nul = mur_regexec(prog, text.c_str());
    CheckGroups(prog, by_nul, text.c_str(), text.size());
    TOV_FUZZ_CHECK(by_nul == by_length);
    TOV_FUZZ_CHECK(prog->startp[0] == start && prog->endp[0] == end);
  }

  TOV_FUZZ_CHECK(pattern == mur_regsource(framed));
  const int whole = mur_regexecn(prog, text.data(), text.size());
  TOV_FUZZ_CHECK(mur_regexecn(framed, text.data(), text.size()) == whole);
  TOV_FUZZ_CHECK(framed->startp[0] == prog->startp[0] &&
                 framed->endp[0] == prog->endp[0]);
  mur_regfree(framed);
  mur_regfree(prog);
  return 0;
}
