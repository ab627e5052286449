#ifndef KORU_FTP_TLS_SESSION_H_
#define KORU_FTP_TLS_SESSION_H_

#include <string>

#include "ftp/ftp_session.h"
#include "run/env.h"

// FTP over TLS (ftpes:// and ftps:// locations): the control connection switched to TLS before
// the login, protected data connections after it. Each refusal prints its error line and
// leaves the caller to close the connection; nothing ever goes on in clear text.
namespace koru {

inline constexpr int kFtpsPort = 990;

// The control connection `h` to `host` made secure before the login: for explicit TLS (after
// the greeting) AUTH TLS and, on 234, the handshake; for implicit TLS (before the greeting) the
// handshake alone. Verbose mode shows the protocol and cipher. False after the error line: a
// refused AUTH TLS (the reply is recorded), a certificate that does not check out, or a failed
// handshake; `*may_quit` then tells whether the connection can still carry QUIT.
bool ftpSecureControl(Session& session, const std::string& host, bool* may_quit);

// PBSZ 0 and PROT P after the login. False after the error line when the server refuses
// either.
bool ftpProtectData(Session& session);

// After the data command's preliminary reply: the data channel `data` of the TLS control
// connection `control` switched to TLS, resuming the control connection's session. A plain
// control connection leaves it as it is. False after the error line.
bool ftpSecureData(Session& session, int data);

}  // namespace koru

#endif  // KORU_FTP_TLS_SESSION_H_
