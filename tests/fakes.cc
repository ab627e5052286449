#include "tests/fakes.h"

#include <algorithm>
#include <chrono>

namespace koru::testing {

bool RecordingConsole::WaitForKey(Clock& clock, int ms) {
  if (key_arrived) return true;
  if (arriving_keys.empty() || waited_ms + ms < arriving_keys.front().after_ms) {
    clock.Sleep(ms);
    waited_ms += ms;
    return false;
  }
  const ArrivingKey arriving = arriving_keys.front();
  arriving_keys.pop_front();
  const int64_t until_key = arriving.after_ms - waited_ms;
  if (until_key > 0) clock.Sleep(static_cast<int>(until_key));
  waited_ms = std::max(waited_ms, arriving.after_ms);
  keys.push_front(arriving.key);
  key_arrived = true;
  return true;
}

int64_t FakeClock::MonotonicMs() {
  const auto since_start = std::chrono::steady_clock::now().time_since_epoch();
  const std::lock_guard lock(mutex_);
  if (!follows_real_time) return skipped_ms;
  return std::chrono::duration_cast<std::chrono::milliseconds>(since_start).count() + skipped_ms;
}

void FakeClock::AdvanceLocked(int milliseconds) {
  skipped_ms += milliseconds;
  int64_t ms = now.wMilliseconds + int64_t{milliseconds};
  int64_t seconds = now.wSecond + ms / 1000;
  int64_t minutes = now.wMinute + seconds / 60;
  int64_t hours = now.wHour + minutes / 60;
  now.wMilliseconds = static_cast<uint16_t>(ms % 1000);
  now.wSecond = static_cast<uint16_t>(seconds % 60);
  now.wMinute = static_cast<uint16_t>(minutes % 60);
  now.wHour = static_cast<uint16_t>(hours % 24);  // a test never runs past one day
}

}  // namespace koru::testing
