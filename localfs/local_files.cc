#include "localfs/local_files.h"

#include "platform/integer_value.h"
#include "platform/local_file.h"
#include "platform/locale_date.h"
#include "platform/temp_file.h"
#include "platform/text.h"

namespace koru {
namespace {

constexpr char kTempPrefix[] = "CCS";

// What a date picture shows of a date: a picture that shows all three tells every date apart.
struct DateParts {
  bool year = false;
  bool month = false;
  bool day = false;
};

// The strftime directive that a conversion letter of a short date picture becomes, noting
// which parts of the date it shows.
std::string WidenedDirective(char conversion, std::string_view directive, DateParts& parts) {
  switch (conversion) {
    case 'y':
      parts.year = true;
      return "%Y";
    case 'D':
      parts = {true, true, true};
      return "%m/%d/%Y";
    case 'F':
      parts = {true, true, true};
      break;
    case 'Y':
      parts.year = true;
      break;
    case 'm':
    case 'b':
    case 'B':
    case 'h':
      parts.month = true;
      break;
    case 'd':
    case 'e':
      parts.day = true;
      break;
    case 'j':
      parts.month = parts.day = true;
      break;
    default:
      break;
  }
  return std::string(directive);
}

// Length of the strftime directive at the start of `format` (which begins with "%"): flags,
// width, an E or O modifier and the conversion letter; the rest of the text when it ends early.
size_t DirectiveLength(std::string_view format) {
  size_t i = 1;
  while (i < format.size() && std::string_view("_-0^#").find(format[i]) != std::string_view::npos) {
    ++i;
  }
  while (i < format.size() && format[i] >= '0' && format[i] <= '9') ++i;
  if (i < format.size() && (format[i] == 'E' || format[i] == 'O')) ++i;
  return i < format.size() ? i + 1 : format.size();
}

std::string HourMinute(const SYSTEMTIME& date) {
  return ZeroPad(date.wHour, 2) + ":" + ZeroPad(date.wMinute, 2);
}

bool IsLeapYear(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int64_t year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// The day and minute FORMATFILEDATE shows are a calendar time (the seconds do not count).
bool IsCalendarMinute(const SYSTEMTIME& date) {
  return date.wMonth >= 1 && date.wMonth <= 12 && date.wDay >= 1 &&
         date.wDay <= DaysInMonth(date.wYear, date.wMonth) && date.wHour <= 23 &&
         date.wMinute <= 59;
}

// Days from 1970-01-01 to the given day of the Gregorian calendar.
int64_t DaysSinceEpoch(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

// Whole minutes from 1970-01-01 00:00 to `date` on the local calendar.
int64_t CalendarMinute(const SYSTEMTIME& date) {
  return DaysSinceEpoch(date.wYear, date.wMonth, date.wDay) * 1440 + date.wHour * 60 +
         date.wMinute;
}

}  // namespace

int64_t FILEEXISTS(const std::string& path) { return FILEEXISTS(SystemFileSystem(), path); }

int64_t FILEEXISTS(FileSystem& files, const std::string& path) {
  const LocalEntry entry = files.Stat(path);
  return entry.kind == EntryKind::kMissing ? -1 : entry.size;
}

bool PlainLocalFileExists(const std::string& path) {
  return PlainLocalFileExists(SystemFileSystem(), path);
}

bool PlainLocalFileExists(FileSystem& files, const std::string& path) {
  return files.Stat(path).kind == EntryKind::kRegular;
}

int32_t EXIST(const std::string& path) { return EXIST(SystemFileSystem(), path); }

int32_t EXIST(FileSystem& files, const std::string& path) {
  return files.Stat(path).kind == EntryKind::kMissing ? 0 : 1;
}

void GETFILEDATE(const std::string& path, SYSTEMTIME& date) {
  GETFILEDATE(SystemFileSystem(), path, date);
}

void GETFILEDATE(FileSystem& files, const std::string& path, SYSTEMTIME& date) {
  const LocalEntry entry = files.Stat(path);
  if (entry.kind != EntryKind::kMissing) date = EpochToLocal(entry.modified_seconds);
}

bool SameLocalMinute(const SYSTEMTIME& date, int64_t modified_seconds) {
  return IsCalendarMinute(date) &&
         CalendarMinute(date) == CalendarMinute(EpochToLocal(modified_seconds));
}

std::string WidenedShortDateFormat(std::string_view format) {
  std::string widened;
  DateParts parts;
  while (!format.empty()) {
    if (format[0] != '%') {
      widened += format[0];
      format.remove_prefix(1);
      continue;
    }
    const size_t length = DirectiveLength(format);
    widened += length > 1 ? WidenedDirective(format[length - 1], format.substr(0, length), parts)
                          : std::string(format.substr(0, length));
    format.remove_prefix(length);
  }
  return parts.year && parts.month && parts.day ? widened : "%Y-%m-%d";
}

std::string FORMATFILEDATE(const SYSTEMTIME& date) {
  // Seconds do not show, so they do not make a record invalid either.
  SYSTEMTIME shown = date;
  shown.wSecond = 0;
  int64_t seconds = 0;
  if (!LocalToEpoch(shown, &seconds)) return "?" + DateText(date) + " " + HourMinute(date);
  std::string day = FormatCalendarDate(WidenedShortDateFormat(LocaleShortDateFormat()), date);
  if (day.empty()) day = DateText(date);
  return day + " " + HourMinute(date);
}

int32_t SETFILEDATE(Env& env, const Options& options, const std::string& path,
                    const SYSTEMTIME& date, int32_t which) {
  return SETFILEDATE(env, options, path, date, which, nullptr);
}

void WarnLocalFileError(Env& env, const std::string& path, const std::string& why) {
  env.TimedLine(" * Warning: Local file error: " + path + " (" + why + ")");
}

namespace {

// The verbose line and the times `which` (0 last write, 1 last access, -1 both) of `path`.
bool StampTimes(Env& env, const Options& options, const std::string& path, const SYSTEMTIME& date,
                int32_t which, std::string* why) {
  if (options.verbose()) {
    env.TimedLine(" * Setting " + path + " to " + DateText(date) + " " + TimeText(date));
  }
  int64_t seconds = 0;
  if (!LocalToEpoch(date, &seconds)) return false;
  FileSystem& files = *env.files;
  switch (which) {
    case 0:
      return SetLocalFileTimes(files, path, false, true, seconds, why);
    case 1:
      return SetLocalFileTimes(files, path, true, false, seconds, why);
    case -1:
      return SetLocalFileTimes(files, path, true, true, seconds, why);
    default:
      return false;  // 2, the creation time, cannot be set here
  }
}

}  // namespace

bool StampExistingFile(Env& env, const Options& options, const std::string& path,
                       const SYSTEMTIME& date, std::string* why) {
  return StampTimes(env, options, path, date, -1, why);
}

int32_t SETFILEDATE(Env& env, const Options& options, const std::string& path,
                    const SYSTEMTIME& date, int32_t which, std::string* why) {
  if (path.empty() || env.files->Stat(path).kind == EntryKind::kMissing) return 0;
  return StampTimes(env, options, path, date, which, why) ? 1 : 0;
}

int32_t DAYOFWEEK(std::string_view yyyymmdd) {
  const size_t size = yyyymmdd.size();
  int64_t year = IntegerValue<int32_t>(yyyymmdd.substr(0, 4));
  int64_t month = IntegerValue<int32_t>(size > 4 ? yyyymmdd.substr(4, 2) : std::string_view());
  const int64_t day = IntegerValue<int32_t>(yyyymmdd.substr(size > 2 ? size - 2 : 0));
  if (month < 3) {
    month += 12;
    year -= 1;
  }
  // Zeller's congruence: 0 = Saturday, 1 = Sunday ... 6 = Friday.
  int64_t zeller =
      (day + (26 * (month + 1)) / 10 + (125 * year) / 100 - year / 100 + year / 400) % 7;
  if (zeller < 0) zeller += 7;
  if (zeller == 0) zeller = 7;
  return static_cast<int32_t>(zeller - 1);
}

std::string GETWINDOWSTEMPDIR() {
  std::string directory = TemporaryDirectoryVariable();
  if (directory.empty()) directory = "/tmp";
  if (directory.back() != '/') directory += '/';
  return directory;
}

std::string GETNEWTEMPFILE() {
  const std::string name = CreateUniqueFile(GETWINDOWSTEMPDIR(), kTempPrefix);
  if (!name.empty() && EXIST(name)) return name;
  return CreateUniqueFile("./", kTempPrefix);
}

}  // namespace koru
