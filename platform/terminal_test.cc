#include "platform/terminal.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>

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

TEST(TerminalTest, ServerTextIsShownWithoutControlCharacters) {
  PtyChild child([] {
    TerminalConsole console;
    console.WriteLine("evil\x1b]0;owned\x07 name\ttab");
    _exit(0);
  });
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_NE(child.output().find("evil?]0;owned? name\ttab"), std::string::npos)
      << child.output();
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
  EXPECT_NE(tidy.output().find("\x1b]0;done now?\x07"), std::string::npos) << tidy.output();
}

}  // namespace
}  // namespace koru
