// A byte stream from a server (any bytes) read reply by reply the way the program reads its
// control connection: a channel over an in-memory connection splits the stream into lines and
// the reply reader frames them into replies, printing continuation lines as in debug mode.
//
// In the input a byte 0xFF followed by a three-byte count (high byte first) and one more byte
// stands for that many copies of the last byte (at most 140 KiB), so that small inputs reach
// lines of 65,536 bytes and more.
#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "ftp/control.h"
#include "ftp/ftp_session.h"
#include "fuzz/fuzz_target.h"
#include "run/env.h"
#include "tests/fakes.h"
#include "tests/memory_transport.h"

namespace koru::fuzz {
namespace {

constexpr char kRunMark = '\xFF';
constexpr size_t kLongestRun = 140 * 1024;
constexpr size_t kLongestStream = 200 * 1024;
constexpr int kTimeoutMs = 30000;  // only a fault makes a read wait (on the fake clock)
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

// The stream in pieces of changing sizes, each one receive at most, so that lines and CR LF
// pairs cross the edges of receives the way a network splits them.
void SendInPieces(testing::MemoryPeer& peer, std::string_view stream) {
  static constexpr size_t kPieceSizes[] = {1, 3, 17, 255, 4096, 65537};
  for (size_t i = 0; !stream.empty(); ++i) {
    const size_t size = std::min(stream.size(), kPieceSizes[i % std::size(kPieceSizes)]);
    peer.Send(std::string(stream.substr(0, size)));
    stream.remove_prefix(size);
  }
}

void CheckLineText(std::string_view line) {
  Check(line.find_first_of("\r\n") == line.npos, "a line holds no CR and no LF");
  Check(line.size() <= kChannelBufferSize, "a line holds at most 65,536 bytes");
}

// Reads replies up to the end reply, keeping each as the program does.
void ReadReplies(Session& session, size_t stream_size) {
  Env& env = session.env;
  // A reply takes one line at least, and every line before the end takes its LF at least.
  for (size_t replies = 0; replies <= stream_size + 2; ++replies) {
    const std::string reply = ftpGetReply(session);
    Check(env.channels.Error() == 0, "no read waits for more on a stream that is all there");
    CheckLineText(reply);
    const int32_t kept = session.LastReplyCode;
    ftpRecordReply(session, reply);
    Check(session.LastReplyCode >= kept, "the kept reply code never falls");
    if (reply == kEndReply) return;
  }
  Check(false, "every reply takes a line of its own");
}

}  // namespace

KORU_FUZZ_TARGET(reply_framing) {
  const std::string stream =
      ExpandRuns(std::string_view(reinterpret_cast<const char*>(data), size));
  if (HoldsEndReply(stream)) return;

  testing::RecordingConsole console;
  testing::FakeClock clock;
  testing::MemoryTransport transport(clock);
  testing::MemoryPeer& server = transport.Expect();
  SendInPieces(server, stream + "\n" + std::string(kEndReply) + "\r\n");
  server.Close();
  Env env(console, clock, transport);
  env.options.VerboseLevel = 1;
  env.channel_timeout_ms = kTimeoutMs;
  // No user can stop this run, and no name needs looking up: the connect then starts no
  // lookup thread, which would cost more than reading most inputs.
  env.channels.SetStopCheck(nullptr);
  env.channels.SetResolver([](const std::string&) { return std::vector<std::string>{"127.0.0.1"}; });
  const int channel = env.pool.Lowest();
  Check(env.channels.Open(channel, "127.0.0.1", 21, kTimeoutMs), "a connection to the server");
  Session session(env, channel);
  ReadReplies(session, stream.size());
  Check(ftpGetReply(session).empty() && env.channels.Error() == 0,
        "after the server has closed, replies come back empty at once");
  for (const std::string& line : console.lines) CheckLineText(line);
  env.channels.Close(channel);
}

}  // namespace koru::fuzz
