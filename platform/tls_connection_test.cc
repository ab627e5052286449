#include "platform/tls_connection.h"

#include <string>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/channels.h"
#include "tests/fakes.h"
#include "tests/memory_transport.h"

namespace koru {
namespace {

using ::testing::HasSubstr;
using testing::MemoryPeer;
using testing::MemoryTransport;

constexpr int kTimeoutMs = 300;

// A handshake that cannot succeed ends with an error number and a reason, never hangs, and
// leaves the channel closable; the client's first bytes are a TLS handshake record either way.
TEST(TlsChannelTest, FailedHandshakesEndWithTheirReason) {
  struct Case {
    const char* name;
    void (*script)(MemoryPeer&);
    int error;
    const char* reason;
  } cases[] = {
      {"plain text in reply", [](MemoryPeer& p) { p.Send("220 Plain server ready.\r\n"); }, kErrTls,
       ""},
      {"closed", [](MemoryPeer& p) { p.Close(); }, kErrTls, "ended during the handshake"},
      {"silent", [](MemoryPeer&) {}, kErrTimeout, "time-out during the handshake"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FakeClock clock;
    MemoryTransport transport(clock);
    c.script(transport.Expect());
    HandlePool pool;
    Channels channels(pool, transport, clock);
    ASSERT_TRUE(channels.Open(1, "127.0.0.1", 990, kTimeoutMs));

    EXPECT_FALSE(channels.StartTls(1, "localhost"));

    EXPECT_EQ(channels.Error(), c.error);
    EXPECT_FALSE(channels.LastTlsFailure().certificate);
    EXPECT_THAT(channels.LastTlsFailure().text, HasSubstr(c.reason));
    EXPECT_FALSE(channels.LastTlsFailure().text.empty());
    const std::string& sent = transport.peer(0).received();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent.substr(0, 2), std::string("\x16\x03"));  // a ClientHello
    EXPECT_TRUE(channels.IsTls(1));
    char buffer[8];
    EXPECT_EQ(channels.Receive(1, buffer, sizeof buffer), 0u);
    channels.Close(1);
    EXPECT_FALSE(channels.IsOpen(1));
  }
}

// A data channel resumes only the session of a TLS control channel.
// A stop during the handshake ends the wait with error 4 and leaves the handshake where it
// was: called again (the stop was only the start of an arrow key), it goes on with the same
// ClientHello instead of beginning anew over the old one.
TEST(TlsChannelTest, HandshakeCutShortByAStopGoesOnWhenCalledAgain) {
  testing::FakeClock clock;
  MemoryTransport transport(clock);
  MemoryPeer& peer = transport.Expect();
  HandlePool pool;
  Channels channels(pool, transport, clock);
  bool stop = true;
  channels.SetStopCheck([&] { return stop; });
  ASSERT_TRUE(channels.Open(1, "127.0.0.1", 990, kTimeoutMs));

  EXPECT_FALSE(channels.StartTls(1, "localhost"));
  EXPECT_EQ(channels.Error(), kErrInterrupted);
  EXPECT_FALSE(channels.PeerClosed(1));  // not given up
  const std::string hello = peer.received();
  ASSERT_GE(hello.size(), 2u);
  EXPECT_EQ(hello.substr(0, 2), std::string("\x16\x03"));

  stop = false;
  peer.Close();
  channels.ClearError();
  EXPECT_FALSE(channels.StartTls(1, "localhost"));

  EXPECT_EQ(channels.Error(), kErrTls);
  EXPECT_THAT(channels.LastTlsFailure().text, HasSubstr("ended during the handshake"));
  EXPECT_EQ(peer.received(), hello);
}

TEST(TlsChannelTest, PlainControlChannelHasNoSessionToHandOn) {
  testing::FakeClock clock;
  MemoryTransport transport(clock);
  transport.Expect();
  transport.Expect();
  HandlePool pool;
  Channels channels(pool, transport, clock);
  ASSERT_TRUE(channels.Open(1, "127.0.0.1", 21, kTimeoutMs));
  ASSERT_TRUE(channels.Open(2, "127.0.0.1", 20000, kTimeoutMs));

  EXPECT_FALSE(channels.ResumeTls(2, 1));

  EXPECT_EQ(channels.Error(), kErrTls);
  EXPECT_EQ(channels.LastTlsFailure().text, "the control connection is not encrypted");
  EXPECT_FALSE(channels.IsTls(1));
  EXPECT_FALSE(channels.IsTls(2));
  EXPECT_EQ(channels.TlsDescription(1), "");
  EXPECT_TRUE(transport.peer(1).received().empty());
}

}  // namespace
}  // namespace koru
