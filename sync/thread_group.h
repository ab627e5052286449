#ifndef KORU_SYNC_THREAD_GROUP_H_
#define KORU_SYNC_THREAD_GROUP_H_

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace koru {

// Threads that one owner starts and waits for. A thread whose work is done is joined when the
// owner next starts one, so that it lets go of its stack (and all the libraries kept for it)
// however long the others take; Wait() joins every one. The owner's thread alone calls Start()
// and Wait(); the group waits for its threads when it goes.
class ThreadGroup {
 public:
  ThreadGroup() = default;
  ~ThreadGroup() { Wait(); }
  ThreadGroup(const ThreadGroup&) = delete;
  ThreadGroup& operator=(const ThreadGroup&) = delete;

  template <class Work>
  void Start(Work work) {
    JoinEnded();
    auto ended = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([work = std::move(work), ended]() mutable {
      {
        // The work and all it holds are gone before the thread counts as ended.
        Work done = std::move(work);
        done();
      }
      *ended = true;
    });
    members_.push_back({std::move(thread), std::move(ended)});
  }

  void Wait() {
    for (Member& member : members_) member.thread.join();
    members_.clear();
  }

  // For tests: the threads whose work has ended and that are not joined yet.
  size_t EndedUnjoined() const {
    return static_cast<size_t>(
        std::count_if(members_.begin(), members_.end(),
                      [](const Member& member) { return member.ended->load(); }));
  }

 private:
  struct Member {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> ended;
  };

  void JoinEnded() {
    std::erase_if(members_, [](Member& member) {
      if (!*member.ended) return false;
      member.thread.join();
      return true;
    });
  }

  std::vector<Member> members_;
};

}  // namespace koru

#endif  // KORU_SYNC_THREAD_GROUP_H_
