#include "tests/screen_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace koru::testing {
namespace {

// The model must be right for the terminal tests to mean anything.
TEST(ScreenModelTest, ShowsWhatATerminalShows) {
  struct Case {
    const char* what;
    std::string bytes;
    std::vector<std::string> lines;
    std::string cursor_row;
    int wraps;
  };
  const std::vector<Case> cases = {
      {"redrawn in place", "\rlong stat\x1b[K\rshort\x1b[K", {"short"}, "short", 0},
      {"erased, then a line", "\rstatus\x1b[K\r\x1b[Kline\r\n", {"line"}, "", 0},
      {"carriage return alone leaves the rest", "\rstatus\x1b[K\rline\r\n", {"lineus"}, "", 0},
      {"the last column is no wrap", "abcdefghij\r\n", {"abcdefghij"}, "", 0},
      {"one more byte wraps", "abcdefghijk", {"abcdefghij", "k"}, "k", 1},
      {"titles show nothing", "\x1b]0;title\ax\r\n", {"x"}, "", 0},
      {"scrollback", "1\r\n2\r\n3\r\n4\r\n", {"1", "2", "3", "4"}, "", 0},
  };
  for (const Case& c : cases) {
    ScreenModel screen(10, 3);
    screen.Feed(c.bytes);
    EXPECT_EQ(screen.Lines(), c.lines) << c.what;
    EXPECT_EQ(screen.CursorRow(), c.cursor_row) << c.what;
    EXPECT_EQ(screen.wraps(), c.wraps) << c.what;
    EXPECT_EQ(screen.unknown(), "") << c.what;
  }
  ScreenModel screen(10, 3);
  screen.Feed("\x1b[2J\a");
  EXPECT_EQ(screen.unknown(), "\x1b[2\a");
}

TEST(ScreenModelTest, KeepsTheTitleAndItsStack) {
  struct Case {
    const char* what;
    std::string bytes;
    std::string title;
    size_t saved;
  };
  const std::vector<Case> cases = {
      {"a title", "\x1b]0;one\a\x1b]0;two\a", "two", 0},
      {"pushed and changed", "\x1b]0;shell\a\x1b[22;0t\x1b]0;run\a", "run", 1},
      {"popped back", "\x1b]0;shell\a\x1b[22;0t\x1b]0;run\a\x1b[23;0t", "shell", 0},
      {"a pop with nothing pushed", "\x1b]0;shell\a\x1b[23;0t", "shell", 0},
      {"nested", "\x1b]0;a\a\x1b[22;0t\x1b]0;b\a\x1b[22;0t\x1b]0;c\a\x1b[23;0t", "b", 1},
  };
  for (const Case& c : cases) {
    ScreenModel screen(10, 3);
    screen.Feed(c.bytes);
    EXPECT_EQ(screen.title(), c.title) << c.what;
    EXPECT_EQ(screen.saved_titles(), c.saved) << c.what;
    EXPECT_EQ(screen.Lines(), std::vector<std::string>{}) << c.what;
    EXPECT_EQ(screen.unknown(), "") << c.what;
  }
}

}  // namespace
}  // namespace koru::testing
