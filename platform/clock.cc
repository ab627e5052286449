#include "platform/clock.h"

#include <sys/time.h>
#include <time.h>

#include <cerrno>

namespace koru {

SYSTEMTIME PosixClock::Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  SYSTEMTIME t;
  t.wYear = static_cast<uint16_t>(local.tm_year + 1900);
  t.wMonth = static_cast<uint16_t>(local.tm_mon + 1);
  t.wDayOfWeek = static_cast<uint16_t>(local.tm_wday);
  t.wDay = static_cast<uint16_t>(local.tm_mday);
  t.wHour = static_cast<uint16_t>(local.tm_hour);
  t.wMinute = static_cast<uint16_t>(local.tm_min);
  t.wSecond = static_cast<uint16_t>(local.tm_sec);
  t.wMilliseconds = static_cast<uint16_t>(now.tv_nsec / 1000000);
  return t;
}

void PosixClock::Sleep(int milliseconds) {
  if (milliseconds <= 0) return;
  timespec left{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) == -1 && errno == EINTR) {
  }
}

}  // namespace koru
