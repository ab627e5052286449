#include "listing/remote_time.h"

#include <cstdio>

namespace koru {
namespace {

constexpr int64_t kSecondsPerDay = 86400;

// Days since 1970-01-01 of a proleptic Gregorian date (any month, carried into the year).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year += (month - 1) / 12;
  month = (month - 1) % 12 + 1;
  if (month <= 0) {
    month += 12;
    --year;
  }
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

bool IsLeapYear(int32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int32_t DaysInMonth(int32_t year, int32_t month) {
  static constexpr int32_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// The number the `count` digits at `text[from]` spell; -1 when one of them is no digit.
int32_t Digits(std::string_view text, size_t from, size_t count) {
  int32_t value = 0;
  for (size_t i = from; i < from + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

bool AllDigits(std::string_view text) {
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Rounds `value` to the nearest multiple of `unit` (> 0), halves away from zero.
int64_t RoundToMultiple(int64_t value, int64_t unit) {
  const int64_t half = unit / 2;
  return value >= 0 ? (value + half) / unit * unit : -((-value + half) / unit * unit);
}

CivilTime ListedCivil(const LISTENTRY& listed) {
  return {listed.year, listed.month, listed.day, listed.hour, listed.minute, 0};
}

}  // namespace

int64_t CivilToSeconds(const CivilTime& time) {
  return DaysFromCivil(time.year, time.month, 1) * kSecondsPerDay +
         (time.day - 1) * kSecondsPerDay + time.hour * int64_t{3600} + time.minute * int64_t{60} +
         time.second;
}

CivilTime SecondsToCivil(int64_t seconds) {
  int64_t days = seconds / kSecondsPerDay;
  int64_t rest = seconds % kSecondsPerDay;
  if (rest < 0) {
    rest += kSecondsPerDay;
    --days;
  }
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t shifted_month = (5 * day_of_year + 2) / 153;
  const int64_t month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  const int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  CivilTime time;
  time.year = static_cast<int32_t>(year);
  time.month = static_cast<int32_t>(month);
  time.day = static_cast<int32_t>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
  time.hour = static_cast<int32_t>(rest / 3600);
  time.minute = static_cast<int32_t>(rest % 3600 / 60);
  time.second = static_cast<int32_t>(rest % 60);
  return time;
}

std::optional<int64_t> ParseTimeVal(std::string_view text) {
  if (text.size() < 14) return std::nullopt;
  if (text.size() > 14 && (text[14] != '.' || text.size() == 15 || !AllDigits(text.substr(15)))) {
    return std::nullopt;
  }
  const CivilTime time{Digits(text, 0, 4),  Digits(text, 4, 2),  Digits(text, 6, 2),
                       Digits(text, 8, 2),  Digits(text, 10, 2), Digits(text, 12, 2)};
  if (time.year < 0 || time.month < 1 || time.month > 12 || time.day < 1 ||
      time.day > DaysInMonth(time.year, time.month) || time.hour < 0 || time.hour > 23 ||
      time.minute < 0 || time.minute > 59 || time.second < 0 || time.second > 60) {
    return std::nullopt;
  }
  return CivilToSeconds(time);
}

std::optional<int64_t> ParseMdtmReply(std::string_view line) {
  if (line.size() < 4 || line.substr(0, 4) != "213 ") return std::nullopt;
  std::string_view value = line.substr(4);
  while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
  return ParseTimeVal(value);
}

bool ListLineShowsTime(std::string_view line, const SYSTEMTIME& today) {
  LISTENTRY entry;
  if (!PARSELISTLINE(line, entry, today)) return false;
  // A line that shows a time takes its year from `today`; a year written in the line stays.
  SYSTEMTIME later = today;
  later.wYear = static_cast<uint16_t>(today.wYear + 2);
  LISTENTRY again;
  return PARSELISTLINE(line, again, later) && again.year != entry.year;
}

std::optional<int32_t> ServerZoneMinutes(const LISTENTRY& listed, int64_t mdtm_utc) {
  const int64_t offset = RoundToMultiple(CivilToSeconds(ListedCivil(listed)) - mdtm_utc, 900);
  const int64_t minutes = offset / 60;
  if (minutes < kEarliestZoneMinutes || minutes > kLatestZoneMinutes) return std::nullopt;
  return static_cast<int32_t>(minutes);
}

std::string ZoneText(int32_t minutes) {
  const int32_t magnitude = minutes < 0 ? -minutes : minutes;
  char text[32];
  std::snprintf(text, sizeof text, "UTC%c%02d:%02d", minutes < 0 ? '-' : '+', magnitude / 60,
                magnitude % 60);
  return text;
}

int64_t ListedTimeToUtc(const LISTENTRY& listed, int32_t zone_minutes) {
  return CivilToSeconds(ListedCivil(listed)) - int64_t{zone_minutes} * 60;
}

}  // namespace koru
