#include "listing/list_parser.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "platform/integer_value.h"
#include "platform/text.h"

namespace koru {
namespace {

constexpr std::array<std::string_view, 12> kMonths = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                      "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
constexpr std::string_view kMonthLookup = "JANFEBMARAPRMAYJUNJULAUGSEPOCTNOVDEC";

// A blank-separated word of a line and where it begins.
struct Word {
  size_t begin;
  std::string_view text;
};

std::vector<Word> SplitWords(std::string_view line) {
  std::vector<Word> words;
  size_t begin = line.find_first_not_of(' ');
  while (begin != std::string_view::npos) {
    const size_t end = std::min(line.find(' ', begin), line.size());
    words.push_back({begin, line.substr(begin, end - begin)});
    begin = line.find_first_not_of(' ', end);
  }
  return words;
}

// The text from its first space onward without leading spaces; empty without a space.
std::string_view DropFirstField(std::string_view text) {
  const size_t space = text.find(' ');
  return space == std::string_view::npos ? std::string_view() : TrimLeftBlanks(text.substr(space));
}

// Field `index` (0-based) of `text` split at every `separator`; empty when there are fewer.
std::string_view NthField(std::string_view text, char separator, int index) {
  for (; index > 0; --index) {
    const size_t cut = text.find(separator);
    if (cut == std::string_view::npos) return {};
    text.remove_prefix(cut + 1);
  }
  return text.substr(0, text.find(separator));
}

bool IsDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsOneOrTwoDigits(std::string_view text) { return text.size() <= 2 && IsDigits(text); }

// h:mm or hh:mm.
bool IsTwoDigits(std::string_view text) { return text.size() == 2 && IsDigits(text); }

// h:mm or hh:mm, optionally with seconds (hh:mm:ss, as full-time listings write it).
bool IsClockTime(std::string_view text) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos || !IsOneOrTwoDigits(text.substr(0, colon))) return false;
  const std::string_view rest = text.substr(colon + 1);
  const size_t second_colon = rest.find(':');
  if (second_colon == std::string_view::npos) return IsTwoDigits(rest);
  return IsTwoDigits(rest.substr(0, second_colon)) && IsTwoDigits(rest.substr(second_colon + 1));
}

// 1 to 12 for a month abbreviation in any case; 0 for every other word.
int16_t MonthOfWord(std::string_view word) {
  if (word.size() != 3) return 0;
  const std::string upper = UpperCase(word);
  for (size_t i = 0; i < kMonths.size(); ++i) {
    if (upper == kMonths[i]) return static_cast<int16_t>(i + 1);
  }
  return 0;
}

// The columns of a Unix line from the size to the time or year, and where its name begins.
struct UnixDate {
  std::string_view size;
  int16_t month;
  std::string_view day;
  std::string_view time_or_year;
  size_t name_begin;
};

// Whether words[month - 1 .. month + 2] read size, month, day, time or year.
bool IsUnixDateAt(const std::vector<Word>& words, size_t month) {
  const std::string_view time_or_year = words[month + 2].text;
  return IsDigits(words[month - 1].text) && MonthOfWord(words[month].text) != 0 &&
         IsOneOrTwoDigits(words[month + 1].text) &&
         (IsClockTime(time_or_year) || IsDigits(time_or_year));
}

// The first month word in line order that stands where a Unix date does: a month word in the
// owner, the group or the name is never taken for the date column.
std::optional<UnixDate> FindUnixDate(std::string_view line) {
  const std::vector<Word> words = SplitWords(line);
  for (size_t month = 1; month + 2 < words.size(); ++month) {
    if (!IsUnixDateAt(words, month)) continue;
    const Word& time_or_year = words[month + 2];
    const size_t after = time_or_year.begin + time_or_year.text.size();
    return UnixDate{words[month - 1].text, MonthOfWord(words[month].text), words[month + 1].text,
                    time_or_year.text, std::min(after + 1, line.size())};
  }
  return std::nullopt;
}

bool HoldsDashedMonth(std::string_view line) {
  const std::string upper = UpperCase(line);
  return std::any_of(kMonths.begin(), kMonths.end(), [&](std::string_view month) {
    return upper.find('-' + std::string(month) + '-') != std::string::npos;
  });
}

// hour and minute of a time text: the values before and after its first ":". Without ":" the
// text less its last character gives the hour and the whole text the minute.
void ReadTime(std::string_view text, LISTENTRY& entry) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    entry.hour = IntegerValue<int16_t>(text.substr(0, text.empty() ? 0 : text.size() - 1));
    entry.minute = IntegerValue<int16_t>(text);
  } else {
    entry.hour = IntegerValue<int16_t>(text.substr(0, colon));
    entry.minute = IntegerValue<int16_t>(text.substr(colon + 1));
  }
}

int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era + day - 1 - 719468;
}

// Year of a Unix line that shows a time: this year unless the date would lie more than one
// day ahead of today (a file from last December seen in January).
int32_t YearOfRecentDate(int16_t month, int16_t day, const SYSTEMTIME& today) {
  const int64_t ahead =
      DaysFromCivil(today.wYear, month, day) - DaysFromCivil(today.wYear, today.wMonth, today.wDay);
  return ahead > 1 ? today.wYear - 1 : today.wYear;
}

bool ParseDashed(std::string_view line, LISTENTRY& entry) {
  const size_t semicolon = line.find(';');
  if (semicolon == std::string_view::npos) return false;
  entry.name = line.substr(0, semicolon);
  std::string_view rest = DropFirstField(line);
  entry.size = IntegerValue<int64_t>(rest);
  rest = DropFirstField(rest);
  entry.day = IntegerValue<int16_t>(NthField(rest, '-', 0));
  const size_t found = kMonthLookup.find(UpperCase(NthField(rest, '-', 1)));
  const size_t p = found == std::string_view::npos ? 0 : found + 1;
  entry.month = static_cast<int16_t>(p / 3 + 1);
  entry.year = IntegerValue<int32_t>(NthField(rest, '-', 2));
  ReadTime(DropFirstField(rest), entry);
  entry.isDir = 0;
  return true;
}

void ParseUnix(std::string_view line, const UnixDate& date, const SYSTEMTIME& today,
               LISTENTRY& entry) {
  const char type = UpperCaseByte(line[0]);
  entry.isDir = type == 'D' ? 1 : 0;
  entry.isLink = type == 'L' ? 1 : 0;
  entry.size = IntegerValue<int64_t>(date.size);
  entry.month = date.month;
  entry.day = IntegerValue<int16_t>(date.day);
  if (IsClockTime(date.time_or_year)) {
    ReadTime(date.time_or_year, entry);
    entry.year = YearOfRecentDate(entry.month, entry.day, today);
  } else {
    entry.year = IntegerValue<int32_t>(date.time_or_year);
  }
  entry.name = line.substr(date.name_begin);
}

int32_t CenturyOfDosYear(int32_t year) {
  if (year > 60 && year < 1900) year += 1900;
  if (year < 100) year += 2000;
  return year;
}

// 'hh:mmAM' / 'hh:mmPM': the marker after the minutes decides, 12 AM being midnight.
int16_t DosHour(int16_t hour, bool afternoon) {
  if (afternoon && hour >= 1 && hour <= 11) return static_cast<int16_t>(hour + 12);
  if (!afternoon && hour == 12) return 0;
  return hour;
}

bool ParseDos(std::string_view line, LISTENTRY& entry) {
  const size_t colon = line.find(':');
  // Two characters after the minutes of the first time; without ":" those at 2 and 3.
  const size_t marker = colon == std::string_view::npos ? 2 : colon + 3;
  if (marker + 1 >= line.size()) return false;
  const std::string am_pm = UpperCase(line.substr(marker, 2));
  if (am_pm != "AM" && am_pm != "PM") return false;
  entry.month = IntegerValue<int16_t>(NthField(line, '-', 0));
  entry.day = IntegerValue<int16_t>(NthField(line, '-', 1));
  entry.year = CenturyOfDosYear(IntegerValue<int32_t>(NthField(line, '-', 2)));
  std::string_view rest = DropFirstField(line);
  ReadTime(rest, entry);
  entry.hour = DosHour(entry.hour, am_pm == "PM");
  rest = DropFirstField(rest);
  entry.isDir = UpperCase(rest.substr(0, 5)) == "<DIR>" ? 1 : 0;
  entry.size = entry.isDir ? 0 : IntegerValue<int64_t>(rest);
  entry.name = DropFirstField(rest);
  return true;
}

// The layout of a line: a Unix date where one qualifies, else "-MON-" for the dashed layout,
// else DOS. False when the chosen layout does not fit.
bool ParseAnyLayout(std::string_view line, const SYSTEMTIME& today, LISTENTRY& entry) {
  if (const std::optional<UnixDate> date = FindUnixDate(line)) {
    ParseUnix(line, *date, today, entry);
    return true;
  }
  if (HoldsDashedMonth(line)) return ParseDashed(line, entry);
  return ParseDos(line, entry);
}

}  // namespace

int32_t PARSELISTLINE(std::string_view line, LISTENTRY& entry, const SYSTEMTIME& today) {
  if (line.empty()) return 0;
  LISTENTRY parsed;
  if (!ParseAnyLayout(line, today, parsed)) return 0;
  if (TrimBlanks(parsed.name).empty()) return 0;
  if (parsed.name.size() > kListNameLength) parsed.name.resize(kListNameLength);
  entry = std::move(parsed);
  return -1;
}

std::string CutLinkTarget(std::string_view name) {
  return std::string(name.substr(0, name.find(" -> ")));
}

std::string EntryFileName(const LISTENTRY& entry) {
  return entry.isLink ? CutLinkTarget(entry.name) : entry.name;
}

bool ListingLinePasses(std::string_view line, const SYSTEMTIME& today) {
  LISTENTRY entry;
  if (PARSELISTLINE(line, entry, today) == 0) return true;
  return EntryFileName(entry).find_first_of("/\\") == std::string::npos;
}

}  // namespace koru
