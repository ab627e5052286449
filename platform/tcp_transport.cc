#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/channels.h"
#include "platform/clock.h"
#include "platform/connect_race.h"
#include "platform/local_file.h"
#include "platform/transport.h"

namespace koru {
namespace {

int SocketErrorNumber(int errno_value) {
  return errno_value == EINPROGRESS ? kErrInProgress : kErrSocket;
}

class TcpConnection : public Connection {
 public:
  // `reset`: the peer reset the connection as soon as it was made; the first send or receive
  // fails, as it does after a blocking connect.
  TcpConnection(int fd, std::string peer, bool reset)
      : fd_(fd), peer_(std::move(peer)), reset_(reset) {}
  ~TcpConnection() override { ::close(fd_); }
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  int64_t SendSome(std::string_view bytes) override {
    if (std::exchange(reset_, false)) return -1;
    for (;;) {
      const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent >= 0) return sent;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      if (errno != EINTR) return -1;
    }
  }

  int64_t ReceiveSome(char* buffer, size_t max) override {
    if (std::exchange(reset_, false)) return kFailed;
    for (;;) {
      const ssize_t got = ::recv(fd_, buffer, max, MSG_DONTWAIT);
      if (got >= 0) return got;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return kNothingYet;
      if (errno != EINTR) return kFailed;
    }
  }

  bool Wait(bool for_sending, int timeout_ms) override {
    pollfd p{fd_, static_cast<short>(for_sending ? POLLOUT : POLLIN), 0};
    const int ready = ::poll(&p, 1, timeout_ms);
    // Any failure other than a signal is left for the following call to report.
    return ready > 0 || (ready < 0 && errno != EINTR);
  }

  void ShutDown() override { ::shutdown(fd_, SHUT_WR); }
  std::string PeerAddress() const override { return peer_; }

 private:
  int fd_;
  std::string peer_;
  bool reset_;
};

// The socket address of the numeric `address` (IPv4, or IPv6 with its scope) and `port`.
bool NumericPeer(const std::string& address, int port, sockaddr_storage* peer, socklen_t* size) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    return false;
  }
  std::memcpy(peer, found->ai_addr, found->ai_addrlen);
  *size = found->ai_addrlen;
  freeaddrinfo(found);
  return true;
}

// Whether `failure`, the errno a connect ended with, is a reset: unlike a refusal it comes from
// a peer that accepted the connection and reset it at once, so the connection was made.
bool WasReset(int failure) { return failure == ECONNRESET || failure == EPIPE; }

// One non-blocking socket per address; closes every one that is not taken.
class SocketAttempts : public ConnectAttempts {
 public:
  SocketAttempts(const std::vector<std::string>& addresses, int port)
      : addresses_(addresses),
        port_(port),
        fds_(addresses.size(), -1),
        reset_(addresses.size(), false) {}
  ~SocketAttempts() override {
    for (const int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  SocketAttempts(const SocketAttempts&) = delete;
  SocketAttempts& operator=(const SocketAttempts&) = delete;

  Outcome Start(size_t index) override {
    sockaddr_storage peer{};
    socklen_t size = 0;
    if (!NumericPeer(addresses_[index], port_, &peer, &size)) return Failed(kErrSocket);
    const int fd = ::socket(peer.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return Failed(SocketErrorNumber(errno), errno);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    fds_[index] = fd;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), size) == 0) {
      return Outcome::kConnected;
    }
    // A signal does not stop a non-blocking connect: it goes on in the background.
    if (errno == EINPROGRESS || errno == EINTR) return Outcome::kPending;
    return Drop(index, errno);
  }

  int WaitAny(int timeout_ms, Outcome* outcome) override {
    std::vector<pollfd> polls;
    std::vector<size_t> indexes;
    for (size_t i = 0; i < fds_.size(); ++i) {
      if (fds_[i] < 0) continue;
      polls.push_back({fds_[i], POLLOUT, 0});
      indexes.push_back(i);
    }
    if (::poll(polls.data(), polls.size(), timeout_ms) <= 0) return -1;
    for (size_t p = 0; p < polls.size(); ++p) {
      if (polls[p].revents == 0) continue;
      int failure = 0;
      socklen_t size = sizeof failure;
      if (getsockopt(polls[p].fd, SOL_SOCKET, SO_ERROR, &failure, &size) != 0) failure = errno;
      reset_[indexes[p]] = WasReset(failure);
      const bool connected = failure == 0 || reset_[indexes[p]];
      *outcome = connected ? Outcome::kConnected : Drop(indexes[p], failure);
      return static_cast<int>(indexes[p]);
    }
    return -1;
  }

  // Whether the peer of attempt `index` reset the connection as soon as it was made.
  bool reset(size_t index) const { return reset_[index]; }

  // The socket of attempt `index`, blocking again, for the caller to own.
  int Take(size_t index) {
    const int fd = std::exchange(fds_[index], -1);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
  }

  // The error number of the latest failure, and the system's text for it.
  int error() const { return error_; }
  const std::string& error_text() const { return error_text_; }

 private:
  Outcome Failed(int error, int errno_value = 0) {
    error_ = error;
    if (errno_value != 0) error_text_ = SystemErrorText(errno_value);
    return Outcome::kFailed;
  }
  Outcome Drop(size_t index, int errno_value) {
    ::close(std::exchange(fds_[index], -1));
    return Failed(SocketErrorNumber(errno_value), errno_value);
  }

  const std::vector<std::string>& addresses_;
  const int port_;
  std::vector<int> fds_;  // -1: not started, failed or taken
  std::vector<bool> reset_;
  int error_ = kErrSocket;
  std::string error_text_;
};

PosixClock& RaceClock() {
  static PosixClock clock;
  return clock;
}

}  // namespace

std::string& LastResolveFailure() {
  thread_local std::string text;
  return text;
}

std::vector<std::string> ResolveHost(const std::string& host) {
  std::vector<std::string> addresses;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int failure = host.empty() ? EAI_NONAME : getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (failure != 0) {
    LastResolveFailure() = gai_strerror(failure);
    return addresses;
  }
  for (const addrinfo* a = found; a; a = a->ai_next) {
    char numeric[NI_MAXHOST] = {};
    if (getnameinfo(a->ai_addr, a->ai_addrlen, numeric, sizeof numeric, nullptr, 0,
                    NI_NUMERICHOST) != 0) {
      continue;
    }
    if (std::find(addresses.begin(), addresses.end(), numeric) == addresses.end()) {
      addresses.emplace_back(numeric);
    }
  }
  freeaddrinfo(found);
  return addresses;
}

std::unique_ptr<Connection> TcpTransport::Connect(const std::vector<std::string>& addresses,
                                                  int port, SystemError* failure,
                                                  const std::function<bool()>& stop_pending,
                                                  int timeout_ms) {
  SocketAttempts attempts(addresses, port);
  const int winner = RaceConnects(attempts, addresses.size(), RaceClock(), stop_pending,
                                  kConnectHeadStartMs, timeout_ms);
  switch (winner) {
    case kRaceStopped:
      *failure = {SystemError::Facility::kChannel, kErrInterrupted, ""};
      return nullptr;
    case kRaceTimedOut:
      *failure = {SystemError::Facility::kChannel, kErrTimeout, SystemErrorText(ETIMEDOUT)};
      return nullptr;
    case kRaceLost:
      *failure = {SystemError::Facility::kChannel, attempts.error(), attempts.error_text()};
      return nullptr;
    default:
      break;
  }
  const size_t index = static_cast<size_t>(winner);
  const bool reset = attempts.reset(index);
  return std::make_unique<TcpConnection>(attempts.Take(index), addresses[index], reset);
}

}  // namespace koru
