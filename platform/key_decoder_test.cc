#include "platform/key_decoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace koru {
namespace {

std::vector<int> Keys(std::string bytes) {
  std::vector<int> keys;
  while (!bytes.empty()) {
    int key = -1;
    bytes.erase(0, DecodeKey(bytes, &key));
    if (key >= 0) keys.push_back(key);
  }
  return keys;
}

TEST(KeyDecoderTest, LoneEscIsAKeyButSequencesAreNot) {
  const struct {
    const char* name;
    std::string bytes;
    std::vector<int> keys;
  } cases[] = {
      {"lone Esc", "\x1b", {27}},
      {"plain keys", "+-\t", {'+', '-', 9}},
      {"arrow up", "\x1b[A", {}},
      {"arrow then Esc", "\x1b[B\x1b", {27}},
      {"function key F5", "\x1b[15~", {}},
      {"modified arrow", "\x1b[1;5C", {}},
      {"application-mode arrow", "\x1bOA", {}},
      {"Alt-x", "\x1bx", {}},
      {"Esc Esc", "\x1b\x1b", {27, 27}},
      {"cut sequence", "\x1b[1;", {}},
      {"key after sequence", "\x1b[D=", {'='}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Keys(c.bytes), c.keys);
  }
}

}  // namespace
}  // namespace koru
