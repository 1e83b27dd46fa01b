// Cutting a large text into segments that a one-pass rewrite can take one
// at a time: each segment ends right before a byte outside the word runs
// (or at the end of the text), so that no run is cut, and the rewrite of
// the segments one after the other is the rewrite of the whole.
#ifndef TOVUPDTR_UPDATE_SEGMENT_READER_H_
#define TOVUPDTR_UPDATE_SEGMENT_READER_H_

#include <cstddef>
#include <functional>
#include <vector>

namespace tov::update {

class SegmentReader {
 public:
  // Reads the `n` bytes of the text that start at `offset` into `buf`;
  // false when they cannot all be read.
  using Read = std::function<bool(size_t offset, char *buf, size_t n)>;
  // Whether a byte may stand inside a run.
  using InRun = std::function<bool(char c)>;

  // The text of `length` bytes that `read` reads, from `start` (a cut that
  // an earlier reader made, or 0) on, in segments of at least `size` bytes
  // (more where a run goes on past that; the last may be shorter).  With a
  // `first_size`, the first segment is aimed at that size instead, and each
  // next one at twice the one before, up to `size`.  Only the bytes around
  // each cut are read, into `probe`.
  SegmentReader(Read read, size_t length, InRun in_run, size_t size,
                std::vector<char> *probe, size_t start = 0,
                size_t first_size = 0);

  // The next segment: `*length` bytes from `*offset`.  False at the end of
  // the text, or when a read failed (failed() then says so).
  bool Next(size_t *offset, size_t *length);
  bool failed() const { return failed_; }

 private:
  Read read_;
  size_t length_;
  InRun in_run_;
  size_t size_;
  std::vector<char> &probe_;
  size_t next_;  // where the next segment starts
  size_t aim_;   // the size it is aimed at
  bool failed_ = false;
};

}  // namespace tov::update

#endif  // TOVUPDTR_UPDATE_SEGMENT_READER_H_
