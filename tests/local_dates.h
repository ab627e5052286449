#ifndef KORU_TESTS_LOCAL_DATES_H_
#define KORU_TESTS_LOCAL_DATES_H_

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "gtest/gtest.h"
#include "platform/system_time.h"

// Dates of local files in tests, in local time and to the minute, as the program compares them.
// They are made with the C library alone, never with the program's own date functions, so a
// fault there cannot hide itself.
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

// Seconds since the epoch of the local time `date`.
inline int64_t EpochOfLocal(const SYSTEMTIME& date) {
  std::tm tm{};
  tm.tm_year = date.wYear - 1900;
  tm.tm_mon = date.wMonth - 1;
  tm.tm_mday = date.wDay;
  tm.tm_hour = date.wHour;
  tm.tm_min = date.wMinute;
  tm.tm_sec = date.wSecond;
  tm.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&tm));
}

// The local time of `seconds` since the epoch, to the minute (no week day, seconds or
// milliseconds).
inline SYSTEMTIME LocalMinuteOf(int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm tm{};
  localtime_r(&time, &tm);
  return Date(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min);
}

// Sets the last-access and last-write times of `path` to `date`.
inline void StampDate(const std::string& path, const SYSTEMTIME& date) {
  const timespec times[2] = {{static_cast<std::time_t>(EpochOfLocal(date)), 0},
                             {static_cast<std::time_t>(EpochOfLocal(date)), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// The last-write time of `path` to the minute.
inline SYSTEMTIME DateToTheMinute(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return SYSTEMTIME{};
  return LocalMinuteOf(static_cast<int64_t>(info.st_mtim.tv_sec));
}

}  // namespace koru::testing

#endif  // KORU_TESTS_LOCAL_DATES_H_
