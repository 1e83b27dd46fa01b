// Reference parsing at every output size: the bounded parse agrees with the
// unbounded one wherever the components fit, refuses exactly where one does
// not, and never writes past an output (each is a heap block of exactly that
// size, so AddressSanitizer sees the first byte beyond it).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_util.h"
#include "lcv/lcv.h"
#include "tovUpdtr.h"

namespace {

// References longer than any list line add nothing but time.
constexpr size_t kMaxInput = 1100;

struct Outputs {
  explicit Outputs(size_t size) {
    for (auto &b : buf) b.reset(new char[size]);
  }
  char *at(int i, unsigned mask) {
    return (mask >> i) & 1 ? buf[i].get() : nullptr;
  }
  std::unique_ptr<char[]> buf[4];
};

// The reference that the four components spell, as the parser reads it.
std::string Rebuild(const std::string (&c)[4]) {
  std::string s = c[0];
  if (!c[1].empty()) s += "." + c[1];
  if (!c[2].empty()) s += ":" + c[2];
  return s + "/" + (c[3].empty() ? "." : c[3]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > kMaxInput) return 0;
  const std::string input(reinterpret_cast<const char *>(data), size);
  const std::string lcv = input.c_str();  // up to the first NUL

  // The exported parse with outputs as long as the reference: always enough.
  Outputs whole(lcv.size() + 1);
  const int parsed = tovParseLCV(lcv.c_str(), whole.at(0, 15), whole.at(1, 15),
                                 whole.at(2, 15), whole.at(3, 15));
  TOV_FUZZ_CHECK(parsed == 0 || parsed == 1);
  std::string parts[4];
  if (parsed == 1) {
    for (int i = 0; i < 4; ++i) parts[i] = whole.buf[i].get();
    TOV_FUZZ_CHECK(!parts[0].empty());
    TOV_FUZZ_CHECK(Rebuild(parts) == lcv);
  }

  for (size_t out_size = 0; out_size <= lcv.size() + 1; ++out_size) {
    // Every output given, then a subset that changes with the size.
    for (unsigned mask : {15u, static_cast<unsigned>(out_size % 16)}) {
      Outputs part(out_size);
      const int r =
          tov::lcv::ParseLCV(lcv.c_str(), part.at(0, mask), part.at(1, mask),
                             part.at(2, mask), part.at(3, mask), out_size);
      // Without room for anything, nothing is stored and nothing can be too
      // long; a component too long for its output fails the parse only when
      // that output is given.
      bool fits = true;
      if (out_size > 0) {
        for (int i = 0; i < 4; ++i) {
          size_t n = parts[i].size();
          // A file part of "." is stored before it is emptied.
          if (i == 3 && n == 0 && parsed == 1) n = 1;
          if ((mask >> i) & 1 && n >= out_size) fits = false;
        }
      }
      TOV_FUZZ_CHECK(r == (parsed == 1 && fits ? 1 : 0));
      if (r == 1 && out_size > 0) {
        for (int i = 0; i < 4; ++i) {
          if ((mask >> i) & 1) TOV_FUZZ_CHECK(parts[i] == part.buf[i].get());
        }
      }
      if (out_size > 0) {
        // Whatever the outcome, each given output holds a terminated string.
        for (int i = 0; i < 4; ++i) {
          if ((mask >> i) & 1) {
            TOV_FUZZ_CHECK(std::memchr(part.buf[i].get(), '\0', out_size) !=
                           nullptr);
          }
        }
      }
    }
  }
  return 0;
}
