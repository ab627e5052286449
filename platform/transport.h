#ifndef KORU_PLATFORM_TRANSPORT_H_
#define KORU_PLATFORM_TRANSPORT_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system_error.h"

// The byte streams the numbered channels run over. The program uses TCP (TcpTransport); tests
// put a scripted stream in its place, and an encrypted stream can wrap one.
namespace koru {

// One open, connected byte stream. Nothing here waits except Wait(); destroying it closes it.
class Connection {
 public:
  // ReceiveSome() results besides a count of bytes.
  static constexpr int64_t kClosed = 0;      // the peer has closed the stream
  static constexpr int64_t kNothingYet = -1; // nothing has arrived yet
  static constexpr int64_t kFailed = -2;     // the stream has failed

  virtual ~Connection() = default;

  // Hands over what fits now of `bytes`: the number taken (0 when there is no room yet), or -1
  // when the stream has failed.
  virtual int64_t SendSome(std::string_view bytes) = 0;
  // Takes what has arrived, at most `max` bytes: their number, or one of the results above.
  virtual int64_t ReceiveSome(char* buffer, size_t max) = 0;
  // Waits at most `timeout_ms` until a receive would find something (data, or the end), or
  // with `for_sending` until there is room to send. False when the time ran out first or a
  // signal cut the wait short.
  virtual bool Wait(bool for_sending, int timeout_ms) = 0;
  // Bytes the stream has received and holds itself, ready without waiting (the rest of a
  // record of an encrypted stream); 0 for a plain one.
  virtual size_t Pending() const { return 0; }
  // Sends no more (the peer reads the end); receiving goes on.
  virtual void ShutDown() = 0;
  // The numeric address of the peer (IPv4 dotted, or IPv6 with ":"s).
  virtual std::string PeerAddress() const = 0;
};

// One transport serves every connection of a run, from several threads at once: it keeps
// nothing of a single call; what a connect found travels in its result.
class Transport {
 public:
  virtual ~Transport() = default;
  // Connects to `port` at one of `addresses` (numeric, IPv6 or IPv4, in the order to try
  // them): the first to accept. Null when none does, with `*failure` set to the channel
  // facility's number and the system's text ("Connection refused"; empty when it has none)
  // for the latest failure of this call, to kErrInterrupted when `stop_pending` (when given)
  // said the user asked to stop before any connected, or to kErrTimeout when none connected
  // within `timeout_ms` (-1: as long as the system lets a connect wait).
  virtual std::unique_ptr<Connection> Connect(const std::vector<std::string>& addresses, int port,
                                              SystemError* failure,
                                              const std::function<bool()>& stop_pending = {},
                                              int timeout_ms = -1) = 0;
};

// Every address of `host`, IPv6 and IPv4, numeric, in the resolver's order (a numeric address
// stands for itself). Empty when the name does not resolve.
std::vector<std::string> ResolveHost(const std::string& host);
// The resolver's text for this thread's latest ResolveHost() that found nothing (each thread
// has its own).
std::string& LastResolveFailure();

// TCP over POSIX sockets. Several addresses race as RaceConnects() has them race (250 ms head
// start each); the sockets that lose are closed.
class TcpTransport : public Transport {
 public:
  std::unique_ptr<Connection> Connect(const std::vector<std::string>& addresses, int port,
                                      SystemError* failure,
                                      const std::function<bool()>& stop_pending = {},
                                      int timeout_ms = -1) override;
};

}  // namespace koru

#endif  // KORU_PLATFORM_TRANSPORT_H_
