#include "platform/text.h"

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

}  // namespace
}  // namespace koru
