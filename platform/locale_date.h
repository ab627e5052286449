#ifndef KORU_PLATFORM_LOCALE_DATE_H_
#define KORU_PLATFORM_LOCALE_DATE_H_

#include <string>

#include "platform/system_time.h"

// Dates written the way the user's locale writes them (LC_TIME of the process locale, which
// the program takes from the environment at start).
namespace koru {

// The locale's strftime picture of a short date ("%m/%d/%y" in the C locale).
std::string LocaleShortDateFormat();

// The calendar date of `date` (year, month, day; the week day is worked out from them) written
// with the strftime picture `format`. `date` must be a valid calendar date. Empty when the
// text does not fit in 255 characters.
std::string FormatCalendarDate(const std::string& format, const SYSTEMTIME& date);

}  // namespace koru

#endif  // KORU_PLATFORM_LOCALE_DATE_H_
