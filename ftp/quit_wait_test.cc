// ftpQuit against a server that never answers QUIT: the wait is its own short one (shorter
// still once the user has stopped the run, never longer than the channel time-out), and the
// connection is closed all the same.
#include <string>
#include <vector>

#include "ftp/session.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/fakes.h"
#include "tests/memory_transport.h"

namespace koru {
namespace {

using ::testing::IsEmpty;
using testing::MemoryPeer;
using testing::MemoryTransport;

struct QuitCase {
  const char* name;
  bool aborted;  // the user has stopped the run
  int channel_timeout_ms;
  int quit_wait_ms;
  int abort_quit_wait_ms;
};

void PrintTo(const QuitCase& c, std::ostream* os) { *os << c.name; }

class QuitWaitTest : public ::testing::TestWithParam<QuitCase> {
 protected:
  testing::RecordingConsole console;
  testing::FakeClock clock;
  MemoryTransport transport{clock};
  Options options;
  RunSettings state;
  Env env{console, clock, transport};
  koru::Session session{env, options, state, 1};
};

// In each row the wait that applies is 200 ms and the others are 10 s; the scripted server
// answers nothing and keeps the connection, so the wait is measured exactly.
TEST_P(QuitWaitTest, SilentServerIsLeftAfterTheShortWait) {
  const QuitCase& c = GetParam();
  const MemoryPeer& server = transport.Expect();
  ASSERT_TRUE(session.channels.Open(1, "127.0.0.1", 21, c.channel_timeout_ms));
  session.h = 1;
  env.quit_wait_ms = c.quit_wait_ms;
  env.abort_quit_wait_ms = c.abort_quit_wait_ms;
  session.ConnectedFlag = kOn;
  state.AbortFlag = c.aborted ? kOn : kOff;

  ftpQuit(session);

  EXPECT_EQ(clock.skipped_ms, 200);
  EXPECT_EQ(session.ConnectedFlag, kOff);
  EXPECT_FALSE(session.channels.IsOpen(1));
  EXPECT_THAT(console.lines, IsEmpty());  // a QUIT left unanswered is no lost connection
  EXPECT_EQ(server.received(), c.aborted ? "" : "QUIT\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Quit, QuitWaitTest,
    ::testing::Values(QuitCase{"QuitWait", false, 10000, 200, 10000},
                      QuitCase{"AbortQuitWait", true, 10000, 10000, 200},
                      QuitCase{"ChannelTimeOutIsTheCeiling", false, 200, 10000, 10000}),
    [](const ::testing::TestParamInfo<QuitCase>& info) { return info.param.name; });

}  // namespace
}  // namespace koru
