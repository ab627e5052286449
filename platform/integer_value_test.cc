#include "platform/integer_value.h"

#include <gtest/gtest.h>

#include <string>

namespace koru {
namespace {

TEST(IntegerValueTest, RoundsAndHoldsValuesInTheTargetRange) {
  const std::pair<std::string, int64_t> wide[] = {
      {"12.5", 12},  // halves to even
      {"13.5", 14},
      {"12.7", 13},
      {" \t\n-3 apples", -3},
      {"2D3", 2000},
      {"1.5E1", 15},
      {"abc", 0},
      {"", 0},
      {"9007199254740993", 9007199254740993},  // beyond the precision of a double
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"-99999999999999999999", INT64_MIN},
      {"1e300", INT64_MAX},
      {"-1e300", INT64_MIN},
  };
  for (const auto& [text, value] : wide) EXPECT_EQ(IntegerValue<int64_t>(text), value) << text;

  const std::pair<std::string, int16_t> narrow[] = {
      {"32767", 32767}, {"70000", 32767}, {"-70000", -32768}, {"4e4", 32767}, {"-32768.4", -32768},
  };
  for (const auto& [text, value] : narrow) EXPECT_EQ(IntegerValue<int16_t>(text), value) << text;
}

}  // namespace
}  // namespace koru
