#include "listing/list_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>

namespace koru {
namespace {

SYSTEMTIME Today(uint16_t year, uint16_t month, uint16_t day) {
  SYSTEMTIME t;
  t.wYear = year;
  t.wMonth = month;
  t.wDay = day;
  return t;
}

// The local date of the tests' fake clock.
const SYSTEMTIME kToday = Today(2026, 12, 10);

LISTENTRY Entry(int64_t size, int32_t year, int16_t month, int16_t day, int16_t hour,
                int16_t minute, int16_t is_dir, std::string name) {
  return LISTENTRY{size, year, month, day, hour, minute, is_dir, std::move(name)};
}

LISTENTRY Link(int64_t size, int32_t year, int16_t month, int16_t day, int16_t hour,
               int16_t minute, std::string name) {
  LISTENTRY link = Entry(size, year, month, day, hour, minute, 0, std::move(name));
  link.isLink = 1;
  return link;
}

// What the caller had in the record before: a line that yields nothing must leave it so.
const LISTENTRY kUntouched = [] {
  LISTENTRY entry = Entry(-7, -7, -7, -7, -7, -7, -7, "untouched");
  entry.isLink = -7;
  return entry;
}();

struct LineCase {
  std::string line;
  int32_t result;
  LISTENTRY entry;  // kUntouched for result 0
};

const std::string kLongName(300, 'n');

const LineCase kLineCases[] = {
    // Unix long format: a time in place of the year, a year, links keep their target.
    {"drwxr-xr-x   2 owner  group      512 Jan 12 12:34 pub", -1,
     Entry(512, 2026, 1, 12, 12, 34, 1, "pub")},
    {"-rw-r--r--   1 owner  group  1234567 Mar  3  1999 file one.txt", -1,
     Entry(1234567, 1999, 3, 3, 0, 0, 0, "file one.txt")},
    {"lrwxrwxrwx   1 owner  group        7 Feb  2  2001 link -> target", -1,
     Link(7, 2001, 2, 2, 0, 0, "link -> target")},
    {"Drwxr-xr-x 2 o g 0 dec 31 2000 upper D, lower month", -1,
     Entry(0, 2000, 12, 31, 0, 0, 1, "upper D, lower month")},
    // The date is the first month word between the size and a day with a time or year: month
    // words in the owner, the group or the name leave it alone, whatever their calendar order.
    {"-rw-r--r--   1 jan    users      100 Mar  5  2001 x", -1,
     Entry(100, 2001, 3, 5, 0, 0, 0, "x")},
    {"-rw-r--r--   1 root   Dec        100 Mar  5 12:00 y", -1,
     Entry(100, 2026, 3, 5, 12, 0, 0, "y")},
    {"drwxr-xr-x   2 jan    dec       4096 Feb 28  2020 both", -1,
     Entry(4096, 2020, 2, 28, 0, 0, 1, "both")},
    {"-rw-r--r-- 1 ftp ftp 100 Mar  3  2024 notes Jan 2024.txt", -1,
     Entry(100, 2024, 3, 3, 0, 0, 0, "notes Jan 2024.txt")},
    {"-rw-r--r-- 1 ftp ftp 100 Mar  3 09:15 notes Jan 2024.txt", -1,
     Entry(100, 2026, 3, 3, 9, 15, 0, "notes Jan 2024.txt")},
    {"-rw-r--r-- 1 ftp ftp 100 Mar  3 09:15 7 Jan 12 2024", -1,
     Entry(100, 2026, 3, 3, 9, 15, 0, "7 Jan 12 2024")},
    {"-rw-r--r--   1 o g 5 Feb  3  1999 x-jan-y", -1, Entry(5, 1999, 2, 3, 0, 0, 0, "x-jan-y")},
    // A month word anywhere else is no Unix date: the line is tried as dashed, then as DOS.
    {"-rw-r--r-- 1 ftp ftp 100 2024-03-03 12:34 notes Jan 2024.txt", 0, kUntouched},
    {"-rw-r--r-- 1 o g 5k Jan 12 12:34 size-not-digits", 0, kUntouched},
    {"-rw-r--r-- 1 o g 5 Jan 123 12:34 day-of-three-digits", 0, kUntouched},
    {"-rw-r--r-- 1 o g 5 Jan 12 1:2 one-minute-digit", 0, kUntouched},
    // A time with seconds, as full-time listings write it, is a time too.
    {"-rw-r--r-- 1 o g 5 Jan 12 12:34:56 with-seconds", -1,
     Entry(5, 2026, 1, 12, 12, 34, 0, "with-seconds")},
    {"-rw-r--r-- 1 o g 5 Jan 12 12:34:5 one-second-digit", 0, kUntouched},
    {"03-15-99  02:05PM  1024 Jan 12 report.txt", -1,
     Entry(1024, 1999, 3, 15, 14, 5, 0, "Jan 12 report.txt")},
    // The name is all that follows the one blank after the time or year, blanks included.
    {"-rw-r--r-- 1 o g 5 Jan 12 12:34  leading.txt", -1,
     Entry(5, 2026, 1, 12, 12, 34, 0, " leading.txt")},
    {"-rw-r--r-- 1 o g 5 Jan 12  2000  leading.txt", -1,
     Entry(5, 2000, 1, 12, 0, 0, 0, " leading.txt")},
    {"-rw-r--r-- 1 o g 5 Jan 12 12:34 trailing.txt ", -1,
     Entry(5, 2026, 1, 12, 12, 34, 0, "trailing.txt ")},
    {"-rw-r--r-- 1 o g 5 Jan 12 12:34 two  blanks.txt", -1,
     Entry(5, 2026, 1, 12, 12, 34, 0, "two  blanks.txt")},
    // Only a line typed l is a link; an arrow in a plain file's name is part of that name.
    {"-rw-r--r-- 1 o g 5 Jan 12 12:34 a -> b.txt", -1,
     Entry(5, 2026, 1, 12, 12, 34, 0, "a -> b.txt")},
    {"lrwxrwxrwx 1 o g 10 Jan 12 12:34 lnk -> /data/file", -1,
     Link(10, 2026, 1, 12, 12, 34, "lnk -> /data/file")},
    {"Lrwxrwxrwx 1 o g 2 Jan 12 12:34 n -> 12", -1, Link(2, 2026, 1, 12, 12, 34, "n -> 12")},
    {"lrwxrwxrwx 1 o g 3 Jan  5  2000 Jan -> Dec", -1, Link(3, 2000, 1, 5, 0, 0, "Jan -> Dec")},
    // Dashed dates with file versions.
    {"FOO.TXT;3     2  12-JAN-2000 12:34:56 [GRP,OWNER] (RWED,RWED,RE,)", -1,
     Entry(2, 2000, 1, 12, 12, 34, 0, "FOO.TXT")},
    {"FOO.TXT     2  12-JAN-2000 12:34:56 [GRP,OWNER] (RWED,RWED,RE,)", 0, kUntouched},
    {"LAST.LOG;1  9  31-DEC-1999 23:59:00", -1, Entry(9, 1999, 12, 31, 23, 59, 0, "LAST.LOG")},
    {"SHORT.DAT;1 4 05-JAN-2001", -1, Entry(4, 2001, 1, 5, 0, 0, 0, "SHORT.DAT")},
    {"   ;1  2  12-JAN-2000 12:34:56", 0, kUntouched},
    // DOS style: the AM/PM after the minutes decides, 12 AM is midnight and 12 PM noon.
    {"03-15-99  02:05PM                 1024 a.txt", -1,
     Entry(1024, 1999, 3, 15, 14, 5, 0, "a.txt")},
    {"01-12-00  09:30AM       <DIR>          My Dir", -1,
     Entry(0, 2000, 1, 12, 9, 30, 1, "My Dir")},
    {"03-15-99  2:05PM   10 b.txt", -1, Entry(10, 1999, 3, 15, 14, 5, 0, "b.txt")},
    {"03-15-99  12:10AM  10 midnight", -1, Entry(10, 1999, 3, 15, 0, 10, 0, "midnight")},
    {"03-15-99  12:10PM  10 noon", -1, Entry(10, 1999, 3, 15, 12, 10, 0, "noon")},
    {"03-15-99  11:59pm  10 lower", -1, Entry(10, 1999, 3, 15, 23, 59, 0, "lower")},
    {"03-15-99  12:34 PM  10 blank-before-pm", 0, kUntouched},
    // DOS century rule.
    {"01-02-00  01:00AM 1 y00", -1, Entry(1, 2000, 1, 2, 1, 0, 0, "y00")},
    {"01-02-60  01:00AM 1 y60", -1, Entry(1, 2060, 1, 2, 1, 0, 0, "y60")},
    {"01-02-61  01:00AM 1 y61", -1, Entry(1, 1961, 1, 2, 1, 0, 0, "y61")},
    {"01-02-99  01:00AM 1 y99", -1, Entry(1, 1999, 1, 2, 1, 0, 0, "y99")},
    {"01-02-100  01:00AM 1 y100", -1, Entry(1, 2000, 1, 2, 1, 0, 0, "y100")},
    {"01-02-1999  01:00AM 1 y1999", -1, Entry(1, 1999, 1, 2, 1, 0, 0, "y1999")},
    // Sizes of 2 GiB and more keep every digit; absurd ones stop at the largest size.
    {"-rw-r--r-- 1 o g 5000000000 Mar  3  1999 big", -1,
     Entry(5000000000, 1999, 3, 3, 0, 0, 0, "big")},
    {"-rw-r--r-- 1 o g 9223372036854775807 Mar  3  1999 max", -1,
     Entry(INT64_MAX, 1999, 3, 3, 0, 0, 0, "max")},
    {"-rw-r--r-- 1 o g 99999999999999999999999 Mar  3  1999 huge", -1,
     Entry(INT64_MAX, 1999, 3, 3, 0, 0, 0, "huge")},
    {"-rw-r--r-- 1 o g 5 Mar  3 99999999999 far", -1, Entry(5, INT32_MAX, 3, 3, 0, 0, 0, "far")},
    // A size or year in exponent notation is no word of digits: no Unix date.
    {"-rw-r--r-- 1 o g 1e300 Mar  3 1e300 expo", 0, kUntouched},
    {"03-15-99  02:05PM  3000000000 big.dos", -1,
     Entry(3000000000, 1999, 3, 15, 14, 5, 0, "big.dos")},
    // Hostile names reach the record as listed: the listing filter judges them.
    {"drwxr-xr-x 2 o g 512 Jan  1  2000 ../../etc", -1,
     Entry(512, 2000, 1, 1, 0, 0, 1, "../../etc")},
    {"lrwxrwxrwx 1 o g 9 Jan  1  2000 a -> ../../etc", -1,
     Link(9, 2000, 1, 1, 0, 0, "a -> ../../etc")},
    {"-rw-r--r-- 1 o g 5 Jan  1  2000 " + kLongName, -1,
     Entry(5, 2000, 1, 1, 0, 0, 0, std::string(256, 'n'))},
    // Lines that fit no layout or end before their name.
    {"total 12", 0, kUntouched},
    {"", 0, kUntouched},
    {"   ", 0, kUntouched},
    {"-rw-r--r--   1 owner  group  1234567 Mar  3  1999", 0, kUntouched},
    {"-rw-r--r--   1 owner  group  1234567 Mar  3  1999   ", 0, kUntouched},
    {"drwxr-xr-x 2 o g 512 Jan 12", 0, kUntouched},
    {"drwxr-xr-x 2 o g 512 Jan", 0, kUntouched},
    {" JAN ", 0, kUntouched},
    {"03-15-99  02:05PM", 0, kUntouched},
    {"03-15-99  02:05PM  <DIR>", 0, kUntouched},
    {"03-15-99  02:05P", 0, kUntouched},
    {"1:2P", 0, kUntouched},
    {":", 0, kUntouched},
};

TEST(ParseListLineTest, EveryLayoutAndHostileLine) {
  for (const LineCase& c : kLineCases) {
    SCOPED_TRACE(c.line);
    LISTENTRY entry = kUntouched;
    EXPECT_EQ(PARSELISTLINE(c.line, entry, kToday), c.result);
    EXPECT_EQ(entry, c.entry);
  }
}

// What a parse of a cut-off line may yield: nothing, leaving the record alone, or an entry whose
// name comes from the text it was given and whose date and time are ones a clock shows.
void ExpectEntryOfItsText(std::string_view text, int32_t result, const LISTENTRY& entry) {
  if (result == 0) {
    EXPECT_EQ(entry, kUntouched);
    return;
  }
  ASSERT_EQ(result, -1);
  EXPECT_NE(entry.name.find_first_not_of(' '), std::string::npos) << "a blank name";
  EXPECT_LE(entry.name.size(), std::min(text.size(), kListNameLength));
  EXPECT_NE(text.find(entry.name), std::string_view::npos) << entry.name;
  EXPECT_GE(entry.size, 0);
  EXPECT_TRUE(entry.month >= 1 && entry.month <= 12) << entry.month;
  EXPECT_TRUE(entry.day >= 1 && entry.day <= 31) << entry.day;
  EXPECT_TRUE(entry.hour >= 0 && entry.hour <= 23) << entry.hour;
  EXPECT_TRUE(entry.minute >= 0 && entry.minute <= 59) << entry.minute;
  EXPECT_TRUE(entry.isDir == 0 || entry.isDir == 1) << entry.isDir;
  EXPECT_TRUE(entry.isLink == 0 || entry.isLink == 1) << entry.isLink;
}

TEST(ParseListLineTest, NeverReadsPastTheEndOfItsText) {
  // Each prefix of real lines handed over in a heap block of its exact size: the sanitizer
  // build reports any read beyond it. A cut that leaves the name begun keeps everything before
  // it: the name is the beginning of the whole line's.
  for (const LineCase& c : kLineCases) {
    for (size_t length = 0; length <= c.line.size(); ++length) {
      SCOPED_TRACE(::testing::Message() << c.line << " cut to " << length);
      const std::unique_ptr<char[]> exact(new char[length]);
      std::copy_n(c.line.data(), length, exact.get());
      const std::string_view text(exact.get(), length);
      LISTENTRY entry = kUntouched;
      const int32_t result = PARSELISTLINE(text, entry, kToday);
      ExpectEntryOfItsText(text, result, entry);
      if (length == c.line.size()) {
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(entry, c.entry);
      } else if (result != 0) {
        EXPECT_EQ(c.result, -1) << "only a line that gives an entry has a beginning that does";
        EXPECT_TRUE(c.entry.name.starts_with(entry.name)) << entry.name;
      }
    }
  }
}

struct RecentDateCase {
  std::string date;  // month, day and time of a Unix line
  SYSTEMTIME today;
  int32_t year;
};

TEST(ParseListLineTest, UnixTimeLinesTakeTheYearThatIsNotInTheFuture) {
  const RecentDateCase cases[] = {
      {"Dec 10 09:00", Today(2026, 12, 10), 2026},
      {"Dec 11 23:59", Today(2026, 12, 10), 2026},  // one day ahead: clocks and zones differ
      {"Dec 12 00:00", Today(2026, 12, 10), 2025},
      {"Dec 31 23:59", Today(2027, 1, 1), 2026},
      {"Jan  2 08:00", Today(2026, 12, 31), 2026},
      {"Jan  1 08:00", Today(2026, 12, 31), 2026},
      {"Mar  1 10:00", Today(2024, 2, 28), 2023},
      {"Feb 29 10:00", Today(2024, 2, 28), 2024},
  };
  for (const RecentDateCase& c : cases) {
    SCOPED_TRACE(c.date);
    LISTENTRY entry;
    ASSERT_EQ(PARSELISTLINE("-rw-r--r-- 1 o g 5 " + c.date + " f", entry, c.today), -1);
    EXPECT_EQ(entry.year, c.year);
  }
}

TEST(CutLinkTargetTest, KeepsTheTextBeforeTheFirstBlankArrowBlank) {
  const std::pair<std::string, std::string> cases[] = {
      {"lnk -> /data/file", "lnk"}, {"a -> b -> c", "a"},
      {"x  ->  y -> z", "x "},      {" -> t", ""},
      {"a->b", "a->b"},             {"-> t", "-> t"},
      {"a ->b", "a ->b"},           {"plain", "plain"},
      {"trailing  ", "trailing  "},
  };
  for (const auto& [name, cut] : cases) EXPECT_EQ(CutLinkTarget(name), cut) << name;
}

TEST(EntryFileNameTest, CutsTheTargetOfLinksOnlyAndTrimsNothing) {
  const std::pair<std::string, std::string> cases[] = {
      {"lrwxrwxrwx 1 o g 10 Jan 12 12:34 lnk -> /data/file", "lnk"},
      {"lrwxrwxrwx 1 o g 4 Jan 12 12:34  sp  -> file", " sp "},
      {"lrwxrwxrwx 1 o g 4 Jan 12 12:34 no->arrow", "no->arrow"},
      {"-rw-r--r-- 1 o g 5 Jan 12 12:34 a -> b.txt", "a -> b.txt"},
      {"drwxr-xr-x 2 o g 5 Jan 12 12:34 d -> e", "d -> e"},
      {"03-15-99  02:05PM  1024 dos -> file", "dos -> file"},
  };
  for (const auto& [line, name] : cases) {
    SCOPED_TRACE(line);
    LISTENTRY entry;
    ASSERT_EQ(PARSELISTLINE(line, entry, kToday), -1);
    EXPECT_EQ(EntryFileName(entry), name);
  }
}

struct FilterCase {
  std::string line;
  bool passes;
};

TEST(ListingLinePassesTest, DropsNamesThatLeadOutOfTheDirectory) {
  const FilterCase cases[] = {
      {"-rw-r--r-- 1 o g 5 Jan 12 12:34 a.txt", true},
      {"-rw-r--r-- 1 o g 5 Jan 12 12:34 odd:name?with*", true},
      {"-rw-r--r-- 1 o g 5 Jan 12 12:34 ../../etc/passwd", false},
      {"-rw-r--r-- 1 o g 5 Jan 12 12:34 a/b", false},
      {"-rw-r--r-- 1 o g 5 Jan 12 12:34 a\\b", false},
      {"lrwxrwxrwx 1 o g 5 Jan 12 12:34 lnk -> /data/file", true},
      {"lrwxrwxrwx 1 o g 9 Jan  1  2000 a -> ../../etc", true},
      {"lrwxrwxrwx 1 o g 9 Jan  1  2000 x/y -> z", false},
      {"lrwxrwxrwx 1 o g 9 Jan  1  2000 x->../y", false},
      // A plain file's name is examined whole, arrow and all.
      {"-rw-r--r-- 1 o g 9 Jan  1  2000 a -> ../../etc", false},
      {"-rw-r--r-- 1 o g 9 Jan  1  2000 a -> b.txt", true},
      // The directory walk uses a directory's name uncut.
      {"drwxr-xr-x 2 o g 9 Jan  1  2000 d -> ../../etc", false},
      {"drwxr-xr-x 2 o g 9 Jan  1  2000 sub", true},
      {"03-15-99  02:05PM  1024 a.txt", true},
      {"03-15-99  02:05PM  <DIR> ..\\up", false},
      {"A/B.TXT;1  2  12-JAN-2000 12:34:56", false},
      {"total 12", true},
      {"", true},
      {"no layout / at all", true},
  };
  for (const FilterCase& c : cases) {
    EXPECT_EQ(ListingLinePasses(c.line, kToday), c.passes) << c.line;
  }
}

}  // namespace
}  // namespace koru
