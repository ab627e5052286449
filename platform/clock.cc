#include "platform/clock.h"

#include <sys/time.h>
#include <time.h>

#include <cerrno>

#include "platform/local_file.h"

namespace koru {

SYSTEMTIME PosixClock::Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  SYSTEMTIME t = EpochToLocal(static_cast<int64_t>(now.tv_sec));
  t.wMilliseconds = static_cast<uint16_t>(now.tv_nsec / 1000000);
  return t;
}

int64_t PosixClock::MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void PosixClock::Sleep(int milliseconds) {
  if (milliseconds <= 0) return;
  timespec left{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) == -1 && errno == EINTR) {
  }
}

}  // namespace koru
