#include "listing/wildmatch.h"

#include <gtest/gtest.h>

#include <string>

namespace koru {
namespace {

struct MatchCase {
  std::string name;
  std::string mask;
  int32_t ignore_case;
  int32_t result;
};

const MatchCase kMatchCases[] = {
    // No wildcard: plain equality, case folded on request only.
    {"README", "readme", -1, -1},
    {"README", "readme", 0, 0},
    {"ABC", "ABC", 0, -1},
    {"ABC", "ABD", 0, 0},
    {"ABC", "ABCD", 0, 0},
    // Prefix.
    {"REPORT1999.TXT", "REP*", 0, -1},
    {"REPORT1999.TXT", "X*", 0, 0},
    {"A", "ABC*", 0, 0},
    // Middle text between the first and the last star, literally.
    {"ABXB", "A*X*", 0, -1},
    {"ABB", "A*X*", 0, 0},
    {"AB*CD", "A*B*C*D", 0, -1},
    {"ABXCD", "A*B*C*D", 0, 0},
    // Suffix: the mask text after the last star ends the name.
    {"NOTES.TXT", "*.TXT", 0, -1},
    {"NOTES.TXT.BAK", "*.TXT", 0, 0},
    {"TXT", "*.TXT", 0, 0},
    {"notes.txt", "*.TXT", -1, -1},
    {"notes.txt", "*.TXT", 0, 0},
    {"DATA1.ZIP", "DATA*.ZIP", 0, -1},
    {"DATA1.ZAP", "DATA*.ZIP", 0, 0},
    // The checks are independent: prefix and suffix may overlap.
    {"ABA", "AB*BA", 0, -1},
    // "?" stands for any run of characters, the empty one included.
    {"ABBB", "A?", 0, -1},
    {"A", "A?", 0, -1},
    {"B", "A?", 0, 0},
    {"X.TXT", "?.TXT", 0, -1},
    // One pass of "**" -> "*": "***X" becomes "**X", an empty middle and the suffix X.
    {"ABX", "***X", 0, -1},
    {"XAB", "***X", 0, 0},
    {"anything", "***", 0, -1},
    {"", "*", 0, -1},
    {"", "", 0, -1},
    // Upper-casing covers the code-page-437 letters with capitals.
    {"\x84", "\x8E", -1, -1},
    {"\x84", "\x8E", 0, 0},
};

TEST(WildMatchTest, EqualityPrefixMiddleAndSuffix) {
  for (const MatchCase& c : kMatchCases) {
    EXPECT_EQ(WILDMATCH(c.name, c.mask, c.ignore_case), c.result)
        << "'" << c.name << "' against '" << c.mask << "', ignoreCase " << c.ignore_case;
  }
}

}  // namespace
}  // namespace koru
