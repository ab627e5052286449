#include "platform/channels.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/local_file.h"
#include "tests/fake_ftp_server.h"
#include "tests/fakes.h"
#include "tests/memory_file_system.h"
#include "tests/memory_transport.h"

namespace koru {
namespace {

using ::testing::ElementsAre;
using testing::FakeFtpServer;
using testing::MemoryPeer;
using testing::MemoryTransport;
using testing::Session;

constexpr int kTimeoutMs = 300;

// A port on 127.0.0.1 that nothing listens on.
int UnusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

class ChannelTest : public ::testing::Test {
 protected:
  // Opens channel 1 to a peer that first runs `on_connect`.
  void Connect(std::vector<testing::Action> on_connect) {
    server_.AddSession(Session(std::move(on_connect)));
    ASSERT_TRUE(channels_.Open(1, "127.0.0.1", server_.port(), kTimeoutMs));
  }

  FakeFtpServer server_;
  HandlePool pool_;
  Channels channels_{pool_};
};

// Channels over scripted connections: what the peer sends, when, and the time-outs, exact and
// without waiting.
class MemoryChannelTest : public ::testing::Test {
 protected:
  // Opens channel 1; its peer is `peer`, to be scripted.
  MemoryPeer& Connect() {
    MemoryPeer& peer = transport_.Expect();
    EXPECT_TRUE(channels_.Open(1, "127.0.0.1", 21, kTimeoutMs));
    return peer;
  }
  // The time the channel waited, as the clock measured it.
  int64_t Waited() const { return clock_.skipped_ms; }

  testing::FakeClock clock_;
  MemoryTransport transport_{clock_};
  HandlePool pool_;
  Channels channels_{pool_, transport_, clock_};
};

// What a server says to a connection nobody has asked anything of (a time-out notice, its
// close) is seen at once, without a wait, and what came is kept for the next read.
TEST_F(MemoryChannelTest, HasInputSeesWhatCameUnaskedWithoutWaiting) {
  MemoryPeer& peer = Connect();
  EXPECT_FALSE(channels_.HasInput(1));
  peer.Send("421 Timeout.\r\n");
  EXPECT_TRUE(channels_.HasInput(1));
  EXPECT_EQ(channels_.ReadLine(1), "421 Timeout.");
  EXPECT_FALSE(channels_.HasInput(1));
  peer.Close();
  EXPECT_TRUE(channels_.HasInput(1));
  EXPECT_EQ(Waited(), 0);
}

struct LineCase {
  const char* name;
  std::string received;  // sent by the peer, which then closes the connection
  std::vector<std::string> lines;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class ReadLineTest : public MemoryChannelTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(ReadLineTest, SplitsWhatThePeerSentIntoLines) {
  Connect().Send(GetParam().received).Close();
  std::vector<std::string> lines;
  for (size_t i = 0; i < GetParam().lines.size(); ++i) lines.push_back(channels_.ReadLine(1));
  EXPECT_EQ(lines, GetParam().lines);
  // Once the peer has closed and everything is read: empty lines at once, without an error.
  EXPECT_EQ(channels_.ReadLine(1), "");
  EXPECT_EQ(channels_.Error(), 0);
  EXPECT_TRUE(channels_.EndOfData(1));
}

INSTANTIATE_TEST_SUITE_P(
    Channel, ReadLineTest,
    ::testing::Values(
        LineCase{"CrLfAndLf", "220 Ready\r\n331 Password\n", {"220 Ready", "331 Password"}},
        LineCase{"CrCrLf", "226 Done\r\r\n", {"226 Done"}},
        LineCase{"CrInsideALine", "a\rb\r\n", {"ab"}},
        LineCase{"LongRunsOfCr",
                 "a" + std::string(130, '\r') + "b" + std::string(64, '\r') + "c" +
                     std::string(63, '\r') + "\n",
                 {"abc"}},
        LineCase{"EmptyLines", "\r\n\n", {"", ""}},
        LineCase{"LastLineWithoutLf", "220 Ready\r\ntail", {"220 Ready", "tail"}},
        LineCase{"LongLineIsCutAt65536Bytes",
                 std::string(70000, 'a') + "\n",
                 {std::string(65536, 'a'), std::string(70000 - 65536, 'a')}},
        // The CR counts as received for the cap, though it is dropped: the LF starts a line.
        LineCase{"CapCountsDroppedCr",
                 std::string(65535, 'b') + "\r\n",
                 {std::string(65535, 'b'), ""}},
        LineCase{"BinaryBytes", std::string("\0\xff x\n", 5), {std::string("\0\xff x", 4)}}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return info.param.name; });

TEST_F(MemoryChannelTest, TimeOutWithNothingReceivedGivesAnEmptyLineAndError24) {
  Connect();
  EXPECT_EQ(channels_.ReadLine(1), "");
  EXPECT_EQ(channels_.Error(), kErrTimeout);
  EXPECT_FALSE(channels_.EndOfData(1));
  EXPECT_EQ(Waited(), kTimeoutMs);
}

TEST_F(MemoryChannelTest, TimeOutAfterPartOfALineGivesThatPartWithoutError) {
  Connect().Send("220 Rea");
  EXPECT_EQ(channels_.ReadLine(1), "220 Rea");
  EXPECT_EQ(channels_.Error(), 0);
  EXPECT_FALSE(channels_.EndOfData(1));
}

TEST_F(MemoryChannelTest, ALineReadLeavesAnEarlierErrorNumberAlone) {
  MemoryPeer& peer = Connect().Silence(kTimeoutMs + 1).Send("502 Command not scripted.\r\n");
  channels_.ReadLine(1);
  ASSERT_EQ(channels_.Error(), kErrTimeout);
  channels_.Send(1, "NOOP\r\n");
  EXPECT_EQ(channels_.ReadLine(1), "502 Command not scripted.");
  EXPECT_EQ(channels_.Error(), kErrTimeout);
  channels_.ClearError();
  EXPECT_EQ(channels_.Error(), 0);
  EXPECT_EQ(peer.received(), "NOOP\r\n");
}

// The time-out bounds each wait for more of a line, not the line as a whole.
TEST_F(MemoryChannelTest, ALineArrivingInPiecesIsReadWhole) {
  Connect().Send("220 Re").Silence(250).Send("a").Silence(250).Send("dy").Silence(250).Send(
      "\r\n");
  EXPECT_EQ(channels_.ReadLine(1, 300), "220 Ready");
  EXPECT_EQ(channels_.Error(), 0);
  EXPECT_EQ(Waited(), 750);
}

// However the pieces of a line fall, its block never outgrows the channel's buffer.
TEST_F(MemoryChannelTest, ALongLineInPiecesTakesNoMoreRoomThanTheBuffer) {
  Connect().Send(std::string(40000, 'a')).Silence(1).Send(std::string(25536, 'a') + "\n");
  const std::string line = channels_.ReadLine(1);
  EXPECT_EQ(line, std::string(65536, 'a'));
  EXPECT_LE(line.capacity(), kChannelBufferSize);
}

TEST_F(MemoryChannelTest, ReadLineWithItsOwnTimeOut) {
  Connect().Silence(30).Send("late\r\n");
  EXPECT_EQ(channels_.ReadLine(1, 20), "");
  EXPECT_EQ(channels_.Error(), kErrTimeout);
  EXPECT_EQ(Waited(), 20);
  EXPECT_EQ(channels_.ReadLine(1, 20), "late");
}

// A wait ends as soon as the user asks to stop, with its own error number.
TEST_F(MemoryChannelTest, AStopEndsTheWait) {
  Connect().Silence(1000).Send("220 Ready\r\n");
  bool stop = true;
  channels_.SetStopCheck([&] { return stop; });
  EXPECT_EQ(channels_.ReadLine(1), "");
  EXPECT_EQ(channels_.Error(), kErrInterrupted);
  EXPECT_EQ(Waited(), 0);
  stop = false;
  channels_.ClearError();
  EXPECT_EQ(channels_.ReadLine(1, 2000), "220 Ready");
  EXPECT_EQ(channels_.Error(), 0);
}

TEST_F(MemoryChannelTest, EndOfDataOnceAShortReceiveIsUsedUp) {
  Connect().Send("220-One\r\n220 Two\r\n");
  EXPECT_EQ(channels_.ReadLine(1), "220-One");
  EXPECT_FALSE(channels_.EndOfData(1));  // the rest is buffered
  EXPECT_EQ(channels_.ReadLine(1), "220 Two");
  EXPECT_TRUE(channels_.EndOfData(1));
  EXPECT_EQ(channels_.ReadLine(1), "");  // a read that times out resets it
  EXPECT_FALSE(channels_.EndOfData(1));
}

TEST_F(ChannelTest, SendDeliversEveryByteWithNothingAppended) {
  Connect({});
  channels_.Send(1, "USER anonymous\r\n");
  EXPECT_EQ(channels_.ReadLine(1), "502 Command not scripted.");
  channels_.Send(1, "NO LINE END");
  channels_.Close(1);
  server_.Stop();
  EXPECT_THAT(server_.commands(), ElementsAre("USER anonymous", "NO LINE END"));
  EXPECT_EQ(channels_.Error(), 0);
}

TEST_F(MemoryChannelTest, ReceiveTakesBufferedBytesFirst) {
  Connect().Send("150 Opening\r\nDATA").Close();
  EXPECT_EQ(channels_.ReadLine(1), "150 Opening");
  char block[100];
  const size_t n = channels_.Receive(1, block, sizeof block);
  EXPECT_EQ(std::string(block, n), "DATA");
  EXPECT_EQ(channels_.Receive(1, block, sizeof block), 0u);  // peer closed
  EXPECT_EQ(channels_.Error(), 0);
  EXPECT_TRUE(channels_.EndOfData(1));
}

TEST_F(MemoryChannelTest, ReceiveTimesOutWithError24) {
  Connect();
  char block[100];
  EXPECT_EQ(channels_.Receive(1, block, sizeof block), 0u);
  EXPECT_EQ(channels_.Error(), kErrTimeout);
  EXPECT_EQ(Waited(), kTimeoutMs);
}

TEST_F(ChannelTest, ChannelNumbersComeFromTheSharedPool) {
  Connect({});
  EXPECT_TRUE(pool_.InUse(1));
  EXPECT_EQ(pool_.Lowest(), 2);
  EXPECT_EQ(channels_.PeerAddress(1), "127.0.0.1");
  channels_.Close(1);
  EXPECT_FALSE(pool_.InUse(1));
  EXPECT_EQ(channels_.PeerAddress(1), "");
}

TEST_F(ChannelTest, ANumberAlreadyInUseCannotBeOpenedAgain) {
  Connect({});
  EXPECT_FALSE(channels_.Open(1, "127.0.0.1", server_.port(), kTimeoutMs));
  EXPECT_EQ(channels_.Error(), kErrAlreadyOpen);
  channels_.ClearError();
  pool_.Claim(2);  // as an open local file holds it
  EXPECT_FALSE(channels_.Open(2, "127.0.0.1", server_.port(), kTimeoutMs));
  EXPECT_EQ(channels_.Error(), kErrAlreadyOpen);
  EXPECT_TRUE(pool_.InUse(2));
}

// 52 is "no open channel" for a channel and "bad file name" for a local file: the one error type
// tells them apart by their facility, each with its own words.
TEST(ChannelNumbers, FailuresOfChannelsAndLocalFilesAreToldApart) {
  HandlePool pool;
  Channels channels(pool);
  channels.Send(7, "x");
  testing::MemoryFileSystem files;
  files.Refuse("/long", ENAMETOOLONG);
  LocalFile file(files);
  EXPECT_FALSE(file.Open(pool, "/long", LocalFile::Mode::kReadWrite));

  const SystemError channel = channels.LastError();
  const SystemError local = file.LastError();

  EXPECT_EQ(channel.number, kErrNoChannel);
  EXPECT_EQ(local.number, kErrBadFileName);
  EXPECT_EQ(channel.number, local.number);
  EXPECT_EQ(channel.facility, SystemError::Facility::kChannel);
  EXPECT_EQ(local.facility, SystemError::Facility::kLocalFile);
  EXPECT_EQ(local.text, "File name too long");
  channels.ClearError();
  EXPECT_FALSE(channels.LastError().failed());
}

// Every operation on a number that is not an open channel: 52, or 54 for a local file's number.
TEST(ChannelNumbers, OperationsOnNumbersThatNameNoChannel) {
  HandlePool pool;
  Channels channels(pool);
  pool.Claim(3);
  char block[10];
  for (const auto& [number, error] : std::vector<std::pair<int, int>>{
           {7, kErrNoChannel}, {0, kErrNoChannel}, {-1, kErrNoChannel}, {3, kErrNotTcp}}) {
    SCOPED_TRACE(number);
    channels.ClearError();
    channels.Send(number, "x");
    EXPECT_EQ(channels.Error(), error);
    channels.ClearError();
    EXPECT_EQ(channels.ReadLine(number), "");
    EXPECT_EQ(channels.Error(), error);
    channels.ClearError();
    EXPECT_EQ(channels.Receive(number, block, sizeof block), 0u);
    EXPECT_EQ(channels.Error(), error);
    channels.ClearError();
    channels.Close(number);
    EXPECT_EQ(channels.Error(), error);
  }
  EXPECT_TRUE(pool.InUse(3));  // the local file's number is left alone
}

TEST(ChannelOpen, FailuresLeaveError57AndNothingOpen) {
  HandlePool pool;
  Channels channels(pool);
  struct Case {
    std::string host;
    int port;
  };
  // No case needs a name server: an empty name cannot be resolved.
  for (const Case& c : {Case{"127.0.0.1", UnusedPort()}, Case{"", 21},
                        Case{"127.0.0.1", 65536}, Case{"127.0.0.1", -1}}) {
    SCOPED_TRACE(c.host + ":" + std::to_string(c.port));
    channels.ClearError();
    EXPECT_FALSE(channels.Open(1, c.host, c.port, kTimeoutMs));
    EXPECT_EQ(channels.Error(), kErrSocket);
    EXPECT_FALSE(pool.InUse(1));
  }
  EXPECT_FALSE(channels.Open(0, "127.0.0.1", 21, kTimeoutMs));
  EXPECT_EQ(channels.Error(), kErrNoChannel);
}

TEST(ChannelOpen, ClosesWhatIsStillOpenWhenDestroyed) {
  FakeFtpServer server;
  HandlePool pool;
  {
    Channels channels(pool);
    ASSERT_TRUE(channels.Open(4, "127.0.0.1", server.port(), kTimeoutMs));
  }
  EXPECT_FALSE(pool.InUse(4));
}

}  // namespace
}  // namespace koru
