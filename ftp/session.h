#ifndef KORU_FTP_SESSION_H_
#define KORU_FTP_SESSION_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "ftp/ftp_session.h"
#include "run/env.h"

// Opening (connect, busy-server wait, login) and closing an FTP control connection.
namespace koru {

inline constexpr int kFtpPort = 21;
inline constexpr int kMaxConnectAttempts = 10;  // attempts answered "421 busy" before giving up
inline constexpr int kBusyWaitSeconds = 90;

// The host and port of a server text "host" or "host:port" (`default_port` when absent); an IPv6
// address is written in brackets, "[::1]" or "[::1]:2121", and its host is the text between
// them. A port that is not a decimal number from 0 to 65535 gives -1, which no channel can be
// opened to; so does a text whose bracket is not closed or is followed by more than a port.
struct ServerAddress {
  std::string host;
  int port = kFtpPort;
};
ServerAddress SplitServerText(std::string_view server, int default_port = kFtpPort);

// Connects to `server` ("host" or "host:port"), waits out busy servers (greeting 421: up to
// ten attempts, each followed by a wait of 90 one-second steps that Tab cuts short and Esc
// aborts), and logs in with USER and, when asked for, PASS. The last reply is cleared at every
// attempt. Under TLS (options.Security) the connection is secured before the login and the
// data protected after it (ftp/tls_session.h); port 990 is the default for implicit TLS.
// Returns the control channel (1 or above, ConnectedFlag -1) after a successful
// login; -1 after a failure or a user abort (the channel is closed again); 0 when AbortFlag was
// already set on entry. Esc after the login sets AbortFlag, but the channel is still returned.
// With kGiveUp, a busy greeting ends the attempt at once (-1), with no wait and no line.
enum class BusyServer { kWaitOut, kGiveUp };
int32_t ftpConnect(Session& session, const std::string& server, const std::string& user,
                   const std::string& password, BusyServer busy = BusyServer::kWaitOut);

// How a connect and login ended, told whole: ftpConnect computes its result through
// ConnectAndLogIn, which records into the session as ftpConnect says.
struct LoginOutcome {
  int32_t channel = 0;     // what ftpConnect returns
  bool logged_in = false;  // the connection is logged in afterwards
  int32_t kept_code = 0;   // the kept reply (LastReplyCode, LastReplyText)
  std::string kept_text{};
  // Why the latest attempt failed when no reply says it: the system's text ("Connection
  // refused") or the server's silence; empty otherwise.
  std::string failure{};
  std::string reply{};  // the session's reply line afterwards
};
LoginOutcome ConnectAndLogIn(Session& session, const std::string& server, const std::string& user,
                             const std::string& password, BusyServer busy = BusyServer::kWaitOut);

// A logged-in connection that the server has closed while it stood idle, or that it has said
// something to unasked (such as a time-out notice), is closed without a word (no longer logged
// in). Returns whether the connection is logged in afterwards.
bool DropIfClosedWhileIdle(Session& session);

// Sends QUIT, reads and records the reply, closes `h` and sets ConnectedFlag to 0. The reply is
// awaited at most env.quit_wait_ms, or env.abort_quit_wait_ms once AbortFlag is set (never
// longer than the channel time-out); a server that stays silent is closed on all the same.
void ftpQuit(Session& session);

}  // namespace koru

#endif  // KORU_FTP_SESSION_H_
