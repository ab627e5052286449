#ifndef KORU_FTP_FTP_SESSION_H_
#define KORU_FTP_FTP_SESSION_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "run/env.h"

namespace koru {

// One control connection and what belongs to it alone: the channel it runs on (closed when
// the session goes), its replies, whether it is logged in, whether its transfers still await
// final replies and how its commands end. Two sessions of one run never share any of it; the
// run's options, state and services stay in `env`.
class Session {
 public:
  explicit Session(Env& run_env) : env(run_env) {}
  // Takes over the open channel `channel`.
  Session(Env& run_env, int channel) : env(run_env), h(channel) {}
  ~Session() { CloseChannel(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Closes the channel, when one is open, without a word to the server. The session then holds
  // no channel number, so it can never close one that has been given to another connection.
  void CloseChannel() {
    if (h >= 1 && env.channels.IsOpen(h)) env.channels.Close(h);
    h = -1;
    PassiveAhead.reset();
  }

  bool logged_in() const { return ConnectedFlag == kOn; }

  // Writes `text` as a line of this connection's +V transcript (the commands sent, the replies
  // and listing lines read, the notes of the procedures): "[n] " and the text for a numbered
  // session ("[2] USER anonymous"; "[2]" alone for an empty text), the text alone for number 0.
  void TranscriptLine(std::string_view text) const {
    if (number == 0) {
      env.Line(text);
    } else {
      env.Line(NumberTag() + (text.empty() ? "" : " ") + std::string(text));
    }
  }
  // The time hh:mm:ss, then " [n]" for a numbered session, then `text` (which brings its own
  // leading blank): "12:00:00 [2] * Server did not respond, sending USER again.".
  void TimedTranscriptLine(std::string_view text) const {
    if (number == 0) {
      env.TimedLine(text);
    } else {
      env.TimedLine(" " + NumberTag() + std::string(text));
    }
  }

  Env& env;
  int h = -1;  // the control channel; below 1 while there is none
  // The connection's number in the +V transcript. 0 (the default, a run over one connection)
  // shows none and leaves each line as it is; a run over several connections numbers them 1 to
  // N, so that each transcript line tells which connection it belongs to (TranscriptLine).
  int number = 0;

  // The whole line of the latest reply read, or "000 Connection lost" when the connection gave
  // none and was dropped. Error lines quote it, never the kept reply.
  std::string ReplyLine;
  std::string LastReplyText;  // text of the kept (highest-coded) reply
  int32_t LastReplyCode = 0;  // code of the kept reply
  int32_t ConnectedFlag = 0;  // logged in and open
  int32_t NoStatusLine = 0;   // transfers no longer await the final reply
  std::string CommandTerminator;  // appended to every command (CR LF once set)
  char TransferType = 0;          // 'A' or 'I' once the server has taken a TYPE; 0 before
  // TYPE is sent only when it changes the type this connection has (with several connections
  // at once); otherwise before every transfer.
  bool SkipsRepeatedType = false;
  // Commands whose replies the next ones need not wait for go out together (with several
  // connections at once): CWD, TYPE and the passive command before a listing. Never while the
  // server transfers: some take commands then, and answer out of turn.
  bool PipelinesCommands = false;
  // The reply to a passive command sent ahead of the transfer that is to use it. The next data
  // connection takes it; any other command sent drops it (the server simply replaces the port
  // it listens on when asked again).
  std::optional<std::string> PassiveAhead;
  // Why the latest connection attempt failed when no reply says it: the system's text
  // ("Connection refused") or the silence of the server; empty otherwise.
  std::string ConnectFailure;
  TransferOutcome LastTransfer;  // how the latest listing or download ended

 private:
  std::string NumberTag() const { return "[" + std::to_string(number) + "]"; }
};

}  // namespace koru

#endif  // KORU_FTP_FTP_SESSION_H_
