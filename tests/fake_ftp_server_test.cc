#include "tests/fake_ftp_server.h"

#include <cstdio>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/handle_pool.h"
#include "platform/channels.h"

namespace koru::testing {
namespace {

using ::testing::ElementsAre;

constexpr int kTimeoutMs = 300;

// The client side: a control channel, and data channels opened on the port of a 227 reply.
class FakeServerTest : public ::testing::Test {
 protected:
  void OpenControl() { ASSERT_TRUE(channels_.Open(1, "127.0.0.1", server_.port(), kTimeoutMs)); }

  void OpenData(const std::string& reply_227) {
    int p1 = 0, p2 = 0;
    ASSERT_EQ(std::sscanf(reply_227.c_str(), "227 Entering Passive Mode (127,0,0,1,%d,%d)", &p1,
                          &p2),
              2)
        << reply_227;
    ASSERT_TRUE(channels_.Open(2, "127.0.0.1", p1 * 256 + p2, kTimeoutMs));
  }

  // Connects, sends PASV and opens the data connection the reply names.
  void OpenPassive() {
    OpenControl();
    channels_.Send(1, "PASV\r\n");
    OpenData(channels_.ReadLine(1));
  }

  std::string ReceiveAll() {
    std::string bytes;
    char block[8192];
    while (size_t n = channels_.Receive(2, block, sizeof block)) bytes.append(block, n);
    return bytes;
  }

  FakeFtpServer server_;
  HandlePool pool_;
  Channels channels_{pool_};
};

TEST_F(FakeServerTest, FollowsTheScriptOfEachConnectionInTurn) {
  server_.AddSession(Session({Reply("421 Busy"), Hangup()}));
  server_.AddSession(Session({ReplyLines({"220-Hello", "220 Ready"})}, {Reply("331 Password")},
                             [](const std::string& command, FakeFtpSession& s) {
                               s.Reply("200 " + Verb(command) + " [" + Argument(command) + "]");
                             }));
  OpenControl();
  EXPECT_EQ(channels_.ReadLine(1), "421 Busy");
  EXPECT_EQ(channels_.ReadLine(1), "");  // closed
  channels_.Close(1);

  OpenControl();
  EXPECT_EQ(channels_.ReadLine(1), "220-Hello");
  EXPECT_EQ(channels_.ReadLine(1), "220 Ready");
  channels_.Send(1, "USER bob\r\n");
  EXPECT_EQ(channels_.ReadLine(1), "331 Password");
  channels_.Send(1, "type  i\r\n");
  EXPECT_EQ(channels_.ReadLine(1), "200 TYPE [ i]");
  channels_.Close(1);

  OpenControl();  // beyond the scripts: the default session
  EXPECT_EQ(channels_.ReadLine(1), "220 Fake server ready.");
  channels_.Send(1, "NOOP\r\nQUIT\r\n");
  EXPECT_EQ(channels_.ReadLine(1), "502 Command not scripted.");
  EXPECT_EQ(channels_.ReadLine(1), "221 Goodbye.");
  EXPECT_EQ(channels_.ReadLine(1), "");  // closed after QUIT

  server_.Stop();
  EXPECT_EQ(server_.connections(), 3);
  EXPECT_THAT(server_.commands(), ElementsAre("USER bob", "type  i", "NOOP", "QUIT"));
}

TEST_F(FakeServerTest, RecordsLinesExactlyAndWhatCameBeforeStop) {
  server_.AddSession(Session({}, {Silence()}));
  OpenControl();
  channels_.Send(1, "RETR a\rb\r\nSTOR \r\n\r\nLIST\nPART");
  server_.Stop();
  EXPECT_THAT(server_.commands(), ElementsAre("RETR a\rb", "STOR ", "", "LIST", "PART"));
}

TEST_F(FakeServerTest, SendsDataOnAPassiveConnection) {
  std::string passive;
  server_.AddSession(Session({}, {[&](FakeFtpSession& s) {
                                    passive = s.Passive();
                                    s.Reply(passive);
                                    if (!s.AcceptData()) return;
                                    s.Reply("150 Here it comes");
                                    s.SendDataWithPause("first ", 50, "second");
                                    s.CloseData();
                                    s.Reply("226 Done");
                                  }}));
  OpenControl();
  channels_.Send(1, "PASV\r\n");
  const std::string reply = channels_.ReadLine(1);
  OpenData(reply);
  EXPECT_EQ(channels_.ReadLine(1), "150 Here it comes");
  EXPECT_EQ(ReceiveAll(), "first second");
  EXPECT_EQ(channels_.Error(), 0);
  EXPECT_EQ(channels_.ReadLine(1), "226 Done");
  server_.Stop();
  EXPECT_EQ(reply, passive);
}

TEST_F(FakeServerTest, ReceivesEverythingTheClientSends) {
  std::string received;
  server_.AddSession(Session({}, {[&](FakeFtpSession& s) {
                                    s.Reply(s.Passive());
                                    if (!s.AcceptData()) return;
                                    received = s.ReceiveData();
                                    s.Reply("226 Stored " + std::to_string(received.size()));
                                  }}));
  OpenPassive();
  const std::string upload(100000, 'u');
  channels_.Send(2, upload);
  channels_.Close(2);
  EXPECT_EQ(channels_.ReadLine(1), "226 Stored 100000");
  server_.Stop();
  EXPECT_EQ(received, upload);
}

TEST_F(FakeServerTest, ResetsADataConnection) {
  server_.AddSession(Session({}, {[&](FakeFtpSession& s) {
                                    s.Reply(s.Passive());
                                    if (s.AcceptData()) s.ResetData();
                                  }}));
  OpenPassive();
  char block[100];
  EXPECT_EQ(channels_.Receive(2, block, sizeof block), 0u);
  EXPECT_EQ(channels_.Error(), kErrSocket);
}

TEST_F(FakeServerTest, WithholdsDataUntilTheClientGivesUp) {
  server_.AddSession(Session({}, {[&](FakeFtpSession& s) {
                                    s.Reply(s.Passive());
                                    if (s.AcceptData()) s.Pause(60000);  // ends at Stop()
                                  }}));
  OpenPassive();
  char block[100];
  EXPECT_EQ(channels_.Receive(2, block, sizeof block), 0u);
  EXPECT_EQ(channels_.Error(), kErrTimeout);
  server_.Stop();
}

}  // namespace
}  // namespace koru::testing
