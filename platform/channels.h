#ifndef KORU_PLATFORM_CHANNELS_H_
#define KORU_PLATFORM_CHANNELS_H_

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/handle_pool.h"
#include "platform/system_error.h"
#include "platform/tls_connection.h"
#include "platform/transport.h"

namespace koru {

// Error numbers left by the channel facility.
inline constexpr int kErrTimeout = 24;      // time-out waiting to send or receive
inline constexpr int kErrInterrupted = 4;   // the user asked to stop during a wait
inline constexpr int kErrNoChannel = 52;    // the number names no open channel
inline constexpr int kErrNotTcp = 54;       // the number names something that is not a channel
inline constexpr int kErrAlreadyOpen = 55;  // the number is already open
inline constexpr int kErrSocket = 57;       // resolve, socket, connect, send or receive failed
inline constexpr int kErrInProgress = 70;   // a socket call failed with "operation in progress"
inline constexpr int kErrTls = 71;          // the TLS handshake failed

inline constexpr size_t kChannelBufferSize = 65536;

// Channels named by numbers from the shared pool, each over a connection of the transport
// (TCP in the program). Each channel has a time-out fixed at Open that bounds every wait for
// data or for room to send (the connect itself blocks); waits are measured on the clock.
// A failing operation never throws: it leaves an error number (Error()) and returns an
// empty result; an operation on a number that names no open channel leaves 52, or 54 when the
// number is in use for something else (a local file). A successful operation leaves the error
// number as it was. Channels still open are closed when the facility is destroyed.
class Channels {
 public:
  // Over TCP, with waits measured on the system's monotonic clock.
  explicit Channels(HandlePool& pool);
  Channels(HandlePool& pool, Transport& transport, Clock& clock);
  ~Channels();
  Channels(const Channels&) = delete;
  Channels& operator=(const Channels&) = delete;

  // Resolves `host` (a name, or a numeric IPv4 or IPv6 address), connects to `port` at one of
  // its addresses (Transport::Connect) and claims `channel` in the pool. False with the error
  // number set on failure; nothing stays open:
  // 55 when `channel` is in use, 52 when it is below 1, 57 for a port outside 0-65535 or a
  // failed lookup, socket or connect, 70 for a connect reported as in progress.
  bool Open(int channel, const std::string& host, int port, int timeout_ms);

  // Sends every byte of `text`, nothing appended. Each wait for room is bounded by the time-out
  // (error 24); a failed send leaves 57.
  void Send(int channel, std::string_view text);

  // The next line: bytes up to LF (LF consumed, not returned), every CR dropped. A line is also
  // returned once 65,536 bytes (CRs included) have been taken for it. Each wait for more data
  // is bounded by the time-out. Time-out with nothing stored: empty, error 24; time-out after
  // part of a line: that part, no error. Peer closed: what is stored, no error, no wait.
  std::string ReadLine(int channel);
  // The same with a time-out of its own for this read only.
  std::string ReadLine(int channel, int timeout_ms);

  // Up to `max` bytes into `buffer`: buffered bytes first, otherwise the bytes of one network
  // receive. 0 on time-out (error 24) or when the peer has closed and nothing is left.
  size_t Receive(int channel, char* buffer, size_t max);

  // True when the latest read used up the buffer and the receive behind it was short, or the
  // peer has closed. Each read resets it; a read that timed out leaves it false.
  bool EndOfData(int channel) const;

  bool IsOpen(int channel) const { return Find(channel) != nullptr; }

  // The time-out fixed at Open; 0 when `channel` names no open channel.
  int TimeoutOf(int channel) const;

  // True when the peer has closed `channel` (or it failed) and nothing received is left unread.
  bool PeerClosed(int channel) const;
  // Whether anything waits to be read on `channel` right now (bytes, or the peer's close),
  // without waiting: what a server says to a connection nobody has asked anything of. Bytes
  // that came are kept for the next read; what carries no data (a TLS record the TLS layer
  // takes itself) is no input.
  bool HasInput(int channel);

  // Switches `channel` to TLS: the handshake as a client with `server_name`, whose certificate
  // must check out. Each wait of the handshake is bounded by the time-out. False with error 71
  // and TlsFailure() set when it fails (24 or 4 when a wait ended it); the channel stays open
  // but carries nothing more, except after a stop (4): called again, the handshake goes on.
  bool StartTls(int channel, const std::string& server_name);
  // The same for a data channel of the TLS channel `control`: with its server name, resuming
  // its newest session; tickets the server sends on `data` become that newest session too.
  bool ResumeTls(int data, int control);
  const TlsFailure& LastTlsFailure() const { return tls_failure_; }
  // "TLSv1.3 TLS_AES_256_GCM_SHA384" for a channel switched to TLS, empty otherwise.
  std::string TlsDescription(int channel) const;
  bool IsTls(int channel) const;

  // Closes the connection and frees the number; an unknown number sets error 52.
  void Close(int channel);

  // The numeric address the channel is connected to, empty when it names no channel.
  std::string PeerAddress(int channel) const;

  // Every wait also ends, with error 4, once `stop_pending` says the user has asked to stop.
  void SetStopCheck(std::function<bool()> stop_pending) {
    stop_pending_ = std::move(stop_pending);
  }

  // Finds the addresses of a host for Open(); ResolveHost unless a test puts its own in place.
  using Resolver = std::function<std::vector<std::string>(const std::string& host)>;
  void SetResolver(Resolver resolver) { resolver_ = std::move(resolver); }

  int Error() const { return error_.number; }
  void ClearError() { error_ = {}; }
  // The latest failure: its number (Error()) and, for a failed Open(), the system's text
  // ("Connection refused", "Name or service not known"); the text is empty after an Open()
  // that succeeded or failed without one.
  const SystemError& LastError() const { return error_; }

 private:
  struct Channel;
  Channel* Find(int channel);
  const Channel* Find(int channel) const;
  // The open channel `channel`, or null with error 54 (a number in use for something else,
  // such as a local file) or 52 (a number not in use).
  Channel* Lookup(int channel);
  // How a wait for the connection ended.
  enum class Wait { kReady, kTimedOut, kStopped };
  // Waits until the connection can be read (or written, `for_sending`), `timeout_ms` has
  // passed on the clock, or the user asks to stop.
  Wait WaitFor(Connection& connection, bool for_sending, int timeout_ms) const;
  Wait WaitReadable(Channel& ch, int timeout_ms);
  // Sets the error number for a wait that did not end ready; false then.
  bool Waited(Wait wait);
  bool Fill(Channel& ch, int timeout_ms, Wait* wait);
  bool NoteReceived(Channel& ch, int64_t got, size_t asked);
  bool Secure(Channel& ch, const std::string& server_name, std::shared_ptr<TlsSessions> family);

  HandlePool& pool_;
  Transport& transport_;
  Clock& clock_;
  std::function<bool()> stop_pending_;
  Resolver resolver_ = ResolveHost;
  std::map<int, std::unique_ptr<Channel>> open_;
  // Sets the error number (and the system's text, where there is one).
  void Fail(int number, std::string text = {}) {
    error_ = {SystemError::Facility::kChannel, number, std::move(text)};
  }

  SystemError error_;
  TlsFailure tls_failure_;
};

}  // namespace koru

#endif  // KORU_PLATFORM_CHANNELS_H_
