#ifndef KORU_FTP_COMMANDS_H_
#define KORU_FTP_COMMANDS_H_

#include <cstdint>
#include <string>

#include "ftp/ftp_session.h"
#include "run/env.h"

// The single-exchange commands on a logged-in control connection (`session`). Each sends its
// command, reads the reply, prints it in debug mode and records it (ftpExchange), and returns 1
// for the success code(s) named, 0 otherwise (a time-out or a closed connection included).
// Nothing is printed besides the debug display. Names are sent as given, except by ftpChangeDir.
namespace koru {

// "CWD " + `dir` without trailing "/" and then without leading and trailing blanks ("CWD /"
// when nothing is left, so a path of slashes only reaches the root); success on 250, 220 or 200.
// Returns 0 at once, without traffic, while AbortFlag is set.
int32_t ftpChangeDir(Session& session, const std::string& dir);
// The same with `dir` exactly as given but for its trailing "/": blanks at the ends of the
// last name belong to it, as a listing shows them.
int32_t ftpChangeDirExact(Session& session, const std::string& dir);

// "SIZE " + `file`: the size of a 213 reply; -1 for any other reply (ReplyLine then holds it).
int64_t ftpFileSize(Session& session, const std::string& file);

// "MKD " + `dir`: success on 257.
int32_t ftpMakeDir(Session& session, const std::string& dir);
// "RMD " + `dir`: success on 250. The program does not use it; it is kept for callers of the FTP library.
int32_t ftpRemoveDir(Session& session, const std::string& dir);
// "DELE " + `file`: success on 250.
int32_t ftpRemoveFile(Session& session, const std::string& file);

// "RNFR " + `from`, and on 350 "RNTO " + `to`; success when RNTO is answered 250. Only the
// latest reply read is recorded. The program does not use it; it is kept for callers of the FTP library.
int32_t ftpRename(Session& session, const std::string& from, const std::string& to);
int32_t ftpRenameFile(Session& session, const std::string& from, const std::string& to);

// "TYPE A" / "TYPE I"; the reply is recorded but not examined. Nothing while AbortFlag is set.
void ftpTypeAscii(Session& session);
void ftpTypeBinary(Session& session);

// "PWD": on 257 the text between the first two double quotes of the reply (the rest of the
// line after a lone quote), otherwise empty. Empty at once while AbortFlag is set.
// The program does not use it; it is kept for callers of the FTP library.
std::string ftpPwd(Session& session);

// Makes sure the remote directory `path` exists, creating missing levels from the top down
// (each MKD names the full path of its level). A name without "/" is created in the current
// remote directory. Returns the result of the final change of directory: into `path` itself
// when it existed, otherwise into the parent of the level created last, which is then the
// remote working directory.
int32_t ftpMakeDirTree(Session& session, const std::string& path);

// What a command came to, told whole, so that its caller reads nothing of the session after
// it. The procedures above compute their results through these forms, recording as they say.
struct CommandOutcome {
  bool ok = false;  // the command did what it was for
  // The session's reply line after it: the reply that decided it, kConnectionLostReply when
  // none came and the connection was dropped, empty when none came otherwise.
  std::string reply{};
  bool lost = false;       // it failed because the connection was lost (ReplyLosesConnection)
  bool logged_in = false;  // the connection is still logged in after it
};
struct SizeOutcome : CommandOutcome {
  int64_t size = -1;  // the size a 213 reply gave (then `ok`); -1 otherwise
};

// As ftpChangeDirExact, ftpRemoveFile, ftpFileSize and ftpMakeDirTree.
CommandOutcome ChangeDirExactly(Session& session, const std::string& dir);
// ChangeDirExactly before a listing. On a connection that pipelines (PipelinesCommands) the
// CWD goes out together with TYPE A (where the connection's type is another) and the passive
// command of the listing, whose reply is kept for it (KeepPassiveAhead); the outcome and
// ReplyLine are the CWD's. A server that leaves the passive command unanswered has the
// connection closed quietly: the outcome may then be ok on a connection no longer logged in.
CommandOutcome ChangeDirForListing(Session& session, const std::string& dir);
CommandOutcome RemoveFile(Session& session, const std::string& file);
SizeOutcome RemoteFileSize(Session& session, const std::string& file);
CommandOutcome EnsureDirTree(Session& session, const std::string& path);

}  // namespace koru

#endif  // KORU_FTP_COMMANDS_H_
