#include "platform/text.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace koru {
namespace {

// The number a text begins with, as reply codes, sizes and port bytes are read.
TEST(NumericValue, ReadsTheNumberATextBeginsWith) {
  struct Case {
    std::string text;
    double value;
  };
  const std::vector<Case> cases = {
      {"226 Transfer complete.", 226},
      {"  \t\n 42abc", 42},          // spaces, tabs and line feeds before it are skipped
      {"\r42", 0},                   // a carriage return is not
      {"-17", -17},
      {"+5", 5},
      {"12.75 bytes", 12.75},
      {".5", 0.5},
      {"1E3", 1000},
      {"2d2", 200},                  // D introduces an exponent like E
      {"1e-2", 0.01},
      {"3E", 3},                     // an exponent without digits is not read
      {"7e+", 7},
      {"4.2.1", 4.2},                // reading stops where the number cannot go on
      {"1,234", 1},
      {"- 5", 0},                    // a sign must be followed by the number
      {"abc 12", 0},
      {"", 0},
      {"   ", 0},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(NumericValue(c.text), c.value) << '"' << c.text << '"';
  }
}

// A field that must be digits and nothing else: ports, sizes.
TEST(DigitsValue, TakesOnlyATextOfDigitsThatFits) {
  struct Case {
    std::string text;
    size_t max_digits;
    std::optional<int64_t> value;
  };
  const std::vector<Case> cases = {
      {"21", 5, 21},
      {"065535", 6, 65535},
      {"123456", 5, std::nullopt},  // more digits than the field may have
      {"", 5, std::nullopt},
      {"12a", 5, std::nullopt},
      {"+12", 5, std::nullopt},     // no sign, no blanks
      {" 12", 5, std::nullopt},
      {"9223372036854775807", 19, INT64_MAX},
      {"9223372036854775808", 19, std::nullopt},  // does not fit
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DigitsValue(c.text, c.max_digits), c.value) << '"' << c.text << '"';
  }
  EXPECT_EQ(LeadingDigits("1234 bytes"), "1234");
  EXPECT_EQ(LeadingDigits("bytes"), "");
}

}  // namespace
}  // namespace koru
