#ifndef KORU_PLATFORM_TEXT_H_
#define KORU_PLATFORM_TEXT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/system_time.h"

// Small text rules shared by every layer: numbers at the start of a text, upper-casing,
// trimming and the fixed number formats of console lines.
namespace koru {

// The number at the start of `text`: spaces, tabs and line feeds skipped, an optional sign,
// digits, an optional decimal fraction and an optional exponent introduced by E or D. Reading
// stops at the first character that cannot continue the number; no number gives 0.
double NumericValue(std::string_view text);

bool IsDigit(char c);

// The decimal digits `text` begins with (possibly none).
std::string_view LeadingDigits(std::string_view text);

// The value of `text` when it is nothing but decimal digits, at most `max_digits` of them;
// nothing for an empty text, any other character, or more digits.
std::optional<int64_t> DigitsValue(std::string_view text, size_t max_digits = 18);

// Upper-cases a-z and the code-page-437 letters with a capital (ä ö ü é ñ å ç); other bytes stay.
std::string UpperCase(std::string_view text);
char UpperCaseByte(char c);

// Blanks are the space character only.
std::string_view TrimLeftBlanks(std::string_view text);
std::string_view TrimRightBlanks(std::string_view text);
std::string_view TrimBlanks(std::string_view text);

// Decimal digits with at least `digits` places, zero-padded ("000" gives 007, 057, 1234).
std::string ZeroPad(int64_t value, int digits);

// Decimal digits with a comma between groups of three (1,234,567).
std::string GroupThousands(int64_t value);
// The same appended to `out` (no allocation once `out` has room).
void AppendGroupedThousands(std::string& out, int64_t value);
// Plain decimal digits appended to `out`.
void AppendDecimal(std::string& out, int64_t value);

// hh:mm:ss, 24-hour clock.
std::string TimeText(const SYSTEMTIME& t);
// MM-DD-YYYY.
std::string DateText(const SYSTEMTIME& t);

// Every byte below 0x20 (TAB too) and 0x7F shown as "?": text that may come from a server can
// then never act on a terminal, whether it is written to one now or shown on one later.
std::string PrintableText(std::string_view text);

}  // namespace koru

#endif  // KORU_PLATFORM_TEXT_H_
