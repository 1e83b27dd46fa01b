// A from-to list as file content, loaded at every level, in both case modes
// and in three element name spaces.  The first input byte picks the options,
// the rest is the file.  A load that succeeds leaves a mapping whose
// elements have the shape of their level and are found again from both
// sides.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_util.h"
#include "mapping/mapping_table.h"
#include "tovUpdtr.h"

namespace {

using tov::fuzz::Scratch;

constexpr size_t kMaxInput = 65536;
// Levels 0 to 4, and one that yields no element.
constexpr int kLevels[] = {0, 1, 2, 3, 4, 9};
constexpr const char *kNameSpaces[] = {"LibraryNT", "LibraryUnix",
                                       "NoSuchSpace"};

const char *const *Members(const tovUpdtrHashElement *e, int side) {
  static const char *m[4];
  if (side == 0) {
    m[0] = e->fromLib, m[1] = e->fromCell, m[2] = e->fromView,
    m[3] = e->fromFile;
  } else {
    m[0] = e->toLib, m[1] = e->toCell, m[2] = e->toView, m[3] = e->toFile;
  }
  return m;
}

bool SameSide(const tovUpdtrHashElement *a, const tovUpdtrHashElement *b,
              int side) {
  const char *x[4], *y[4];
  for (int i = 0; i < 4; ++i) x[i] = Members(a, side)[i];
  for (int i = 0; i < 4; ++i) y[i] = Members(b, side)[i];
  for (int i = 0; i < 4; ++i) {
    if (tov::mapping::StrCmp(x[i], y[i]) != 0) return false;
  }
  return true;
}

void CheckMapping(int level) {
  FILE *sink = std::fopen("/dev/null", "w");
  if (sink != nullptr) {
    tovUpdtrHashDump(sink);
    std::fclose(sink);
  }
  TOV_FUZZ_CHECK(tovUpdtrHashStartGen() != nullptr);
  int count = 0;
  while (tovUpdtrHashElement *e = tovUpdtrHashNext()) {
    ++count;
    for (int side = 0; side < 2; ++side) {
      for (int i = 0; i < 4; ++i)
        TOV_FUZZ_CHECK(Members(e, side)[i] != nullptr);
    }
    if (level == 4) {
      // One name each, or none where a line adds a cell or view that the
      // from side lacks.
      int named = 0;
      for (int i = 0; i < 4; ++i) named += Members(e, 0)[i][0] != '\0';
      TOV_FUZZ_CHECK(named <= 1 && e->fromFile[0] == '\0');
      TOV_FUZZ_CHECK(tovUpdtrHashIsElementAnAtom(e) == named);
    } else {
      TOV_FUZZ_CHECK(level <= 3);
      // Nothing below the requested level.
      for (int i = level + 1; i < 4; ++i) {
        TOV_FUZZ_CHECK(Members(e, 0)[i][0] == '\0');
        TOV_FUZZ_CHECK(Members(e, 1)[i][0] == '\0');
      }
      TOV_FUZZ_CHECK(e->fromLib[0] != '\0' && e->toLib[0] != '\0');
    }
    // One element per from-part; every to-part is found again.
    TOV_FUZZ_CHECK(tovUpdtrHashProbe(e) == e);
    const tovUpdtrHashElement *by_to = tovUpdtrXHashProbe(e, 0);
    TOV_FUZZ_CHECK(by_to != nullptr && SameSide(by_to, e, 1));
  }
  if (level != 4 && level > 3) TOV_FUZZ_CHECK(count == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > kMaxInput) return 0;
  const int level = kLevels[data[0] % 6];
  const int case_sensitive = (data[0] >> 3) & 1;
  const char *name_space = kNameSpaces[(data[0] >> 4) % 3];
  const std::string list =
      Scratch::Get().Write("from_to.txt", data + 1, size - 1);

  const int kind =
      tovProcessFromToFileEx(list.c_str(), level, name_space, case_sensitive);
  TOV_FUZZ_CHECK(kind >= LCV_UNSET && kind <= LCV_FILE_CHANGED);
  if (kind != LCV_ERROR) CheckMapping(level);
  return 0;
}
