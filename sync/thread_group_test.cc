#include "sync/thread_group.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>

namespace koru {
namespace {

// Counts the works alive: a work's captures go before the group hears that it ended.
struct Alive {
  explicit Alive(std::atomic<int>& count) : count_(count) { ++count_; }
  ~Alive() { --count_; }
  std::atomic<int>& count_;
};

TEST(ThreadGroupTest, WaitReturnsOnceEveryWorkAndWhatItHeldIsGone) {
  std::atomic<int> alive = 0;
  std::atomic<int> done = 0;
  {
    ThreadGroup group;
    for (int round = 0; round < 3; ++round) {
      for (int i = 0; i < 20; ++i) {
        group.Start([held = std::make_shared<Alive>(alive), &done] { ++done; });
      }
      group.Wait();
      EXPECT_EQ(done, 20 * (round + 1));
      EXPECT_EQ(alive, 0);
    }
    group.Start([held = std::make_shared<Alive>(alive), &done] { ++done; });
  }  // the group waits as it goes
  EXPECT_EQ(done, 61);
  EXPECT_EQ(alive, 0);
}

TEST(ThreadGroupTest, StartJoinsTheThreadsWhoseWorkHasEnded) {
  ThreadGroup group;
  std::promise<void> release;
  group.Start([] {});
  while (group.EndedUnjoined() == 0) std::this_thread::yield();
  group.Start([held = release.get_future()]() mutable { held.wait(); });
  EXPECT_EQ(group.EndedUnjoined(), 0u);  // the first joined, the second still at work
  release.set_value();
  group.Wait();
}

}  // namespace
}  // namespace koru
