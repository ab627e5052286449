#include "ftp/listing_transfer.h"

#include <algorithm>
#include <utility>

#include "ftp/commands.h"
#include "ftp/control.h"
#include "ftp/data_connection.h"
#include "ftp/tls_session.h"
#include "ftp/transfer_status.h"
#include "listing/list_parser.h"
#include "platform/channels.h"

namespace koru {
namespace {

bool IsBlank(const std::string& line) { return TrimBlanks(line).empty(); }


// Reads the listing's lines into `lines` up to the first blank one or the end of the data.
// True when the lines ended because the data connection timed out.
bool ReadListingLines(Session& session, int data, const std::string& title_tail,
                      std::vector<std::string>& lines, bool& began_with_total) {
  Env& env = session.env;
  ListingProgress progress(env, title_tail);
  session.channels.ClearError();
  for (;;) {
    std::string line;
    const bool read = ftpUnlessStopped(session, [&] {
      line = session.channels.ReadLine(data);
      return !line.empty();
    });
    if (!read && session.channels.Error() == kErrInterrupted) {
      session.LastTransfer.user_cut = true;
      return false;
    }
    if (session.debug()) session.TranscriptLine(line);
    if (lines.empty() && !session.NoStatusLine && line.rfind("total ", 0) == 0)
      began_with_total = true;
    if (IsBlank(line)) return line.empty() && session.channels.Error() == kErrTimeout;
    lines.push_back(std::move(line));
    progress.Update(static_cast<int64_t>(lines.size()));
    if (env.PollKey() == kKeyEsc) {
      session.UserAbort();
      session.LastTransfer.user_cut = true;
      return false;
    }
  }
}

// A listing is incomplete when its final reply refuses it (400 or more) or the connection was
// lost on the way; a listing whose final reply was not awaited is taken as it is.
bool ListingComplete(const Session& session, const std::string& final_reply) {
  if (session.ReplyLine == kConnectionLostReply) return false;
  return final_reply.empty() || ftpReplyCode(final_reply) < 400;
}

// Fetches the listing as ftpList says, recording into the session.
void FetchListing(Session& session, const std::string& directory, const std::string& argument,
                  std::vector<std::string>& lines, const std::string& verb) {
  Env& env = session.env;
  RunSettings& s = session.state;
  TransferOutcome& outcome = session.LastTransfer;
  outcome = TransferOutcome{};
  lines.clear();
  if (s.AbortFlag) return;
  DataChannel data(session, ftpOpenDataConnection(session));
  if (!data.is_open()) {
    ReportNoDataConnection(session);
    if (session.verbose() && !s.AbortFlag) {
      env.TimedLine(" * Error: Unable to get passive connection.");
    }
    return;
  }
  ftpTypeAscii(session);
  ftpSendCommand(session, argument.empty() ? verb : verb + " " + argument);
  const std::string reply = ftpGetShownReply(session);
  // A refused listing sends no data and no final reply: waiting for them would only stall
  // the run and misplace the replies of the commands that follow.
  if (ftpReplyCode(reply) >= 400 || session.ReplyLine == kConnectionLostReply) {
    ftpRecordReply(session, reply);
    outcome.failed = outcome.refused = true;
    outcome.reply = session.ReplyLine;
    return;
  }

  bool began_with_total = false;
  const bool secured = ftpSecureData(session, data.channel());
  const bool stalled = secured && ReadListingLines(session, data.channel(), directory + argument,
                                                   lines, began_with_total);
  const FinalReplyWait wait = stalled            ? FinalReplyWait::kAfterStall
                              : began_with_total ? FinalReplyWait::kMayBeMissing
                                                 : FinalReplyWait::kChannel;
  const bool awaited = FinalReplyAwaited(session);
  const std::string final_reply = ftpEndTransfer(session, data, wait);
  if (awaited && session.debug()) session.TranscriptLine(final_reply);
  if (NumericValue(final_reply) > 0) ftpRecordReply(session, final_reply);
  if (!s.AbortFlag && (!secured || !ListingComplete(session, final_reply))) {
    // What came is not the whole directory: none of it may be acted on.
    outcome.failed = true;
    outcome.reply = session.ReplyLine;
    lines.clear();
  } else {
    outcome.reply = final_reply;
  }
}

}  // namespace

int32_t ftpList(Session& session, const std::string& directory, const std::string& argument,
                std::vector<std::string>& lines) {
  lines = std::move(ListDirectory(session, directory, argument).lines);
  return static_cast<int32_t>(lines.size());
}

ListingOutcome ListDirectory(Session& session, const std::string& directory,
                             const std::string& argument, const std::string& verb) {
  ListingOutcome listing;
  FetchListing(session, directory, argument, listing.lines, verb);
  listing.transfer = session.LastTransfer;
  listing.reply = session.ReplyLine;
  listing.lost = listing.transfer.failed && ReplyLosesConnection(listing.reply);
  listing.logged_in = session.logged_in();
  return listing;
}

int32_t ftpListDirs(Session& session, const std::string& directory,
                    std::vector<std::string>& names) {
  Env& env = session.env;
  if (session.state.AbortFlag) return 0;
  names.clear();
  std::vector<std::string> lines;
  ftpList(session, directory, "", lines);
  const SYSTEMTIME today = env.clock.Now();
  for (const std::string& line : lines) {
    LISTENTRY entry;
    if (PARSELISTLINE(line, entry, today) && entry.isDir) names.push_back(line);
  }
  return static_cast<int32_t>(names.size());
}

}  // namespace koru
