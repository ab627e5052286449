// A byte stream from a server (any bytes) read reply by reply the way the program reads its
// control connection: a channel over a connection that hands the stream out in receives splits
// it into lines and the reply reader frames them into replies, printing continuation lines as
// in debug mode.
//
// In the input a byte 0xFF followed by a three-byte count (high byte first) of at most 140 KiB
// and one more byte stands for that many copies of the last byte, so that small inputs reach
// lines of 65,536 bytes and more; a 0xFF with a larger count stands for itself. The stream ends
// after its 64th LF: a reply costs far more than a byte, and more lines of the same kinds
// would only cost time. Where the receives end is drawn from the whole input (see PlaceEdges),
// so that changing it moves the edges too.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/control.h"
#include "ftp/ftp_session.h"
#include "fuzz/fuzz_target.h"
#include "platform/transport.h"
#include "run/env.h"
#include "tests/fakes.h"

namespace koru::fuzz {
namespace {

constexpr char kRunMark = '\xFF';
constexpr size_t kLongestRun = 140 * 1024;
constexpr size_t kLongestStream = 200 * 1024;
constexpr size_t kMostLines = 64;
constexpr int kTimeoutMs = 30000;  // only a fault makes a read wait (on the fake clock)
// Sent after the input; a reply of its own whatever the input left open.
constexpr std::string_view kEndReply = "999 end of the fuzz input";

KORU_FUZZ_HELPER size_t RunLength(std::string_view input, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<size_t>(static_cast<uint8_t>(input[i])); };
  return byte(at + 1) << 16 | byte(at + 2) << 8 | byte(at + 3);
}

// Writes the input into `stream` (whose room is kept from input to input) with its runs
// expanded, cut after its kMostLines-th LF.
KORU_FUZZ_HELPER void ExpandRuns(std::string_view input, std::string& stream) {
  stream.clear();
  size_t i = 0;
  while (i < input.size() && stream.size() < kLongestStream) {
    // The bytes up to the next mark go in as one stretch.
    const size_t at = std::min(input.find(kRunMark, i), input.size());
    stream.append(input.substr(i, std::min(at - i, kLongestStream - stream.size())));
    if (at == input.size()) break;
    if (at + 4 < input.size() && RunLength(input, at) <= kLongestRun) {
      stream.append(RunLength(input, at), input[at + 4]);
      i = at + 5;
    } else {
      stream += kRunMark;
      i = at + 1;
    }
  }
  if (stream.size() > kLongestStream) stream.resize(kLongestStream);
  size_t end = 0;
  for (size_t line = 0; line < kMostLines && end != stream.npos; ++line) {
    end = stream.find('\n', end);
    if (end != stream.npos) ++end;
  }
  if (end != stream.npos) stream.resize(end);
}

// Whether the end reply could come from the input itself (CRs are dropped wherever they stand).
KORU_FUZZ_HELPER bool HoldsEndReply(std::string_view stream) {
  // Mostly settled at once: few streams hold a 'z' (and dropping CRs makes none).
  if (!std::memchr(stream.data(), 'z', stream.size())) return false;
  // A match begins with the reply's first byte, never with a CR.
  for (size_t at = stream.find(kEndReply[0]); at != stream.npos;
       at = stream.find(kEndReply[0], at + 1)) {
    size_t matched = 0;
    for (size_t i = at; i < stream.size() && matched < kEndReply.size(); ++i) {
      if (stream[i] == '\r' && matched > 0) continue;
      if (stream[i] != kEndReply[matched]) break;
      ++matched;
    }
    if (matched == kEndReply.size()) return true;
  }
  return false;
}

// Mixes the bytes of the input into the seed that places the edges (FNV-1a).
KORU_FUZZ_HELPER uint32_t SeedOf(std::string_view input) {
  uint32_t seed = 2166136261u;
  for (const char c : input) seed = (seed ^ static_cast<uint8_t>(c)) * 16777619u;
  return seed;
}

// Where receives of `stream` end (besides where the channel's buffer is full), ascending. The
// seed chooses: an edge after each of the first CRs, so that CR LF pairs cross receives; one
// after each of the first LFs, so that receives end with their lines; and edges at the ends of
// a few pieces from the start, all of one size or of changing sizes, some shorter and some
// longer than the channel's buffer, so that lines cross receives. There are never more than a
// few dozen, however long the stream.
KORU_FUZZ_HELPER void PlaceEdges(std::string_view stream, uint32_t seed,
                                 std::vector<size_t>& edges) {
  static constexpr size_t kPieceSizes[] = {1, 3, 17, 255, 4096, 65535, 65536, 65537};
  constexpr size_t kEdgesAfterLineEnds = 16;
  constexpr size_t kPieces = 24;
  edges.clear();
  const auto after_each_first = [&](char end) {
    size_t at = 0;
    for (size_t n = 0; n < kEdgesAfterLineEnds; ++n) {
      const void* found = std::memchr(stream.data() + at, end, stream.size() - at);
      if (!found) return;
      at = static_cast<size_t>(static_cast<const char*>(found) - stream.data()) + 1;
      edges.push_back(at);
    }
  };
  if (seed & 1) after_each_first('\r');
  if (seed & 2) after_each_first('\n');
  const bool changing_sizes = (seed & 4) != 0;
  const size_t first = (seed >> 3) % std::size(kPieceSizes);
  size_t edge = (seed >> 6) % 64;  // where the first piece begins
  for (size_t piece = 0; piece < kPieces && edge < stream.size(); ++piece) {
    if (edge > 0) edges.push_back(edge);
    edge += kPieceSizes[(first + (changing_sizes ? piece : 0)) % std::size(kPieceSizes)];
  }
  std::sort(edges.begin(), edges.end());
  edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
}

// The server's side: the stream, all there at once, each receive ending at the next edge at
// the latest; then the close.
class ServerStream {
 public:
  // Starts over with `stream` and `edges` (both kept by the caller until the next Start).
  void Start(std::string_view stream, const std::vector<size_t>& edges) {
    stream_ = stream;
    edges_ = &edges;
    at_ = 0;
    next_edge_ = 0;
  }

  KORU_FUZZ_HELPER int64_t Receive(char* buffer, size_t max) {
    if (at_ == stream_.size()) return Connection::kClosed;
    size_t end = std::min(stream_.size(), at_ + max);
    while (next_edge_ < edges_->size() && (*edges_)[next_edge_] <= at_) ++next_edge_;
    if (next_edge_ < edges_->size()) end = std::min(end, (*edges_)[next_edge_]);
    std::memcpy(buffer, stream_.data() + at_, end - at_);
    const size_t got = end - at_;
    at_ = end;
    return static_cast<int64_t>(got);
  }

 private:
  std::string_view stream_;
  const std::vector<size_t>* edges_ = nullptr;
  size_t at_ = 0;
  size_t next_edge_ = 0;
};

class ServerConnection final : public Connection {
 public:
  explicit ServerConnection(ServerStream& server) : server_(server) {}
  int64_t SendSome(std::string_view bytes) override { return static_cast<int64_t>(bytes.size()); }
  int64_t ReceiveSome(char* buffer, size_t max) override { return server_.Receive(buffer, max); }
  bool Wait(bool, int) override { return true; }  // everything is there already
  void ShutDown() override {}
  std::string PeerAddress() const override { return "127.0.0.1"; }

 private:
  ServerStream& server_;
};

class ServerTransport final : public Transport {
 public:
  explicit ServerTransport(ServerStream& server) : server_(server) {}
  std::unique_ptr<Connection> Connect(const std::vector<std::string>&, int, SystemError*,
                                      const std::function<bool()>&, int) override {
    return std::make_unique<ServerConnection>(server_);
  }

 private:
  ServerStream& server_;
};

KORU_FUZZ_HELPER void CheckLineText(std::string_view line) {
  Check(
      !std::memchr(line.data(), '\r', line.size()) && !std::memchr(line.data(), '\n', line.size()),
      "a line holds no CR and no LF");
  Check(line.size() <= kChannelBufferSize, "a line holds at most 65,536 bytes");
}

// The console of the run: each line it is given is checked as it comes, and none is kept.
class CheckingConsole final : public testing::RecordingConsole {
 public:
  void WriteLine(std::string_view line) override { CheckLineText(line); }
};

// What every input runs with, built once: an environment in debug mode whose one connection
// is to the server stream, and the session that reads it. Nobody can stop a run, and no name
// needs looking up, so a connect starts no thread.
struct Rig {
  Rig() : transport(server), env(console, clock, transport), session(env, options, state) {
    clock.follows_real_time = false;
    options.VerboseLevel = 1;
    env.channel_timeout_ms = kTimeoutMs;
    session.channels.SetStopCheck(nullptr);
    session.channels.SetResolver(
        [](const std::string&) { return std::vector<std::string>{"127.0.0.1"}; });
    // Room for the largest input from the start: an input that leaves more blocks behind than
    // it found makes the fuzzer look for a leak, which costs more than a hundred inputs.
    stream.reserve(kLongestStream + kEndReply.size() + 3);
    session.ReplyLine.reserve(kChannelBufferSize);
    session.LastReplyText.reserve(kChannelBufferSize);
    edges.reserve(64);
  }

  CheckingConsole console;
  testing::FakeClock clock;
  ServerStream server;
  ServerTransport transport;
  Env env;
  Options options;
  RunSettings state;
  // Takes each input's channel; what reading replies changes in it is reset per input, and the
  // rooms of its texts are kept, as a program's session keeps them from reply to reply.
  Session session;
  std::string stream;
  std::vector<size_t> edges;
};

Rig& TheRig() {
  static Rig rig;
  return rig;
}

// Reads replies up to the end reply, keeping each as the program does.
void ReadReplies(Session& session, size_t stream_size) {
  // A reply takes one line at least, and every line before the end takes its LF at least.
  for (size_t replies = 0; replies <= stream_size + 2; ++replies) {
    const std::string reply = ftpGetReply(session);
    Check(session.channels.Error() == 0, "no read waits for more on a stream that is all there");
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
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  Rig& rig = TheRig();
  ExpandRuns(input, rig.stream);
  if (HoldsEndReply(rig.stream)) return;
  const size_t input_size = rig.stream.size();
  rig.stream.append("\n").append(kEndReply).append("\r\n");
  PlaceEdges(rig.stream, SeedOf(input), rig.edges);
  rig.server.Start(rig.stream, rig.edges);

  Session& session = rig.session;
  session.channels.ClearError();
  const int channel = session.pool.Lowest();
  Check(session.channels.Open(channel, "127.0.0.1", 21, kTimeoutMs), "a connection to the server");
  session.h = channel;
  session.ReplyLine.clear();
  ftpClearReply(session);
  ReadReplies(session, input_size);
  Check(ftpGetReply(session).empty() && session.channels.Error() == 0,
        "after the server has closed, replies come back empty at once");
  session.CloseChannel();
}

}  // namespace koru::fuzz
