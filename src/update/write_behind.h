// Writing a file's content on a thread of its own while the content is being
// made, so that the two overlap instead of taking turns.
#ifndef TOVUPDTR_UPDATE_WRITE_BEHIND_H_
#define TOVUPDTR_UPDATE_WRITE_BEHIND_H_

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

#include "platform/platform.h"

namespace tov::update {

// Takes the bytes of a content as they are made, copies them into one of a
// few buffers, and hands each full buffer to `sink` on a thread of its own,
// in order.  Where no thread can be had, the buffers go to the sink on the
// calling thread as they fill.
class WriteBehind {
 public:
  // The most buffers.
  static constexpr unsigned kMaxSlots = 8;
  // `memory` holds `slots` buffers of `slot_size` bytes each (2 <= slots <=
  // kMaxSlots).
  WriteBehind(const platform::ContentSink &sink, char *memory, size_t slot_size,
              unsigned slots);
  // Stops the writing thread, whatever it had left to write.
  ~WriteBehind();
  WriteBehind(const WriteBehind &) = delete;
  WriteBehind &operator=(const WriteBehind &) = delete;

  // Takes the `n` bytes at `p`; false once the sink has failed.
  bool Put(const char *p, size_t n);
  // Hands over what was taken and waits until the sink has it all; false
  // when a call of the sink failed, with the error number that call left.
  bool Finish();

 private:
  char *Slot(size_t k) const { return memory_ + (k % slots_) * slot_size_; }
  // Hands the slot being filled over, and waits until the next one is free;
  // false once the sink has failed.
  bool HandOver();
  // The sink's call for slot `k`, `length` bytes; records a failure.
  void WriteSlot(size_t k, size_t length);
  // The writing thread.
  void Write();

  const platform::ContentSink &sink_;
  char *memory_;
  size_t slot_size_;
  size_t slots_;
  size_t filled_ = 0;  // of the slot being filled, number produced_

  std::mutex mutex_;
  std::condition_variable changed_;
  size_t produced_ = 0;             // slots handed over
  size_t consumed_ = 0;             // slots written
  size_t lengths_[kMaxSlots] = {};  // of the slots handed over
  bool stopping_ = false;
  bool failed_ = false;
  int error_ = 0;  // the error number of the failed sink call
  std::thread writer_;
};

}  // namespace tov::update

#endif  // TOVUPDTR_UPDATE_WRITE_BEHIND_H_
