#ifndef KORU_SYNC_THREAD_GROUP_H_
#define KORU_SYNC_THREAD_GROUP_H_

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

namespace koru {

// Threads that go their own way: each lets go of everything it held (its stack included) as
// soon as its work is done, however long the others take. Wait() returns once every one
// started has ended; the group waits for them when it goes.
class ThreadGroup {
 public:
  ThreadGroup() = default;
  ~ThreadGroup() { Wait(); }
  ThreadGroup(const ThreadGroup&) = delete;
  ThreadGroup& operator=(const ThreadGroup&) = delete;

  template <class Work>
  void Start(Work work) {
    {
      const std::lock_guard lock(mutex_);
      ++running_;
    }
    std::thread([this, work = std::move(work)]() mutable {
      {
        // The work and all it holds are gone before the group hears of the end.
        Work done = std::move(work);
        done();
      }
      const std::lock_guard lock(mutex_);
      if (--running_ == 0) ended_.notify_all();
    }).detach();
  }

  void Wait() {
    std::unique_lock lock(mutex_);
    ended_.wait(lock, [&] { return running_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable ended_;
  int running_ = 0;
};

}  // namespace koru

#endif  // KORU_SYNC_THREAD_GROUP_H_
