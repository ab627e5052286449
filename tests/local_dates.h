#ifndef KORU_TESTS_LOCAL_DATES_H_
#define KORU_TESTS_LOCAL_DATES_H_

#include <cstdint>
#include <string>

#include "gtest/gtest.h"
#include "platform/local_file.h"
#include "platform/system_time.h"

// Dates of local files in tests, in local time and to the minute, as the program compares them.
namespace koru::testing {

inline SYSTEMTIME Date(int year, int month, int day, int hour = 0, int minute = 0,
                       int second = 0) {
  SYSTEMTIME t;
  t.wYear = static_cast<uint16_t>(year);
  t.wMonth = static_cast<uint16_t>(month);
  t.wDay = static_cast<uint16_t>(day);
  t.wHour = static_cast<uint16_t>(hour);
  t.wMinute = static_cast<uint16_t>(minute);
  t.wSecond = static_cast<uint16_t>(second);
  return t;
}

// Sets the last-access and last-write times of `path` to `date`.
inline void StampDate(const std::string& path, const SYSTEMTIME& date) {
  int64_t seconds = 0;
  ASSERT_TRUE(LocalToEpoch(date, &seconds));
  ASSERT_TRUE(SetLocalFileTimes(path, true, true, seconds));
}

// The last-write time of `path` to the minute (no week day, seconds or milliseconds).
inline SYSTEMTIME DateToTheMinute(const std::string& path) {
  SYSTEMTIME t = EpochToLocal(StatLocal(path).modified_seconds);
  t.wDayOfWeek = 0;
  t.wSecond = 0;
  t.wMilliseconds = 0;
  return t;
}

}  // namespace koru::testing

#endif  // KORU_TESTS_LOCAL_DATES_H_
