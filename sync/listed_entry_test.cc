#include "sync/listed_entry.h"

#include <gtest/gtest.h>

#include <string>

namespace koru {
namespace {

// Only the dot names themselves, separators and NUL are unsafe: names that merely look like
// them are ordinary files and must still be fetched.
TEST(ListedEntryTest, OnlyNamesThatLeadElsewhereAreUnsafe) {
  const struct {
    std::string name;
    bool unsafe;
  } cases[] = {
      {"", true},     {".", true},         {"..", true},
      {"a/b", true},  {"a\\b", true},      {std::string("a\0b", 3), true},
      {"...", false}, {".profile", false}, {"..x", false},
      {"x..", false}, {" ..", false},      {".. ", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsUnsafeName(c.name), c.unsafe) << '"' << c.name << '"';
}

}  // namespace
}  // namespace koru
