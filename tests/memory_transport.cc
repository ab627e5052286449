#include "tests/memory_transport.h"

#include <algorithm>
#include <cstring>

#include "platform/channels.h"

namespace koru::testing {

MemoryPeer& MemoryPeer::Send(std::string bytes) {
  events_.push_back({Event::Kind::kBytes, std::move(bytes)});
  return *this;
}

MemoryPeer& MemoryPeer::Silence(int ms) {
  events_.push_back({Event::Kind::kSilence, {}, ms});
  return *this;
}

MemoryPeer& MemoryPeer::Close() {
  events_.push_back({Event::Kind::kEnd, {}});
  return *this;
}

class MemoryConnection : public Connection {
 public:
  MemoryConnection(MemoryPeer& peer, FakeClock& clock) : peer_(peer), clock_(clock) {}

  int64_t SendSome(std::string_view bytes) override {
    peer_.received_.append(bytes);
    return static_cast<int64_t>(bytes.size());
  }

  int64_t ReceiveSome(char* buffer, size_t max) override {
    auto& events = peer_.events_;
    if (events.empty() || events.front().kind == MemoryPeer::Event::Kind::kSilence) {
      return kNothingYet;
    }
    if (events.front().kind == MemoryPeer::Event::Kind::kEnd) return kClosed;
    std::string& bytes = events.front().bytes;
    const size_t n = std::min(max, bytes.size());
    std::memcpy(buffer, bytes.data(), n);
    bytes.erase(0, n);
    if (bytes.empty()) events.pop_front();
    return static_cast<int64_t>(n);
  }

  // The silence ahead passes on the clock, as far as the wait allows.
  bool Wait(bool for_sending, int timeout_ms) override {
    if (for_sending) return true;
    auto& events = peer_.events_;
    if (events.empty()) {
      clock_.SkipWait(timeout_ms);
      return false;
    }
    MemoryPeer::Event& next = events.front();
    if (next.kind != MemoryPeer::Event::Kind::kSilence) return true;
    const int passed = std::min(next.ms, timeout_ms);
    clock_.SkipWait(passed);
    next.ms -= passed;
    if (next.ms > 0) return false;
    events.pop_front();
    return !events.empty() && events.front().kind != MemoryPeer::Event::Kind::kSilence;
  }

  void ShutDown() override {}
  std::string PeerAddress() const override { return "127.0.0.1"; }

 private:
  MemoryPeer& peer_;
  FakeClock& clock_;
};

MemoryPeer& MemoryTransport::Expect() {
  peers_.push_back(std::make_unique<MemoryPeer>());
  return *peers_.back();
}

std::unique_ptr<Connection> MemoryTransport::Connect(const std::vector<std::string>&, int,
                                                     SystemError* failure,
                                                     const std::function<bool()>&, int) {
  if (connected_ == peers_.size()) {
    *failure = {SystemError::Facility::kChannel, kErrSocket, ""};
    return nullptr;
  }
  return std::make_unique<MemoryConnection>(*peers_[connected_++], clock_);
}

}  // namespace koru::testing
