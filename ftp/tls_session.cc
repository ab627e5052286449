#include "ftp/tls_session.h"

#include "ftp/control.h"

namespace koru {
namespace {

void PrintTlsFailure(Env& env, std::string_view prefix) {
  const TlsFailure& failure = env.channels.LastTlsFailure();
  if (failure.certificate) {
    env.TimedLine(" ERROR: TLS certificate rejected: " + failure.text);
  } else {
    env.TimedLine(std::string(prefix) + failure.text);
  }
}

void PrintRefusal(Env& env, const std::string& reply) {
  env.TimedLine(" ERROR: Server refused TLS: " + reply);
}

}  // namespace

bool ftpSecureControl(Session& session, const std::string& host, bool* may_quit) {
  Env& env = session.env;
  const int h = session.h;
  *may_quit = false;
  if (env.options.Security == ConnectionSecurity::kExplicitTls) {
    ftpSendCommand(session, "AUTH TLS");
    const std::string reply = ftpGetShownReply(session);
    if (ftpReplyCode(reply) != 234) {
      ftpRecordReply(session, reply);
      if (env.state.AbortFlag) return false;
      PrintRefusal(env, reply);
      *may_quit = !env.channels.PeerClosed(h);
      return false;
    }
  }
  if (!ftpUnlessStopped(env, [&] { return env.channels.StartTls(h, host); })) {
    ftpRecordReply(session, ZeroPad(env.channels.Error(), 3) + " TLS handshake failed");
    if (env.channels.Error() != kErrInterrupted) {
      PrintTlsFailure(env, " ERROR: TLS handshake failed: ");
    }
    return false;
  }
  if (env.verbose()) env.TimedLine(" * TLS " + env.channels.TlsDescription(h));
  return true;
}

bool ftpProtectData(Session& session) {
  Env& env = session.env;
  for (const char* command : {"PBSZ 0", "PROT P"}) {
    const std::string reply = ftpExchange(session, command);
    if (ftpReplyCode(reply) / 100 != 2) {
      if (!env.state.AbortFlag) PrintRefusal(env, reply);
      return false;
    }
  }
  return true;
}

bool ftpSecureData(Session& session, int data) {
  Env& env = session.env;
  const int control = session.h;
  if (!env.channels.IsTls(control)) return true;
  if (ftpUnlessStopped(env, [&] { return env.channels.ResumeTls(data, control); })) return true;
  if (env.channels.Error() != kErrInterrupted) {
    PrintTlsFailure(env, " ERROR: TLS on the data connection failed: ");
  }
  return false;
}

}  // namespace koru
