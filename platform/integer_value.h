#ifndef KORU_PLATFORM_INTEGER_VALUE_H_
#define KORU_PLATFORM_INTEGER_VALUE_H_

#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>

#include "platform/text.h"

// Whole numbers read from texts written by others (listings, dates): the numeric value of a
// text rounded to the nearest integer and held within the range of the receiving type.
namespace koru {

// A plain integer at the start of `text` (blanks, tabs and line feeds skipped, optional sign,
// digits not followed by a fraction or an exponent), read exactly with all 64 bits: true with
// the value, saturated at the int64_t limits. False when the text holds no plain integer there.
bool ExactIntegerValue(std::string_view text, int64_t* value);

// The numeric value of `text` (see NumericValue) rounded to the nearest integer, halves to
// even. Values beyond the range of T give T's smallest or largest value, never undefined
// behaviour. Plain integers are read exactly, so 64-bit sizes keep every digit.
template <typename T>
T IntegerValue(std::string_view text) {
  using Limits = std::numeric_limits<T>;
  int64_t exact = 0;
  double value = 0;
  if (ExactIntegerValue(text, &exact)) {
    if (exact < static_cast<int64_t>(Limits::min())) return Limits::min();
    if (exact > static_cast<int64_t>(Limits::max())) return Limits::max();
    return static_cast<T>(exact);
  }
  value = std::nearbyint(NumericValue(text));
  // -min() is a power of two, exact as a double, unlike max() for 64 bits.
  if (value >= -static_cast<double>(Limits::min())) return Limits::max();
  if (value <= static_cast<double>(Limits::min())) return Limits::min();
  return static_cast<T>(value);
}

}  // namespace koru

#endif  // KORU_PLATFORM_INTEGER_VALUE_H_
