#ifndef KORU_LISTING_REMOTE_TIME_H_
#define KORU_LISTING_REMOTE_TIME_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "listing/list_parser.h"
#include "platform/system_time.h"

// Exact remote dates: the time-values of MDTM replies and MLSD facts (always UTC), and the
// server's zone, learnt by comparing the wall-clock time a LIST line shows with the MDTM of the
// same file. An instant is held as seconds since 1970-01-01 00:00:00 UTC; nothing here reads
// the clock or the local zone.
namespace koru {

// A calendar date and time of day, in whatever zone the caller means.
struct CivilTime {
  int32_t year = 1970;
  int32_t month = 1;  // 1 to 12
  int32_t day = 1;
  int32_t hour = 0;
  int32_t minute = 0;
  int32_t second = 0;

  bool operator==(const CivilTime&) const = default;
};

// Seconds since the epoch of `time` read as UTC. Fields out of their range carry over (day 32
// of January is the 1st of February), so any arithmetic on them may be done before the call.
int64_t CivilToSeconds(const CivilTime& time);
// The UTC calendar date and time of day of `seconds` (before the epoch too).
CivilTime SecondsToCivil(int64_t seconds);

// An RFC 3659 time-val, "YYYYMMDDHHMMSS" optionally followed by "." and one or more digits,
// nothing before or after: the instant (UTC), the fraction of a second dropped. None for any
// other text, and for a month, day, hour, minute or second out of its range (second 60, a leap
// second, is taken as the next minute's 0).
std::optional<int64_t> ParseTimeVal(std::string_view text);

// The instant of an MDTM reply line: "213", one blank, a time-val, trailing blanks allowed.
// None for any other reply (a refusal, a directory, a malformed time).
std::optional<int64_t> ParseMdtmReply(std::string_view line);

// The server's offsets from UTC are whole quarter hours from -12:00 to +14:00.
inline constexpr int32_t kEarliestZoneMinutes = -12 * 60;
inline constexpr int32_t kLatestZoneMinutes = 14 * 60;

// Whether `line` is a Unix LIST line whose date shows a time of day in place of a year
// ("Jan 12 12:34"): only such a line's file can tell the server's zone by its MDTM. False for
// a year-only date, for the DOS and dashed layouts and for lines that do not parse.
bool ListLineShowsTime(std::string_view line, const SYSTEMTIME& today);

// The server's offset from UTC in minutes: the wall-clock time `listed` shows (year, month,
// day, hour, minute of a line that shows a time of day) less `mdtm_utc`, the MDTM instant of
// the same file, rounded to the nearest quarter hour (the listing drops the seconds). None when
// that lies outside kEarliestZoneMinutes..kLatestZoneMinutes.
std::optional<int32_t> ServerZoneMinutes(const LISTENTRY& listed, int64_t mdtm_utc);

// "UTC+03:00", "UTC-05:00", "UTC+05:30", "UTC+00:00".
std::string ZoneText(int32_t minutes);

// The instant of the wall-clock time `listed` shows (its seconds 0) on a server whose offset
// from UTC is `zone_minutes`.
int64_t ListedTimeToUtc(const LISTENTRY& listed, int32_t zone_minutes);

}  // namespace koru

#endif  // KORU_LISTING_REMOTE_TIME_H_
