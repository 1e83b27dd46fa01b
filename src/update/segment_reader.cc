#include "update/segment_reader.h"

#include <algorithm>
#include <utility>

namespace tov::update {
namespace {

// How much is read at a time to find where a run ends.
constexpr size_t kProbe = 4096;

}  // namespace

SegmentReader::SegmentReader(Read read, size_t length, InRun in_run,
                             size_t size, std::vector<char> *probe,
                             size_t start, size_t first_size)
    : read_(std::move(read)),
      length_(length),
      in_run_(std::move(in_run)),
      size_(std::max<size_t>(size, 1)),
      probe_(*probe),
      next_(std::min(start, length)),
      aim_(first_size == 0 ? size_ : std::min(first_size, size_)) {}

bool SegmentReader::Next(size_t *offset, size_t *length) {
  if (failed_ || next_ == length_) return false;
  // The segment ends before the first byte outside runs from its target
  // length on: never empty, since that byte lies past its start.
  size_t end = length_ - next_ <= aim_ ? length_ : next_ + aim_;
  aim_ = std::min(aim_ * 2, size_);
  if (probe_.size() < kProbe) probe_.resize(kProbe);
  while (end < length_) {
    const size_t n = std::min(kProbe, length_ - end);
    if (!read_(end, probe_.data(), n)) {
      failed_ = true;
      return false;
    }
    const auto found =
        std::find_if_not(probe_.begin(), probe_.begin() + n, in_run_);
    end += static_cast<size_t>(found - probe_.begin());
    if (found != probe_.begin() + n) break;
  }
  *offset = next_;
  *length = end - next_;
  next_ = end;
  return true;
}

}  // namespace tov::update
