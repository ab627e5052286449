#include "listing/list_parser.h"

#include <array>
#include <optional>

#include "platform/integer_value.h"
#include "platform/text.h"

namespace koru {
namespace {

constexpr std::array<std::string_view, 12> kMonths = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                      "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
constexpr std::string_view kMonthLookup = "JANFEBMARAPRMAYJUNJULAUGSEPOCTNOVDEC";

struct Anchor {
  size_t position;  // of the space or hyphen before the month
  int16_t month;
  bool dashed;
};

// The text from its first space onward without leading spaces; empty without a space.
std::string_view DropFirstField(std::string_view text) {
  const size_t space = text.find(' ');
  return space == std::string_view::npos ? std::string_view() : TrimLeftBlanks(text.substr(space));
}

std::string_view FirstField(std::string_view text) { return text.substr(0, text.find(' ')); }

// Field `index` (0-based) of `text` split at every `separator`; empty when there are fewer.
std::string_view NthField(std::string_view text, char separator, int index) {
  for (; index > 0; --index) {
    const size_t cut = text.find(separator);
    if (cut == std::string_view::npos) return {};
    text.remove_prefix(cut + 1);
  }
  return text.substr(0, text.find(separator));
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

std::optional<Anchor> FindAnchor(const std::string& upper) {
  for (size_t i = 0; i < kMonths.size(); ++i) {
    const auto month = static_cast<int16_t>(i + 1);
    for (const bool dashed : {false, true}) {
      const char edge = dashed ? '-' : ' ';
      const std::string pattern = edge + std::string(kMonths[i]) + edge;
      const size_t hit = upper.find(pattern);
      if (hit != std::string::npos) return Anchor{hit, month, dashed};
    }
  }
  return std::nullopt;
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

void ParseUnix(std::string_view line, const Anchor& anchor, const SYSTEMTIME& today,
               LISTENTRY& entry) {
  entry.isDir = UpperCaseByte(line[0]) == 'D' ? 1 : 0;
  const std::string_view before = TrimRightBlanks(line.substr(0, anchor.position));
  const size_t last_space = before.rfind(' ');
  entry.size = IntegerValue<int64_t>(
      last_space == std::string_view::npos ? before : before.substr(last_space + 1));
  entry.month = anchor.month;
  std::string_view rest = DropFirstField(TrimLeftBlanks(line.substr(anchor.position)));
  entry.day = IntegerValue<int16_t>(rest);
  rest = DropFirstField(rest);
  const std::string_view time_or_year = FirstField(rest);
  if (time_or_year.find(':') != std::string_view::npos) {
    ReadTime(time_or_year, entry);
    entry.year = YearOfRecentDate(entry.month, entry.day, today);
  } else {
    entry.year = IntegerValue<int32_t>(time_or_year);
  }
  entry.name = DropFirstField(rest);
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

}  // namespace

int32_t PARSELISTLINE(std::string_view line, LISTENTRY& entry, const SYSTEMTIME& today) {
  if (line.empty()) return 0;
  LISTENTRY parsed;
  const std::optional<Anchor> anchor = FindAnchor(UpperCase(line));
  if (!anchor) {
    if (!ParseDos(line, parsed)) return 0;
  } else if (anchor->dashed) {
    if (!ParseDashed(line, parsed)) return 0;
  } else {
    ParseUnix(line, *anchor, today, parsed);
  }
  if (TrimBlanks(parsed.name).empty()) return 0;
  if (parsed.name.size() > kListNameLength) parsed.name.resize(kListNameLength);
  entry = std::move(parsed);
  return -1;
}

std::string CutLinkTarget(std::string_view name) {
  const size_t arrow = name.find("->");
  if (arrow == std::string_view::npos) return std::string(name);
  return std::string(TrimRightBlanks(name.substr(0, arrow)));
}

bool ListingLinePasses(std::string_view line, const SYSTEMTIME& today) {
  LISTENTRY entry;
  if (PARSELISTLINE(line, entry, today) == 0) return true;
  const std::string examined = entry.isDir ? entry.name : CutLinkTarget(entry.name);
  return examined.find_first_of("/\\") == std::string::npos;
}

}  // namespace koru
