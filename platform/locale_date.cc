#include "platform/locale_date.h"

#include <langinfo.h>

#include <ctime>

namespace koru {

std::string LocaleShortDateFormat() { return nl_langinfo(D_FMT); }

std::string FormatCalendarDate(const std::string& format, const SYSTEMTIME& date) {
  tm fields{};
  fields.tm_year = date.wYear - 1900;
  fields.tm_mon = date.wMonth - 1;
  fields.tm_mday = date.wDay;
  fields.tm_hour = 12;  // midday: no time-zone change moves it to another day
  fields.tm_isdst = -1;
  mktime(&fields);  // fills in the week day and the day of the year
  char text[256];
  const size_t length = strftime(text, sizeof text, format.c_str(), &fields);
  return std::string(text, length);
}

}  // namespace koru
