#include "ftp/control.h"

#include <array>
#include <cmath>
#include <utility>

#include "platform/text.h"

namespace koru {
namespace {

bool BeginsWithThreeDigits(std::string_view line) {
  return line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]);
}

struct ReplyDescription {
  int32_t code;
  const char* text;
};

constexpr std::array<ReplyDescription, 39> kReplyDescriptions{{
    {110, "Restart Marker Reply"},
    {120, "Service available soon:"},
    {125, "Data Connection Open. Starting Transfer"},
    {150, "File ready. About to open data connection."},
    {200, "Success"},
    {202, "Command Not Implemented"},
    {211, "System Status"},
    {212, "Directory Status"},
    {213, "File Status"},
    {214, "Help Message"},
    {215, "System Type Name"},
    {220, "Service Ready"},
    {221, "Connection Closing. Operation Aborted"},
    {225, "Connection Open. No transfer in progress."},
    {226, "Transfer completed successfully."},
    {227, "Entering Passive Mode"},
    {230, "User Logged In"},
    {250, "Action Completed Successfully"},
    {257, "Directory Created Ok or Current Directory is Ok."},
    {331, "User Ok, but password needed."},
    {332, "Account needed"},
    {350, "Action Pending Further Information"},
    {421, "Service Unavailable"},
    {425, "Data Connection Not Opened."},
    {426, "Data Connection Closed"},
    {450, "File unavailable"},
    {451, "Local Processing Error"},
    {452, "Not Enough Disk Space"},
    {500, "Command Not Recognized"},
    {501, "Syntax Error: Invalid parameters or arguments"},
    {502, "Not Implemented"},
    {503, "Bad Command Sequence"},
    {504, "Command Unavailable"},
    {530, "User Not Logged In"},
    {532, "Account Needed to Store Files"},
    {550, "Access Denied"},
    {551, "Page Type Unknown"},
    {552, "Storage Limit Exceeded"},
    {553, "Bad File Name"},
}};

}  // namespace

bool ReplyContinues(std::string_view line) { return line.size() >= 4 && line[3] == '-'; }

std::optional<std::string> ReplyFraming::Take(std::string line) {
  if (line.empty()) {
    if (continued_) return std::move(last_continuation_);
    return line;
  }
  if (ReplyContinues(line)) {
    multi_line_ = true;
  } else if (multi_line_ ? BeginsWithThreeDigits(line) : IsDigit(line[0])) {
    return line;
  }
  continued_ = true;
  last_continuation_ = std::move(line);
  return std::nullopt;
}

void ftpSendCommand(Session& session, std::string_view text) {
  const int h = session.h;
  RunSettings& s = session.state;
  if (s.AbortFlag) return;
  session.PassiveAhead.reset();
  if (session.CommandTerminator.empty()) session.CommandTerminator = "\r\n";
  std::string line;
  line.reserve(text.size() + session.CommandTerminator.size());
  line.append(text).append(session.CommandTerminator);
  session.channels.Send(h, line);
  if (session.debug()) session.TranscriptLine(text);
}

bool ftpUnlessStopped(Session& session, const std::function<bool()>& attempt) {
  for (;;) {
    session.channels.ClearError();
    if (attempt()) return true;
    if (session.channels.Error() != kErrInterrupted || session.state.AbortFlag ||
        session.TakeStop()) {
      return false;
    }
  }
}

bool ftpOpenChannel(Session& session, int h, const std::string& host, int port) {
  Env& env = session.env;
  return ftpUnlessStopped(
      session, [&] { return session.channels.Open(h, host, port, env.channel_timeout_ms); });
}

namespace {

std::string WaitText(int timeout_ms) {
  if (timeout_ms % 1000 == 0) return std::to_string(timeout_ms / 1000) + " s";
  return std::to_string(timeout_ms) + " ms";
}

// A logged-in control connection that gave no reply, or said it is closing, is of no further
// use: it is closed at once, without QUIT, so the engine connects anew for what is left.
// `reply_line` is what ReplyLine keeps of it.
void DropConnection(Session& session, const std::string& why, std::string_view reply_line) {
  Env& env = session.env;
  session.CloseChannel();
  session.ConnectedFlag = kOff;
  session.ReplyLine = reply_line;
  env.TimedLine(" * Warning: Connection lost (" + why + ")");
}

// Reads one reply, each line waiting at most `timeout_ms`. `silence` tells whether a wait that
// ends with nothing loses the connection; `silent_before_ms` is the silence that came before.
std::string ReadReply(Session& session, int timeout_ms, OnSilence silence,
                      int silent_before_ms = 0, std::vector<std::string>* lines = nullptr) {
  Env& env = session.env;
  const int h = session.h;
  ReplyFraming framing;
  // The attempt holds one reference only, so that the function it is passed as keeps it
  // without a heap block of its own for every line.
  struct LineRead {
    Channels& channels;
    int h;
    int timeout_ms;
    std::string text;
  };
  auto read_line = [&] {
    LineRead read{session.channels, h, timeout_ms, {}};
    ftpUnlessStopped(session, [&read] {
      read.text = read.channels.ReadLine(read.h, read.timeout_ms);
      return !read.text.empty();
    });
    return std::move(read.text);
  };
  std::string line = read_line();
  const bool got_nothing = line.empty();
  for (;;) {
    std::optional<std::string> reply = framing.Take(std::move(line));
    if (reply) {
      if (got_nothing && session.channels.Error() == kErrInterrupted) {
        session.ReplyLine.clear();
        return std::string();
      }
      if (got_nothing && !session.channels.IsOpen(h)) {
        session.ReplyLine = kConnectionLostReply;
        return std::string();
      }
      if (got_nothing && session.ConnectedFlag == kOn) {
        if (session.channels.PeerClosed(h)) {
          DropConnection(session, "closed by the server", kConnectionLostReply);
          return std::string();
        }
        if (silence == OnSilence::kDropConnection && session.channels.Error() == kErrTimeout) {
          DropConnection(session, "no reply in " + WaitText(silent_before_ms + timeout_ms),
                         kConnectionLostReply);
          return std::string();
        }
      }
      session.ReplyLine = *reply;
      if (lines) lines->push_back(*reply);
      // 421: the server is closing the connection, so the next command would find it gone.
      if (ftpReplyCode(*reply) == 421 && session.ConnectedFlag == kOn) {
        DropConnection(session, "closed by the server", *reply);
      }
      return std::move(*reply);
    }
    if (session.debug()) session.TranscriptLine(framing.last_continuation());
    if (lines) lines->push_back(framing.last_continuation());
    line = read_line();
    if (!line.empty() && env.PollKey() == kKeyEsc) {
      // The run ends here: nothing is sent any more, so the rest of this reply is never
      // taken for the reply to another command.
      session.UserAbort();
      session.ReplyLine.clear();
      return std::string();
    }
  }
}

}  // namespace

std::string ftpGetReply(Session& session) {
  const int h = session.h;
  return ReadReply(session, session.channels.TimeoutOf(h), OnSilence::kDropConnection);
}

std::string ftpGetReply(Session& session, int timeout_ms, OnSilence silence, int silent_before_ms) {
  return ReadReply(session, timeout_ms < 0 ? 0 : timeout_ms, silence,
                   silent_before_ms < 0 ? 0 : silent_before_ms);
}

int32_t ftpReplyCode(std::string_view line) {
  std::string_view code = line.substr(0, 3);
  // An exponent does not continue a reply code: "1E2" is 1.
  code = code.substr(0, code.find_first_of("EeDd"));
  return static_cast<int32_t>(std::floor(NumericValue(code)));
}

bool ReplyLosesConnection(std::string_view reply) {
  return reply == kConnectionLostReply || ftpReplyCode(reply) == 421;
}

std::string_view ftpReplyLineText(std::string_view line) {
  return TrimBlanks(line.substr(std::min<size_t>(3, line.size())));
}

void ftpRecordReply(Session& session, std::string_view line) {
  const int32_t code = ftpReplyCode(line);
  if (code <= session.LastReplyCode) return;
  session.LastReplyText.assign(ftpReplyLineText(line));
  session.LastReplyCode = code;
}

void ftpClearReply(Session& session) {
  session.LastReplyText.clear();
  session.LastReplyCode = 0;
}

int32_t ftpLastReplyCode(const Session& session) { return session.LastReplyCode; }

std::string ftpLastReplyText(const Session& session) {
  return std::string(TrimLeftBlanks(session.LastReplyText));
}

std::string ftpReplyText(int32_t code) {
  for (const ReplyDescription& row : kReplyDescriptions) {
    if (row.code == code) return row.text;
  }
  return std::string();
}

std::string ftpGetShownReply(Session& session) {
  std::string reply = ftpGetReply(session);
  if (session.debug()) session.TranscriptLine(reply);
  return reply;
}

std::string ftpGetShownReplyLines(Session& session, std::vector<std::string>& lines) {
  lines.clear();
  std::string reply = ReadReply(session, session.channels.TimeoutOf(session.h),
                                OnSilence::kDropConnection, 0, &lines);
  if (session.debug()) session.TranscriptLine(reply);
  return reply;
}

std::string ftpExchange(Session& session, std::string_view command) {
  ftpSendCommand(session, command);
  return ftpReadAnswer(session);
}

std::string ftpReadAnswer(Session& session) {
  std::string reply = ftpGetShownReply(session);
  ftpRecordReply(session, reply);
  return reply;
}

}  // namespace koru
