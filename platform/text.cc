#include "platform/text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace koru {
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view LeadingDigits(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsDigit(text[i])) ++i;
  return text.substr(0, i);
}

std::optional<int64_t> DigitsValue(std::string_view text, size_t max_digits) {
  if (text.empty() || text.size() > max_digits || LeadingDigits(text).size() != text.size()) {
    return std::nullopt;
  }
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

namespace {

size_t SkipDigits(std::string_view text, size_t i) {
  while (i < text.size() && IsDigit(text[i])) ++i;
  return i;
}

}  // namespace

double NumericValue(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n')) ++i;
  const size_t start = i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  const size_t integer_start = i;
  i = SkipDigits(text, i);
  bool has_digits = i > integer_start;
  if (i < text.size() && text[i] == '.') {
    const size_t fraction_start = i + 1;
    const size_t fraction_end = SkipDigits(text, fraction_start);
    if (has_digits || fraction_end > fraction_start) {
      has_digits = has_digits || fraction_end > fraction_start;
      i = fraction_end;
    }
  }
  if (!has_digits) return 0;
  std::string number(text.substr(start, i - start));
  if (i < text.size() && (text[i] == 'E' || text[i] == 'e' || text[i] == 'D' || text[i] == 'd')) {
    size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    const size_t exponent_end = SkipDigits(text, j);
    if (exponent_end > j) {
      number += 'e';
      number += text.substr(i + 1, exponent_end - i - 1);
    }
  }
  const double value = std::strtod(number.c_str(), nullptr);
  return std::isfinite(value) ? value : 0;
}

char UpperCaseByte(char c) {
  if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
  switch (static_cast<unsigned char>(c)) {
    case 0x84: return static_cast<char>(0x8E);  // ä
    case 0x94: return static_cast<char>(0x99);  // ö
    case 0x81: return static_cast<char>(0x9A);  // ü
    case 0x82: return static_cast<char>(0x90);  // é
    case 0xA4: return static_cast<char>(0xA5);  // ñ
    case 0x86: return static_cast<char>(0x8F);  // å
    case 0x87: return static_cast<char>(0x80);  // ç
    default: return c;
  }
}

std::string UpperCase(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = UpperCaseByte(c);
  return upper;
}

std::string_view TrimLeftBlanks(std::string_view text) {
  const size_t first = text.find_first_not_of(' ');
  return first == std::string_view::npos ? std::string_view() : text.substr(first);
}

std::string_view TrimRightBlanks(std::string_view text) {
  const size_t last = text.find_last_not_of(' ');
  return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}

std::string_view TrimBlanks(std::string_view text) {
  return TrimRightBlanks(TrimLeftBlanks(text));
}

std::string ZeroPad(int64_t value, int digits) {
  std::string magnitude = std::to_string(value < 0 ? -value : value);
  if (static_cast<int>(magnitude.size()) < digits) {
    magnitude.insert(0, digits - magnitude.size(), '0');
  }
  return value < 0 ? "-" + magnitude : magnitude;
}

void AppendDecimal(std::string& out, int64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

void AppendGroupedThousands(std::string& out, int64_t value) {
  char digits[24];
  const char* first = digits;
  const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  if (*first == '-') out += *first++;
  const size_t count = static_cast<size_t>(end - first);
  for (size_t i = 0; i < count; ++i) {
    if (i > 0 && (count - i) % 3 == 0) out += ',';
    out += first[i];
  }
}

std::string GroupThousands(int64_t value) {
  std::string grouped;
  AppendGroupedThousands(grouped, value);
  return grouped;
}

std::string TimeText(const SYSTEMTIME& t) {
  return ZeroPad(t.wHour, 2) + ":" + ZeroPad(t.wMinute, 2) + ":" + ZeroPad(t.wSecond, 2);
}

std::string DateText(const SYSTEMTIME& t) {
  return ZeroPad(t.wMonth, 2) + "-" + ZeroPad(t.wDay, 2) + "-" + ZeroPad(t.wYear, 4);
}

std::string PrintableText(std::string_view text) {
  std::string shown(text);
  for (char& c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return shown;
}

}  // namespace koru
