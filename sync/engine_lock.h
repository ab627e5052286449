#ifndef KORU_SYNC_ENGINE_LOCK_H_
#define KORU_SYNC_ENGINE_LOCK_H_

#include <mutex>
#include <utility>

namespace koru {

// The engine's lock in a run with several connections: the engine's own work (its decisions,
// the totals, the lists of a directory) runs on one thread at a time, and a thread lets go of
// the lock while it waits on the network or for other threads. A thread holds it from the
// moment it takes it until its EngineLock ends.
class EngineLock {
 public:
  explicit EngineLock(std::mutex& mutex) : lock_(mutex), outer_(held_) { held_ = &lock_; }
  ~EngineLock() { held_ = outer_; }
  EngineLock(const EngineLock&) = delete;
  EngineLock& operator=(const EngineLock&) = delete;

  // Runs `work` without the lock, when this thread holds one; at once otherwise.
  template <class Work>
  static decltype(auto) Without(Work&& work) {
    const LetGo let_go;
    return std::forward<Work>(work)();
  }

 private:
  struct LetGo {
    LetGo() : lock(held_) {
      if (lock) lock->unlock();
    }
    ~LetGo() {
      if (lock) lock->lock();
    }
    std::unique_lock<std::mutex>* lock;
  };

  static thread_local std::unique_lock<std::mutex>* held_;
  std::unique_lock<std::mutex> lock_;
  std::unique_lock<std::mutex>* outer_;
};

}  // namespace koru

#endif  // KORU_SYNC_ENGINE_LOCK_H_
