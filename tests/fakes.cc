#include "tests/fakes.h"

#include <chrono>

namespace koru::testing {

int64_t FakeClock::MonotonicMs() {
  const auto since_start = std::chrono::steady_clock::now().time_since_epoch();
  if (!follows_real_time) return skipped_ms;
  return std::chrono::duration_cast<std::chrono::milliseconds>(since_start).count() + skipped_ms;
}

void FakeClock::Advance(int milliseconds) {
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
