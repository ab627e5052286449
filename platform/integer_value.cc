#include "platform/integer_value.h"

namespace koru {

bool ExactIntegerValue(std::string_view text, int64_t* value) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const size_t digits_start = i;
  // Accumulated as a negative number: its range reaches the int64_t minimum.
  int64_t magnitude = 0;
  bool saturated = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const int digit = text[i] - '0';
    if (magnitude < (std::numeric_limits<int64_t>::min() + digit) / 10) {
      saturated = true;
    } else if (!saturated) {
      magnitude = magnitude * 10 - digit;
    }
  }
  if (i == digits_start) return false;
  if (i < text.size()) {
    const char next = text[i];
    if (next == '.' || next == 'E' || next == 'e' || next == 'D' || next == 'd') return false;
  }
  if (saturated) {
    *value = negative ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
  } else if (negative) {
    *value = magnitude;
  } else {
    *value = magnitude == std::numeric_limits<int64_t>::min() ? std::numeric_limits<int64_t>::max()
                                                              : -magnitude;
  }
  return true;
}

}  // namespace koru
