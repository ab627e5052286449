#include "platform/tcp_channel.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

// Waits for `events` on `fd` until `timeout_ms` has passed; signals do not cut the wait short.
bool WaitFor(int fd, short events, int timeout_ms) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    pollfd p{fd, events, 0};
    const int ready = ::poll(&p, 1, RemainingMs(deadline));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return true;  // let the following call report the failure
  }
}

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

}  // namespace

Channels::Channels(HandlePool& pool) : pool_(pool) {}

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

bool Channels::Open(int channel, const std::string& host, int port, int timeout_ms) {
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
  int result;
  do {
    result = ::connect(ch->fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    error_ = SocketErrorNumber(errno);
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
  Channel* ch = Find(channel);
  if (!ch) {
    error_ = kErrNoChannel;
    return;
  }
  while (!text.empty()) {
    if (!WaitFor(ch->fd, POLLOUT, ch->timeout_ms)) {
      error_ = kErrTimeout;
      return;
    }
    const ssize_t sent = ::send(ch->fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      error_ = kErrSocket;
      return;
    }
    text.remove_prefix(static_cast<size_t>(sent));
  }
}

bool Channels::WaitReadable(Channel& ch, int timeout_ms) {
  if (ch.peer_closed) return true;
  return WaitFor(ch.fd, POLLIN, timeout_ms);
}

// One network receive into the empty buffer. False on time-out (error 24) or when the peer has
// closed or failed (no error for a close).
bool Channels::Fill(Channel& ch, int timeout_ms) {
  ch.begin = ch.end = 0;
  if (ch.peer_closed) return false;
  if (!WaitReadable(ch, timeout_ms)) {
    error_ = kErrTimeout;
    return false;
  }
  ssize_t got;
  do {
    got = ::recv(ch.fd, ch.buffer, kChannelBufferSize, 0);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) {
    if (got < 0) error_ = kErrSocket;
    ch.peer_closed = true;
    ch.last_receive_short = true;
    return false;
  }
  ch.end = static_cast<size_t>(got);
  ch.last_receive_short = ch.end < kChannelBufferSize;
  return true;
}

std::string Channels::ReadLine(int channel) {
  const Channel* ch = Find(channel);
  return ReadLine(channel, ch ? ch->timeout_ms : 0);
}

std::string Channels::ReadLine(int channel, int timeout_ms) {
  Channel* ch = Find(channel);
  std::string line;
  if (!ch) {
    error_ = kErrNoChannel;
    return line;
  }
  size_t taken = 0;
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
  while (taken < kChannelBufferSize) {
    if (ch->buffered() == 0) {
      if (!Fill(*ch, RemainingMs(deadline))) break;
    }
    const char* start = ch->buffer + ch->begin;
    const size_t room = kChannelBufferSize - taken;
    const size_t span = ch->buffered() < room ? ch->buffered() : room;
    const void* lf = std::memchr(start, '\n', span);
    const size_t used = lf ? static_cast<size_t>(static_cast<const char*>(lf) - start) + 1 : span;
    for (size_t i = 0; i < used; ++i) {
      if (start[i] != '\r' && start[i] != '\n') line += start[i];
    }
    ch->begin += used;
    taken += used;
    if (lf) break;
  }
  if (!line.empty() && error_ == kErrTimeout) error_ = 0;
  return line;
}

size_t Channels::Receive(int channel, char* buffer, size_t max) {
  Channel* ch = Find(channel);
  if (!ch) {
    error_ = kErrNoChannel;
    return 0;
  }
  if (max == 0) return 0;
  if (ch->buffered() > 0) {
    const size_t n = ch->buffered() < max ? ch->buffered() : max;
    std::memcpy(buffer, ch->buffer + ch->begin, n);
    ch->begin += n;
    return n;
  }
  if (ch->peer_closed) return 0;
  // The hot path: one receive straight into the caller's block.
  if (!WaitReadable(*ch, ch->timeout_ms)) {
    error_ = kErrTimeout;
    return 0;
  }
  ssize_t got;
  do {
    got = ::recv(ch->fd, buffer, max, 0);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) {
    if (got < 0) error_ = kErrSocket;
    ch->peer_closed = true;
    ch->last_receive_short = true;
    return 0;
  }
  ch->last_receive_short = static_cast<size_t>(got) < max;
  return static_cast<size_t>(got);
}

bool Channels::EndOfData(int channel) const {
  const Channel* ch = Find(channel);
  if (!ch) return true;
  return ch->peer_closed || (ch->buffered() == 0 && ch->last_receive_short);
}

void Channels::Close(int channel) {
  auto it = open_.find(channel);
  if (it == open_.end()) {
    error_ = kErrNoChannel;
    return;
  }
  open_.erase(it);
  pool_.Release(channel);
}

std::string Channels::PeerAddress(int channel) const {
  const Channel* ch = Find(channel);
  return ch ? ch->peer : std::string();
}

}  // namespace koru
