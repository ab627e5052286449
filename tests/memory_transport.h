#ifndef KORU_TESTS_MEMORY_TRANSPORT_H_
#define KORU_TESTS_MEMORY_TRANSPORT_H_

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/transport.h"
#include "tests/fakes.h"

// Connections without sockets, for protocol tests that need no real peer: each connection
// plays a script of what the peer sends, silences and the end, and keeps what the client sent.
// A silence passes on the fake clock in no time, so time-outs are exact and cost nothing:
//
//   MemoryTransport transport(clock);
//   transport.Expect().Send("220-Wel").Silence(50).Send("come\r\n220 Ready\r\n").Close();
//   Env env(console, clock, transport);
namespace koru::testing {

class MemoryPeer {
 public:
  // Bytes that arrive together: one receive takes at most these.
  MemoryPeer& Send(std::string bytes);
  // Nothing arrives for `ms` milliseconds.
  MemoryPeer& Silence(int ms);
  // The peer closes; every receive after the bytes before it finds the end.
  MemoryPeer& Close();
  // What the client has sent so far.
  const std::string& received() const { return received_; }

 private:
  friend class MemoryConnection;
  struct Event {
    enum class Kind { kBytes, kSilence, kEnd } kind;
    std::string bytes;
    int ms = 0;
  };
  std::deque<Event> events_;  // after the script: silence for ever
  std::string received_;
};

class MemoryTransport : public Transport {
 public:
  // Over scripted connections only the scripted silences make time pass, so every wait is
  // measured exactly: the clock stops following real time.
  explicit MemoryTransport(FakeClock& clock) : clock_(clock) { clock.follows_real_time = false; }

  // The peer of the next connection the client opens, to be scripted.
  MemoryPeer& Expect();
  // The peers in the order they were expected.
  MemoryPeer& peer(size_t index) { return *peers_.at(index); }

  // Plays the next expected peer; fails with error 57 (connection refused) when none is left.
  std::unique_ptr<Connection> Connect(const std::vector<std::string>& addresses, int port,
                                      SystemError* failure,
                                      const std::function<bool()>& stop_pending,
                                      int timeout_ms) override;

 private:
  FakeClock& clock_;
  std::vector<std::unique_ptr<MemoryPeer>> peers_;
  size_t connected_ = 0;
};

}  // namespace koru::testing

#endif  // KORU_TESTS_MEMORY_TRANSPORT_H_
