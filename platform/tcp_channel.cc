#include "platform/tcp_channel.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace koru {

struct Channels::Channel {
  int fd = -1;
  int timeout_ms = 0;
  std::string peer;
  char buffer[kChannelBufferSize];
  size_t begin = 0;  // unread bytes are buffer[begin, end)
  size_t end = 0;
  bool last_receive_short = false;
  bool peer_closed = false;
  bool end_of_data = false;  // as left by the latest read

  // After a read: the buffer is used up and its receive was short, or the peer has gone.
  void NoteEndOfData() { end_of_data = peer_closed || (buffered() == 0 && last_receive_short); }

  size_t buffered() const { return end - begin; }
  ~Channel() {
    if (fd >= 0) ::close(fd);
  }
};

namespace {

using SteadyClock = std::chrono::steady_clock;

int RemainingMs(SteadyClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// How often a long wait looks whether the user has asked to stop.
constexpr int kStopCheckMs = 100;

bool ResolveIPv4(const std::string& host, in_addr* address) {
  if (inet_pton(AF_INET, host.c_str(), address) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
    return false;
  }
  *address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

int SocketErrorNumber(int errno_value) {
  return errno_value == EINPROGRESS ? kErrInProgress : kErrSocket;
}

// A blocking connect; 0 or the errno of the failure. A signal does not cut the connect short:
// the connection goes on in the background and is waited for without a time-out of its own.
int Connect(int fd, const sockaddr_in& peer) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) return 0;
  if (errno != EINTR) return errno;
  pollfd p{fd, POLLOUT, 0};
  while (::poll(&p, 1, -1) < 0) {
    if (errno != EINTR) return errno;
  }
  int failure = 0;
  socklen_t size = sizeof failure;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &size) != 0) return errno;
  return failure;
}

}  // namespace

Channels::Channels(HandlePool& pool) : pool_(pool) {}

Channels::Wait Channels::WaitFor(int fd, short events, int timeout_ms) const {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (stop_pending_ && stop_pending_()) return Wait::kStopped;
    const int left = RemainingMs(deadline);
    pollfd p{fd, events, 0};
    const int ready = ::poll(&p, 1, stop_pending_ ? std::min(left, kStopCheckMs) : left);
    if (ready > 0) return Wait::kReady;
    if (ready == 0 && RemainingMs(deadline) == 0) return Wait::kTimedOut;
    // A signal or a slice of the wait ended: look for a stop, then wait on. Any other failure
    // is left for the following call to report.
    if (ready < 0 && errno != EINTR) return Wait::kReady;
  }
}

bool Channels::Waited(Wait wait) {
  if (wait == Wait::kReady) return true;
  error_ = wait == Wait::kStopped ? kErrInterrupted : kErrTimeout;
  return false;
}

Channels::~Channels() {
  for (auto& [number, channel] : open_) pool_.Release(number);
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
  if (!ch) error_ = pool_.InUse(channel) ? kErrNotTcp : kErrNoChannel;
  return ch;
}

bool Channels::Open(int channel, const std::string& host, int port, int timeout_ms) {
  if (channel < 1) {
    error_ = kErrNoChannel;
    return false;
  }
  if (open_.count(channel) || pool_.InUse(channel)) {
    error_ = kErrAlreadyOpen;
    return false;
  }
  in_addr address{};
  if (port < 0 || port > 65535 || !ResolveIPv4(host, &address)) {
    error_ = kErrSocket;
    return false;
  }
  auto ch = std::make_unique<Channel>();
  ch->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (ch->fd < 0) {
    error_ = SocketErrorNumber(errno);
    return false;
  }
  const linger no_linger{0, 0};
  setsockopt(ch->fd, SOL_SOCKET, SO_LINGER, &no_linger, sizeof no_linger);
  const int on = 1;
  setsockopt(ch->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port));
  peer.sin_addr = address;
  if (const int failure = Connect(ch->fd, peer); failure != 0) {
    error_ = SocketErrorNumber(failure);
    return false;
  }
  char dotted[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, dotted, sizeof dotted);
  ch->peer = dotted;
  ch->timeout_ms = timeout_ms;
  pool_.Claim(channel);
  open_[channel] = std::move(ch);
  return true;
}

void Channels::Send(int channel, std::string_view text) {
  Channel* ch = Lookup(channel);
  if (!ch) return;
  while (!text.empty()) {
    // Most sends find room at once; the wait is only for a full socket buffer.
    const ssize_t sent = ::send(ch->fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) {
      text.remove_prefix(static_cast<size_t>(sent));
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!Waited(WaitFor(ch->fd, POLLOUT, ch->timeout_ms))) return;
    } else if (errno != EINTR) {
      error_ = kErrSocket;
      return;
    }
  }
}

Channels::Wait Channels::WaitReadable(Channel& ch, int timeout_ms) {
  if (ch.peer_closed) return Wait::kReady;
  return WaitFor(ch.fd, POLLIN, timeout_ms);
}

// One network receive into the empty buffer. False when nothing came: when the wait did not
// end ready (`*wait` tells why) or when the peer has closed or failed (error 57 for a failure
// only).
bool Channels::Fill(Channel& ch, int timeout_ms, Wait* wait) {
  ch.begin = ch.end = 0;
  if (ch.peer_closed) return false;
  *wait = WaitReadable(ch, timeout_ms);
  if (*wait != Wait::kReady) return false;
  ssize_t got;
  do {
    got = ::recv(ch.fd, ch.buffer, kChannelBufferSize, 0);
  } while (got < 0 && errno == EINTR);
  if (!NoteReceived(ch, got, kChannelBufferSize)) return false;
  ch.end = static_cast<size_t>(got);
  return true;
}

// Takes note of what one recv() of at most `asked` bytes gave; false when it gave nothing.
bool Channels::NoteReceived(Channel& ch, ssize_t got, size_t asked) {
  if (got <= 0) {
    if (got < 0) error_ = kErrSocket;
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
    for (size_t i = 0; i < used; ++i) {
      if (start[i] != '\r' && start[i] != '\n') line += start[i];
    }
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
  ssize_t got = ::recv(ch->fd, buffer, max, MSG_DONTWAIT);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    if (!Waited(WaitReadable(*ch, ch->timeout_ms))) return 0;
    do {
      got = ::recv(ch->fd, buffer, max, 0);
    } while (got < 0 && errno == EINTR);
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

void Channels::Close(int channel) {
  if (!Lookup(channel)) return;
  open_.erase(channel);
  pool_.Release(channel);
}

std::string Channels::PeerAddress(int channel) const {
  const Channel* ch = Find(channel);
  return ch ? ch->peer : std::string();
}

}  // namespace koru
