#include "ftp/data_connection.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "ftp/control.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/ftp_fixture.h"
#include "tests/memory_transport.h"

namespace koru {
namespace {

using ::testing::ElementsAre;
using testing::FakeFtpSession;
using testing::FtpFixture;
using testing::Session;
using testing::MemoryPeer;
using testing::MemoryTransport;

// ---- The numbers of a 227 reply -------------------------------------------------------------

TEST(PasvFields, AreTheTextBetweenTheFirstParenthesisAndTheNextOne) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"227 Entering Passive Mode (127,0,0,1,4,1).", "127,0,0,1,4,1"},
      {"227 Entering Passive Mode 127,0,0,1,4,1", ""},
      {"227 =(1,2,3,4,5,6", "1,2,3,4,5,6"},       // no closing one: the rest of the line
      {"227 )1,2,3,4,5,6( odd", "1,2,3,4,5,6"},    // either kind opens and closes
      {"227 first (a) then (b)", "a"},
      {"227 ()", ""},
      {"", ""},
  };
  for (const auto& [reply, fields] : cases) EXPECT_EQ(PasvFields(reply), fields) << reply;
}

TEST(PasvPort, IsTheFifthNumberTimes256PlusTheSixthEachCutToItsLow8Bits) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"192,168,1,2,19,137", 5001},
      {"10,0,0,1,260,1", 1025},         // 260 reduced to 4
      {"1,2,3,4,256,256", 0},
      {"1,2,3,4,-1,0", 65280},          // -1 has the low 8 bits 255
      {" 1, 2, 3, 4, 19.9, 137.5", 5001},  // blanks skipped, fractions rounded down
      {"1,2,3,4,x,7", 7},               // no number counts as 0
      {"1,2,3,4,5", 1280},              // five numbers: p1 x 256
      {"1,2,3,4", 0},
      {"", 0},
      {"1,2,3,4,4,1,99", 1025},         // numbers after the sixth are not read
      {"1,2,3,4,1e1,0", 2560},          // a number may carry an exponent
      {"1,2,3,4,1e300,1e300", 0},       // too large to cut: 0
  };
  for (const auto& [fields, port] : cases) EXPECT_EQ(PasvPort(fields), port) << fields;
}

// ---- Opening the data connection -------------------------------------------------------------

// Makes a reply to PASV from the port the fake server listens on for the data connection.
using PasvReply = std::function<std::string(int port)>;

std::string Numbers(const char* address, int p1, int p2) {
  char text[96];
  std::snprintf(text, sizeof text, "%s,%d,%d", address, p1, p2);
  return text;
}

PasvReply Fixed(std::string reply) {
  return [reply](int) { return reply; };
}
PasvReply Entering(const char* address, int p1_extra = 0) {
  return [=](int port) {
    return "227 Entering Passive Mode (" + Numbers(address, port / 256 + p1_extra, port % 256) +
           ").";
  };
}

// EPSV replies, "229 Entering Extended Passive Mode (" + `before` + port + `after`.
PasvReply Extended(std::string before, std::string after) {
  return [=](int port) {
    return "229 Entering Extended Passive Mode (" + before + std::to_string(port) + after;
  };
}

struct PasvCase {
  const char* name;
  std::vector<PasvReply> replies;  // to the PASV (or EPSV) commands in turn
  bool connects;                   // the data connection reaches the server's listener
  int32_t recorded;                // LastReplyCode afterwards
  bool closed_port = false;        // the reply names a port nobody listens on any more
  bool ipv6 = false;               // the control connection runs over IPv6: EPSV, never PASV
};

void PrintTo(const PasvCase& c, std::ostream* os) { *os << c.name; }

class OpenDataConnectionTest : public FtpFixture, public ::testing::WithParamInterface<PasvCase> {
 protected:
  testing::FakeFtpServer server6{true};  // on ::1
};

// Every case runs in debug mode: the console shows each PASV (EPSV) and the reply to it. Replies
// that name another address still connect to the address the control connection is connected
// to. A data connection that is not had is reported with the reply that refused it or named no
// port.
TEST_P(OpenDataConnectionTest, SwallowsLeftOver250sAndConnectsToTheControlConnectionsAddress) {
  const PasvCase& c = GetParam();
  const std::string command = c.ipv6 ? "EPSV" : "PASV";
  std::vector<std::string> sent;
  bool accepted = false;
  std::vector<testing::Action> replies;
  for (size_t i = 0; i < c.replies.size(); ++i) {
    const bool last = i + 1 == c.replies.size();
    replies.push_back([&, i, last](FakeFtpSession& s) {
      if (c.ipv6) {
        s.ExtendedPassive();
      } else {
        s.Passive();
      }
      const int port = s.data_port();
      if (c.closed_port) s.CloseData();
      sent.push_back(c.replies[i](port));
      s.Reply(sent.back());
      if (last && c.connects && s.AcceptData()) {
        accepted = true;
        s.SendData("hello");
        s.CloseData();
      }
    });
  }
  testing::FakeFtpServer& peer = c.ipv6 ? server6 : server;
  peer.AddSession(Session({}, replies));
  ASSERT_TRUE(session.channels.Open(1, c.ipv6 ? "::1" : "127.0.0.1", peer.port(), kTimeoutMs));
  session.h = 1;
  options.VerboseLevel = 1;

  const int32_t data = ftpOpenDataConnection(session);
  std::string received(16, '\0');
  if (data > 0) {
    received.resize(Read_data_block(session, data, received));
    session.channels.Close(data);
  } else {
    ReportNoDataConnection(session);
  }
  peer.Stop();

  EXPECT_EQ(accepted, c.connects);
  if (c.connects) {
    EXPECT_EQ(data, 2);  // the lowest free channel number
    EXPECT_EQ(received, "hello");
  } else {
    EXPECT_EQ(data, -1);
  }
  EXPECT_EQ(peer.commands(), std::vector<std::string>(replies.size(), command));
  std::vector<std::string> shown;
  for (const std::string& reply : sent) shown.insert(shown.end(), {command, reply});
  if (sent.empty()) shown = {command, ""};
  if (!c.connects) shown.push_back("09:05:03 " + sent.back());
  EXPECT_EQ(console.lines, shown);
  EXPECT_EQ(session.LastReplyCode, c.recorded);
}

INSTANTIATE_TEST_SUITE_P(
    Pasv, OpenDataConnectionTest,
    ::testing::Values(
        PasvCase{"Plain", {Entering("127,0,0,1")}, true, 227},
        PasvCase{"LeftOver250First",
                 {Fixed("250 Directory successfully changed."), Entering("127,0,0,1")}, true,
                 250},
        PasvCase{"TwoLeftOver250s", {Fixed("250 One"), Fixed("250 Two"), Entering("127,0,0,1")},
                 true, 250},
        // The reply's address is never used, however wrong.
        PasvCase{"OtherAddressIgnored", {Entering("127,0,0,2")}, true, 227},
        PasvCase{"BogusAddressIgnored", {Entering("x,,y,999")}, true, 227},
        PasvCase{"FifthNumberReducedToItsLow8Bits", {Entering("127,0,0,1", 256)}, true, 227},
        PasvCase{"NoParentheses",
                 {[](int port) {
                   return "227 Entering Passive Mode " + Numbers("127,0,0,1", port / 256,
                                                                 port % 256);
                 }},
                 false, 227},
        PasvCase{"Refused", {Fixed("502 PASV not implemented.")}, false, 502},
        PasvCase{"250ThenRefused", {Fixed("250 Old news"), Fixed("425 Cannot listen.")}, false,
                 425},
        PasvCase{"NothingListensOnThePort", {Entering("127,0,0,1")}, false, 227, true},
        // A server that answers every PASV with 250 is asked 16 times, then given up on.
        PasvCase{"Endless250sGivenUp", std::vector<PasvReply>(16, Fixed("250 Again")), false,
                 250}),
    [](const ::testing::TestParamInfo<PasvCase>& info) { return info.param.name; });

// Over IPv6 the same rules hold for EPSV; a 229 reply that does not name a port exactly gets no
// data connection, and a server without EPSV is not asked for PASV instead.
INSTANTIATE_TEST_SUITE_P(
    Epsv, OpenDataConnectionTest,
    ::testing::Values(
        PasvCase{"Plain", {Extended("|||", "|)")}, true, 229, false, true},
        PasvCase{"OtherDelimiter", {Extended("!!!", "!)")}, true, 229, false, true},
        PasvCase{"LeftOver250First",
                 {Fixed("250 Directory successfully changed."), Extended("|||", "|)")},
                 true,
                 250,
                 false,
                 true},
        PasvCase{"PortZero",
                 {Fixed("229 Entering Extended Passive Mode (|||0|)")},
                 false,
                 229,
                 false,
                 true},
        PasvCase{"Port70000",
                 {Fixed("229 Entering Extended Passive Mode (|||70000|)")},
                 false,
                 229,
                 false,
                 true},
        PasvCase{"NoParentheses",
                 {[](int port) {
                   return "229 Entering Extended Passive Mode |||" + std::to_string(port) + "|";
                 }},
                 false,
                 229,
                 false,
                 true},
        PasvCase{"MixedDelimiters", {Extended("|!|", "|)")}, false, 229, false, true},
        PasvCase{"TrailingGarbage", {Extended("|||", "|0)")}, false, 229, false, true},
        PasvCase{"Refused", {Fixed("500 EPSV not understood.")}, false, 500, false, true},
        PasvCase{"NothingListensOnThePort", {Extended("|||", "|)")}, false, 229, true, true},
        PasvCase{"Endless250sGivenUp", std::vector<PasvReply>(16, Fixed("250 Again")), false, 250,
                 false, true}),
    [](const ::testing::TestParamInfo<PasvCase>& info) { return info.param.name; });

// ---- Blocks ----------------------------------------------------------------------------------

class DataBlockTest : public FtpFixture {
 protected:
  // Opens a data connection whose server side runs `serve` once the client has connected, and
  // reads the control line that `serve` sends when it is done sending.
  int32_t OpenData(std::function<void(FakeFtpSession&)> serve) {
    const int h = OpenControl(Session({}, {[serve](FakeFtpSession& s) {
                                        s.Reply(s.Passive());
                                        if (s.AcceptData()) serve(s);
                                      }}));
    const int32_t data = ftpOpenDataConnection(session);
    EXPECT_GT(data, 0);
    EXPECT_EQ(session.channels.ReadLine(h), "150 sent");
    return data;
  }
};

std::string Bytes(size_t count) {
  std::string bytes(count, '\0');
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(i * 7 + i / 256);
  return bytes;
}

TEST_F(DataBlockTest, ReadsAtMost8192BytesAndLeavesTheRestForTheNextRead) {
  const std::string sent = Bytes(20000);
  const int32_t data = OpenData([&](FakeFtpSession& s) {
    s.SendData(sent);
    s.CloseData();
    s.Reply("150 sent");
  });
  std::vector<char> block(kDataBlockSize);
  std::vector<size_t> counts;
  std::string received;
  while (size_t n = Read_data_block(session, data, block)) {
    counts.push_back(n);
    received.append(block.data(), n);
  }
  EXPECT_THAT(counts, ElementsAre(8192u, 8192u, 3616u));
  EXPECT_TRUE(received == sent);
  EXPECT_EQ(Read_data_block(session, data, block), 0u);  // and so on once the server has closed
  EXPECT_EQ(session.channels.Error(), 0);
  ServerCommands();
}

// ---- Time-outs, over scripted connections ---------------------------------------------------

class DataTimeOutTest : public ::testing::Test {
 protected:
  DataTimeOutTest() {
    env.channel_timeout_ms = kTimeoutMs;
    EXPECT_TRUE(session.channels.Open(1, "127.0.0.1", 21, kTimeoutMs));
  }
  static constexpr int kTimeoutMs = 300;
  testing::RecordingConsole console;
  testing::FakeClock clock;
  MemoryTransport transport{clock};
  MemoryPeer& control = transport.Expect();
  Options options;
  RunSettings state;
  Env env{console, clock, transport};
  koru::Session session{env, options, state, 1};
};

TEST_F(DataTimeOutTest, PasvWithoutReplyGivesNoDataConnection) {
  EXPECT_EQ(ftpOpenDataConnection(session), -1);
  EXPECT_EQ(control.received(), "PASV\r\n");
  EXPECT_EQ(clock.skipped_ms, kTimeoutMs);
  EXPECT_EQ(session.pool.Lowest(), 2);  // no data channel left open
}

TEST_F(DataTimeOutTest, ReturnsWhatHasArrivedAndZeroWhenNothingMoreComesInTime) {
  control.Send("227 Entering Passive Mode (127,0,0,1,4,1).\r\n");
  transport.Expect().Send("only this");  // then silent, the connection open
  const int32_t data = ftpOpenDataConnection(session);
  ASSERT_EQ(data, 2);
  std::vector<char> block(kDataBlockSize);
  EXPECT_EQ(std::string(block.data(), Read_data_block(session, data, block)), "only this");
  EXPECT_EQ(Read_data_block(session, data, block), 0u);
  EXPECT_EQ(session.channels.Error(), kErrTimeout);
  EXPECT_EQ(clock.skipped_ms, kTimeoutMs);
}

TEST_F(DataBlockTest, ReadsZeroWhenTheServerClosesWithoutSending) {
  const int32_t data = OpenData([](FakeFtpSession& s) {
    s.CloseData();
    s.Reply("150 sent");
  });
  std::vector<char> block(kDataBlockSize);
  EXPECT_EQ(Read_data_block(session, data, block), 0u);
  ServerCommands();
}

TEST_F(DataBlockTest, WritesEveryByteOfABlock) {
  std::string received;
  const int32_t data = OpenData([&](FakeFtpSession& s) {
    s.Reply("150 sent");
    received = s.ReceiveData();
    s.Reply("226 received");
  });
  const std::string block = Bytes(300000);  // more than the network takes in one send
  EXPECT_EQ(Write_data_block(session, data, block), 1);
  EXPECT_EQ(Write_data_block(session, data, "!"), 1);
  session.channels.Close(data);
  EXPECT_EQ(session.channels.ReadLine(1), "226 received");
  ServerCommands();
  EXPECT_EQ(received.size(), block.size() + 1);
  EXPECT_TRUE(received == block + "!");
}

TEST_F(DataBlockTest, WriteFailsOnAConnectionTheServerHasReset) {
  const int32_t data = OpenData([](FakeFtpSession& s) {
    s.ResetData();
    s.Reply("150 sent");
  });
  const std::string block(65536, 'x');
  int32_t status = 1;
  // The reset may still be on its way for the first block; it cannot be for long.
  for (int i = 0; i < 50 && status == 1; ++i) status = Write_data_block(session, data, block);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(session.channels.Error(), kErrSocket);
  EXPECT_EQ(Write_data_block(session, 7, "x"), 0);  // no such channel
  ServerCommands();
}

}  // namespace
}  // namespace koru
