#include "platform/status_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace koru {
namespace {

TEST(StatusLineTest, RatesTakeTheUnitThatKeepsTheNumberBelow1024) {
  const std::vector<std::pair<int64_t, std::string>> cases = {
      {0, "0 B/s"},
      {512, "512 B/s"},
      {1023, "1023 B/s"},
      {1024, "1.0 KiB/s"},
      {81920, "80.0 KiB/s"},
      {102349, "100 KiB/s"},  // 99.95 KiB/s: one decimal only below 100
      {1048063, "1023 KiB/s"},
      {1048064, "1.0 MiB/s"},  // 1023.5 KiB/s would round to 1024
      {2500000, "2.4 MiB/s"},
      {3221225472, "3.0 GiB/s"},
      {5497558138880, "5120 GiB/s"},  // no unit above GiB
  };
  for (const auto& [rate, text] : cases) {
    std::string out = "rate ";
    AppendRate(out, rate);
    EXPECT_EQ(out, "rate " + text) << rate;
  }
}

TEST(StatusLineTest, TimeLeftIsMinutesAndSecondsAndHoursOnlyWhenThereAreAny) {
  const std::vector<std::pair<int64_t, std::string>> cases = {
      {-1, "--:--"},   {0, "0:00"},       {42, "0:42"},      {60, "1:00"},          {725, "12:05"},
      {3599, "59:59"}, {3600, "1:00:00"}, {3723, "1:02:03"}, {360000, "100:00:00"},
  };
  for (const auto& [seconds, text] : cases) {
    std::string out;
    AppendTimeLeft(out, seconds);
    EXPECT_EQ(out, text) << seconds;
  }
}

TEST(StatusLineTest, NamesAreShortenedInTheMiddleBetweenCharacters) {
  struct Case {
    std::string text;
    size_t columns;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {"a.txt", 10, "a.txt"},
      {"abcdefghij", 10, "abcdefghij"},
      {"abcdefghijk", 10, "abc...hijk"},  // the end keeps the odd column
      {"abcdefghijk", 4, "...k"},
      {"abcdefghijk", 3, "abc"},
      {"abcdefghijk", 0, ""},
      {"bad\x1b]0;x\x07name", 20, "bad?]0;x?name"},
      {"bad\x1b]0;x\x07name.iso", 12, "bad?...e.iso"},
      // ä is two bytes: a cut never splits it, and each byte counts as a column.
      {"\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4.txt", 9, "\xc3\xa4...txt"},
      {"abcdefgh.\xc3\xa4\xc3\xa4", 8, "ab...\xc3\xa4"},
  };
  for (const Case& c : cases) {
    std::string out;
    AppendShortened(out, c.text, c.columns);
    EXPECT_EQ(out, c.shown) << c.text << " in " << c.columns;
    EXPECT_LE(out.size(), c.columns);
  }
}

TEST(StatusLineTest, PercentRoundsHalfToEvenAsTheTitleDoes) {
  EXPECT_EQ(RoundedPercent(1, 3), 33);
  EXPECT_EQ(RoundedPercent(1, 8), 12);  // 12.5
  EXPECT_EQ(RoundedPercent(3, 8), 38);  // 37.5
  EXPECT_EQ(RoundedPercent(5, 5), 100);
  EXPECT_EQ(RoundedPercent(0, 0), 0);
}

const std::string kLongName = "/pub/" + std::string(390, 'n') + ".iso";

TEST(StatusLineTest, TheLineFitsTheWidthAndLeavesOutTheLeastUsefulFieldsFirst) {
  struct Case {
    const char* what;
    Status status;
    int width;
    std::string line;
  };
  const DownloadStatus full{"/pub/big.iso", 1234567, 5000000, 81920, 42, 300};
  DownloadStatus long_name = full;
  long_name.name = "/pub/a-very-long-file-name.iso";
  DownloadStatus huge_name = full;
  huge_name.name = kLongName;
  const std::vector<Case> cases = {
      {"everything", full, 100,
       "/pub/big.iso  25%  1,234,567 / 5,000,000  80.0 KiB/s  0:42  delay 300 ms"},
      {"no delay", DownloadStatus{"/pub/big.iso", 1234567, 5000000, 81920, 42, 0}, 100,
       "/pub/big.iso  25%  1,234,567 / 5,000,000  80.0 KiB/s  0:42"},
      {"no rate yet", DownloadStatus{"/pub/big.iso", 0, 5000000, -1, -1, 0}, 100,
       "/pub/big.iso  0%  0 / 5,000,000  --:--"},
      {"resumed: the share present counts", DownloadStatus{"r.bin", 1000, 5000, -1, -1, 0}, 100,
       "r.bin  20%  1,000 / 5,000  --:--"},
      {"size unknown", DownloadStatus{"/pub/stream", 1234567, -1, 2500000, -1, 100}, 100,
       "/pub/stream  1,234,567 bytes  2.4 MiB/s  delay 100 ms"},
      {"exactly the width less one", full, 73,
       "/pub/big.iso  25%  1,234,567 / 5,000,000  80.0 KiB/s  0:42  delay 300 ms"},
      {"the byte counts go first", full, 72, "/pub/big.iso  25%  80.0 KiB/s  0:42  delay 300 ms"},
      {"then the delay", full, 45, "/pub/big.iso  25%  80.0 KiB/s  0:42"},
      {"20 columns", full, 20, "/pub/big.iso  25%"},
      {"20 columns, a long name", long_name, 20, "/pub/...me.iso  25%"},
      {"a name longer than the line", huge_name, 300,
       "/pub/" + std::string(113, 'n') + "..." + std::string(114, 'n') +
           ".iso  25%  1,234,567 / 5,000,000  80.0 KiB/s  0:42  delay 300 ms"},
      {"no room at all", full, 1, ""},
      {"listing", ListingStatus{"/pub/", 12345}, 100, "listing /pub/: 12,345 lines"},
      {"listing, one line", ListingStatus{"/pub/*.zip", 1}, 100, "listing /pub/*.zip: 1 line"},
      {"listing, a long directory", ListingStatus{"/pub/very/deep/directory/", 12345}, 30,
       "listing /p...y/: 12,345 lines"},
      {"listing, 20 columns", ListingStatus{"/pub/very/deep/directory/", 12345}, 20,
       "12,345 lines"},
      {"listing, 24 columns", ListingStatus{"/pub/very/deep/directory/", 12345}, 24,
       "listing: 12,345 lines"},
      {"busy", BusyStatus{3, 10, 57}, 100,
       "server busy: attempt 3 of 10, next in 57 s (Tab: now, Esc: stop)"},
      {"busy, narrow", BusyStatus{3, 10, 57}, 60, "server busy: attempt 3 of 10, next in 57 s"},
      {"busy, 20 columns", BusyStatus{3, 10, 57}, 20, "busy 3/10, 57 s"},
      {"busy, 10 columns", BusyStatus{3, 10, 5}, 10, "busy 3/10"},
  };
  StatusFormatter formatter;
  for (const Case& c : cases) {
    const std::string line(formatter.Format(c.status, c.width));
    EXPECT_EQ(line, c.line) << c.what;
    EXPECT_LT(static_cast<int>(line.size()), std::max(c.width, 1)) << c.what;
  }
}

TEST(StatusLineTest, ARunsTotalsGiveWayAroundTheirCountsWhichStayWhole) {
  struct Case {
    const char* what;
    RunStatus status;
    int width;
    std::string line;
  };
  const RunStatus usual{3, 742, 1206, 14336000, 1258291, 100};
  const RunStatus large{12, 1234567, 98765432, 123456789012, 3221225472, 0};
  const RunStatus huge{0, 123456789012, 987654321098, 0, -1, 0};
  const std::vector<Case> cases = {
      {"everything", usual, 200,
       "742 of 1,206 files  3 in flight  14,336,000 bytes  1.2 MiB/s  delay 100 ms"},
      {"80 columns", usual, 80,
       "742 of 1,206 files  3 in flight  14,336,000 bytes  1.2 MiB/s  delay 100 ms"},
      {"the files in flight and the bytes go first", usual, 60,
       "742 of 1,206 files  1.2 MiB/s  delay 100 ms"},
      {"then the delay", usual, 40, "742 of 1,206 files  1.2 MiB/s"},
      {"large numbers", large, 80,
       "1,234,567 of 98,765,432 files  12 in flight  123,456,789,012 bytes  3.0 GiB/s"},
      {"large numbers, 60 columns", large, 60, "1,234,567 of 98,765,432 files  3.0 GiB/s"},
      {"large numbers, 40 columns: the rate goes last", large, 40,
       "1,234,567 of 98,765,432 files"},
      {"huge counts lose their words first", huge, 40,
       "123,456,789,012/987,654,321,098 files"},
      {"then their last word", huge, 33, "123,456,789,012/987,654,321,098"},
      {"counts that cannot fit show nothing rather than a cut number", huge, 20, ""},
      {"at the start", RunStatus{0, 0, 0, 0, -1, 0}, 80, "0 of 0 files  0 in flight  0 bytes"},
      {"no file known yet", RunStatus{1, 0, -1, 0, -1, 0}, 80, "0 files  1 in flight  0 bytes"},
      {"one file", RunStatus{1, 0, 1, 500, 512, 0}, 80,
       "0 of 1 file  1 in flight  500 bytes  512 B/s"},
  };
  StatusFormatter formatter;
  for (const Case& c : cases) {
    const std::string line(formatter.Format(c.status, c.width));
    EXPECT_EQ(line, c.line) << c.what;
    EXPECT_LT(static_cast<int>(line.size()), c.width) << c.what;
  }
}

// At every width from 40 up the counts show whole, every other field is whole or absent, and
// the rate shows once.
TEST(StatusLineTest, ARunsFieldsAreNeverCutAtFortyColumnsOrMore) {
  const RunStatus large{1234, 1234567, 98765432, 123456789012, 3221225472, 12300};
  const std::vector<std::string> fields = {"1,234 in flight", "123,456,789,012 bytes",
                                           "3.0 GiB/s", "delay 12300 ms"};
  StatusFormatter formatter;
  for (int width = 40; width <= 200; ++width) {
    const std::string line(formatter.Format(large, width));
    SCOPED_TRACE(std::to_string(width) + ": " + line);
    const std::string counts = "1,234,567 of 98,765,432 files";
    ASSERT_TRUE(line.starts_with(counts));
    std::string_view rest = std::string_view(line).substr(counts.size());
    while (!rest.empty()) {
      ASSERT_TRUE(rest.starts_with("  "));
      rest.remove_prefix(2);
      const std::string_view field = rest.substr(0, rest.find("  "));
      EXPECT_NE(std::find(fields.begin(), fields.end(), field), fields.end()) << field;
      rest.remove_prefix(field.size());
    }
    EXPECT_EQ(line.find("GiB/s") != std::string::npos, width > 40);  // the rate goes last
    EXPECT_EQ(line.find("/s"), line.rfind("/s"));
    EXPECT_LT(static_cast<int>(line.size()), width);
  }
}

}  // namespace
}  // namespace koru
