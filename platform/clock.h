#ifndef KORU_PLATFORM_CLOCK_H_
#define KORU_PLATFORM_CLOCK_H_

#include "platform/system_time.h"

namespace koru {

// Local time of day and sleeping; a fake lets tests run long waits in no time.
class Clock {
 public:
  virtual ~Clock() = default;
  // The local time now, with milliseconds (wDayOfWeek filled in).
  virtual SYSTEMTIME Now() = 0;
  virtual void Sleep(int milliseconds) = 0;
};

// The real clock: the process time zone and nanosleep.
class PosixClock : public Clock {
 public:
  SYSTEMTIME Now() override;
  void Sleep(int milliseconds) override;
};

}  // namespace koru

#endif  // KORU_PLATFORM_CLOCK_H_
