#include "ftp/transfer_status.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/fakes.h"

namespace koru {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(RateMeterTest, MeasuresTheLastSecondsOfATransfer) {
  struct Case {
    const char* what;
    std::vector<std::pair<int64_t, int64_t>> readings;  // ms, bytes; the first starts the meter
    int64_t ms;
    int64_t bytes;
    int64_t rate;
  };
  // 8,192 bytes every 100 ms from 0 ms to `until`.
  const auto steady = [](int64_t until) {
    std::vector<std::pair<int64_t, int64_t>> readings;
    for (int64_t ms = 0; ms <= until; ms += 100) readings.push_back({ms, ms / 100 * 8192});
    return readings;
  };
  std::vector<std::pair<int64_t, int64_t>> slower = steady(3000);
  for (int64_t ms = 3100; ms <= 6000; ms += 100) slower.push_back({ms, 30 * 8192 + (ms - 3000)});
  const std::vector<Case> cases = {
      {"too soon to tell", {{0, 0}}, 150, 50000, -1},
      {"from the start", {{0, 0}}, 200, 16384, 81920},
      {"a resumed count starts where the meter started", {{0, 5000}}, 500, 5000 + 40960, 81920},
      {"steady", steady(2000), 2000, 20 * 8192, 81920},
      {"over the last three seconds only", slower, 6000, 30 * 8192 + 3000, 1000},
      {"readings closer than 100 ms are passed over", {{0, 0}, {50, 999999}}, 1000, 10000, 10000},
      {"nothing more came", steady(2000), 9000, 20 * 8192, 0},
  };
  for (const Case& c : cases) {
    RateMeter meter(c.readings[0].first, c.readings[0].second);
    for (size_t i = 1; i < c.readings.size(); ++i) {
      meter.Add(c.readings[i].first, c.readings[i].second);
    }
    EXPECT_EQ(meter.BytesPerSecond(c.ms, c.bytes), c.rate) << c.what;
  }
}

class TransferStatusTest : public ::testing::Test {
 protected:
  TransferStatusTest() {
    clock.follows_real_time = false;
    console.status_line = true;
  }

  testing::RecordingConsole console;
  testing::FakeClock clock;
  Options options;
  RunSettings state;
  Env env{console, clock};
};

TEST_F(TransferStatusTest, PacerDrawsFromItsFirstMomentAtMostEvery100Ms) {
  {
    StatusPacer pacer(env, 500);
    std::vector<int64_t> due_at;
    for (int ms = 0; ms <= 1000; ms += 30) {
      if (pacer.Due()) due_at.push_back(clock.MonotonicMs());
      clock.Advance(30);
    }
    EXPECT_THAT(due_at, ElementsAre(510, 630, 750, 870, 990));
    pacer.Show(ListingStatus{"/pub/", 3});
    EXPECT_FALSE(pacer.Due()) << "a line shown resets the pace";
    EXPECT_TRUE(console.status_shown);
  }
  EXPECT_FALSE(console.status_shown) << "erased when the activity ends";
}

TEST_F(TransferStatusTest, WithoutAStatusLineNothingIsDrawn) {
  console.status_line = false;
  {
    StatusPacer pacer(env, 0);
    EXPECT_FALSE(pacer.Due());
    pacer.Show(BusyStatus{1, 10, 90});
    DownloadProgress progress(env, state, "/pub/a.txt", 0, 100);
    clock.Advance(1000);
    progress.Update(50);
    progress.Redraw();
  }
  EXPECT_THAT(console.statuses, IsEmpty());
}

TEST_F(TransferStatusTest, DownloadShowsTheFileSoFarItsRateAndTimeLeft) {
  struct Case {
    const char* what;
    int64_t offset;
    int64_t expected;
    int64_t received;  // after 2 s
    int delay_ms;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"fresh", 0, 1000000, 200000, 0, "/pub/a.bin  20%  200,000 / 1,000,000  97.7 KiB/s  0:08"},
      {"resumed: starts at the share present", 600000, 400000, 0, 0,
       "/pub/a.bin  60%  600,000 / 1,000,000  0 B/s  --:--"},
      {"resumed, moving", 600000, 400000, 100000, 300,
       "/pub/a.bin  70%  700,000 / 1,000,000  48.8 KiB/s  0:06  delay 300 ms"},
      {"size unknown", 0, -1, 3000000, 0, "/pub/a.bin  3,000,000 bytes  1.4 MiB/s"},
  };
  for (const Case& c : cases) {
    console.statuses.clear();
    state.BlockDelay = c.delay_ms;
    {
      DownloadProgress progress(env, state, "/pub/a.bin", c.offset, c.expected);
      clock.Advance(2000);
      progress.Update(c.received);
    }
    EXPECT_THAT(console.statuses, ElementsAre(c.line)) << c.what;
    EXPECT_FALSE(console.status_shown) << c.what;
  }
}

TEST_F(TransferStatusTest, DownloadLineWaitsItsFirst200MsExceptForADelayChange) {
  DownloadProgress progress(env, state, "/pub/a.bin", 0, 1000);
  clock.Advance(150);
  progress.Update(100);
  EXPECT_THAT(console.statuses, IsEmpty()) << "a file that comes at once leaves no line";
  state.BlockDelay = 100;
  progress.Redraw();
  EXPECT_THAT(console.statuses, ElementsAre("/pub/a.bin  10%  100 / 1,000  --:--  delay 100 ms"));
}

}  // namespace
}  // namespace koru
