#ifndef KORU_FTP_CONTROL_H_
#define KORU_FTP_CONTROL_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/ftp_session.h"
#include "run/env.h"

// The command/reply exchange on an FTP control connection and the last-reply bookkeeping.
// Every FTP procedure sends its commands and reads its replies through these operations, on
// the session's channel (one of its own channels, opened by ftpOpenChannel), and keeps
// what it learns in that session alone: its reply line, its kept reply, whether it is still
// logged in.
namespace koru {

// Sends `text` followed by CommandTerminator (set to CR LF before the first command) in one
// send, and echoes `text` in debug mode. While AbortFlag is set nothing is sent or printed.
// A passive reply kept for the next transfer (PassiveAhead) is dropped: the command comes
// between.
// Send failures are not reported: the following reply comes back empty.
void ftpSendCommand(Session& session, std::string_view text);

// The one way every wait on the channels meets the user's stop. Runs `attempt`, an operation
// on the channels whose waits end with error kErrInterrupted when a stop is pending, until it
// ends: its result, or false after an Esc, which aborts the run (or once the run is aborted
// already); the error stays kErrInterrupted then. A wait cut short by what only looked like a
// stop (the start of an arrow key's sequence) runs `attempt` again.
bool ftpUnlessStopped(Session& session, const std::function<bool()>& attempt);

// Opens channel `h` to `host` and `port` with the channel time-out; an Esc while the connect
// waits aborts the run (false, error kErrInterrupted).
bool ftpOpenChannel(Session& session, int h, const std::string& host, int port);

// The reply line that stands for a control connection that gave no reply and was dropped.
inline constexpr char kConnectionLostReply[] = "000 Connection lost";

// Whether `reply` (a ReplyLine) tells that the control connection is gone: no reply came and
// the connection was dropped (kConnectionLostReply), or the server is closing it (421).
bool ReplyLosesConnection(std::string_view reply);

// Whether a wait for a reply that ends with nothing loses a logged-in control connection.
enum class OnSilence { kKeepConnection, kDropConnection };

// Reads one complete reply and returns its final line (possibly empty), also kept as
// ReplyLine. Continuation lines are printed in debug mode as received, and the keyboard is
// polled between lines. Empty when nothing came within the channel time-out, when the server
// has closed the connection, or when Esc was pressed during a multi-line reply: that aborts the
// run (AbortFlag), so what is left of the reply is never read as another command's. A
// multi-line reply cut short by a time-out or a close gives its latest continuation line.
// On a logged-in connection (ConnectedFlag set) a reply that does not come in time, or a
// connection the server has closed, drops the connection: the channel is closed without QUIT,
// ConnectedFlag becomes 0, ReplyLine "000 Connection lost", and a warning names the cause in
// every mode. A 421 reply (the server is closing the connection) drops it the same way, and
// is returned and kept as ReplyLine.
std::string ftpGetReply(Session& session);
// The same with a time-out of its own for each line of this reply, in place of the channel's;
// with OnSilence::kKeepConnection a time-out keeps the connection (a close by the server
// never does). `silent_before_ms`, the time the server had already let pass without a word (a
// data connection that fell silent), is counted in the wait the lost-connection warning names.
std::string ftpGetReply(Session& session, int timeout_ms, OnSilence silence,
                        int silent_before_ms = 0);

// The reply code of `line`: the number read from its first three characters (blanks and tabs
// skipped, optional sign, digits, optional decimal fraction), rounded down; 0 without a number.
int32_t ftpReplyCode(std::string_view line);

// The text of a reply line: from its fourth character on, trimmed of blanks.
std::string_view ftpReplyLineText(std::string_view line);

// Keeps `line` as the last reply when its code is higher than LastReplyCode: its text
// (ftpReplyLineText) and the code.
void ftpRecordReply(Session& session, std::string_view line);

// Empties the last reply (text "", code 0).
void ftpClearReply(Session& session);

int32_t ftpLastReplyCode(const Session& session);
// LastReplyText without leading blanks.
std::string ftpLastReplyText(const Session& session);

// A short English description of reply code `code`; empty for codes without one.
// The program does not use it; it is kept for callers of the FTP library.
std::string ftpReplyText(int32_t code);

// Reads one reply and prints its final line in debug mode; nothing is recorded.
std::string ftpGetShownReply(Session& session);
// The same, with every line of the reply, its final line last, into `lines` (emptied first;
// a reply that did not come leaves it without a final line).
std::string ftpGetShownReplyLines(Session& session, std::vector<std::string>& lines);

// The standard exchange of a command: send `command`, read the reply, print it in debug mode
// and record it. Returns the reply line.
std::string ftpExchange(Session& session, std::string_view command);
// The reading half of ftpExchange, for a command sent ahead of the reading of its reply: reads
// the reply, prints it in debug mode and records it.
std::string ftpReadAnswer(Session& session);

// True when the fourth character of `line` is "-" (a line that opens or continues a reply).
bool ReplyContinues(std::string_view line);

// Framing of one reply, line by line, without any input or output of its own.
//
// The first line of a reply is its final line when it is empty or begins with a digit. Once a
// line with "-" in its fourth place has opened a multi-line reply, a later line ends it only
// when it begins with three digits and has no "-" in its fourth place, so a text line such as
// "2 files here" inside a banner does not end the reply. An empty line after a continuation
// line (the read timed out or the connection closed) ends the reply with that continuation
// line as its result.
class ReplyFraming {
 public:
  // Takes the next line received. Returns the reply's final line when `line` completes the
  // reply, nothing when `line` is a continuation line (then available as last_continuation()).
  std::optional<std::string> Take(std::string line);

  const std::string& last_continuation() const { return last_continuation_; }

 private:
  bool multi_line_ = false;  // a line with "-" in its fourth place has opened the reply
  bool continued_ = false;   // at least one continuation line has been taken
  std::string last_continuation_;
};

}  // namespace koru

#endif  // KORU_FTP_CONTROL_H_
