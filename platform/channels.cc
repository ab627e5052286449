#include "platform/channels.h"

#include <algorithm>
#include <cstring>

#include "platform/host_lookup.h"

namespace koru {

struct Channels::Channel {
  std::unique_ptr<Connection> connection;
  TlsConnection* tls = nullptr;  // the connection, once switched to TLS
  int timeout_ms = 0;
  char buffer[kChannelBufferSize];
  size_t begin = 0;  // unread bytes are buffer[begin, end)
  size_t end = 0;
  bool last_receive_short = false;
  bool peer_closed = false;
  bool end_of_data = false;  // as left by the latest read

  // After a read: the buffer is used up and its receive was short, or the peer has gone.
  void NoteEndOfData() { end_of_data = peer_closed || (buffered() == 0 && last_receive_short); }

  size_t buffered() const { return end - begin; }
};

namespace {

// How often a long wait looks whether the user has asked to stop.
constexpr int kStopCheckMs = 100;

// Room in `line` for `more` bytes. A line never outgrows the buffer, so its block never needs
// to either (growing by doubling would take up to twice that). The new block is reserved by an
// empty string: the library rounds a reserve up to twice the old capacity, which would overshoot
// the buffer's size.
void MakeRoom(std::string& line, size_t more) {
  const size_t needed = line.size() + more;
  if (needed <= line.capacity()) return;
  std::string larger;
  larger.reserve(std::min(std::max(needed, 2 * line.capacity()), kChannelBufferSize));
  larger.append(line);
  line.swap(larger);
}

// Where the run of CRs at `at` ends in `bytes`. A long run is passed a block at a time.
size_t EndOfCRs(std::string_view bytes, size_t at) {
  static constexpr size_t kBlock = 64;
  static const std::string kCRs(kBlock, '\r');
  while (bytes.size() - at >= kBlock && std::memcmp(bytes.data() + at, kCRs.data(), kBlock) == 0) {
    at += kBlock;
  }
  while (at < bytes.size() && bytes[at] == '\r') ++at;
  return at;
}

// Appends `bytes` less every CR among them, a stretch at a time (a line may hold long runs of
// CRs as well as none but the one before its LF).
void AppendWithoutCRs(std::string& line, std::string_view bytes) {
  for (;;) {
    const void* cr = std::memchr(bytes.data(), '\r', bytes.size());
    if (!cr) {
      line.append(bytes);
      return;
    }
    const size_t stretch = static_cast<size_t>(static_cast<const char*>(cr) - bytes.data());
    line.append(bytes.data(), stretch);
    bytes.remove_prefix(EndOfCRs(bytes, stretch));
  }
}

TcpTransport& SystemTransport() {
  static TcpTransport transport;
  return transport;
}

Clock& SystemClock() {
  static PosixClock clock;
  return clock;
}

}  // namespace

Channels::Channels(HandlePool& pool) : Channels(pool, SystemTransport(), SystemClock()) {}

Channels::Channels(HandlePool& pool, Transport& transport, Clock& clock)
    : pool_(pool), transport_(transport), clock_(clock) {}

Channels::~Channels() {
  for (auto& [number, channel] : open_) pool_.Release(number);
}

Channels::Wait Channels::WaitFor(Connection& connection, bool for_sending,
                                 int timeout_ms) const {
  if (!for_sending && connection.Pending() > 0) return Wait::kReady;
  const int64_t deadline = clock_.MonotonicMs() + std::max(timeout_ms, 0);
  for (;;) {
    if (stop_pending_ && stop_pending_()) return Wait::kStopped;
    const int left = static_cast<int>(std::max<int64_t>(deadline - clock_.MonotonicMs(), 0));
    if (connection.Wait(for_sending, stop_pending_ ? std::min(left, kStopCheckMs) : left)) {
      return Wait::kReady;
    }
    // A signal or a slice of the wait ended it: look for a stop, then wait on.
    if (clock_.MonotonicMs() >= deadline) return Wait::kTimedOut;
  }
}

bool Channels::Waited(Wait wait) {
  if (wait == Wait::kReady) return true;
  Fail(wait == Wait::kStopped ? kErrInterrupted : kErrTimeout);
  return false;
}

Channels::Channel* Channels::Find(int channel) {
  auto it = open_.find(channel);
  return it == open_.end() ? nullptr : it->second.get();
}

const Channels::Channel* Channels::Find(int channel) const {
  auto it = open_.find(channel);
  return it == open_.end() ? nullptr : it->second.get();
}

Channels::Channel* Channels::Lookup(int channel) {
  Channel* ch = Find(channel);
  if (!ch) Fail(pool_.InUse(channel) ? kErrNotTcp : kErrNoChannel);
  return ch;
}

bool Channels::Open(int channel, const std::string& host, int port, int timeout_ms) {
  if (channel < 1) {
    Fail(kErrNoChannel);
    return false;
  }
  if (open_.count(channel) || pool_.InUse(channel)) {
    Fail(kErrAlreadyOpen);
    return false;
  }
  error_.text.clear();
  if (port < 0 || port > 65535) {
    Fail(kErrSocket, "Invalid port");
    return false;
  }
  LastResolveFailure().clear();
  bool stopped = false;
  const std::vector<std::string> addresses =
      ResolveUnlessStopped(resolver_, host, stop_pending_, kStopCheckMs, &stopped);
  if (stopped) {
    Fail(kErrInterrupted);
    return false;
  }
  if (addresses.empty()) {
    Fail(kErrSocket,
         LastResolveFailure().empty() ? "Name or service not known" : LastResolveFailure());
    return false;
  }
  // The buffer is only read where a receive has filled it: it need not be cleared first.
  auto ch = std::make_unique_for_overwrite<Channel>();
  SystemError failure{SystemError::Facility::kChannel, kErrSocket, ""};
  ch->connection =
      transport_.Connect(addresses, port, &failure, stop_pending_, timeout_ms > 0 ? timeout_ms : -1);
  if (!ch->connection) {
    Fail(failure.number, failure.text);
    return false;
  }
  ch->timeout_ms = timeout_ms;
  pool_.Claim(channel);
  open_[channel] = std::move(ch);
  return true;
}

void Channels::Send(int channel, std::string_view text) {
  Channel* ch = Lookup(channel);
  if (!ch) return;
  while (!text.empty()) {
    // Most sends find room at once; the wait is only for a full send buffer.
    const int64_t sent = ch->connection->SendSome(text);
    if (sent < 0) {
      Fail(kErrSocket);
      return;
    }
    text.remove_prefix(static_cast<size_t>(sent));
    if (sent == 0 && !Waited(WaitFor(*ch->connection, true, ch->timeout_ms))) return;
  }
}

Channels::Wait Channels::WaitReadable(Channel& ch, int timeout_ms) {
  if (ch.peer_closed) return Wait::kReady;
  return WaitFor(*ch.connection, false, timeout_ms);
}

// One receive into the empty buffer. False when nothing came: when the wait did not end ready
// (`*wait` tells why) or when the peer has closed or failed (error 57 for a failure only).
bool Channels::Fill(Channel& ch, int timeout_ms, Wait* wait) {
  ch.begin = ch.end = 0;
  if (ch.peer_closed) return false;
  int64_t got = ch.connection->ReceiveSome(ch.buffer, kChannelBufferSize);
  while (got == Connection::kNothingYet) {
    *wait = WaitReadable(ch, timeout_ms);
    if (*wait != Wait::kReady) return false;
    got = ch.connection->ReceiveSome(ch.buffer, kChannelBufferSize);
  }
  if (!NoteReceived(ch, got, kChannelBufferSize)) return false;
  ch.end = static_cast<size_t>(got);
  return true;
}

// Takes note of what one receive of at most `asked` bytes gave; false when it gave nothing.
bool Channels::NoteReceived(Channel& ch, int64_t got, size_t asked) {
  if (got <= 0) {
    if (got == Connection::kFailed) Fail(kErrSocket);
    ch.peer_closed = true;
    ch.last_receive_short = true;
    return false;
  }
  ch.last_receive_short = static_cast<size_t>(got) < asked;
  return true;
}

std::string Channels::ReadLine(int channel) { return ReadLine(channel, TimeoutOf(channel)); }

std::string Channels::ReadLine(int channel, int timeout_ms) {
  std::string line;
  Channel* ch = Lookup(channel);
  if (!ch) return line;
  ch->end_of_data = false;
  size_t taken = 0;
  Wait wait = Wait::kReady;
  while (taken < kChannelBufferSize) {
    // Each wait for more of the line is bounded by the time-out, not the line as a whole.
    if (ch->buffered() == 0 && !Fill(*ch, timeout_ms, &wait)) break;
    const char* start = ch->buffer + ch->begin;
    const size_t span = std::min(ch->buffered(), kChannelBufferSize - taken);
    const void* lf = std::memchr(start, '\n', span);
    const size_t used = lf ? static_cast<size_t>(static_cast<const char*>(lf) - start) + 1 : span;
    MakeRoom(line, used);
    AppendWithoutCRs(line, std::string_view(start, lf ? used - 1 : used));
    ch->begin += used;
    taken += used;
    if (lf) break;
  }
  if (wait != Wait::kReady) {
    // Only a read that got nothing of its line counts as failed; a time-out never means the end.
    if (line.empty()) Waited(wait);
    return line;
  }
  ch->NoteEndOfData();
  return line;
}

size_t Channels::Receive(int channel, char* buffer, size_t max) {
  Channel* ch = Lookup(channel);
  if (!ch || max == 0) return 0;
  ch->end_of_data = false;
  if (ch->buffered() > 0) {
    const size_t n = std::min(ch->buffered(), max);
    std::memcpy(buffer, ch->buffer + ch->begin, n);
    ch->begin += n;
    ch->NoteEndOfData();
    return n;
  }
  if (ch->peer_closed) {
    ch->NoteEndOfData();
    return 0;
  }
  // The hot path: one receive straight into the caller's block. During a transfer the data is
  // usually there already, so the wait comes only when the receive finds nothing.
  int64_t got = ch->connection->ReceiveSome(buffer, max);
  while (got == Connection::kNothingYet) {
    if (!Waited(WaitReadable(*ch, ch->timeout_ms))) return 0;
    got = ch->connection->ReceiveSome(buffer, max);
  }
  const bool received = NoteReceived(*ch, got, max);
  ch->NoteEndOfData();
  return received ? static_cast<size_t>(got) : 0;
}

bool Channels::EndOfData(int channel) const {
  const Channel* ch = Find(channel);
  return !ch || ch->end_of_data;
}

int Channels::TimeoutOf(int channel) const {
  const Channel* ch = Find(channel);
  return ch ? ch->timeout_ms : 0;
}

bool Channels::PeerClosed(int channel) const {
  const Channel* ch = Find(channel);
  return ch && ch->peer_closed && ch->buffered() == 0;
}

bool Channels::HasInput(int channel) {
  Channel* ch = Find(channel);
  if (!ch) return false;
  if (ch->buffered() > 0 || ch->peer_closed) return true;
  if (ch->connection->Pending() == 0 && !ch->connection->Wait(false, 0)) return false;
  // Something can be read, which need not be data: a TLS session ticket, say, is taken by the
  // TLS layer and leaves nothing. What does come stays in the buffer for the next read.
  ch->begin = ch->end = 0;
  const int64_t got = ch->connection->ReceiveSome(ch->buffer, kChannelBufferSize);
  if (got == Connection::kNothingYet) return false;
  if (NoteReceived(*ch, got, kChannelBufferSize)) ch->end = static_cast<size_t>(got);
  return true;
}

void Channels::Close(int channel) {
  if (!Lookup(channel)) return;
  open_.erase(channel);
  pool_.Release(channel);
}

// Wraps the channel's connection in TLS and runs the handshake, each wait bounded by the
// channel's time-out. A channel already wrapped goes on with the handshake a stop cut short.
bool Channels::Secure(Channel& ch, const std::string& server_name,
                      std::shared_ptr<TlsSessions> family) {
  tls_failure_ = {};
  if (!ch.tls) {
    auto tls =
        std::make_unique<TlsConnection>(std::move(ch.connection), server_name, std::move(family));
    ch.tls = tls.get();
    ch.connection = std::move(tls);
    // Bytes read ahead of the switch were sent in clear text and belong to no TLS record.
    ch.begin = ch.end = 0;
  }
  for (;;) {
    const TlsConnection::Step step = ch.tls->Handshake();
    if (step == TlsConnection::Step::kDone) return true;
    if (step == TlsConnection::Step::kFailed) {
      tls_failure_ = ch.tls->Failure();
      Fail(kErrTls);
      ch.peer_closed = true;
      return false;
    }
    const bool for_sending = step == TlsConnection::Step::kWantWrite;
    if (!Waited(WaitFor(*ch.connection, for_sending, ch.timeout_ms))) {
      const bool timed_out = error_.number == kErrTimeout;
      tls_failure_ = {false,
                      timed_out ? "time-out during the handshake" : "stopped during the handshake"};
      // After a stop the handshake can go on where it was; after a time-out it is over.
      if (timed_out) ch.peer_closed = true;
      return false;
    }
  }
}

bool Channels::StartTls(int channel, const std::string& server_name) {
  Channel* ch = Lookup(channel);
  return ch && Secure(*ch, server_name, nullptr);
}

bool Channels::ResumeTls(int data, int control) {
  Channel* ch = Lookup(data);
  const Channel* owner = Lookup(control);
  if (!ch || !owner) return false;
  if (!owner->tls) {
    Fail(kErrTls);
    tls_failure_ = {false, "the control connection is not encrypted"};
    return false;
  }
  return Secure(*ch, owner->tls->server_name(), owner->tls->family());
}

std::string Channels::TlsDescription(int channel) const {
  const Channel* ch = Find(channel);
  return ch && ch->tls ? ch->tls->Description() : std::string();
}

bool Channels::IsTls(int channel) const {
  const Channel* ch = Find(channel);
  return ch && ch->tls;
}

std::string Channels::PeerAddress(int channel) const {
  const Channel* ch = Find(channel);
  return ch ? ch->connection->PeerAddress() : std::string();
}

}  // namespace koru
