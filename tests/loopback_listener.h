#ifndef KORU_TESTS_LOOPBACK_LISTENER_H_
#define KORU_TESTS_LOOPBACK_LISTENER_H_

#include <sys/socket.h>

#include <vector>

// Listening sockets on ::1 or 127.0.0.1 that a test makes answer, refuse, or never answer,
// for the ways a client's connect can go. Closed when the object goes.
namespace koru::testing {

// The loopback address of IPv6 (::1) or IPv4 (127.0.0.1) at `port`; its size in `*size`.
sockaddr_storage LoopbackAddress(bool ipv6, int port, socklen_t* size);

class LoopbackListener {
 public:
  // Listens on ::1 (`ipv6`) or 127.0.0.1 at `port` (0: any free one). valid() tells whether it
  // could.
  LoopbackListener(bool ipv6, int port);
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  bool valid() const { return fd_ >= 0; }
  int port() const { return port_; }

  // Fills the queue of connections waiting to be accepted and never accepts: the connect of
  // anyone else gets no answer at all (its SYN is dropped), as at an address nobody answers.
  // False when the queue did not fill.
  bool NeverAnswer();

 private:
  int fd_ = -1;
  int port_ = 0;
  std::vector<int> queued_;  // the connections that fill the queue
};

}  // namespace koru::testing

#endif  // KORU_TESTS_LOOPBACK_LISTENER_H_
