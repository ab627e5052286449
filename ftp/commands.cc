#include "ftp/commands.h"

#include <cstdint>
#include <optional>

#include "ftp/control.h"
#include "ftp/data_connection.h"
#include "platform/text.h"

namespace koru {
namespace {

std::string_view WithoutTrailingSlashes(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  return path;
}

int32_t ExchangeExpecting(Session& session, std::string_view command, int32_t success) {
  return ftpReplyCode(ftpExchange(session, command)) == success ? 1 : 0;
}

// The CWD command to the path `d` is left with ("/" when nothing is left, so a path of slashes
// only reaches the root, which servers do not take as an empty argument).
std::string ChangeDirCommand(std::string_view d) {
  return "CWD " + (d.empty() ? std::string("/") : std::string(d));
}

bool ChangedDir(std::string_view reply) {
  const int32_t code = ftpReplyCode(reply);
  return code == 250 || code == 220 || code == 200;
}

int32_t ChangeTo(Session& session, std::string_view d) {
  if (session.state.AbortFlag) return 0;
  return ChangedDir(ftpExchange(session, ChangeDirCommand(d))) ? 1 : 0;
}

CommandOutcome Outcome(const Session& session, bool ok) {
  const bool lost = !ok && ReplyLosesConnection(session.ReplyLine);
  return {.ok = ok, .reply = session.ReplyLine, .lost = lost, .logged_in = session.logged_in()};
}

}  // namespace

int32_t ftpChangeDir(Session& session, const std::string& dir) {
  return ChangeTo(session, TrimBlanks(WithoutTrailingSlashes(dir)));
}

int32_t ftpChangeDirExact(Session& session, const std::string& dir) {
  return ChangeDirExactly(session, dir).ok ? 1 : 0;
}

CommandOutcome ChangeDirExactly(Session& session, const std::string& dir) {
  return Outcome(session, ChangeTo(session, WithoutTrailingSlashes(dir)) != 0);
}

CommandOutcome ChangeDirForListing(Session& session, const std::string& dir) {
  if (!session.PipelinesCommands) return ChangeDirExactly(session, dir);
  if (session.state.AbortFlag) return Outcome(session, false);
  const bool type_changes = session.TransferType != 'A';
  ftpSendCommand(session, ChangeDirCommand(WithoutTrailingSlashes(dir)));
  if (type_changes) ftpSendCommand(session, "TYPE A");
  ftpSendCommand(session, PassiveCommand(session));
  const std::string changed = ftpReadAnswer(session);
  if (type_changes && session.logged_in() && ftpReplyCode(ftpReadAnswer(session)) == 200) {
    session.TransferType = 'A';
  }
  if (session.logged_in()) KeepPassiveAhead(session);
  // The CWD's reply decides the step and is the one an error line quotes.
  if (session.logged_in()) session.ReplyLine = changed;
  return Outcome(session, ChangedDir(changed));
}

int64_t ftpFileSize(Session& session, const std::string& file) {
  return RemoteFileSize(session, file).size;
}

SizeOutcome RemoteFileSize(Session& session, const std::string& file) {
  const std::string reply = ftpExchange(session, "SIZE " + file);
  std::optional<int64_t> size;
  if (ftpReplyCode(reply) == 213) {
    size = DigitsValue(TrimBlanks(std::string_view(reply).substr(3)), 19);
  }
  return {Outcome(session, size.has_value()), size.value_or(-1)};
}

int32_t ftpMakeDir(Session& session, const std::string& dir) {
  return ExchangeExpecting(session, "MKD " + dir, 257);
}

int32_t ftpRemoveDir(Session& session, const std::string& dir) {
  return ExchangeExpecting(session, "RMD " + dir, 250);
}

int32_t ftpRemoveFile(Session& session, const std::string& file) {
  return RemoveFile(session, file).ok ? 1 : 0;
}

CommandOutcome RemoveFile(Session& session, const std::string& file) {
  return Outcome(session, ExchangeExpecting(session, "DELE " + file, 250) != 0);
}

int32_t ftpRename(Session& session, const std::string& from, const std::string& to) {
  return ftpRenameFile(session, from, to);
}

int32_t ftpRenameFile(Session& session, const std::string& from, const std::string& to) {
  ftpSendCommand(session, "RNFR " + from);
  std::string reply = ftpGetShownReply(session);
  int32_t result = 0;
  if (ftpReplyCode(reply) == 350) {
    ftpSendCommand(session, "RNTO " + to);
    reply = ftpGetShownReply(session);
    result = ftpReplyCode(reply) == 250 ? 1 : 0;
  }
  ftpRecordReply(session, reply);
  return result;
}

namespace {

// Sends TYPE; the session keeps the type once the server has taken it.
void SetType(Session& session, char type) {
  if (session.state.AbortFlag) return;
  if (session.SkipsRepeatedType && session.TransferType == type) return;
  const std::string reply = ftpExchange(session, std::string("TYPE ") + type);
  if (ftpReplyCode(reply) == 200) session.TransferType = type;
}

}  // namespace

void ftpTypeAscii(Session& session) { SetType(session, 'A'); }

void ftpTypeBinary(Session& session) { SetType(session, 'I'); }

std::string ftpPwd(Session& session) {
  if (session.state.AbortFlag) return std::string();
  const std::string reply = ftpExchange(session, "PWD");
  if (ftpReplyCode(reply) != 257) return std::string();
  const size_t open = reply.find('"');
  if (open == std::string::npos) return std::string();
  const size_t close = reply.find('"', open + 1);
  return reply.substr(open + 1, close == std::string::npos ? close : close - open - 1);
}

int32_t ftpMakeDirTree(Session& session, const std::string& path) {
  return EnsureDirTree(session, path).ok ? 1 : 0;
}

namespace {

int32_t MakeTree(Session& session, const std::string& path) {
  std::string p(WithoutTrailingSlashes(path));
  if (!ftpChangeDir(session, p) && !p.empty()) {
    const size_t slash = p.rfind('/');
    const bool has_parent = slash != std::string::npos;
    // A single name is made in the current remote directory, which is there to change into.
    const std::string parent = has_parent ? p.substr(0, slash) : ".";
    const std::string last = has_parent ? p.substr(slash + 1) : p;
    if (ftpChangeDir(session, parent) || (has_parent && MakeTree(session, parent))) {
      ftpMakeDir(session, parent + "/" + last);
    }
    p = parent;
  }
  return ftpChangeDir(session, p);
}

}  // namespace

CommandOutcome EnsureDirTree(Session& session, const std::string& path) {
  return Outcome(session, MakeTree(session, path) != 0);
}

}  // namespace koru
