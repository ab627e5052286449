#ifndef KORU_FTP_FTP_SESSION_H_
#define KORU_FTP_FTP_SESSION_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ftp/remote_facts.h"
#include "platform/channels.h"
#include "platform/handle_pool.h"
#include "run/env.h"
#include "run/options.h"
#include "run/run_settings.h"
#include "run/user_stop.h"

namespace koru {

// One control connection and what belongs to it alone: its numbered channels and files (the
// control channel among them, closed when the session goes), its receive buffer, its replies,
// whether it is logged in, whether its transfers still await final replies and how its
// commands end. Two sessions of one run never share any of it. A session works through the
// run's services (`env`), reads the run's options, which nothing changes while it lives, and
// shares the run's state (`state`) with the other connections of the run.
class Session {
 public:
  Session(Env& run_env, const Options& run_options, RunSettings& run_state)
      : env(run_env),
        options(run_options),
        state(run_state),
        channels(pool, run_env.transport, run_env.clock) {
    StopWaitsOnTheUsersStop();
  }
  // With `channel` as its control channel, to be opened on `channels`.
  Session(Env& run_env, const Options& run_options, RunSettings& run_state, int channel)
      : Session(run_env, run_options, run_state) {
    h = channel;
  }
  ~Session() { CloseChannel(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Closes the channel, when one is open, without a word to the server. The session then holds
  // no channel number, so it can never close one that has been given to another connection.
  void CloseChannel() {
    if (h >= 1 && channels.IsOpen(h)) channels.Close(h);
    h = -1;
    PassiveAhead.reset();
  }

  bool verbose() const { return options.verbose(); }
  bool debug() const { return options.debug(); }

  // The user's stop, for the whole run (run/user_stop.h).
  void UserAbort() { koru::UserAbort(env, state); }
  bool TakeStop() { return koru::TakeStop(env, state); }

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
  const Options& options;
  RunSettings& state;  // shared by every connection of the run
  HandlePool pool;
  Channels channels;
  // The blocks of a download, kept for the next one. Never filled beforehand: only the pages a
  // download writes take memory, so a connection fetching small files keeps little of it.
  std::unique_ptr<char[]> receive_buffer;
  // Where a run over several connections counts the bytes of all its downloads; none otherwise.
  std::atomic<int64_t>* received_bytes = nullptr;
  // When this session last ended its control connection with QUIT (MonotonicMs), if it has.
  std::optional<int64_t> last_quit_ms;
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
  // What the run's server offers for exact remote dates, shared by the connections of the run;
  // none where dates come from the listing only (then neither FEAT nor OPTS UTF8 is sent).
  RemoteFacts* remote_facts = nullptr;

 private:
  std::string NumberTag() const { return "[" + std::to_string(number) + "]"; }
  // A wait on the network ends as soon as the user asks to stop, whatever the server does.
  void StopWaitsOnTheUsersStop() {
    channels.SetStopCheck([this] { return env.console.StopPending(); });
  }
};

}  // namespace koru

#endif  // KORU_FTP_FTP_SESSION_H_
