// The window title of the terminal KORU runs in: the terminal's own title is saved on its title
// stack before KORU's first title and given back after the last one, however the run ends.
#include <gtest/gtest.h>
#include <signal.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/child_process.h"
#include "tests/fake_ftp_server.h"
#include "tests/fake_ftp_tree.h"
#include "tests/scratch_dir.h"
#include "tests/screen_model.h"

namespace koru {
namespace {

using testing::FakeFtpServer;
using testing::FakeFtpTree;
using testing::PtyChild;
using testing::ScratchDir;
using testing::ScreenModel;

constexpr char kPushTitle[] = "\x1b[22;0t";
constexpr char kPopTitle[] = "\x1b[23;0t";
constexpr char kTitleStart[] = "\x1b]0;";
// The title the terminal showed before KORU started.
constexpr char kShellTitle[] = "\x1b]0;shell\a";

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// Checks that `output` saves the title once before KORU's first title and gives it back once
// after the last one, leaving the terminal with the title it had.
void ExpectTitleSavedAndGivenBack(const std::string& output) {
  ASSERT_NE(output.find(kTitleStart), std::string::npos) << "no title at all";
  EXPECT_EQ(Count(output, kPushTitle), 1u);
  EXPECT_EQ(Count(output, kPopTitle), 1u);
  EXPECT_LT(output.find(kPushTitle), output.find(kTitleStart));
  EXPECT_GT(output.rfind(kPopTitle), output.rfind(kTitleStart));
  ScreenModel screen(100, 24);
  screen.Feed(std::string(kShellTitle) + output);
  EXPECT_EQ(screen.title(), "shell");
  EXPECT_EQ(screen.saved_titles(), 0u);
  EXPECT_EQ(screen.unknown(), "");
}

TEST(TitleTest, ARunThatEndsNormallyOrWithAnErrorGivesTheTitleBack) {
  FakeFtpTree tree;
  tree.AddFile("/pub/a.txt", "alpha");
  FakeFtpServer server;
  server.SetDefaultSession(tree.Script());
  ScratchDir local;
  const struct {
    const char* what;
    std::string location;
    int exit_code;
  } cases[] = {
      {"a download", server.address() + "/pub/", 0},
      {"a server that refuses the connection", "127.0.0.1:1/pub/", 1},
      {"a port that is no port", "127.0.0.1:99999/pub/", 1},
      {"--version", "--version", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PtyChild child(KORU_BINARY, {c.location}, local.path());
    EXPECT_EQ(child.Wait(), c.exit_code) << child.output();
    ExpectTitleSavedAndGivenBack(child.output());
  }
  EXPECT_TRUE(tree.HasFile("/pub/a.txt"));
}

TEST(TitleTest, AStoppedRunGivesTheTitleBack) {
  const struct {
    const char* what;
    std::function<void(PtyChild&)> stop;
    int exit_code;
  } cases[] = {
      {"Esc", [](PtyChild& c) { c.Type("\x1b"); }, 1},
      {"SIGTERM", [](PtyChild& c) { c.Signal(SIGTERM); }, 1},
      {"Ctrl-C", [](PtyChild& c) { c.Signal(SIGINT); }, 1},
      // The second signal ends the process at once, from its signal handler. Both arrive
      // while the program is held, so the second comes while the first is being handled.
      {"a second stop signal",
       [](PtyChild& c) {
         c.Signal(SIGSTOP);
         c.Signal(SIGTERM);
         c.Signal(SIGINT);
         c.Signal(SIGCONT);
       },
       130},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // A server that never greets: the program waits in the connect until it is stopped.
    FakeFtpServer server;
    server.SetDefaultSession(testing::Session({testing::Silence()}));
    PtyChild child(KORU_BINARY, {server.address() + "/pub/"}, "/tmp");
    const std::string connecting = "Connecting to " + server.address() + "\a";
    ASSERT_NE(child.ReadUntil(connecting).find(connecting), std::string::npos)
        << child.output();
    c.stop(child);
    EXPECT_EQ(child.Wait(), c.exit_code) << child.output();
    ExpectTitleSavedAndGivenBack(child.output());
  }
}

}  // namespace
}  // namespace koru
