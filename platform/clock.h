#ifndef KORU_PLATFORM_CLOCK_H_
#define KORU_PLATFORM_CLOCK_H_

#include <cstdint>

#include "platform/system_time.h"

namespace koru {

// Local time of day and sleeping; a fake lets tests run long waits in no time.
class Clock {
 public:
  virtual ~Clock() = default;
  // The local time now, with milliseconds (wDayOfWeek filled in).
  virtual SYSTEMTIME Now() = 0;
  virtual void Sleep(int milliseconds) = 0;
  // Milliseconds on a clock that only moves forward, for measuring waits.
  virtual int64_t MonotonicMs() = 0;
};

// The real clock: the process time zone and nanosleep.
class PosixClock : public Clock {
 public:
  SYSTEMTIME Now() override;
  void Sleep(int milliseconds) override;
  int64_t MonotonicMs() override;
};

}  // namespace koru

#endif  // KORU_PLATFORM_CLOCK_H_
