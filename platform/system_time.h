#ifndef KORU_PLATFORM_SYSTEM_TIME_H_
#define KORU_PLATFORM_SYSTEM_TIME_H_

#include <cstdint>

namespace koru {

// The date record every date of the program is held in, in local time.
struct SYSTEMTIME {
  uint16_t wYear = 0;
  uint16_t wMonth = 0;
  uint16_t wDayOfWeek = 0;
  uint16_t wDay = 0;
  uint16_t wHour = 0;
  uint16_t wMinute = 0;
  uint16_t wSecond = 0;
  uint16_t wMilliseconds = 0;

  bool operator==(const SYSTEMTIME&) const = default;
};

}  // namespace koru

#endif  // KORU_PLATFORM_SYSTEM_TIME_H_
