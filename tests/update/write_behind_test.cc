#include "update/write_behind.h"

#include <atomic>
#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

using tov::update::WriteBehind;

TEST(WriteBehind, BytesReachTheSinkWholeAndInOrder) {
  // Pieces smaller than a slot, of a slot's size and many slots long, into
  // slots of a few bytes: every piece is cut and the slots wrap around
  // again and again.
  std::mt19937 rng(5);
  for (size_t slot_size : {1, 3, 64}) {
    for (unsigned slots : {2u, 4u}) {
      std::string sent, received;
      int calls = 0;
      const tov::platform::ContentSink sink = [&](const char *p, size_t n) {
        EXPECT_LE(n, slot_size);
        received.append(p, n);
        ++calls;
        return true;
      };
      std::vector<char> memory(slot_size * slots);
      WriteBehind behind(sink, memory.data(), slot_size, slots);
      for (int i = 0; i < 300; ++i) {
        std::string piece(rng() % (3 * slot_size + 2), '\0');
        for (char &c : piece) c = static_cast<char>('a' + rng() % 26);
        sent += piece;
        ASSERT_TRUE(behind.Put(piece.data(), piece.size()));
      }
      ASSERT_TRUE(behind.Finish());
      EXPECT_EQ(received, sent) << slot_size << " bytes by " << slots;
      EXPECT_EQ(static_cast<size_t>(calls),
                (sent.size() + slot_size - 1) / slot_size);
    }
  }
}

TEST(WriteBehind, FailedWriteStopsTheWritingAndKeepsItsErrorNumber) {
  std::atomic<int> calls{0};
  const tov::platform::ContentSink sink = [&](const char *, size_t) {
    // The third call fails, as a full disk would make it.
    if (++calls < 3) return true;
    errno = ENOSPC;
    return false;
  };
  std::vector<char> memory(4 * 8);
  WriteBehind behind(sink, memory.data(), 8, 4);
  const std::string piece(5, 'x');
  bool refused = false;
  for (int i = 0; i < 1000 && !refused; ++i) {
    refused = !behind.Put(piece.data(), piece.size());
  }
  EXPECT_TRUE(refused);
  errno = 0;
  EXPECT_FALSE(behind.Finish());
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(calls.load(), 3);  // nothing more after the failure
}

TEST(WriteBehind, LeftWithoutFinishingItStops) {
  // A content that failed half-way is given up: the writer stops with
  // slots still to write, and the sink outlives it.
  int calls = 0;
  const tov::platform::ContentSink sink = [&](const char *, size_t) {
    ++calls;
    return true;
  };
  std::vector<char> memory(2 * 4);
  {
    WriteBehind behind(sink, memory.data(), 4, 2);
    const std::string text(10, 'y');
    EXPECT_TRUE(behind.Put(text.data(), text.size()));
  }
  EXPECT_LE(calls, 2);
}

}  // namespace
