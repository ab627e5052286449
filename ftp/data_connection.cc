#include "ftp/data_connection.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "ftp/control.h"
#include "ftp/extended_passive.h"

namespace koru {
namespace {

// The text between the first "(" or ")" and the next one; empty when there is none.
std::string_view SecondParenthesisPiece(std::string_view text) {
  const size_t open = text.find_first_of("()");
  if (open == std::string_view::npos) return {};
  const size_t close = text.find_first_of("()", open + 1);
  return text.substr(open + 1, close == std::string_view::npos ? close : close - open - 1);
}

// The `index`-th (from 1) comma-separated piece of `fields`, empty when there are fewer.
std::string_view Piece(std::string_view fields, int index) {
  for (int i = 1; i < index; ++i) {
    const size_t comma = fields.find(',');
    if (comma == std::string_view::npos) return {};
    fields.remove_prefix(comma + 1);
  }
  return fields.substr(0, fields.find(','));
}

// A port byte: the number at the start of the piece, rounded down, its low 8 bits.
int PortByte(std::string_view piece) {
  const double value = std::floor(NumericValue(piece));
  if (!(value > -1e15 && value < 1e15)) return 0;
  return static_cast<int>(static_cast<int64_t>(value) & 0xFF);
}

// The value of the decimal digits the text begins with (at most 18 of them); 0 when it begins
// with none.
int64_t LeadingDigitsValue(std::string_view text) {
  return DigitsValue(LeadingDigits(text).substr(0, 18)).value_or(0);
}

constexpr int kMaxPasvRequests = 16;

// Connects to the port that `reply`, the answer to the passive command `command`, names, at
// the address the control connection is connected to (the address in a reply is never used).
// Returns the data channel or -1.
int32_t ConnectToPassivePort(Session& session, const std::string& reply,
                             const std::string& command) {
  const bool extended = command == "EPSV";
  if (ftpReplyCode(reply) != (extended ? 229 : 227)) return -1;
  // A port the reply does not name exactly is never guessed at.
  const int port = extended ? EpsvPort(reply) : PasvPort(PasvFields(reply));
  if (port <= 0) return -1;
  const std::string peer = session.channels.PeerAddress(session.h);
  if (peer.empty()) return -1;
  const int32_t data = OpenDataChannel(session, peer, port);
  return data > 0 ? data : -1;
}

}  // namespace

std::string AskForDataPort(Session& session, const std::string& command) {
  if (session.PassiveAhead) {
    std::string reply = std::move(*session.PassiveAhead);
    session.PassiveAhead.reset();
    session.ReplyLine = reply;
    ftpRecordReply(session, reply);
    if (session.debug()) session.TranscriptLine(reply);
    return reply;
  }
  std::string reply = "250";
  // A 250 still waiting from an earlier command is swallowed and the command sent again. A
  // server that answers every one with 250 is given up on instead of being asked for ever.
  for (int asked = 0; asked < kMaxPasvRequests && LeadingDigitsValue(reply) == 250; ++asked) {
    ftpSendCommand(session, command);
    reply = ftpGetReply(session);
    ftpRecordReply(session, reply);
    if (session.debug()) session.TranscriptLine(reply);
  }
  return reply;
}

std::string PassiveCommand(const Session& session) {
  return IsIpv6Address(session.channels.PeerAddress(session.h)) ? "EPSV" : "PASV";
}

void KeepPassiveAhead(Session& session) {
  Env& env = session.env;
  const std::string decided = session.ReplyLine;
  const int wait = std::min(env.stalled_reply_wait_ms, session.channels.TimeoutOf(session.h));
  // Read as on a connection not logged in: a connection that ends here has lost nothing, and
  // says nothing of it.
  session.ConnectedFlag = kOff;
  std::string reply = "250";
  for (int read = 0; read < kMaxPasvRequests && LeadingDigitsValue(reply) == 250; ++read) {
    reply = ftpGetReply(session, wait, OnSilence::kKeepConnection);
  }
  const bool open = session.h >= 1 && session.channels.IsOpen(session.h);
  if (open && !reply.empty() && ftpReplyCode(reply) != 421) {
    session.ConnectedFlag = kOn;
    session.PassiveAhead = std::move(reply);
  } else if (open && !session.state.AbortFlag) {
    // The server closes the connection (a time-out), or leaves the command unanswered, and an
    // answer that came later would be taken for another command's: the connection goes
    // quietly, and where the server was silent the next one sends every command alone.
    if (reply.empty()) session.PipelinesCommands = false;
    session.CloseChannel();
  } else if (open) {
    session.ConnectedFlag = kOn;
  } else {
    session.CloseChannel();
  }
  session.ReplyLine = decided;
}

int32_t ftpOpenDataConnection(Session& session) {
  if (IsIpv6Address(session.channels.PeerAddress(session.h))) {
    return ftpOpenExtendedDataConnection(session);
  }
  return OpenPassiveDataConnection(session, "PASV");
}

int32_t OpenPassiveDataConnection(Session& session, const std::string& command) {
  return ConnectToPassivePort(session, AskForDataPort(session, command), command);
}

std::string ReportNoDataConnection(Session& session) {
  Env& env = session.env;
  if (session.state.AbortFlag) return std::string();
  const std::string& reply = session.ReplyLine;
  const std::string line =
      ZeroPad(ftpReplyCode(reply), 3) + " " + std::string(ftpReplyLineText(reply));
  // A lost connection has had its warning; it gave no reply to show.
  if (reply != kConnectionLostReply) env.TimedLine(" " + line);
  session.LastTransfer.failed = true;
  session.LastTransfer.reply = line;
  return line;
}

std::string_view PasvFields(std::string_view reply) { return SecondParenthesisPiece(reply); }

int PasvPort(std::string_view fields) {
  return PortByte(Piece(fields, 5)) * 256 + PortByte(Piece(fields, 6));
}

int32_t ftpParsePasv(Session& session, const std::string& host, std::string_view fields) {
  const int port = PasvPort(fields);
  if (port == 0) return -1;
  return OpenDataChannel(session, host, port);
}

int32_t OpenDataChannel(Session& session, const std::string& host, int port) {
  const int channel = session.pool.Lowest();
  if (!ftpOpenChannel(session, channel, host, port)) return -1;
  return channel;
}

size_t Read_data_block(Session& session, int data, std::span<char> buffer) {
  return session.channels.Receive(data, buffer.data(), buffer.size());
}

int32_t Write_data_block(Session& session, int data, std::string_view block) {
  session.channels.ClearError();
  session.channels.Send(data, block);
  return session.channels.Error() == 0 ? 1 : 0;
}

bool FinalReplyAwaited(const Session& session) {
  return session.NoStatusLine != kOn && session.state.AbortFlag != kOn;
}

std::string ftpEndTransfer(Session& session, DataChannel& data, FinalReplyWait wait) {
  Env& env = session.env;
  const int control = session.h;
  data.Close();
  if (!FinalReplyAwaited(session)) return std::string();
  if (!session.channels.IsOpen(control)) return std::string(kConnectionLostReply);
  const int channel_wait = session.channels.TimeoutOf(control);
  std::string reply;
  switch (wait) {
    case FinalReplyWait::kChannel:
      reply = ftpGetReply(session);
      break;
    case FinalReplyWait::kAfterStall:
      // The data connection's time-out has passed already without a word from the server.
      reply = ftpGetReply(session, std::min(env.stalled_reply_wait_ms, channel_wait),
                          OnSilence::kDropConnection, channel_wait);
      break;
    case FinalReplyWait::kMayBeMissing:
      reply = ftpGetReply(session, std::min(env.status_line_wait_ms, channel_wait),
                          OnSilence::kKeepConnection);
      break;
  }
  // A server that sends no final reply while the connection stays: later transfers stop
  // waiting for one.
  if (reply.empty() && session.ReplyLine != kConnectionLostReply) session.NoStatusLine = kOn;
  return reply;
}

}  // namespace koru
