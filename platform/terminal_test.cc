#include "platform/terminal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "tests/child_process.h"

namespace koru {
namespace {

using testing::PtyChild;

// In the child: prints every key as "KEY n" until Esc, then ends with 0.
void EchoKeysUntilEsc() {
  int exit_code = 3;
  {
    TerminalConsole console;
    console.WriteLine("READY");
    for (int i = 0; i < 1000 && exit_code != 0; ++i) {
      const int key = console.PollKey();
      if (key != kNoKey) console.WriteLine("KEY " + std::to_string(key));
      if (key == kKeyEsc) exit_code = 0;
      usleep(10000);
    }
  }
  _exit(exit_code);
}

TEST(TerminalTest, ArrowKeysAreNoEscButALoneEscIs) {
  PtyChild child(EchoKeysUntilEsc);
  child.ReadUntil("READY");
  EXPECT_EQ(child.LocalModes() & (ICANON | ECHO), 0u) << "raw mode while running";
  child.Type("\x1b[A");
  child.Type("x");
  child.ReadUntil("KEY 120");
  child.Type("\x1b");
  EXPECT_EQ(child.Wait(), 0);
  const std::string& out = child.output();
  EXPECT_NE(out.find("KEY 120"), std::string::npos);
  EXPECT_EQ(out.find("KEY 27"), out.rfind("KEY 27")) << out;
  EXPECT_LT(out.find("KEY 120"), out.find("KEY 27"));
  EXPECT_EQ(out.find("KEY 65"), std::string::npos) << "the arrow's letter leaked: " << out;
  EXPECT_EQ(out.find("x"), std::string::npos) << "typed keys must not echo: " << out;
  EXPECT_EQ(child.LocalModes() & (ICANON | ECHO), unsigned{ICANON | ECHO}) << "mode restored";
}

// A long wait for keys ends as soon as a key comes or SIGTERM does: the child ends with 0 only
// when the wait of a minute ended early with a key pending, and PollKey then hands out `key`.
TEST(TerminalTest, AWaitForKeysEndsAtTheFirstKeyOrSigterm) {
  struct Case {
    const char* what;
    std::function<void(PtyChild&)> wake;
    int key;
  };
  const std::vector<Case> cases = {
      {"a key", [](PtyChild& c) { c.Type("+"); }, '+'},
      {"SIGTERM", [](PtyChild& c) { c.Signal(SIGTERM); }, kKeyEsc},
  };
  for (const Case& c : cases) {
    const int key = c.key;
    PtyChild child([key] {
      TerminalConsole console;
      PosixClock clock;
      console.WriteLine("READY");
      const bool woken = console.WaitForKey(clock, 60000);
      _exit(woken && console.PollKey() == key ? 0 : 3);
    });
    child.ReadUntil("READY");
    c.wake(child);
    EXPECT_EQ(child.Wait(5000), 0) << c.what;
  }
}

TEST(TerminalTest, CtrlCReadsAsEscAndASecondOneEndsAtOnce) {
  PtyChild child([] {
    TerminalConsole console;
    console.WriteLine("READY");
    for (;;) {
      if (console.PollKey() == kKeyEsc) console.WriteLine("ABORT SEEN");
      usleep(10000);
    }
  });
  child.ReadUntil("READY");
  child.Signal(SIGINT);
  child.ReadUntil("ABORT SEEN");
  EXPECT_NE(child.output().find("ABORT SEEN"), std::string::npos);
  child.Signal(SIGINT);
  EXPECT_EQ(child.Wait(), 130);
  EXPECT_EQ(child.LocalModes() & (ICANON | ECHO), unsigned{ICANON | ECHO});
}

// Text from a server may hold control characters; on a terminal or in a pipe (a log shown
// later), on either stream, each is shown as "?", so none can act on a terminal.
TEST(TerminalTest, ServerTextIsShownWithoutControlCharacters) {
  const char kEvil[] = "evil\x1b]0;owned\x07 name\ttab\x7f\r";
  const char kShown[] = "evil?]0;owned? name?tab??";
  PtyChild child([&] {
    TerminalConsole console;
    console.WriteLine(kEvil);
    console.WriteErrorLine(kEvil);
    _exit(0);
  });
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(child.output(), std::string(kShown) + "\r\n" + kShown + "\r\n");

  const testing::ChildResult piped = testing::RunInChild([&] {
    TerminalConsole console;
    console.WriteLine(kEvil);
    console.WriteErrorLine(kEvil);
  });
  EXPECT_EQ(piped.exit_code, 0);
  EXPECT_EQ(piped.output, std::string(kShown) + "\n");
  EXPECT_EQ(piped.errors, std::string(kShown) + "\n");
}

TEST(TerminalTest, TitleGoesToTheTerminalAndTheLastOneAlwaysShows) {
  PtyChild child([] {
    TerminalConsole console;
    for (int i = 0; i <= 1000; ++i) console.SetTitle("progress " + std::to_string(i));
    console.SetTitle("done\tnow\x07");
    _exit(0);  // the console is not destroyed: the title must already be out
  });
  child.Wait();
  // The last title is held back by the coalescing; this child never calls the console again,
  // so only the first title is guaranteed. A well-behaved run ends by destroying its console.
  EXPECT_NE(child.output().find("\x1b]0;progress 0\x07"), std::string::npos);
  EXPECT_LT(child.output().size(), 2000u) << "titles were not coalesced";

  PtyChild tidy([] {
    {
      TerminalConsole console;
      for (int i = 0; i <= 1000; ++i) console.SetTitle("progress " + std::to_string(i));
      console.SetTitle("done\tnow\x07");
    }
    _exit(0);
  });
  tidy.Wait();
  EXPECT_NE(tidy.output().find("\x1b]0;done?now?\x07"), std::string::npos) << tidy.output();
}

// A download sets a title and polls the keys after every block: the polls must not write every
// title, only about ten a second, and the last one still shows when the activity ends.
TEST(TerminalTest, TitlesBetweenKeyPollsComeAtMostTenTimesASecond) {
  PtyChild child([] {
    {
      TerminalConsole console;
      for (int i = 0; i < 100; ++i) {
        console.SetTitle("block " + std::to_string(i));
        console.PollKey();
        usleep(5000);
      }
      console.SetTitle("finished");
      console.ClearStatus();
      console.WriteLine("END");
    }
    _exit(0);
  });
  child.ReadUntil("END");
  child.Wait();
  size_t titles = 0;
  for (size_t at = child.output().find("\x1b]0;"); at != std::string::npos;
       at = child.output().find("\x1b]0;", at + 1)) {
    ++titles;
  }
  // 100 blocks of at least 5 ms take at least half a second: a handful of titles, never 100.
  EXPECT_LE(titles, 30u) << child.output();
  EXPECT_GE(titles, 2u) << child.output();
  const size_t finished = child.output().find("\x1b]0;finished\x07");
  ASSERT_NE(finished, std::string::npos) << child.output();
  EXPECT_LT(finished, child.output().find("END"));
}

// exit() in a child forked from the threaded test process runs the leak checker of a sanitizer
// build, which notes that it could not stop the parent's threads: no output of the program's.
std::string WithoutLeakCheckNotice(std::string output) {
  static const std::regex kNotice(
      R"(==\d+==Running thread \d+ was not suspended\. False leaks are possible\.\r?\n)");
  return std::regex_replace(output, kNotice, "");
}

// The terminal's own title is pushed on its title stack before the first title and popped
// back after the last one, however the program ends; Ctrl-Z gives it back for the stop.
TEST(TerminalTest, TheTerminalsTitleIsGivenBackOnEveryWayOut) {
  const std::string push = "\x1b[22;0t";
  const std::string pop = "\x1b[23;0t";
  const std::string run = "\x1b]0;run\x07";
  struct Case {
    const char* what;
    std::function<void(TerminalConsole&)> end;
    int exit_code;
    std::string output;
  };
  const std::vector<Case> cases = {
      {"the console ends", [](TerminalConsole&) {}, 0, push + run + pop},
      {"exit()", [](TerminalConsole&) { std::exit(4); }, 4, push + run + pop},
      {"a second Ctrl-C",
       [](TerminalConsole&) {
         raise(SIGINT);
         raise(SIGINT);
         _exit(5);  // not reached
       },
       130, push + run + pop},
      {"Ctrl-Z and back",
       [](TerminalConsole& console) {
         raise(SIGTSTP);  // not stopped here (an orphaned process group), but continued
         console.PollKey();
         console.WriteLine("back");
       },
       0, push + run + pop + push + run + "back\r\n" + pop},
  };
  for (const Case& c : cases) {
    PtyChild child([&c] {
      {
        TerminalConsole console;
        console.SetTitle("run");
        c.end(console);
      }
      _exit(0);
    });
    EXPECT_EQ(child.Wait(), c.exit_code) << c.what;
    EXPECT_EQ(WithoutLeakCheckNotice(child.output()), c.output) << c.what;
  }
}

// ---- The status line on standard error ------------------------------------------------------

const Status kSix = ListingStatus{"/pub/", 6};
const Status kSeven = ListingStatus{"/pub/", 7};

TEST(TerminalTest, StatusLineIsRedrawnInPlaceAndErasedBeforeEveryLine) {
  PtyChild child([] {
    setenv("TERM", "xterm", 1);
    {
      TerminalConsole console;
      if (!console.HasStatusLine()) _exit(3);
      console.ShowStatus(kSix);
      console.ShowStatus(kSix);  // the same text again: nothing to write
      console.ShowStatus(kSeven);
      console.WriteLine("a line");
      console.ShowStatus(kSeven);
      console.ClearStatus();
      console.ClearStatus();
      console.WriteLine("end");
    }
    _exit(0);
  });
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(child.output(),
            "\rlisting /pub/: 6 lines\x1b[K"
            "\rlisting /pub/: 7 lines\x1b[K"
            "\r\x1b[K"
            "a line\r\n"
            "\rlisting /pub/: 7 lines\x1b[K"
            "\r\x1b[K"
            "end\r\n");
}

// An error line goes to standard error: on a terminal after erasing the status line, elsewhere
// apart from the lines; without control characters in either.
TEST(TerminalTest, ErrorLinesGoToStandardError) {
  PtyChild terminal([] {
    setenv("TERM", "xterm", 1);
    {
      TerminalConsole console;
      console.ShowStatus(kSix);
      console.WriteErrorLine("evil\x1b]0;owned\x07 error");
    }
    _exit(0);
  });
  EXPECT_EQ(terminal.Wait(), 0);
  EXPECT_EQ(terminal.output(),
            "\rlisting /pub/: 6 lines\x1b[K\r\x1b[Kevil?]0;owned? error\r\n");

  const testing::ChildResult piped = testing::RunInChild([] {
    TerminalConsole console;
    console.WriteLine("a line");
    console.WriteErrorLine("an error\x1b");
  });
  EXPECT_EQ(piped.exit_code, 0);
  EXPECT_EQ(piped.output, "a line\n");
  EXPECT_EQ(piped.errors, "an error?\n");
}

// Threads that write at once: the three lines of each piece come out together, on standard
// output and on standard error alike.
TEST(TerminalTest, PiecesOfLinesFromSeveralThreadsComeOutWhole) {
  constexpr int kThreads = 4;
  constexpr int kPieces = 100;
  const testing::ChildResult result = testing::RunInChild([] {
    TerminalConsole console;
    std::vector<std::jthread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&console, t] {
        const std::string filler(60, 'x');
        for (int i = 0; i < kPieces; ++i) {
          const std::string id = std::to_string(t) + "." + std::to_string(i);
          const std::vector<std::string> piece = {id + " first " + filler, id + " second",
                                                  id + " third"};
          console.WriteLines(piece);
          console.WriteErrorLines(piece);
          console.WriteLine("single " + id);
          console.WriteErrorLine("single " + id);
        }
      });
    }
  });
  ASSERT_EQ(result.exit_code, 0) << result.errors;
  for (const std::string* stream : {&result.output, &result.errors}) {
    std::istringstream in(*stream);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), size_t{4 * kThreads * kPieces});
    int pieces = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
      const size_t first = lines[i].find(" first ");
      if (first == std::string::npos) continue;
      ++pieces;
      const std::string id = lines[i].substr(0, first);
      ASSERT_LT(i + 2, lines.size());
      EXPECT_EQ(lines[i + 1], id + " second");
      EXPECT_EQ(lines[i + 2], id + " third");
    }
    EXPECT_EQ(pieces, kThreads * kPieces);
  }
}

// However the program ends, a status line on screen is erased.
TEST(TerminalTest, StatusLineIsErasedOnEveryWayOut) {
  struct Case {
    const char* what;
    std::function<void(TerminalConsole&)> end;
    int exit_code;
  };
  const std::vector<Case> cases = {
      {"the console ends", [](TerminalConsole&) {}, 0},
      {"exit()", [](TerminalConsole&) { std::exit(4); }, 4},
      {"a second Ctrl-C",
       [](TerminalConsole&) {
         raise(SIGINT);
         raise(SIGINT);
         _exit(5);  // not reached
       },
       130},
  };
  for (const Case& c : cases) {
    PtyChild child([&c] {
      setenv("TERM", "xterm", 1);
      {
        TerminalConsole console;
        console.ShowStatus(kSix);
        c.end(console);
      }
      _exit(0);
    });
    EXPECT_EQ(child.Wait(), c.exit_code) << c.what;
    EXPECT_EQ(child.output(), "\rlisting /pub/: 6 lines\x1b[K\r\x1b[K") << c.what;
  }
}

// Without a terminal on standard error that can redraw a line, not one byte of a status line
// is written anywhere; the console lines are the same.
TEST(TerminalTest, NoStatusLineWithoutATerminalThatCanShowIt) {
  struct Case {
    const char* what;
    const char* term;  // null: TERM unset
    bool errors_to_file;
  };
  const std::vector<Case> cases = {
      {"TERM=dumb", "dumb", false},
      {"TERM unset", nullptr, false},
      {"TERM empty", "", false},
      {"standard error in a file", "xterm", true},
  };
  for (const Case& c : cases) {
    char errors[] = "/tmp/koru-errors.XXXXXX";
    const int errors_fd = mkstemp(errors);
    ASSERT_GE(errors_fd, 0);
    PtyChild child([&c, errors_fd] {
      if (c.term)
        setenv("TERM", c.term, 1);
      else
        unsetenv("TERM");
      if (c.errors_to_file) dup2(errors_fd, STDERR_FILENO);
      {
        TerminalConsole console;
        if (console.HasStatusLine()) _exit(3);
        console.ShowStatus(kSix);
        console.WriteLine("a line");
        console.ShowStatus(kSeven);
      }
      _exit(0);
    });
    EXPECT_EQ(child.Wait(), 0) << c.what;
    EXPECT_EQ(child.output(), "a line\r\n") << c.what;
    EXPECT_EQ(lseek(errors_fd, 0, SEEK_END), 0) << c.what;
    close(errors_fd);
    unlink(errors);
  }
}

// The width is read at the start and again after SIGWINCH (the kernel sends it to the
// terminal's foreground process when the size changes).
TEST(TerminalTest, StatusLineFollowsTheWidthOfTheTerminal) {
  PtyChild child([] {
    setenv("TERM", "xterm", 1);
    {
      TerminalConsole console;
      const std::string name = "/pub/" + std::string(200, 'n');
      const Status status = DownloadStatus{name, 5, 10, 1, 5, 0};
      console.ShowStatus(status);
      const winsize narrow{24, 40, 0, 0};
      ioctl(STDIN_FILENO, TIOCSWINSZ, &narrow);
      console.ShowStatus(status);
    }
    _exit(0);
  });
  EXPECT_EQ(child.Wait(), 0);
  const std::string& out = child.output();
  const size_t second = out.find('\r', 1);
  ASSERT_NE(second, std::string::npos) << out;
  // "\r" + text + "\x1b[K": 99 and 39 columns of text, one less than the width.
  EXPECT_EQ(second, 1 + 99 + 3) << out;
  EXPECT_EQ(out.substr(second, 1 + 39 + 3), "\r/pub/nnnn...nnnnnnnnn  50%  1 B/s  0:05\x1b[K")
      << out;
}

}  // namespace
}  // namespace koru
