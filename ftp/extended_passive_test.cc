#include "ftp/extended_passive.h"

#include <functional>
#include <string>
#include <vector>

#include "ftp/control.h"
#include "ftp/data_connection.h"
#include "gtest/gtest.h"
#include "tests/fake_ftp_server.h"
#include "tests/fakes.h"

namespace koru {
namespace {

using testing::FakeFtpSession;
using testing::Session;

// ---- The port of a 229 reply -----------------------------------------------------------------

TEST(EpsvPort, IsTheNumberBetweenFourEqualDelimitersInTheParentheses) {
  struct Case {
    const char* reply;
    int port;
  };
  for (const Case& c : {
           Case{"229 Entering Extended Passive Mode (|||6446|)", 6446},
           Case{"229 Entering Extended Passive Mode (|||6446|).", 6446},
           Case{"229 (!!!6446!)", 6446},
           Case{"229 (###1#)", 1},
           Case{"229 (|||65535|)", 65535},
           Case{"229 (|||06446|)", 6446},
           // A port outside 1-65535, or none.
           Case{"229 (|||0|)", -1},
           Case{"229 (|||65536|)", -1},
           Case{"229 (|||70000|)", -1},
           Case{"229 (|||123456|)", -1},
           Case{"229 (||||)", -1},
           Case{"229 (|||-1|)", -1},
           Case{"229 (|||+21|)", -1},
           // No parentheses, or only one of them.
           Case{"229 Entering Extended Passive Mode |||6446|", -1},
           Case{"229 Entering Extended Passive Mode (|||6446|", -1},
           Case{"229 Entering Extended Passive Mode |||6446|)", -1},
           // Missing, mixed or unfit delimiters.
           Case{"229 (||6446|)", -1},
           Case{"229 (|||6446)", -1},
           Case{"229 (|!|6446|)", -1},
           Case{"229 (|||6446!)", -1},
           Case{"229 (!||6446|)", -1},
           Case{"229 (   6446 )", -1},
           Case{"229 (1116441)", -1},
           // Anything more inside the parentheses.
           Case{"229 (|||6446|x)", -1},
           Case{"229 (|||6446||)", -1},
           Case{"229 ( |||6446|)", -1},
           Case{"229 (|||64 46|)", -1},
           Case{"229 (|::1|6446|)", -1},
           Case{"", -1},
       }) {
    EXPECT_EQ(EpsvPort(c.reply), c.port) << c.reply;
  }
}

TEST(IsIpv6Address, TellsTheFamilyOfANumericAddress) {
  EXPECT_TRUE(IsIpv6Address("::1"));
  EXPECT_TRUE(IsIpv6Address("fe80::1%lo"));
  EXPECT_FALSE(IsIpv6Address("127.0.0.1"));
  EXPECT_FALSE(IsIpv6Address(""));
}

// ---- Opening the data connection over IPv6 ---------------------------------------------------

// Makes a reply to EPSV from the port the fake server listens on for the data connection.
using EpsvReply = std::function<std::string(int port)>;

EpsvReply Fixed(std::string reply) {
  return [reply](int) { return reply; };
}
EpsvReply Around(std::string before, std::string after) {
  return [=](int port) { return before + std::to_string(port) + after; };
}

struct EpsvCase {
  const char* name;
  std::vector<EpsvReply> replies;  // to the EPSV commands in turn
  bool connects;                   // the data connection reaches the server's listener
  int32_t recorded;                // LastReplyCode afterwards
  bool closed_port = false;        // the reply names a port nobody listens on any more
};

void PrintTo(const EpsvCase& c, std::ostream* os) { *os << c.name; }

class ExtendedPassiveTest : public ::testing::TestWithParam<EpsvCase> {
 protected:
  ExtendedPassiveTest() {
    env.channel_timeout_ms = 300;
    env.state.VerboseLevel = 1;
  }

  testing::RecordingConsole console;
  testing::FakeClock clock;
  Env env{console, clock};
  testing::FakeFtpServer server{true};  // on ::1
};

// Every case runs in debug mode: the console shows each EPSV and the reply to it. PASV is never
// sent over IPv6, and a reply that does not name a port exactly gets no data connection.
TEST_P(ExtendedPassiveTest, AsksEpsvAndConnectsToTheControlConnectionsAddress) {
  const EpsvCase& c = GetParam();
  std::vector<std::string> sent;
  bool accepted = false;
  std::vector<testing::Action> replies;
  for (size_t i = 0; i < c.replies.size(); ++i) {
    const bool last = i + 1 == c.replies.size();
    replies.push_back([&, i, last](FakeFtpSession& s) {
      s.ExtendedPassive();
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
  server.AddSession(Session({}, replies));
  ASSERT_TRUE(env.channels.Open(1, "::1", server.port(), env.channel_timeout_ms));

  const int32_t data = ftpOpenDataConnection(env, 1);
  std::string received(16, '\0');
  if (data > 0) {
    received.resize(Read_data_block(env, data, received));
    env.channels.Close(data);
  }
  server.Stop();

  EXPECT_EQ(accepted, c.connects);
  if (c.connects) {
    EXPECT_EQ(data, 2);
    EXPECT_EQ(received, "hello");
  } else {
    EXPECT_EQ(data, -1);
    // The failed data connection is reported with the reply that named no port.
    EXPECT_EQ(ReportNoDataConnection(env), env.state.ReplyLine);
  }
  EXPECT_EQ(server.commands(), std::vector<std::string>(replies.size(), "EPSV"));
  std::vector<std::string> shown;
  for (const std::string& reply : sent) shown.insert(shown.end(), {"EPSV", reply});
  if (!c.connects) shown.push_back("09:05:03 " + env.state.ReplyLine);
  EXPECT_EQ(console.lines, shown);
  EXPECT_EQ(env.state.LastReplyCode, c.recorded);
}

const char kEntering[] = "229 Entering Extended Passive Mode (";

INSTANTIATE_TEST_SUITE_P(
    Epsv, ExtendedPassiveTest,
    ::testing::Values(
        EpsvCase{"Plain", {Around(std::string(kEntering) + "|||", "|)")}, true, 229},
        EpsvCase{"OtherDelimiter", {Around(std::string(kEntering) + "!!!", "!)")}, true, 229},
        EpsvCase{"LeftOver250First",
                 {Fixed("250 Directory successfully changed."),
                  Around(std::string(kEntering) + "|||", "|)")},
                 true,
                 250},
        EpsvCase{"PortZero", {Fixed(std::string(kEntering) + "|||0|)")}, false, 229},
        EpsvCase{"Port70000", {Fixed(std::string(kEntering) + "|||70000|)")}, false, 229},
        EpsvCase{
            "NoParentheses", {Around("229 Entering Extended Passive Mode |||", "|")}, false, 229},
        EpsvCase{"MixedDelimiters", {Around(std::string(kEntering) + "|!|", "|)")}, false, 229},
        EpsvCase{"TrailingGarbage", {Around(std::string(kEntering) + "|||", "|0)")}, false, 229},
        // A server without EPSV is not asked for PASV instead.
        EpsvCase{"Refused", {Fixed("500 EPSV not understood.")}, false, 500},
        EpsvCase{"NothingListensOnThePort",
                 {Around(std::string(kEntering) + "|||", "|)")},
                 false,
                 229,
                 true},
        EpsvCase{"Endless250sGivenUp", std::vector<EpsvReply>(16, Fixed("250 Again")), false, 250}),
    [](const ::testing::TestParamInfo<EpsvCase>& info) { return info.param.name; });

}  // namespace
}  // namespace koru
