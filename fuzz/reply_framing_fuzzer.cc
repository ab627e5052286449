// A byte stream from a server (any bytes) read reply by reply the way the program reads its
// control connection: a real channel over a loopback connection splits the stream into lines
// and the reply reader frames them into replies, printing continuation lines as in debug mode.
//
// In the input a byte 0xFF followed by a three-byte count (high byte first) and one more byte
// stands for that many copies of the last byte (at most 140 KiB), so that small inputs reach
// lines of 65,536 bytes and more.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <thread>

#include "run/env.h"
#include "ftp/control.h"
#include "fuzz/fuzz_target.h"
#include "tests/fakes.h"

namespace koru::fuzz {
namespace {

constexpr char kRunMark = '\xFF';
constexpr size_t kLongestRun = 140 * 1024;
constexpr size_t kLongestStream = 200 * 1024;
constexpr int kTimeoutMs = 30000;  // only a fault makes a read wait at all
// Sent after the input; a reply of its own whatever the input left open.
constexpr std::string_view kEndReply = "999 end of the fuzz input";

std::string ExpandRuns(std::string_view input) {
  std::string stream;
  for (size_t i = 0; i < input.size() && stream.size() < kLongestStream; ++i) {
    if (input[i] != kRunMark || i + 4 >= input.size()) {
      stream += input[i];
      continue;
    }
    const auto byte = [&](size_t at) { return static_cast<size_t>(static_cast<uint8_t>(input[at])); };
    const size_t count = byte(i + 1) << 16 | byte(i + 2) << 8 | byte(i + 3);
    stream.append(std::min(count, kLongestRun), input[i + 4]);
    i += 4;
  }
  if (stream.size() > kLongestStream) stream.resize(kLongestStream);
  return stream;
}

// Whether the end reply could come from the input itself (CRs are dropped wherever they stand).
bool HoldsEndReply(std::string stream) {
  std::erase(stream, '\r');
  return stream.find(kEndReply) != std::string::npos;
}

// A listening socket on 127.0.0.1 for the whole run.
class LoopbackListener {
 public:
  LoopbackListener() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool listening =
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(listener_, 8) == 0 &&
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    Check(listening, "a listener on 127.0.0.1");
    port_ = ntohs(address.sin_port);
  }

  int port() const { return port_; }
  // The server side of the connection a client has just opened, sending without delay.
  int Accept() const {
    const int server = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    const int on = 1;
    ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return server;
  }

 private:
  int listener_ = -1;
  int port_ = 0;
};

void SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
}

// A reset in place of a normal close, once the client has read everything: millions of runs
// leave no connections waiting out their time.
void CloseAbruptly(int fd) {
  const linger reset{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(fd);
}

void CheckLineText(std::string_view line) {
  Check(line.find_first_of("\r\n") == line.npos, "a line holds no CR and no LF");
  Check(line.size() <= kChannelBufferSize, "a line holds at most 65,536 bytes");
}

// Reads replies up to the end reply, keeping each as the program does.
void ReadReplies(Env& env, int channel, size_t stream_size) {
  // A reply takes one line at least, and every line before the end takes its LF at least.
  for (size_t replies = 0; replies <= stream_size + 2; ++replies) {
    const std::string reply = ftpGetReply(env, channel);
    Check(env.channels.Error() == 0, "no read waits for more on a stream that is all there");
    CheckLineText(reply);
    const int32_t kept = env.state.LastReplyCode;
    ftpRecordReply(env, reply);
    Check(env.state.LastReplyCode >= kept, "the kept reply code never falls");
    if (reply == kEndReply) return;
  }
  Check(false, "every reply takes a line of its own");
}

}  // namespace

KORU_FUZZ_TARGET(reply_framing) {
  static const LoopbackListener listener;
  const std::string stream =
      ExpandRuns(std::string_view(reinterpret_cast<const char*>(data), size));
  if (HoldsEndReply(stream)) return;

  testing::RecordingConsole console;
  PosixClock clock;
  Env env(console, clock);
  env.options.VerboseLevel = 1;
  env.channel_timeout_ms = kTimeoutMs;
  const int channel = env.pool.Lowest();
  Check(env.channels.Open(channel, "127.0.0.1", listener.port(), kTimeoutMs),
        "a connection to the loopback listener");
  const int server = listener.Accept();
  std::thread writer([&] {
    SendAll(server, stream + "\n" + std::string(kEndReply) + "\r\n");
    ::shutdown(server, SHUT_WR);
  });
  ReadReplies(env, channel, stream.size());
  Check(ftpGetReply(env, channel).empty() && env.channels.Error() == 0,
        "after the server has closed, replies come back empty at once");
  writer.join();
  for (const std::string& line : console.lines) CheckLineText(line);
  CloseAbruptly(server);
  env.channels.Close(channel);
}

}  // namespace koru::fuzz
