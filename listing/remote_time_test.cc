#include "listing/remote_time.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tests/local_dates.h"

namespace koru {
namespace {

using testing::Date;

int64_t Utc(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
            int32_t second) {
  return CivilToSeconds({year, month, day, hour, minute, second});
}

TEST(CivilTime, CountsSecondsFromTheEpochBothWays) {
  struct Case {
    CivilTime time;
    int64_t seconds;
  };
  const Case cases[] = {
      {{1970, 1, 1, 0, 0, 0}, 0},
      {{1969, 12, 31, 23, 59, 59}, -1},
      {{2000, 2, 29, 23, 59, 59}, 951868799},
      {{2024, 3, 5, 12, 34, 56}, 1709642096},
      {{2026, 12, 31, 20, 45, 0}, 1798749900},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CivilToSeconds(c.time), c.seconds) << c.seconds;
    EXPECT_EQ(SecondsToCivil(c.seconds), c.time) << c.seconds;
  }
  // Fields beyond their range carry over.
  EXPECT_EQ(CivilToSeconds({2026, 13, 1, 0, 0, 0}), CivilToSeconds({2027, 1, 1, 0, 0, 0}));
  EXPECT_EQ(CivilToSeconds({2026, 2, 29, 24, 0, 0}), CivilToSeconds({2026, 3, 2, 0, 0, 0}));
  EXPECT_EQ(CivilToSeconds({2026, 0, 31, 0, 0, 0}), CivilToSeconds({2025, 12, 31, 0, 0, 0}));
}

TEST(TimeVal, ReadsUtcToTheSecondAndRejectsAnythingElse) {
  const int64_t t = 1709642096;  // 2024-03-05 12:34:56 UTC
  struct Case {
    const char* text;
    std::optional<int64_t> instant;
  };
  const Case cases[] = {
      {"20240305123456", t},
      {"20240305123456.7", t},
      {"20240305123456.789123", t},
      {"19700101000000", 0},
      {"20240229000000", Utc(2024, 2, 29, 0, 0, 0)},
      {"20240305123460", t + 4},  // a leap second
      {"20230229000000", std::nullopt},
      {"20241305123456", std::nullopt},
      {"20240005123456", std::nullopt},
      {"20240431123456", std::nullopt},
      {"20240305243456", std::nullopt},
      {"20240305126056", std::nullopt},
      {"20240305123461", std::nullopt},
      {"2024030512345", std::nullopt},
      {"202403051234567", std::nullopt},
      {"20240305123456.", std::nullopt},
      {"20240305123456.5x", std::nullopt},
      {" 20240305123456", std::nullopt},
      {"2024-3-5123456", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseTimeVal(c.text), c.instant) << c.text;
}

TEST(MdtmReply, GivesTheInstantOfA213OnlyOtherwiseNothing) {
  const int64_t t = 1709642096;
  struct Case {
    const char* line;
    std::optional<int64_t> instant;
  };
  const Case cases[] = {
      {"213 20240305123456", t},
      {"213 20240305123456.123", t},
      {"213 20240305123456  ", t},
      {"550 a.txt: No such file or directory", std::nullopt},
      {"500 Unknown command", std::nullopt},
      {"213-20240305123456", std::nullopt},
      {"213 2024030512", std::nullopt},
      {"213  20240305123456", std::nullopt},
      {"2130 20240305123456", std::nullopt},
      {"213", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseMdtmReply(c.line), c.instant) << c.line;
}

TEST(ListLineShowsTime, OnlyUnixDatesWithATimeOfDay) {
  const SYSTEMTIME today = Date(2026, 12, 10);
  EXPECT_TRUE(ListLineShowsTime("-rw-r--r--   1 ftp ftp   6 Mar  5 12:34 a.txt", today));
  EXPECT_TRUE(ListLineShowsTime("-rw-r--r--   1 ftp ftp   6 Dec 11 00:00 a.txt", today));
  EXPECT_FALSE(ListLineShowsTime("-rw-r--r--   1 ftp ftp   6 Mar  5  2001 a.txt", today));
  EXPECT_FALSE(ListLineShowsTime("-rw-r--r--   1 ftp ftp   6 Mar  5  2026 12:00", today));
  EXPECT_FALSE(ListLineShowsTime("03-15-99  02:05PM                 1024 a.txt", today));
  EXPECT_FALSE(ListLineShowsTime("total 12", today));
}

// The probe: the wall-clock time a LIST line shows against the MDTM of the same file.
TEST(ServerZone, ComesFromTheListedTimeAndTheMdtmRoundedToAQuarterHour) {
  struct Case {
    const char* what;
    const char* date;  // as the server lists it
    SYSTEMTIME today;  // the client's
    int64_t mdtm;
    std::optional<int32_t> zone;
  };
  const Case cases[] = {
      {"five hours west", "Mar 10 12:20", Date(2026, 3, 11), Utc(2026, 3, 10, 17, 20, 7), -300},
      {"UTC, MDTM second 59", "Mar 10 12:20", Date(2026, 3, 11), Utc(2026, 3, 10, 12, 20, 59),
       0},
      {"UTC, server clock a second ahead", "Mar 10 12:21", Date(2026, 3, 11),
       Utc(2026, 3, 10, 12, 20, 59), 0},
      {"half hour, into the new year", "Jan  1 02:15", Date(2027, 1, 1),
       Utc(2026, 12, 31, 20, 45, 0), 330},
      {"fourteen hours east, into March", "Mar  1 01:00", Date(2026, 3, 1),
       Utc(2026, 2, 28, 11, 0, 30), 840},
      {"west, back into February of a leap year", "Feb 29 22:10", Date(2024, 3, 1),
       Utc(2024, 3, 1, 3, 10, 0), -300},
      {"twelve hours west", "Mar 10 00:20", Date(2026, 3, 11), Utc(2026, 3, 10, 12, 20, 0),
       -720},
      {"beyond twelve hours west", "Mar 10 00:05", Date(2026, 3, 11),
       Utc(2026, 3, 10, 12, 20, 0), std::nullopt},
      {"beyond fourteen hours east", "Mar 11 02:35", Date(2026, 3, 11),
       Utc(2026, 3, 10, 12, 20, 0), std::nullopt},
      {"a year away", "Mar 10 12:20", Date(2026, 3, 11), Utc(2025, 3, 10, 12, 20, 0),
       std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string line = std::string("-rw-r--r--   1 ftp ftp   6 ") + c.date + " a.txt";
    ASSERT_TRUE(ListLineShowsTime(line, c.today));
    LISTENTRY listed;
    ASSERT_TRUE(PARSELISTLINE(line, listed, c.today));
    EXPECT_EQ(ServerZoneMinutes(listed, c.mdtm), c.zone);
    if (c.zone) {
      EXPECT_NEAR(ListedTimeToUtc(listed, *c.zone), c.mdtm, 60);
    }
  }
}

TEST(ServerZone, CorrectsListedTimesToUtc) {
  LISTENTRY listed;
  ASSERT_TRUE(PARSELISTLINE("-rw-r--r-- 1 a b 6 Jan  1 02:15 f", listed, Date(2027, 1, 5)));
  EXPECT_EQ(ListedTimeToUtc(listed, 330), Utc(2026, 12, 31, 20, 45, 0));
  EXPECT_EQ(ListedTimeToUtc(listed, -300), Utc(2027, 1, 1, 7, 15, 0));
  EXPECT_EQ(ListedTimeToUtc(listed, 0), Utc(2027, 1, 1, 2, 15, 0));
  // A year-only date is midnight of its day.
  ASSERT_TRUE(PARSELISTLINE("-rw-r--r-- 1 a b 6 Mar  5  2001 f", listed, Date(2027, 1, 5)));
  EXPECT_EQ(ListedTimeToUtc(listed, 180), Utc(2001, 3, 4, 21, 0, 0));
}

TEST(ServerZone, Text) {
  EXPECT_EQ(ZoneText(180), "UTC+03:00");
  EXPECT_EQ(ZoneText(-300), "UTC-05:00");
  EXPECT_EQ(ZoneText(330), "UTC+05:30");
  EXPECT_EQ(ZoneText(0), "UTC+00:00");
  EXPECT_EQ(ZoneText(-570), "UTC-09:30");
  EXPECT_EQ(ZoneText(840), "UTC+14:00");
}

}  // namespace
}  // namespace koru
