#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/channels.h"
#include "platform/transport.h"

namespace koru {
namespace {

int SocketErrorNumber(int errno_value) {
  return errno_value == EINPROGRESS ? kErrInProgress : kErrSocket;
}

// A blocking connect; 0 or the errno of the failure. A signal does not cut the connect short:
// the connection goes on in the background and is waited for without a time-out of its own.
int ConnectSocket(int fd, const sockaddr_in& peer) {
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

class TcpConnection : public Connection {
 public:
  TcpConnection(int fd, std::string peer) : fd_(fd), peer_(std::move(peer)) {}
  ~TcpConnection() override { ::close(fd_); }
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  int64_t SendSome(std::string_view bytes) override {
    for (;;) {
      const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent >= 0) return sent;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      if (errno != EINTR) return -1;
    }
  }

  int64_t ReceiveSome(char* buffer, size_t max) override {
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
};

// A connected socket to `address`:`port`, or -1 with `*error` set.
int ConnectTo(const std::string& address, int port, int* error) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) {
    *error = kErrSocket;
    return -1;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = SocketErrorNumber(errno);
    return -1;
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (const int failure = ConnectSocket(fd, peer); failure != 0) {
    *error = SocketErrorNumber(failure);
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::vector<std::string> ResolveHost(const std::string& host) {
  in_addr numeric{};
  if (inet_pton(AF_INET, host.c_str(), &numeric) == 1) return {host};
  std::vector<std::string> addresses;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return addresses;
  for (const addrinfo* a = found; a; a = a->ai_next) {
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr, dotted,
              sizeof dotted);
    if (std::find(addresses.begin(), addresses.end(), dotted) == addresses.end()) {
      addresses.emplace_back(dotted);
    }
  }
  freeaddrinfo(found);
  return addresses;
}

std::unique_ptr<Connection> TcpTransport::Connect(const std::vector<std::string>& addresses,
                                                  int port, int* error) {
  *error = kErrSocket;
  for (const std::string& address : addresses) {
    const int fd = ConnectTo(address, port, error);
    if (fd >= 0) return std::make_unique<TcpConnection>(fd, address);
  }
  return nullptr;
}

}  // namespace koru
