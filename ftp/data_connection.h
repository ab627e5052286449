#ifndef KORU_FTP_DATA_CONNECTION_H_
#define KORU_FTP_DATA_CONNECTION_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "ftp/ftp_session.h"
#include "run/env.h"

// Passive data connections and the blocks that travel over them.
namespace koru {

inline constexpr size_t kDataBlockSize = 8192;

// Sends PASV (again while the answer is a 250 left over from an earlier command) and connects
// to the port of the 227 reply, at the address the control connection is connected to (the
// address in the reply is never used). On a control connection over IPv6 it is EPSV and its
// 229 reply instead (ftpOpenExtendedDataConnection); PASV is never sent there.
// Returns the data channel (> 0), closed by the caller, or -1.
// A passive reply asked for ahead (PassiveAhead) is taken in place of a new one.
int32_t ftpOpenDataConnection(Session& session);
// The passive half of ftpOpenDataConnection with `command`, PASV (expecting 227) or EPSV
// (expecting 229).
int32_t OpenPassiveDataConnection(Session& session, const std::string& command);
// The passive command of the session's control connection: EPSV over IPv6, PASV otherwise.
std::string PassiveCommand(const Session& session);
// Reads the reply to a passive command sent ahead of its transfer and keeps it as PassiveAhead
// (250s left over from earlier commands swallowed, as AskForDataPort does). ReplyLine stays the
// reply read before it. A connection the server closes here (or answers with 421) is closed
// without a word, for the engine to log in again. So is one where the server leaves the
// command unanswered for env.stalled_reply_wait_ms (a late answer would be taken for another
// command's); it is sent every command alone from then on.
void KeepPassiveAhead(Session& session);

// Sends `command` on `control`, and again while the answer is a 250 left over from an earlier
// command (at most 16 times in all); records and, in debug mode, shows every answer. Returns
// the last answer. A reply asked for ahead (PassiveAhead) is taken instead, recorded and shown.
std::string AskForDataPort(Session& session, const std::string& command);

// Opens the data connection to `host`:`port` on the lowest free channel number. Returns the
// channel or -1.
int32_t OpenDataChannel(Session& session, const std::string& host, int port);

// The port from the fields between the parentheses of a 227 reply (fifth and sixth numbers, low
// 8 bits each), connected on `host`. Returns the data channel or -1.
int32_t ftpParsePasv(Session& session, const std::string& host, std::string_view fields);

// Prints, in every mode, the line that tells a transfer got no data connection: TIME, then the
// reply to the command that failed (ReplyLine: the PASV reply, or "000 Connection lost") as its
// code with three digits and its text, and notes it in LastTransfer as a failure with that
// line. Nothing is printed or noted once the user has stopped the run (the stop ended the
// wait for PASV). Returns that line without the time.
std::string ReportNoDataConnection(Session& session);

// The text between the first parenthesis of a 227 reply and the next one ("" without any).
std::string_view PasvFields(std::string_view reply);
// The port the fields of a 227 reply name: fifth number x 256 + sixth, each rounded down and
// cut to its low 8 bits; missing numbers count as 0.
int PasvPort(std::string_view fields);

// The bytes available now on `data`, at most buffer.size(), waiting at most the channel time-out.
// 0 when the server closed the connection or nothing came in time.
size_t Read_data_block(Session& session, int data, std::span<char> buffer);

// Sends every byte of `block`; 1 when all were handed to the network, 0 on failure.
int32_t Write_data_block(Session& session, int data, std::string_view block);

// Owns an open data channel and closes it when it goes out of scope (or at Close()).
class DataChannel {
 public:
  DataChannel(Session& session, int32_t channel) : channels_(session.channels), channel_(channel) {}
  ~DataChannel() { Close(); }
  DataChannel(const DataChannel&) = delete;
  DataChannel& operator=(const DataChannel&) = delete;

  bool is_open() const { return channel_ > 0; }
  int32_t channel() const { return channel_; }
  void Close() {
    if (channel_ > 0) channels_.Close(channel_);
    channel_ = -1;
  }

 private:
  Channels& channels_;
  int32_t channel_;
};

// How long the final reply of a transfer is awaited.
enum class FinalReplyWait {
  kChannel,       // the channel time-out; none coming loses the connection
  kMayBeMissing,  // a server that may send none: env.status_line_wait_ms (at most the
                  // channel time-out); none coming sets NoStatusLine
  kAfterStall,    // the data connection timed out: env.stalled_reply_wait_ms (at most the
                  // channel time-out); none coming loses the connection
};

// Whether a transfer's final reply is awaited: not once NoStatusLine or AbortFlag is set.
bool FinalReplyAwaited(const Session& session);

// The one end of every transfer: closes the data connection first, so a server still sending
// is never left blocked on it, then awaits the final reply unless NoStatusLine or AbortFlag is
// set. Returns that reply, empty when none was awaited or none came.
std::string ftpEndTransfer(Session& session, DataChannel& data, FinalReplyWait wait);

}  // namespace koru

#endif  // KORU_FTP_DATA_CONNECTION_H_
