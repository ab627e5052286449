#ifndef KORU_PLATFORM_TLS_CONNECTION_H_
#define KORU_PLATFORM_TLS_CONNECTION_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/transport.h"

struct ssl_st;  // OpenSSL's SSL

// TLS as a client over any Connection, with the server's certificate verified against the
// system's trust store (OpenSSL's default paths; SSL_CERT_FILE and SSL_CERT_DIR are honoured)
// and against the server's name.
namespace koru {

// The newest session of a family of connections to one server: the first connection's, then
// each ticket the server sends on any of them. Servers that demand that data connections resume
// the control connection's session (and, under TLS 1.3, accept each ticket once) are served by
// resuming the newest. Shared by the connections of the family, whichever of them ends first.
class TlsSessions;

// Why a handshake failed.
struct TlsFailure {
  bool certificate = false;  // the certificate did not check out (otherwise: the handshake)
  std::string text;          // OpenSSL's text for it
};

class TlsConnection : public Connection {
 public:
  // How one step of the handshake ended.
  enum class Step { kDone, kWantRead, kWantWrite, kFailed };

  // Wraps `inner` for a handshake with the server `server_name` (a DNS name, or a numeric
  // address, which the certificate must name as such). With `family` the connection offers its
  // newest session and adds its own tickets to it; without, it starts a family of its own.
  TlsConnection(std::unique_ptr<Connection> inner, const std::string& server_name,
                std::shared_ptr<TlsSessions> family);
  ~TlsConnection() override;
  TlsConnection(const TlsConnection&) = delete;
  TlsConnection& operator=(const TlsConnection&) = delete;

  // Advances the handshake as far as it goes without waiting. After kWantRead / kWantWrite the
  // caller waits on Wait() and calls again; after kFailed Failure() tells why.
  Step Handshake();
  const TlsFailure& Failure() const { return failure_; }

  // The protocol version and the cipher: "TLSv1.3 TLS_AES_256_GCM_SHA384".
  std::string Description() const;
  const std::string& server_name() const { return server_name_; }
  const std::shared_ptr<TlsSessions>& family() const { return family_; }

  int64_t SendSome(std::string_view bytes) override;
  // The end of the stream (kClosed) is the server's close_notify or the end of the TCP stream
  // without it; any other TLS error is a failure.
  int64_t ReceiveSome(char* buffer, size_t max) override;
  bool Wait(bool for_sending, int timeout_ms) override;
  size_t Pending() const override;
  // Sends close_notify; receiving goes on.
  void ShutDown() override;
  std::string PeerAddress() const override { return inner_->PeerAddress(); }

 private:
  struct SslDeleter {
    void operator()(ssl_st* ssl) const;
  };
  // Whether the failed or unfinished call that gave `result` waits for data or for room.
  Step StepOf(int result);

  std::unique_ptr<Connection> inner_;
  std::string server_name_;
  std::shared_ptr<TlsSessions> family_;
  std::unique_ptr<ssl_st, SslDeleter> ssl_;
  TlsFailure failure_;
  bool wants_room_ = false;  // the last call needs room to send before it can go on
  bool shut_down_ = false;
};

}  // namespace koru

#endif  // KORU_PLATFORM_TLS_CONNECTION_H_
