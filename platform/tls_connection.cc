#include "platform/tls_connection.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <cstdlib>

namespace koru {

class TlsSessions {
 public:
  TlsSessions() = default;
  ~TlsSessions() { SSL_SESSION_free(newest_); }
  TlsSessions(const TlsSessions&) = delete;
  TlsSessions& operator=(const TlsSessions&) = delete;

  // Takes over the caller's reference to `session`.
  void Keep(SSL_SESSION* session) {
    SSL_SESSION_free(newest_);
    newest_ = session;
  }
  SSL_SESSION* newest() const { return newest_; }

 private:
  SSL_SESSION* newest_ = nullptr;
};

namespace {

// OpenSSL's new-session callback: every session and ticket the server hands out becomes the
// family's newest. Returning 1 keeps the reference OpenSSL passes.
int KeepNewSession(SSL* ssl, SSL_SESSION* session) {
  auto* family = static_cast<TlsSessions*>(SSL_get_app_data(ssl));
  if (!family) return 0;
  family->Keep(session);
  return 1;
}

// A trust store named by SSL_CERT_FILE that is not there leaves every certificate untrusted:
// the rejection says so.
std::string MissingCertificateFileHint() {
  const char* file = std::getenv("SSL_CERT_FILE");
  struct stat st {};
  if (!file || !*file || ::stat(file, &st) == 0) return std::string();
  return std::string(" (SSL_CERT_FILE names no file: ") + file + ")";
}

SSL_CTX* NewContext() {
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (!context) return nullptr;
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  // The default paths read SSL_CERT_FILE and SSL_CERT_DIR when they are set.
  SSL_CTX_set_default_verify_paths(context);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  // A stream that ends without close_notify is read as ended; the size check of the transfer
  // decides whether all of it came.
  SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_read_ahead(context, 1);
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(context, KeepNewSession);
  return context;
}

SSL_CTX* Context() {
  static const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(NewContext(),
                                                                         SSL_CTX_free);
  return context.get();
}

Connection* InnerOf(BIO* bio) { return static_cast<Connection*>(BIO_get_data(bio)); }

int BioWrite(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  const int64_t sent = InnerOf(bio)->SendSome(std::string_view(data, static_cast<size_t>(size)));
  if (sent > 0) return static_cast<int>(sent);
  if (sent == 0) BIO_set_retry_write(bio);
  return -1;
}

int BioRead(BIO* bio, char* data, int size) {
  BIO_clear_retry_flags(bio);
  const int64_t got = InnerOf(bio)->ReceiveSome(data, static_cast<size_t>(size));
  if (got > 0) return static_cast<int>(got);
  if (got == Connection::kClosed) return 0;
  if (got == Connection::kNothingYet) BIO_set_retry_read(bio);
  return -1;
}

long BioControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

// The BIO that carries TLS records over a Connection.
const BIO_METHOD* ConnectionMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "koru connection");
    if (!m) return m;
    BIO_meth_set_write(m, BioWrite);
    BIO_meth_set_read(m, BioRead);
    BIO_meth_set_ctrl(m, BioControl);
    BIO_meth_set_create(m, BioCreate);
    return m;
  }();
  return method;
}

bool IsNumericAddress(const std::string& name) {
  unsigned char address[16];
  return inet_pton(AF_INET, name.c_str(), address) == 1 ||
         inet_pton(AF_INET6, name.c_str(), address) == 1;
}

SSL* NewSsl(Connection& inner, const std::string& server_name, TlsSessions& family) {
  SSL_CTX* context = Context();
  const BIO_METHOD* method = ConnectionMethod();
  if (!context || !method) return nullptr;
  SSL* ssl = SSL_new(context);
  BIO* bio = ssl ? BIO_new(method) : nullptr;
  if (!bio) {
    SSL_free(ssl);
    return nullptr;
  }
  BIO_set_data(bio, &inner);
  SSL_set_bio(ssl, bio, bio);
  SSL_set_connect_state(ssl);
  SSL_set_app_data(ssl, &family);
  bool named = false;
  if (IsNumericAddress(server_name)) {
    named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), server_name.c_str()) == 1;
  } else {
    named = SSL_set_tlsext_host_name(ssl, server_name.c_str()) == 1 &&
            SSL_set1_host(ssl, server_name.c_str()) == 1;
  }
  if (!named) {
    SSL_free(ssl);
    return nullptr;
  }
  if (family.newest()) SSL_set_session(ssl, family.newest());
  return ssl;
}

std::string OpenSslErrorText() {
  const unsigned long error = ERR_peek_last_error();
  if (error == 0) return "the connection ended during the handshake";
  const char* reason = ERR_reason_error_string(error);
  return reason ? reason : "error " + std::to_string(error);
}

}  // namespace

void TlsConnection::SslDeleter::operator()(ssl_st* ssl) const { SSL_free(ssl); }

TlsConnection::TlsConnection(std::unique_ptr<Connection> inner, const std::string& server_name,
                             std::shared_ptr<TlsSessions> family)
    : inner_(std::move(inner)),
      server_name_(server_name),
      family_(family ? std::move(family) : std::make_shared<TlsSessions>()) {
  ERR_clear_error();
  ssl_.reset(NewSsl(*inner_, server_name_, *family_));
}

TlsConnection::~TlsConnection() {
  if (!ssl_ || !SSL_is_init_finished(ssl_.get())) return;
  // Tickets the server sent on a connection that was only written to (an upload) still
  // become the family's newest; anything else unread is dropped with the connection.
  char ignored[256];
  size_t count = 0;
  ERR_clear_error();
  if (!shut_down_) SSL_read_ex(ssl_.get(), ignored, sizeof ignored, &count);
  ShutDown();
}

TlsConnection::Step TlsConnection::StepOf(int result) {
  switch (SSL_get_error(ssl_.get(), result)) {
    case SSL_ERROR_WANT_READ:
      wants_room_ = false;
      return Step::kWantRead;
    case SSL_ERROR_WANT_WRITE:
      wants_room_ = true;
      return Step::kWantWrite;
    default:
      return Step::kFailed;
  }
}

TlsConnection::Step TlsConnection::Handshake() {
  if (!ssl_) {
    failure_ = {false, "TLS is not available: " + OpenSslErrorText()};
    return Step::kFailed;
  }
  ERR_clear_error();
  const int result = SSL_do_handshake(ssl_.get());
  if (result == 1) return Step::kDone;
  const Step step = StepOf(result);
  if (step != Step::kFailed) return step;
  const long verified = SSL_get_verify_result(ssl_.get());
  if (verified != X509_V_OK) {
    failure_ = {true, X509_verify_cert_error_string(verified) + MissingCertificateFileHint()};
  } else {
    failure_ = {false, OpenSslErrorText()};
  }
  return step;
}

std::string TlsConnection::Description() const {
  if (!ssl_) return std::string();
  return std::string(SSL_get_version(ssl_.get())) + " " + SSL_get_cipher_name(ssl_.get());
}

int64_t TlsConnection::SendSome(std::string_view bytes) {
  if (!ssl_) return -1;
  ERR_clear_error();
  size_t sent = 0;
  const int result = SSL_write_ex(ssl_.get(), bytes.data(), bytes.size(), &sent);
  if (result == 1) {
    wants_room_ = false;
    return static_cast<int64_t>(sent);
  }
  return StepOf(result) == Step::kFailed ? -1 : 0;
}

int64_t TlsConnection::ReceiveSome(char* buffer, size_t max) {
  if (!ssl_) return kFailed;
  ERR_clear_error();
  size_t got = 0;
  const int result = SSL_read_ex(ssl_.get(), buffer, max, &got);
  if (result != 1) {
    if (SSL_get_error(ssl_.get(), result) == SSL_ERROR_ZERO_RETURN) return kClosed;
    return StepOf(result) == Step::kFailed ? kFailed : kNothingYet;
  }
  wants_room_ = false;
  // A read gives one record at most: the records already arrived are taken as well, as one
  // receive of a plain stream would. What ends the run of them (the end, a failure) is
  // reported by the next call.
  size_t more = 0;
  while (got < max && SSL_read_ex(ssl_.get(), buffer + got, max - got, &more) == 1) got += more;
  ERR_clear_error();
  return static_cast<int64_t>(got);
}

bool TlsConnection::Wait(bool for_sending, int timeout_ms) {
  // A read may need room to send (and a send may need data) before it can go on.
  return inner_->Wait(for_sending || wants_room_, timeout_ms);
}

size_t TlsConnection::Pending() const {
  if (!ssl_) return 0;
  const int pending = SSL_pending(ssl_.get());
  return pending > 0 ? static_cast<size_t>(pending) : 0;
}

void TlsConnection::ShutDown() {
  if (!ssl_ || shut_down_) return;
  shut_down_ = true;
  ERR_clear_error();
  // One try: the alert goes out when there is room for it; the peer reads the end either way.
  // After a fatal error there is nothing to send, and what the try leaves is of no interest.
  SSL_shutdown(ssl_.get());
  ERR_clear_error();
}

}  // namespace koru
