#include "localfs/local_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/local_file.h"
#include "run/run_settings.h"
#include "tests/fakes.h"

namespace koru {
namespace {

SYSTEMTIME Date(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute,
                uint16_t second = 0) {
  SYSTEMTIME t;
  t.wYear = year;
  t.wMonth = month;
  t.wDay = day;
  t.wHour = hour;
  t.wMinute = minute;
  t.wSecond = second;
  return t;
}

// A fresh directory with a few entries, removed afterwards; restores TMPDIR and the current
// directory for tests that change them.
class LocalFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "koru-lst-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern + "/";
    if (const char* tmpdir = getenv("TMPDIR")) saved_tmpdir_ = tmpdir;
    saved_cwd_ = std::filesystem::current_path();
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::current_path(saved_cwd_, ignored);
    if (saved_tmpdir_) {
      setenv("TMPDIR", saved_tmpdir_->c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string MakeFile(const std::string& name, off_t size = 0) {
    const std::string path = dir_ + name;
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    EXPECT_GE(fd, 0) << path;
    EXPECT_EQ(ftruncate(fd, size), 0);  // sparse: no blocks are written
    close(fd);
    return path;
  }

  struct stat Stat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st;
  }

  std::string dir_;
  std::optional<std::string> saved_tmpdir_;
  std::filesystem::path saved_cwd_;
  testing::RecordingConsole console_;
  testing::FakeClock clock_;
  Options options_;
  Env env_{console_, clock_};
};

TEST_F(LocalFilesTest, FileExistsGivesTheFull64BitSize) {
  EXPECT_EQ(FILEEXISTS(MakeFile("empty")), 0);
  EXPECT_EQ(FILEEXISTS(dir_ + "missing"), -1);
  EXPECT_EQ(FILEEXISTS(dir_), 0);
  EXPECT_EQ(FILEEXISTS(MakeFile("big", 5000000000)), 5000000000);
  EXPECT_EQ(FILEEXISTS(""), -1);
}

TEST_F(LocalFilesTest, ExistAndPlainFileTellEntryKindsApart) {
  const std::string file = MakeFile("file");
  const std::string fifo = dir_ + "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink(file.c_str(), (dir_ + "link").c_str()), 0);
  ASSERT_EQ(symlink((dir_ + "gone").c_str(), (dir_ + "dangling").c_str()), 0);
  ASSERT_EQ(symlink(dir_.c_str(), (dir_ + "dirlink").c_str()), 0);

  struct Case {
    std::string path;
    int32_t exist;
    bool plain;
  };
  const Case cases[] = {
      {file, 1, true},
      {dir_ + "link", 1, true},
      {dir_, 1, false},
      {dir_ + "dirlink", 1, false},
      {fifo, 1, false},
      {dir_ + "dangling", 0, false},
      {dir_ + "missing", 0, false},
      {dir_ + "fil*", 0, false},
      {"", 0, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EXIST(c.path), c.exist) << c.path;
    EXPECT_EQ(PlainLocalFileExists(c.path), c.plain) << c.path;
  }
}

TEST_F(LocalFilesTest, GetFileDateLeavesTheRecordOfAMissingFileAlone) {
  SYSTEMTIME date = Date(1111, 11, 11, 11, 11, 11);
  date.wDayOfWeek = 9;
  date.wMilliseconds = 999;
  const SYSTEMTIME before = date;
  GETFILEDATE(dir_ + "missing", date);
  EXPECT_EQ(date, before);
}

TEST_F(LocalFilesTest, SetFileDateRoundTripsThroughGetFileDate) {
  const std::string file = MakeFile("stamped");
  SYSTEMTIME read = Date(1, 1, 1, 1, 1, 1);
  read.wMilliseconds = 999;
  EXPECT_EQ(SETFILEDATE(env_, options_, file, Date(1999, 3, 15, 14, 5, 7), -1), 1);
  GETFILEDATE(file, read);
  SYSTEMTIME expected = Date(1999, 3, 15, 14, 5, 7);
  expected.wDayOfWeek = 1;  // Monday
  EXPECT_EQ(read, expected);
  EXPECT_EQ(Stat(file).st_atime, Stat(file).st_mtime);

  // Directories can be stamped too.
  EXPECT_EQ(SETFILEDATE(env_, options_, dir_, Date(2000, 2, 29, 23, 59, 59), -1), 1);
  GETFILEDATE(dir_, read);
  EXPECT_EQ(read.wYear, 2000);
  EXPECT_EQ(read.wMonth, 2);
  EXPECT_EQ(read.wDay, 29);
  EXPECT_EQ(read.wSecond, 59);
}

TEST_F(LocalFilesTest, SetFileDateSetsOnlyTheTimesThatWhichSelects) {
  int64_t old_time = 0;
  int64_t new_time = 0;
  ASSERT_TRUE(LocalToEpoch(Date(2001, 1, 1, 0, 0, 0), &old_time));
  ASSERT_TRUE(LocalToEpoch(Date(2002, 6, 7, 8, 9, 10), &new_time));
  struct Case {
    int32_t which;
    int32_t result;
    bool access_set;
    bool write_set;
  };
  const Case cases[] = {
      {0, 1, false, true},  {1, 1, true, false},
      {-1, 1, true, true},  {2, 0, false, false},  // a creation time cannot be set here
      {5, 0, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.which);
    const std::string file = MakeFile("which");
    ASSERT_TRUE(SetLocalFileTimes(file, true, true, old_time));
    EXPECT_EQ(SETFILEDATE(env_, options_, file, Date(2002, 6, 7, 8, 9, 10), c.which), c.result);
    EXPECT_EQ(Stat(file).st_atime, c.access_set ? new_time : old_time);
    EXPECT_EQ(Stat(file).st_mtime, c.write_set ? new_time : old_time);
  }
}

TEST_F(LocalFilesTest, SetFileDateStampsNothingForDatesThatAreNoCalendarTime) {
  const SYSTEMTIME invalid[] = {
      Date(1999, 3, 15, 24, 5, 0),  // 12:05 PM read as 24:05
      Date(1999, 13, 1, 0, 0, 0),   Date(1999, 0, 1, 0, 0, 0), Date(1999, 2, 29, 0, 0, 0),
      Date(2000, 2, 31, 0, 0, 0),   Date(1999, 3, 0, 0, 0, 0), Date(1999, 3, 15, 10, 60, 0),
      Date(1999, 3, 15, 10, 0, 60),
  };
  const std::string file = MakeFile("kept");
  ASSERT_TRUE(SetLocalFileTimes(file, true, true, 1000000000));
  for (const SYSTEMTIME& date : invalid) {
    SCOPED_TRACE(DateText(date) + " " + TimeText(date));
    EXPECT_EQ(SETFILEDATE(env_, options_, file, date, -1), 0);
    EXPECT_EQ(Stat(file).st_mtime, 1000000000);
    EXPECT_EQ(Stat(file).st_atime, 1000000000);
  }
}

TEST_F(LocalFilesTest, SetFileDateVerboseLineNamesPathAndDate) {
  const std::string file = MakeFile("shown");
  const SYSTEMTIME date = Date(1999, 3, 15, 14, 5, 0);
  EXPECT_EQ(SETFILEDATE(env_, options_, file, date, -1), 1);
  EXPECT_TRUE(console_.lines.empty());  // quiet mode

  options_.VerboseLevel = kOn;
  EXPECT_EQ(SETFILEDATE(env_, options_, file, date, -1), 1);
  EXPECT_EQ(SETFILEDATE(env_, options_, dir_ + "missing", date, -1), 0);
  EXPECT_EQ(SETFILEDATE(env_, options_, "", date, -1), 0);
  EXPECT_EQ(console_.lines,
            std::vector<std::string>{"09:05:03 * Setting " + file + " to 03-15-1999 14:05:00"});
}

TEST(DayOfWeekTest, ZellerGivesSundayZeroToSaturdaySix) {
  const std::pair<std::string, int32_t> cases[] = {
      {"20000101", 6}, {"20000229", 2}, {"19990315", 1}, {"20261210", 4},
      {"19000101", 1}, {"21000301", 1}, {"16000101", 6}, {"20240229", 4},
  };
  for (const auto& [text, day] : cases) EXPECT_EQ(DAYOFWEEK(text), day) << text;
  // Texts that are no date still give a day of the week.
  for (const std::string text :
       {"", "2", "abcdefgh", "9E999999", "-9999999", "-9990301", "00000000"}) {
    const int32_t day = DAYOFWEEK(text);
    EXPECT_GE(day, 0) << text;
    EXPECT_LE(day, 6) << text;
  }
}

TEST(DayOfWeekTest, AgreesWithTheCalendarOnEveryDayOfFourYears) {
  int64_t day_seconds = 0;
  ASSERT_TRUE(LocalToEpoch(Date(1999, 1, 1, 12, 0, 0), &day_seconds));
  for (int i = 0; i < 4 * 366; ++i, day_seconds += 86400) {
    const SYSTEMTIME date = EpochToLocal(day_seconds);
    const std::string text =
        ZeroPad(date.wYear, 4) + ZeroPad(date.wMonth, 2) + ZeroPad(date.wDay, 2);
    ASSERT_EQ(DAYOFWEEK(text), date.wDayOfWeek) << text;
  }
}

TEST(WidenedShortDateFormatTest, ShowsFourDigitYearsMonthsAndDays) {
  const std::pair<std::string, std::string> cases[] = {
      {"%m/%d/%y", "%m/%d/%Y"},     {"%d.%m.%y", "%d.%m.%Y"},
      {"%-d/%-m/%y", "%-d/%-m/%Y"}, {"%D", "%m/%d/%Y"},
      {"%Y-%m-%d", "%Y-%m-%d"},     {"%F", "%F"},
      {"%e %b %Ey", "%e %b %Y"},    {"%Od.%Om.%EY", "%Od.%Om.%EY"},
      {"%d/%m", "%Y-%m-%d"},      // no year
      {"%%y %m %d", "%Y-%m-%d"},  // "%%y" is text
      {"%m/%y", "%Y-%m-%d"},      // no day
      {"%d.%m.%y %", "%d.%m.%Y %"}, {"", "%Y-%m-%d"},
  };
  for (const auto& [format, widened] : cases) {
    EXPECT_EQ(WidenedShortDateFormat(format), widened) << format;
  }
}

// Runs `check` under each locale of the list this machine offers.
template <typename Check>
void UnderLocales(Check check) {
  const std::string saved = setlocale(LC_TIME, nullptr);
  int tried = 0;
  for (const char* name : {"C", "C.UTF-8", "en_US.UTF-8", "de_DE.UTF-8"}) {
    if (setlocale(LC_TIME, name) == nullptr) continue;
    ++tried;
    SCOPED_TRACE(name);
    check();
  }
  setlocale(LC_TIME, saved.c_str());
  EXPECT_GE(tried, 1);
}

TEST(FormatFileDateTest, EqualWithinTheMinuteDifferentAcrossMinutesAndYears) {
  UnderLocales([] {
    const std::string base = FORMATFILEDATE(Date(1999, 3, 15, 14, 5, 59));
    EXPECT_EQ(FORMATFILEDATE(Date(1999, 3, 15, 14, 5, 0)), base);
    SYSTEMTIME with_millis = Date(1999, 3, 15, 14, 5, 30);
    with_millis.wMilliseconds = 500;
    EXPECT_EQ(FORMATFILEDATE(with_millis), base);
    for (const SYSTEMTIME& other :
         {Date(1999, 3, 15, 14, 6, 0), Date(1999, 3, 15, 15, 5, 0), Date(1999, 3, 16, 14, 5, 0),
          Date(1999, 4, 15, 14, 5, 0), Date(2000, 3, 15, 14, 5, 0), Date(2099, 3, 15, 14, 5, 0),
          Date(1899, 3, 15, 14, 5, 0), Date(1999, 3, 15, 2, 5, 0)}) {
      EXPECT_NE(FORMATFILEDATE(other), base) << FORMATFILEDATE(other);
    }
  });
}

TEST(FormatFileDateTest, CLocaleWritesAFourDigitYear) {
  const std::string saved = setlocale(LC_TIME, nullptr);
  ASSERT_NE(setlocale(LC_TIME, "C"), nullptr);
  EXPECT_EQ(FORMATFILEDATE(Date(1999, 3, 15, 14, 5, 59)), "03/15/1999 14:05");
  EXPECT_EQ(FORMATFILEDATE(Date(2026, 1, 2, 0, 0, 0)), "01/02/2026 00:00");
  setlocale(LC_TIME, saved.c_str());
}

TEST(FormatFileDateTest, RecordsThatAreNoCalendarTimeGiveATextNoDateGives) {
  UnderLocales([] {
    EXPECT_EQ(FORMATFILEDATE(Date(1999, 3, 15, 24, 5, 0)), "?03-15-1999 24:05");
    EXPECT_NE(FORMATFILEDATE(Date(1999, 13, 1, 0, 0, 0)),
              FORMATFILEDATE(Date(2000, 1, 1, 0, 0, 0)));
    EXPECT_NE(FORMATFILEDATE(Date(1999, 2, 31, 0, 0, 0)),
              FORMATFILEDATE(Date(1999, 3, 3, 0, 0, 0)));
    // Seconds do not show, so they cannot make a record unreadable.
    EXPECT_EQ(FORMATFILEDATE(Date(1999, 3, 15, 14, 5, 60)),
              FORMATFILEDATE(Date(1999, 3, 15, 14, 5, 0)));
  });
}

TEST_F(LocalFilesTest, TempDirComesFromTmpdirWithATrailingSlash) {
  const std::pair<std::optional<std::string>, std::string> cases[] = {
      {std::nullopt, "/tmp/"},
      {"", "/tmp/"},
      {"/x/y", "/x/y/"},
      {"/x/y/", "/x/y/"},
  };
  for (const auto& [tmpdir, expected] : cases) {
    if (tmpdir) {
      setenv("TMPDIR", tmpdir->c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
    EXPECT_EQ(GETWINDOWSTEMPDIR(), expected);
  }
}

TEST_F(LocalFilesTest, NewTempFileIsCreatedEmptyInTheTempDir) {
  setenv("TMPDIR", dir_.c_str(), 1);
  const std::string first = GETNEWTEMPFILE();
  const std::string second = GETNEWTEMPFILE();
  EXPECT_EQ(first.rfind(dir_ + "CCS", 0), 0u) << first;
  EXPECT_NE(first, second);
  EXPECT_EQ(FILEEXISTS(first), 0);
  EXPECT_EQ(FILEEXISTS(second), 0);
}

TEST_F(LocalFilesTest, NewTempFileFallsBackToTheCurrentDirectory) {
  const std::string work = dir_ + "work/";
  ASSERT_EQ(mkdir(work.c_str(), 0700), 0);
  std::filesystem::current_path(work);
  const std::string not_a_directory = MakeFile("plain");
  for (const std::string& tmpdir : {dir_ + "missing", not_a_directory}) {
    setenv("TMPDIR", tmpdir.c_str(), 1);
    const std::string name = GETNEWTEMPFILE();
    EXPECT_EQ(name.rfind("./CCS", 0), 0u) << name;
    EXPECT_EQ(FILEEXISTS(work + name.substr(2)), 0) << name;
  }
}

TEST_F(LocalFilesTest, NewTempFileIsEmptyTextWhenNoDirectoryTakesIt) {
  const std::string work = dir_ + "work/";
  ASSERT_EQ(mkdir(work.c_str(), 0700), 0);
  std::filesystem::current_path(work);
  ASSERT_EQ(rmdir(work.c_str()), 0);  // the current directory is gone
  setenv("TMPDIR", (dir_ + "missing").c_str(), 1);
  EXPECT_EQ(GETNEWTEMPFILE(), "");
}

}  // namespace
}  // namespace koru

namespace koru {
namespace {

// Runs in a time zone with summer time (no zone file needed), the process's own restored after.
class SameLocalMinuteTest : public ::testing::Test {
 protected:
  SameLocalMinuteTest() {
    if (const char* zone = getenv("TZ")) saved_zone_ = zone;
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
  }
  ~SameLocalMinuteTest() override {
    if (saved_zone_) {
      setenv("TZ", saved_zone_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> saved_zone_;
};

// The date compare that replaced comparing two FORMATFILEDATE texts must agree with it on every
// case, the clock changes and the records that are no calendar time included.
TEST_F(SameLocalMinuteTest, AgreesWithComparingTheFormattedTexts) {
  struct Case {
    const char* name;
    SYSTEMTIME remote;
    int64_t local_utc_seconds;  // the local file's last write
    bool same;
  };
  const int64_t k2021_03_01_utc = 1614556800;
  const int64_t kHour = 3600;
  const int64_t kDay = 24 * kHour;
  const Case cases[] = {
      {"SameMinute", Date(2021, 3, 1, 1, 0), k2021_03_01_utc, true},  // 01:00 CET is 00:00 UTC
      {"SecondsDoNotCount", Date(2021, 3, 1, 1, 0, 30), k2021_03_01_utc + 59, true},
      {"RemoteSixtySeconds", Date(2021, 3, 1, 1, 0, 60), k2021_03_01_utc, true},
      {"NextMinute", Date(2021, 3, 1, 1, 0), k2021_03_01_utc + 60, false},
      {"OtherDay", Date(2021, 3, 2, 1, 0), k2021_03_01_utc, false},
      {"OtherYear", Date(2020, 3, 1, 1, 0), k2021_03_01_utc, false},
      // 02:30 on 31 October 2021 came twice; both are the same text.
      {"RepeatedHourFirst", Date(2021, 10, 31, 2, 30), 1635640200, true},
      {"RepeatedHourSecond", Date(2021, 10, 31, 2, 30), 1635643800, true},
      // 02:30 on 28 March 2021 never came: the file's 03:30 is another text.
      {"SkippedHour", Date(2021, 3, 28, 2, 30), 1616895000, false},
      {"SkippedHourItself", Date(2021, 3, 28, 3, 30), 1616895000, true},
      {"LeapDay", Date(2020, 2, 29, 12, 0), 1582974000, true},
      {"NoLeapDay", Date(2021, 2, 29, 1, 0), k2021_03_01_utc, false},
      {"MonthZero", Date(2021, 0, 1, 1, 0), k2021_03_01_utc, false},
      {"MonthThirteen", Date(2020, 13, 1, 1, 0), k2021_03_01_utc, false},
      {"DayZero", Date(2021, 3, 0, 1, 0), k2021_03_01_utc - kDay, false},
      {"Hour24", Date(2021, 2, 28, 24, 0), k2021_03_01_utc - kHour, false},
      {"Minute60", Date(2021, 3, 1, 0, 60), k2021_03_01_utc, false},
      {"BeforeTheEpoch", Date(1969, 12, 31, 23, 0), -2 * kHour, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string remote_text = FORMATFILEDATE(c.remote);
    const std::string local_text = FORMATFILEDATE(EpochToLocal(c.local_utc_seconds));
    EXPECT_EQ(remote_text == local_text, c.same) << remote_text << " / " << local_text;
    EXPECT_EQ(SameLocalMinute(c.remote, c.local_utc_seconds), c.same);
  }
}

}  // namespace
}  // namespace koru
