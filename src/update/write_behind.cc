#include "update/write_behind.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace tov::update {

WriteBehind::WriteBehind(const platform::ContentSink &sink, char *memory,
                         size_t slot_size, unsigned slots)
    : sink_(sink),
      memory_(memory),
      slot_size_(slot_size),
      slots_(std::clamp(slots, 2u, kMaxSlots)) {
  try {
    const platform::SignalsHeldBack held;
    writer_ = std::thread([this] { Write(); });
  } catch (...) {
    // No thread to be had: the slots are written as they fill.
  }
}

WriteBehind::~WriteBehind() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (writer_.joinable()) writer_.join();
}

bool WriteBehind::Put(const char *p, size_t n) {
  if (slot_size_ == 0) return n == 0;  // nowhere to put anything
  while (n > 0) {
    if (filled_ == slot_size_ && !HandOver()) return false;
    const size_t take = std::min(n, slot_size_ - filled_);
    // The slot being filled is the producer's alone until handed over.
    std::memcpy(Slot(produced_) + filled_, p, take);
    filled_ += take;
    p += take;
    n -= take;
  }
  return true;
}

void WriteBehind::WriteSlot(size_t k, size_t length) {
  bool skip;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    skip = failed_;
  }
  // After a failure nothing more reaches the sink.
  if (skip || length == 0 || sink_(Slot(k), length)) return;
  const int error = errno;
  std::lock_guard<std::mutex> lock(mutex_);
  failed_ = true;
  error_ = error;
}

bool WriteBehind::HandOver() {
  std::unique_lock<std::mutex> lock(mutex_);
  lengths_[produced_ % slots_] = filled_;
  ++produced_;
  filled_ = 0;
  if (!writer_.joinable()) {
    const size_t length = lengths_[consumed_ % slots_];
    lock.unlock();
    WriteSlot(consumed_, length);
    lock.lock();
    ++consumed_;
    return !failed_;
  }
  changed_.notify_all();
  // The next slot is free once the writer has written what it held.
  changed_.wait(lock,
                [this] { return produced_ - consumed_ < slots_ || failed_; });
  return !failed_;
}

void WriteBehind::Write() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return consumed_ < produced_ || stopping_; });
    if (stopping_) return;
    const size_t k = consumed_;
    const size_t length = lengths_[k % slots_];
    lock.unlock();
    WriteSlot(k, length);
    lock.lock();
    ++consumed_;
    changed_.notify_all();
  }
}

bool WriteBehind::Finish() {
  if (filled_ > 0) HandOver();
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return consumed_ == produced_; });
  if (failed_) errno = error_;
  return !failed_;
}

}  // namespace tov::update
