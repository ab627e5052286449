#include "ftp/session.h"

#include <algorithm>

#include "ftp/control.h"
#include "ftp/server_features.h"
#include "ftp/tls_session.h"
#include "ftp/transfer_status.h"
#include "platform/text.h"

namespace koru {
namespace {

bool GreetingAccepted(const std::string& reply) {
  const int32_t code = ftpReplyCode(reply);
  return code == 220 || code == 230 || (!reply.empty() && reply[0] == ' ');
}

// Reads the greeting, and further replies while an accepted one announces more ("220-").
std::string ReadGreeting(Session& session) {
  for (;;) {
    std::string reply = ftpGetShownReply(session);
    if (!GreetingAccepted(reply) || !ReplyContinues(reply)) return reply;
  }
}

// Discards what the server sent after its greeting, up to a line that begins with a positive
// number, the end of the data received, or a read that gets nothing.
void DrainAfterGreeting(Session& session) {
  const int h = session.h;
  while (!session.channels.EndOfData(h)) {
    const std::string reply = ftpGetShownReply(session);
    if (reply.empty() || NumericValue(reply) > 0) return;
  }
}

// The wait after a "421 busy" greeting to connection attempt `attempt`: 90 one-second steps with
// a countdown in the title and on the status line. Tab ends it early. False when Esc aborted it
// (AbortFlag set).
bool WaitForBusyServer(Session& session, int attempt) {
  Env& env = session.env;
  StatusPacer status(env, 0);
  for (int n = kBusyWaitSeconds; n > 0;) {
    status.Show(BusyStatus{attempt, kMaxConnectAttempts, n});
    env.clock.Sleep(1000);
    --n;
    env.Title(session.options.ProgramTitle + ": Waiting " + ZeroPad(n, 2) +
              " seconds for busy server.");
    const int key = env.PollKey();
    if (key == kKeyTab) return true;
    if (key == kKeyEsc) {
      session.UserAbort();
      return false;
    }
  }
  return true;
}

// USER, and PASS when asked for it. Returns the reply that decides the login.
std::string LogIn(Session& session, const std::string& user, const std::string& password) {
  Env& env = session.env;
  ftpSendCommand(session, "USER " + user);
  std::string reply = ftpGetShownReply(session);
  if (ftpReplyCode(reply) == 0 && !session.state.AbortFlag) {
    if (session.debug()) {
      session.TimedTranscriptLine(" * Server did not respond, sending USER again.");
    }
    ftpSendCommand(session, "USER " + user);
    // The login goes on with the reply to the USER sent again.
    reply = ftpGetShownReply(session);
  }
  if (session.state.AbortFlag) return reply;  // the user stopped the wait
  // A server that refuses USER has refused the login; its reply says why.
  if (ftpReplyCode(reply) >= 400) return reply;
  if (ftpReplyCode(reply) == 331) {
    ftpSendCommand(session, "PASS " + password);
  } else {
    env.TimedLine(" * Server did not request a password for user " + user + "?");
    if (session.debug()) session.TimedTranscriptLine(" > Last reply= " + reply);
    // Logged in on USER alone: no further reply will come.
    if (ftpReplyCode(reply) == 230) return reply;
  }
  do {
    reply = ftpGetShownReply(session);
  } while (ReplyContinues(reply));
  return reply;
}

enum class Attempt { kLoggedIn, kBusy, kFailed };

// Why no reply came: the server fell silent for the whole time-out, or it closed the
// connection.
std::string NoReplyReason(Session& session) {
  Env& env = session.env;
  if (session.channels.Error() != kErrTimeout) return "Connection closed by the server";
  const int ms = env.channel_timeout_ms;
  const std::string seconds = ms % 1000 == 0 ? std::to_string(ms / 1000)
                                             : std::to_string(ms / 1000) + "." +
                                                   std::to_string(ms % 1000 / 100);
  return "No reply from the server in " + seconds + " s";
}

// At an implicit-TLS port the server waits for a handshake that ftpes:// never starts.
std::string NoGreetingReason(Session& session) {
  std::string reason = NoReplyReason(session);
  if (session.channels.Error() == kErrTimeout &&
      session.options.Security == ConnectionSecurity::kExplicitTls) {
    reason += " (an implicit TLS port? try ftps://)";
  }
  return reason;
}

// Ends the connection to a server that refused TLS: QUIT, its reply, the close.
void QuitRefusingServer(Session& session) {
  Env& env = session.env;
  const int h = session.h;
  ftpSendCommand(session, "QUIT");
  const std::string reply =
      ftpGetReply(session, std::min(env.quit_wait_ms, session.channels.TimeoutOf(h)),
                  OnSilence::kKeepConnection);
  if (session.debug()) session.TranscriptLine(reply);
  session.CloseChannel();
  session.ConnectedFlag = kOff;
}

// Secures the control connection; on failure the connection is ended (with QUIT where it
// still carries one) and false returned.
bool SecureOrClose(Session& session, const ServerAddress& address) {
  bool may_quit = false;
  if (ftpSecureControl(session, address.host, &may_quit)) return true;
  if (may_quit) {
    QuitRefusingServer(session);
  } else {
    session.CloseChannel();
    session.ConnectedFlag = kOff;
  }
  return false;
}

// One connection attempt on the session's channel: open, greeting, login. On kLoggedIn it is
// open; otherwise it is closed again.
Attempt TryConnect(Session& session, const ServerAddress& address, const std::string& user,
                   const std::string& password) {
  Env& env = session.env;
  if (!ftpOpenChannel(session, session.h, address.host, address.port)) {
    session.ConnectFailure = session.channels.LastError().text;
    const std::string error = ZeroPad(session.channels.Error(), 3);
    ftpRecordReply(session, error + " Unable to open socket");
    if (session.verbose()) env.TimedLine(" * " + error + "- Unable to open socket");
    session.ConnectedFlag = kOff;
    return Attempt::kFailed;
  }
  const bool tls = session.options.Security != ConnectionSecurity::kPlain;
  if (session.options.Security == ConnectionSecurity::kImplicitTls &&
      !SecureOrClose(session, address)) {
    return Attempt::kFailed;
  }
  const std::string greeting = ReadGreeting(session);
  if (!GreetingAccepted(greeting)) {
    if (greeting.empty()) session.ConnectFailure = NoGreetingReason(session);
    ftpRecordReply(session, greeting);
    session.channels.ClearError();
    session.CloseChannel();
    if (ftpReplyCode(greeting) == 421) return Attempt::kBusy;
    if (session.verbose()) {
      env.TimedLine(" * " + ZeroPad(session.channels.Error(), 3) + "- Invalid socket.");
    }
    session.ConnectedFlag = kOff;
    return Attempt::kFailed;
  }
  DrainAfterGreeting(session);
  if (session.options.Security == ConnectionSecurity::kExplicitTls &&
      !SecureOrClose(session, address)) {
    return Attempt::kFailed;
  }
  const std::string result = LogIn(session, user, password);
  ftpRecordReply(session, result);
  if (result.empty() && !session.state.AbortFlag) session.ConnectFailure = NoReplyReason(session);
  if (ftpReplyCode(result) != 230) {
    session.CloseChannel();
    return Attempt::kFailed;
  }
  if (tls && !ftpProtectData(session)) {
    QuitRefusingServer(session);
    return Attempt::kFailed;
  }
  return Attempt::kLoggedIn;
}

// The port of the text after the host: empty for `default_port`, ":digits" for a port from
// 0 to 65535; anything else gives -1.
int PortAfterHost(std::string_view rest, int default_port) {
  if (rest.empty()) return default_port;
  if (rest[0] != ':') return -1;
  const std::optional<int64_t> port = DigitsValue(rest.substr(1), 5);
  return port && *port <= 65535 ? static_cast<int>(*port) : -1;
}

// "[address]" or "[address]:port": the colons of an IPv6 address are no port separators.
// Without the closing bracket the text stays whole, a host no resolver knows.
ServerAddress SplitBracketedServerText(std::string_view server, int default_port) {
  const size_t close = server.find(']');
  if (close == std::string_view::npos) return {std::string(server), -1};
  return {std::string(server.substr(1, close - 1)),
          PortAfterHost(server.substr(close + 1), default_port)};
}

// A server that allows one session per address may still count the session this run has just
// ended with QUIT: its "421" to the next connect is retried at once a few times, after short
// and growing pauses, before the busy-server wait.
constexpr int kQuickRetryFirstMs = 100;
constexpr int kQuickRetries = 5;             // 0.1, 0.2, 0.4, 0.8 and 1.6 s
constexpr int64_t kRightAfterQuitMs = 1000;  // a connect this soon after QUIT follows it

bool RightAfterOwnQuit(Session& session) {
  Env& env = session.env;
  return session.last_quit_ms &&
         env.clock.MonotonicMs() - *session.last_quit_ms <= kRightAfterQuitMs;
}

// FEAT, and its whole reply read.
ServerFeatures AskFeatures(Session& session) {
  ftpSendCommand(session, "FEAT");
  std::vector<std::string> lines;
  ftpGetShownReplyLines(session, lines);
  return ParseFeatReply(lines);
}

// Right after a login: what the server offers is asked once per run (FEAT on the first
// connection that logs in), and a server offering UTF8 is told so on every connection before
// any path goes out. Neither reply decides anything else.
void LearnWhatServerOffers(Session& session) {
  if (!session.remote_facts) return;
  const ServerFeatures features =
      session.remote_facts->LearnOnce([&session] { return AskFeatures(session); });
  if (!features.utf8 || !session.logged_in()) return;
  ftpSendCommand(session, "OPTS UTF8 ON");
  ftpGetShownReply(session);
}

}  // namespace

ServerAddress SplitServerText(std::string_view server, int default_port) {
  if (!server.empty() && server[0] == '[') return SplitBracketedServerText(server, default_port);
  const size_t colon = server.rfind(':');
  if (colon == std::string_view::npos) return {std::string(server), default_port};
  return {std::string(server.substr(0, colon)), PortAfterHost(server.substr(colon), default_port)};
}

namespace {

// Connects and logs in as ftpConnect says, recording into the session.
int32_t Connect(Session& session, const std::string& server, const std::string& user,
                const std::string& password, BusyServer busy) {
  Env& env = session.env;
  const bool implicit = session.options.Security == ConnectionSecurity::kImplicitTls;
  const ServerAddress address = SplitServerText(server, implicit ? kFtpsPort : kFtpPort);
  int32_t result = 0;
  int quick_retries = RightAfterOwnQuit(session) ? kQuickRetries : 0;
  for (int busy_replies = 0;;) {
    if (env.PollKey() == kKeyEsc) {
      session.UserAbort();
      result = -1;
    }
    if (session.state.AbortFlag) return result;
    session.channels.ClearError();
    session.h = session.pool.Lowest();
    ftpClearReply(session);
    session.ConnectFailure.clear();
    switch (TryConnect(session, address, user, password)) {
      case Attempt::kFailed:
        return -1;
      case Attempt::kLoggedIn:
        if (env.PollKey() == kKeyEsc) session.UserAbort();
        session.ConnectedFlag = kOn;
        // Whether final replies come is learnt anew on every connection.
        session.NoStatusLine = kOff;
        session.TransferType = 0;
        if (!session.state.AbortFlag) LearnWhatServerOffers(session);
        return session.logged_in() ? session.h : -1;
      case Attempt::kBusy:
        if (busy == BusyServer::kGiveUp) return -1;
        if (quick_retries > 0) {
          env.clock.Sleep(kQuickRetryFirstMs << (kQuickRetries - quick_retries--));
          break;
        }
        env.TimedLine(" * Pausing for busy server.");
        env.TimedLine("  " + std::to_string(ftpLastReplyCode(session)) + " " +
                      ftpLastReplyText(session));
        if (!WaitForBusyServer(session, busy_replies + 1)) return -1;
        if (++busy_replies >= kMaxConnectAttempts) return -1;
        break;
    }
  }
}

}  // namespace

int32_t ftpConnect(Session& session, const std::string& server, const std::string& user,
                   const std::string& password, BusyServer busy) {
  return ConnectAndLogIn(session, server, user, password, busy).channel;
}

LoginOutcome ConnectAndLogIn(Session& session, const std::string& server, const std::string& user,
                             const std::string& password, BusyServer busy) {
  const int32_t channel = Connect(session, server, user, password, busy);
  return {.channel = channel,
          .logged_in = session.logged_in(),
          .kept_code = session.LastReplyCode,
          .kept_text = session.LastReplyText,
          .failure = session.ConnectFailure,
          .reply = session.ReplyLine};
}

bool DropIfClosedWhileIdle(Session& session) {
  if (!session.logged_in()) return false;
  Channels& channels = session.channels;
  if (channels.IsOpen(session.h) && !channels.HasInput(session.h)) return true;
  session.CloseChannel();
  session.ConnectedFlag = kOff;
  return false;
}

void ftpQuit(Session& session) {
  Env& env = session.env;
  const int h = session.h;
  ftpSendCommand(session, "QUIT");
  // A server that does not answer QUIT must not hold the run: the wait is short, and shorter
  // still once the user has asked to stop.
  const int wait = session.state.AbortFlag ? env.abort_quit_wait_ms : env.quit_wait_ms;
  const std::string reply = ftpGetReply(session, std::min(wait, session.channels.TimeoutOf(h)),
                                        OnSilence::kKeepConnection);
  if (session.debug()) session.TranscriptLine(reply);
  ftpRecordReply(session, reply);
  session.CloseChannel();
  session.ConnectedFlag = kOff;
  session.last_quit_ms = env.clock.MonotonicMs();
}

}  // namespace koru
