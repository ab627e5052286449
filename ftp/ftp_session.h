#ifndef KORU_FTP_FTP_SESSION_H_
#define KORU_FTP_FTP_SESSION_H_

#include <cstdint>
#include <string>

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
  }

  Env& env;
  int h = -1;  // the control channel; below 1 while there is none

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
  // Why the latest connection attempt failed when no reply says it: the system's text
  // ("Connection refused") or the silence of the server; empty otherwise.
  std::string ConnectFailure;
  TransferOutcome LastTransfer;  // how the latest listing or download ended
};

}  // namespace koru

#endif  // KORU_FTP_FTP_SESSION_H_
