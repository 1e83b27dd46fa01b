// Closing descriptors of replaced files on a thread of their own.
//
// When the last descriptor of a file that no longer has a name is closed,
// the system releases the file's blocks there and then; on a file system
// that tells the disk about every released block, that close waits for the
// disk (tens of milliseconds for a large file, a fraction of one for each
// of thousands of small ones).  A replacement that holds the old file open
// across its rename hands the descriptor over here, as do the readers of
// the file, and goes on with the next file while a thread of this
// unit closes them.
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace tov::platform {
namespace {

// With this many descriptors waiting, the next one is closed by its caller:
// the descriptors held stay few (a program that calls the library may need
// its own), and a disk that cannot keep up slows the replacements down to
// its pace.  A few are enough to overlap the waits with the next files.
constexpr size_t kMostWaiting = 16;
// An idle thread ends after this long, so that a program that replaces a
// file now and then does not keep one.
constexpr auto kIdleEnd = std::chrono::milliseconds(200);

class Closer {
 public:
  // Never destroyed, so that a child made by fork() (which has no copy of
  // the thread) never destroys a thread object that is not its own; the
  // thread is ended by Stop() instead, when the library is unloaded or the
  // program ends.
  static Closer &Get() {
    static Closer *closer = Made() = new Closer();
    return *closer;
  }
  // The closer, or NULL when none was ever needed.
  static Closer *&Made() {
    static Closer *made = nullptr;
    return made;
  }

  // A descriptor to close.
  struct Job {
    int fd;

    void Do() const {
      if (fd >= 0) close(fd);
    }
  };

  void Add(const Job &job) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!stopped_ && waiting_.size() < kMostWaiting && Start()) {
        waiting_.push_back(job);
        wake_.notify_one();
        return;
      }
    }
    job.Do();
  }

  void WaitIdle() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return waiting_.empty() && closing_ == 0; });
  }

  // Closes what is waiting and ends the thread.
  void Stop() {
    std::unique_ptr<std::thread> thread;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      stopped_ = true;
      wake_.notify_one();
      thread = std::move(thread_);
    }
    if (thread != nullptr && thread->joinable()) thread->join();
  }

 private:
  Closer() { pthread_atfork(Prepare, Parent, Child); }

  // A thread to close with, started when none runs; false when none can be.
  // With mutex_ held.
  bool Start() {
    if (running_) return true;
    // The thread object of one that ended when idle.
    std::unique_ptr<std::thread> ended = std::move(thread_);
    if (ended != nullptr && ended->joinable()) ended->join();
    try {
      const SignalsHeldBack held;
      thread_ = std::make_unique<std::thread>([this] { Run(); });
    } catch (const std::exception &) {
      return false;
    }
    running_ = true;
    return true;
  }

  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (waiting_.empty()) {
        idle_.notify_all();
        if (!stopped_) {
          wake_.wait_for(lock, kIdleEnd,
                         [this] { return !waiting_.empty() || stopped_; });
        }
        // Idle for a while, or told to stop with nothing left to close.
        if (waiting_.empty()) break;
      }
      const Job job = waiting_.back();
      waiting_.pop_back();
      ++closing_;
      lock.unlock();
      job.Do();
      lock.lock();
      --closing_;
    }
    running_ = false;
  }

  // fork() copies the descriptors, not the thread: the parent's
  // lock is taken across the fork so that the child gets consistent lists,
  // and the child closes its copies of what is waiting itself.
  static void Prepare() { Get().mutex_.lock(); }
  static void Parent() { Get().mutex_.unlock(); }
  static void Child() {
    Closer &closer = Get();
    for (const Job &job : closer.waiting_) job.Do();
    closer.waiting_.clear();
    closer.closing_ = 0;
    closer.running_ = false;
    closer.stopped_ = true;  // the child closes at once from now on
    // The parent's thread object: kept (it must be neither joined nor
    // destroyed here) and reachable.
    if (closer.thread_ != nullptr) {
      closer.forgotten_.push_back(std::move(closer.thread_));
    }
    closer.mutex_.unlock();
  }

  std::mutex mutex_;
  std::condition_variable wake_;  // something to close, or stop
  std::condition_variable idle_;  // nothing waiting or being closed
  std::vector<Job> waiting_;
  int closing_ = 0;
  bool running_ = false;
  bool stopped_ = false;
  std::unique_ptr<std::thread> thread_;
  std::vector<std::unique_ptr<std::thread> > forgotten_;
};

// Ends the thread when the library is unloaded or the program ends, after
// it has closed what was handed to it.
struct StopAtEnd {
  ~StopAtEnd() {
    if (Closer *closer = Closer::Made()) closer->Stop();
  }
} stop_at_end;

}  // namespace

void CloseLater(int fd) {
  if (fd >= 0) Closer::Get().Add({fd});
}

void WaitForLaterCloses() { Closer::Get().WaitIdle(); }

}  // namespace tov::platform
