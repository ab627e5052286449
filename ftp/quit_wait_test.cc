// ftpQuit against a server that never answers QUIT: the wait is its own short one (shorter
// still once the user has stopped the run, never longer than the channel time-out), and the
// connection is closed all the same.
#include <chrono>
#include <string>
#include <vector>

#include "ftp/session.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/ftp_fixture.h"

namespace koru {
namespace {

using ::testing::ElementsAre;
using testing::FtpFixture;
using ::testing::IsEmpty;
using testing::Session;
using testing::Silence;

struct QuitCase {
  const char* name;
  bool aborted;  // the user has stopped the run
  int channel_timeout_ms;
  int quit_wait_ms;
  int abort_quit_wait_ms;
};

void PrintTo(const QuitCase& c, std::ostream* os) { *os << c.name; }

class QuitWaitTest : public FtpFixture, public ::testing::WithParamInterface<QuitCase> {};

// In each row the wait that applies is 200 ms and the others are 10 s.
TEST_P(QuitWaitTest, SilentServerIsLeftAfterTheShortWait) {
  const QuitCase& c = GetParam();
  server.AddSession(Session({}, {Silence()}));  // answers nothing, keeps the connection
  ASSERT_TRUE(env.channels.Open(1, "127.0.0.1", server.port(), c.channel_timeout_ms));
  env.quit_wait_ms = c.quit_wait_ms;
  env.abort_quit_wait_ms = c.abort_quit_wait_ms;
  env.state.ConnectedFlag = kOn;
  env.state.AbortFlag = c.aborted ? kOn : kOff;

  const auto start = std::chrono::steady_clock::now();
  ftpQuit(env, 1);
  const auto elapsed = std::chrono::steady_clock::now() - start;

  EXPECT_LT(elapsed, std::chrono::milliseconds(1500));
  EXPECT_EQ(env.state.ConnectedFlag, kOff);
  EXPECT_FALSE(env.channels.IsOpen(1));
  EXPECT_THAT(console.lines, IsEmpty());  // a QUIT left unanswered is no lost connection
  if (c.aborted) {
    EXPECT_THAT(ServerCommands(), IsEmpty());
  } else {
    EXPECT_THAT(ServerCommands(), ElementsAre("QUIT"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Quit, QuitWaitTest,
    ::testing::Values(QuitCase{"QuitWait", false, 10000, 200, 10000},
                      QuitCase{"AbortQuitWait", true, 10000, 10000, 200},
                      QuitCase{"ChannelTimeOutIsTheCeiling", false, 200, 10000, 10000}),
    [](const ::testing::TestParamInfo<QuitCase>& info) { return info.param.name; });

}  // namespace
}  // namespace koru
