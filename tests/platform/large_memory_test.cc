#include "gtest/gtest.h"
#include "platform/platform.h"

namespace {

TEST(LargeMemory, ZeroedWritableAndKeptWhenFilledAhead) {
  // Below and above the size of a large page, and across its boundary.
  for (size_t size :
       {size_t{2}, size_t{100000}, (size_t{2} << 20) + 3, size_t{5} << 20}) {
    auto *p = static_cast<unsigned char *>(tov::platform::AllocateLarge(size));
    ASSERT_NE(p, nullptr);
    size_t nonzero = 0;
    for (size_t i = 0; i < size; i += 4093) nonzero += p[i] != 0;
    nonzero += p[size - 1] != 0;
    EXPECT_EQ(nonzero, 0u) << size;
    p[0] = 1;
    p[size - 1] = 2;
    // Filling ahead, from an unaligned place, keeps what was written.
    tov::platform::PrefaultLarge(p + size / 3, size - size / 3);
    tov::platform::PrefaultLarge(p, size);
    EXPECT_EQ(p[0], 1);
    EXPECT_EQ(p[size - 1], 2);
    p[size / 2] = 3;
    EXPECT_EQ(p[size / 2], 3);
    tov::platform::FreeLarge(p, size);
  }
}

}  // namespace
