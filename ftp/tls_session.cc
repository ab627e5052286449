#include "ftp/tls_session.h"

#include "ftp/control.h"

namespace koru {
namespace {

void PrintTlsFailure(Session& session, std::string_view prefix) {
  Env& env = session.env;
  const TlsFailure& failure = session.channels.LastTlsFailure();
  if (failure.certificate) {
    env.TimedLine(" ERROR: TLS certificate rejected: " + failure.text);
  } else {
    env.TimedLine(std::string(prefix) + failure.text);
  }
}

void PrintRefusal(Session& session, const std::string& reply) {
  Env& env = session.env;
  env.TimedLine(" ERROR: Server refused TLS: " + reply);
}

}  // namespace

bool ftpSecureControl(Session& session, const std::string& host, bool* may_quit) {
  Env& env = session.env;
  const int h = session.h;
  *may_quit = false;
  if (session.options.Security == ConnectionSecurity::kExplicitTls) {
    ftpSendCommand(session, "AUTH TLS");
    const std::string reply = ftpGetShownReply(session);
    if (ftpReplyCode(reply) != 234) {
      ftpRecordReply(session, reply);
      if (session.state.AbortFlag) return false;
      PrintRefusal(session, reply);
      *may_quit = !session.channels.PeerClosed(h);
      return false;
    }
  }
  if (!ftpUnlessStopped(session, [&] { return session.channels.StartTls(h, host); })) {
    ftpRecordReply(session, ZeroPad(session.channels.Error(), 3) + " TLS handshake failed");
    if (session.channels.Error() != kErrInterrupted) {
      PrintTlsFailure(session, " ERROR: TLS handshake failed: ");
    }
    return false;
  }
  if (session.verbose()) env.TimedLine(" * TLS " + session.channels.TlsDescription(h));
  return true;
}

bool ftpProtectData(Session& session) {
  for (const char* command : {"PBSZ 0", "PROT P"}) {
    const std::string reply = ftpExchange(session, command);
    if (ftpReplyCode(reply) / 100 != 2) {
      if (!session.state.AbortFlag) PrintRefusal(session, reply);
      return false;
    }
  }
  return true;
}

bool ftpSecureData(Session& session, int data) {
  const int control = session.h;
  if (!session.channels.IsTls(control)) return true;
  if (ftpUnlessStopped(session, [&] { return session.channels.ResumeTls(data, control); })) {
    return true;
  }
  if (session.channels.Error() != kErrInterrupted) {
    PrintTlsFailure(session, " ERROR: TLS on the data connection failed: ");
  }
  return false;
}

}  // namespace koru
