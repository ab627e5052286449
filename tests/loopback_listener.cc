#include "tests/loopback_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace koru::testing {
namespace {

// Whether a non-blocking connect on `fd` completes within `ms`.
bool Completes(int fd, int ms) {
  pollfd p{fd, POLLOUT, 0};
  return ::poll(&p, 1, ms) > 0;
}

}  // namespace

sockaddr_storage LoopbackAddress(bool ipv6, int port, socklen_t* size) {
  sockaddr_storage address{};
  if (ipv6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    v6->sin6_family = AF_INET6;
    v6->sin6_addr = in6addr_loopback;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    *size = sizeof *v6;
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    v4->sin_port = htons(static_cast<uint16_t>(port));
    *size = sizeof *v4;
  }
  return address;
}

LoopbackListener::LoopbackListener(bool ipv6, int port) {
  const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  const int on = 1;
  if (ipv6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  socklen_t size = 0;
  sockaddr_storage address = LoopbackAddress(ipv6, port, &size);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(fd, 0) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    ::close(fd);
    return;
  }
  fd_ = fd;
  port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

LoopbackListener::~LoopbackListener() {
  for (const int fd : queued_) ::close(fd);
  if (fd_ >= 0) ::close(fd_);
}

bool LoopbackListener::NeverAnswer() {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return false;
  }
  // With a backlog of 0 the queue holds one or two connections; the next one hangs. On a busy
  // machine a connect may simply be slow, so the queue counts as full only when two connects in
  // a row hang.
  int hanging = 0;
  for (int i = 0; i < 10; ++i) {
    const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    queued_.push_back(fd);
    const int result = ::connect(fd, reinterpret_cast<sockaddr*>(&address), size);
    hanging = result != 0 && !Completes(fd, 200) ? hanging + 1 : 0;
    if (hanging == 2) return true;
  }
  return false;
}

}  // namespace koru::testing
