#ifndef KORU_FTP_UPLOAD_H_
#define KORU_FTP_UPLOAD_H_

#include <cstdint>
#include <string>

#include "ftp/ftp_session.h"
#include "run/env.h"

namespace koru {

// Stores the local file `local` on the server as `remote`: TYPE I, a passive data connection
// (ftpOpenDataConnection), "STOR " + `remote`, then the file in full blocks of 8,192
// bytes and a final part of the rest (sizes are 64-bit). With `progress` non-zero the console title
// shows the share sent after every full block, rounded down ("50% Sent"); the final part does not
// change it, and the title is left as it is at the end. The local file is opened for reading only,
// so a file that may be read but not written uploads too.
//
// On success: 1, once the server has confirmed the stored file with 226 after the data connection
// closed. On failure: 0; nothing is sent when AbortFlag is set (nothing recorded either) or the
// local file is missing or cannot be opened. The only console lines are
// "hh:mm:ss NNN Local File Access Error" (NNN: the error number of the failed open) and
// "hh:mm:ss " + the PASV reply's code (three digits) + " " + its text when no data connection
// can be made. A STOR answered with
// anything but 150 or 125 ends the upload. After a failed read or send the data connection is
// closed and the final reply still read, so that it is not taken later for the reply to another
// command. The reply that tells what happened ("001 Local File Not Found" for a missing file, the
// access error, the data connection error, the STOR reply or the final reply) is offered to
// ftpRecordReply. The local file and the data connection are closed on every path.
// The program does not use it; it is kept for callers of the FTP library.
int32_t ftpPutFile(Session& session, int32_t progress, const std::string& remote,
                   const std::string& local);

}  // namespace koru

#endif  // KORU_FTP_UPLOAD_H_
