#include "ftp/listing_transfer.h"

#include <algorithm>

#include "ftp/commands.h"
#include "ftp/control.h"
#include "ftp/data_connection.h"
#include "listing/list_parser.h"

namespace koru {
namespace {

bool IsBlank(const std::string& line) { return TrimBlanks(line).empty(); }

// The listing's final reply. A listing that began with "total " comes from a server that may
// send none, so it is given a short wait (never longer than the channel's own); one that does
// not come stops all later waits.
std::string AwaitFinalReply(Env& env, int control, bool began_with_total) {
  const std::string reply =
      began_with_total
          ? ftpGetReply(env, control, std::min(env.status_line_wait_ms, env.channel_timeout_ms))
          : ftpGetReply(env, control);
  if (reply.empty()) env.state.NoStatusLine = kOn;
  if (env.debug()) env.Line(reply);
  return reply;
}

}  // namespace

int32_t ftpList(Env& env, int control, const std::string& host, const std::string& directory,
                const std::string& argument, std::vector<std::string>& lines) {
  RunSettings& s = env.state;
  lines.clear();
  if (s.AbortFlag) return 0;
  DataChannel data(env, ftpOpenDataConnection(env, control, host));
  if (!data.is_open()) {
    ReportNoDataConnection(env);
    if (env.verbose()) env.TimedLine(" * Error: Unable to get passive connection.");
    return 0;
  }
  ftpTypeAscii(env, control);
  ftpSendCommand(env, control, argument.empty() ? "LIST" : "LIST " + argument);
  const std::string reply = ftpGetShownReply(env, control);
  // A refused listing sends no data and no final reply: waiting for them would only stall
  // the run and misplace the replies of the commands that follow.
  if (ftpReplyCode(reply) >= 400) {
    ftpRecordReply(env, reply);
    return 0;
  }

  const SYSTEMTIME today = env.clock.Now();
  bool began_with_total = false;
  int32_t count = 0;
  for (;;) {
    const std::string line = env.channels.ReadLine(data.channel());
    if (env.debug()) env.Line(line);
    if (count == 0 && !s.NoStatusLine && line.rfind("total ", 0) == 0) began_with_total = true;
    if (IsBlank(line)) break;
    ++count;
    env.Title("(" + std::to_string(count) + " lines) LIST " + directory + argument);
    if (ListingLinePasses(line, today)) lines.push_back(line);
    if (env.PollKey() == kKeyEsc) {
      env.Title("User abort - closing connection");
      s.AbortFlag = kOn;
      break;
    }
  }
  // Closed first, so a server still sending is never left blocked on it.
  data.Close();
  if (s.NoStatusLine != kOn && s.AbortFlag != kOn) {
    const std::string final_reply = AwaitFinalReply(env, control, began_with_total);
    if (NumericValue(final_reply) > 0) ftpRecordReply(env, final_reply);
  }
  return static_cast<int32_t>(lines.size());
}

int32_t ftpListDirs(Env& env, int control, const std::string& host, const std::string& directory,
                    std::vector<std::string>& names) {
  if (env.state.AbortFlag) return 0;
  names.clear();
  std::vector<std::string> lines;
  ftpList(env, control, host, directory, "", lines);
  const SYSTEMTIME today = env.clock.Now();
  for (const std::string& line : lines) {
    LISTENTRY entry;
    if (PARSELISTLINE(line, entry, today) && entry.isDir) names.push_back(line);
  }
  return static_cast<int32_t>(names.size());
}

}  // namespace koru
