#include "ftp/download.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "ftp/commands.h"
#include "ftp/control.h"
#include "ftp/data_connection.h"
#include "ftp/tls_session.h"
#include "ftp/transfer_status.h"
#include "localfs/local_files.h"
#include "platform/local_file.h"

namespace koru {
namespace {

// What one download works with, besides the run settings.
struct Transfer {
  LocalFile file;
  int64_t offset = 0;     // bytes the local file held when the server accepted REST
  int64_t expected = -1;  // bytes this transfer should deliver; 0 or less: unknown
  int64_t received = 0;
  std::string last_text;  // the last text read from the control connection
  SystemError write_error;  // why a block could not be stored
};

// Opens the local file, emptied unless it is resumed; prints the error line on failure.
bool OpenLocalFile(Session& session, Transfer& t, const std::string& local, bool resume) {
  Env& env = session.env;
  const auto mode = resume ? LocalFile::Mode::kReadWrite : LocalFile::Mode::kReadWriteEmpty;
  t.file = LocalFile(*env.files);
  if (t.file.Open(session.pool, local, mode)) return true;
  const SystemError error = t.file.LastError();
  t.last_text = ZeroPad(error.number, 3) + " Local File Open Error";
  env.TimedLine(" " + t.last_text);
  WarnLocalFileError(env, local, error.text);
  return false;
}

// Sends REST for the bytes present. False when the file could not be opened afresh after a
// refusal.
bool Restart(Session& session, Transfer& t, const std::string& local) {
  Env& env = session.env;
  // The write position is settled before the server is asked: once it has accepted REST, the
  // data must go after the bytes present, never over them.
  if (t.file.SeekToEnd()) {
    const int64_t present = t.file.Size();
    ftpSendCommand(session, "REST " + std::to_string(present));
    t.last_text = ftpGetShownReply(session);
    if (ftpReplyCode(t.last_text) == 350) {
      t.offset = present;
      return true;
    }
  }
  if (session.verbose()) env.TimedLine(" * Server does not support download resume.");
  t.file.Close();
  DeleteLocalFile(*env.files, local);
  return OpenLocalFile(session, t, local, false);
}

// The expected count with the listing's check: a count that would make the file larger than
// listed is cut down, with a verbose line.
int64_t ExpectedCount(Session& session, const std::string& reply, const FileToFetch& remote,
                      int64_t offset) {
  Env& env = session.env;
  const int64_t listed = remote.listed_size;
  int64_t expected = AnnouncedCount(reply, remote.path);
  if (expected == kNoCount) expected = listed > 0 ? listed - offset : -1;
  // A count larger than the whole listed file means it has grown since it was listed (a
  // server that names the whole size on a resumed transfer names no more than that).
  if (listed > 0 && expected > listed) session.LastTransfer.server_had_more = true;
  if (listed > 0 && expected + offset > listed) {
    // Many servers name the whole file on a resumed transfer: only a count that is neither
    // that nor what REST leaves is a lie worth a line.
    const bool lied = offset > 0 && expected != listed;
    expected = listed - offset;
    if (lied && session.verbose()) {
      env.TimedLine(" Server lied about REST bytes. Adjusting to " + std::to_string(expected) +
                    " bytes.");
    }
  }
  return expected;
}

void ChangeDelay(Session& session, int step, DownloadProgress& progress) {
  Env& env = session.env;
  RunSettings& s = session.state;
  const std::string text = StepBlockDelay(s, step);
  env.Title(text);
  if (session.debug()) env.TimedLine(" * " + text);
  progress.Redraw();
  env.PauseUnlessKey(s.BlockDelay);
}

// Acts on a key pressed during the transfer. False when the loop is to end.
bool HandleKey(Session& session, int key, DownloadProgress& progress) {
  Env& env = session.env;
  switch (key) {
    case '+':
    case '=':
      ChangeDelay(session, 100, progress);
      return true;
    case '-':
    case '_':
      ChangeDelay(session, -100, progress);
      return true;
    case kKeyEsc:
      session.UserAbort();
      session.LastTransfer.user_cut = true;
      return false;
    case kKeyTab:
      env.Title("User abort file - closing connection");
      session.LastTransfer.user_cut = true;
      return false;
    default:
      return true;
  }
}

// Blocks are 8,192 bytes. While no delay is set and no key has been pressed, nothing can
// observe the block size, so the transfer takes steps of up to kFastStep bytes instead: one
// receive, one write, one title and one key poll per step.
constexpr size_t kFastStep = 256 * 1024;

// One buffer for every download of the run: no allocation per block or per file.
char* StepBuffer(Session& session) {
  if (!session.receive_buffer) session.receive_buffer.reset(new char[kFastStep]);
  return session.receive_buffer.get();
}

size_t NextStep(const Transfer& t, bool fast) {
  if (!fast) return kDataBlockSize;
  if (t.expected <= 0) return kFastStep;
  // Whole blocks up to the one that reaches the expected end: a server that sends more than
  // expected leaves the same bytes in the file as with 8,192-byte blocks.
  constexpr int64_t kBlock = kDataBlockSize;
  const int64_t blocks = (t.expected - t.received + kBlock - 1) / kBlock;
  return static_cast<size_t>(std::min<int64_t>(blocks * kBlock, kFastStep));
}

// Acts on every key waiting. False when one of them ends the transfer (Esc, Tab).
bool HandleWaitingKeys(Session& session, DownloadProgress& progress) {
  Env& env = session.env;
  for (int key = env.PollKey(); key != kNoKey; key = env.PollKey()) {
    if (!HandleKey(session, key, progress)) return false;
  }
  return true;
}

// Receives until the transfer ends. True when it ended because the data connection fell silent
// for the whole channel time-out. The status line shows `remote` while it runs.
bool ReceiveLoop(Session& session, int data, Transfer& t, const std::string& remote) {
  Env& env = session.env;
  DownloadProgress progress(env, session.state, remote, t.offset, t.expected);
  char* buffer = StepBuffer(session);
  bool key_pressed = false;
  session.channels.ClearError();
  for (;;) {
    const bool fast = session.state.BlockDelay <= 0 && !key_pressed;
    const size_t n = Read_data_block(session, data, std::span<char>(buffer, NextStep(t, fast)));
    if (n < 1) {
      if (session.channels.Error() == kErrInterrupted) {
        // The user's stop waits among the keys: act on each of them up to it. Without one after
        // all (the start of an arrow key looks like Esc until its rest arrives), receive on.
        key_pressed = true;
        if (!HandleWaitingKeys(session, progress)) return false;
        session.channels.ClearError();
        continue;
      }
      if (session.debug()) {
        session.TimedTranscriptLine(" ** Read_data_block returned zero bytes. Ending transfer.");
      }
      return session.channels.Error() == kErrTimeout;
    }
    // A block that cannot be stored ends the transfer; the size check then tells.
    if (!t.file.Write(buffer, n)) {
      t.write_error = t.file.LastError();
      return false;
    }
    t.received += static_cast<int64_t>(n);
    if (session.received_bytes) session.received_bytes->fetch_add(static_cast<int64_t>(n));
    if (t.expected > 0 && t.expected - t.received <= 0) return false;
    progress.Update(t.received);
    env.PauseUnlessKey(session.state.BlockDelay);
    const int key = env.PollKey();
    if (key == kNoKey) continue;
    key_pressed = true;
    if (!HandleKey(session, key, progress)) return false;
  }
}

// Opens the local file, restarts where asked and sends RETR. False when the transfer cannot
// start; `t.last_text` then holds the text to record.
bool StartTransfer(Session& session, Transfer& t, const FileToFetch& remote,
                   const std::string& local, LocalFilePolicy& policy) {
  const bool resume = policy.PrepareForDownload(local, remote.listed_time);
  if (!OpenLocalFile(session, t, local, resume)) return false;
  policy.Opened(local);
  ftpTypeBinary(session);
  // A stop heard while TYPE was answered ends the download before anything more is asked.
  if (session.state.AbortFlag) return false;
  if (resume && !Restart(session, t, local)) return false;
  ftpSendCommand(session, "RETR " + remote.path);
  t.last_text = ftpGetShownReply(session);
  const int32_t code = ftpReplyCode(t.last_text);
  if (code != 150 && code != 125) {
    session.LastTransfer.refused = true;
    if (session.debug()) {
      session.TranscriptLine("* Did not receive 125 or 150 level message, aborting transfer.");
    }
    return false;
  }
  if (session.debug()) session.TranscriptLine("* Received 125 or 150, starting transfer.");
  return true;
}

// The count a parenthesised piece of a 150 reply holds: a decimal number, alone or followed by
// "bytes". Anything else there ("binary mode") announces nothing, and the listed size stands.
int64_t CountInParentheses(std::string_view piece) {
  piece = TrimBlanks(piece);
  const size_t digits = piece.find_first_not_of("0123456789.");
  const std::string_view number = piece.substr(0, digits);
  if (number.empty() || number[0] < '0' || number[0] > '9') return kNoCount;
  const std::string_view unit = TrimBlanks(piece.substr(number.size()));
  if (!unit.empty() && UpperCase(unit) != "BYTES") return kNoCount;
  const double value = std::floor(NumericValue(number));
  return value < 9e18 ? static_cast<int64_t>(value) : kNoCount;
}

}  // namespace

std::string StepBlockDelay(RunSettings& settings, int step) {
  // Held within 32 bits: "+" at the largest delay leaves it there.
  constexpr int64_t kLargest = std::numeric_limits<int32_t>::max();
  const int64_t delay = std::min(int64_t{settings.BlockDelay} + step, kLargest);
  if (delay < 0) {
    settings.BlockDelay = 0;
    return "Delay disabled, full speed transfer.";
  }
  settings.BlockDelay = static_cast<int32_t>(delay);
  return "Delay = " + std::to_string(delay) + "ms";
}

int64_t AnnouncedCount(std::string_view reply, std::string_view remote) {
  if (remote.find_first_of("()") != std::string_view::npos) {
    // Parentheses in the name are not the size: look behind the name (or its last part).
    const std::string upper = UpperCase(reply);
    size_t at = upper.find(UpperCase(remote));
    size_t length = remote.size();
    if (at == std::string::npos) {
      const std::string_view base = remote.substr(remote.rfind('/') + 1);
      at = upper.find(UpperCase(base));
      length = base.size();
    }
    if (at != std::string::npos) reply.remove_prefix(at + length);
  }
  if (reply.find('(') == std::string_view::npos || reply.find(')') == std::string_view::npos) {
    return kNoCount;
  }
  const size_t open = reply.find_first_of("()");
  const size_t close = reply.find_first_of("()", open + 1);
  return CountInParentheses(reply.substr(open + 1, close - open - 1));
}

namespace {

// Downloads as ftpGetFile says, recording into the session; the connection's state is not told.
DownloadResult Fetch(Session& session, const FileToFetch& remote, const std::string& local,
                     LocalFilePolicy& policy) {
  Env& env = session.env;
  RunSettings& s = session.state;
  TransferOutcome& outcome = session.LastTransfer;
  outcome = TransferOutcome{};
  if (s.AbortFlag) return {.expected_total = 0, .outcome = outcome};
  DataChannel data(session, ftpOpenDataConnection(session));
  if (!data.is_open()) {
    ftpRecordReply(session, ReportNoDataConnection(session));
    return {.expected_total = 0, .outcome = outcome};
  }
  Transfer t;
  int64_t result = 0;
  if (StartTransfer(session, t, remote, local, policy)) {
    t.expected = ExpectedCount(session, t.last_text, remote, t.offset);
    // Without its TLS the data connection carries nothing: the final reply still comes.
    const bool secured = ftpSecureData(session, data.channel());
    const bool stalled = secured && ReceiveLoop(session, data.channel(), t, remote.path);
    const bool awaited = FinalReplyAwaited(session);
    if (awaited && session.debug()) {
      session.TranscriptLine("** Waiting for server to send status line.");
    }
    const std::string final_reply = ftpEndTransfer(
        session, data, stalled ? FinalReplyWait::kAfterStall : FinalReplyWait::kChannel);
    if (awaited) {
      t.last_text = final_reply;
      if (session.debug()) session.TranscriptLine(t.last_text);
      outcome.reply = final_reply;
      outcome.failed =
          session.ReplyLine == kConnectionLostReply || ftpReplyCode(final_reply) >= 400;
    }
    outcome.failed = outcome.failed || !secured;
    result = t.expected + t.offset;
    env.Title(session.options.ProgramTitle);
  } else {
    outcome.failed = true;
    outcome.reply = outcome.refused ? session.ReplyLine : t.last_text;
  }
  data.Close();
  t.file.Close();
  // A full disk is the caller's to report: it ends more than this download.
  if (t.write_error.failed() && t.write_error.number != kErrDiskFull) {
    WarnLocalFileError(env, local, t.write_error.text);
  }
  policy.FinishDownload(local, remote.listed_time);
  ftpRecordReply(session, t.last_text);
  return {.expected_total = result, .outcome = outcome, .local_error = t.write_error};
}

}  // namespace

DownloadResult DownloadFile(Session& session, const FileToFetch& remote, const std::string& local,
                            LocalFilePolicy& policy) {
  DownloadResult result = Fetch(session, remote, local, policy);
  result.reply = session.ReplyLine;
  result.lost = ReplyLosesConnection(result.reply);
  result.logged_in = session.logged_in();
  return result;
}

int64_t ftpGetFile(Session& session, const FileToFetch& remote, const std::string& local,
                   LocalFilePolicy& policy) {
  return DownloadFile(session, remote, local, policy).expected_total;
}

}  // namespace koru
