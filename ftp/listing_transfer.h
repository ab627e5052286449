#ifndef KORU_FTP_LISTING_TRANSFER_H_
#define KORU_FTP_LISTING_TRANSFER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "ftp/ftp_session.h"
#include "run/env.h"

namespace koru {

// Fetches the listing of the current remote directory into `lines` (emptied first): PASV,
// "TYPE A", then "LIST" (or "LIST " + argument), and the data connection's lines in the order
// received up to the first blank one or its end, every one kept as it came (the engine decides
// which names it may act on). The title shows the lines read, "(n lines) LIST " + directory +
// argument; Esc ends the listing and sets AbortFlag.
// The data connection is closed before the final reply is awaited, and that reply is recorded.
// No final reply is awaited while NoStatusLine or AbortFlag is set. One that does not come
// within the channel time-out loses the connection (see ftpGetReply); after a data connection
// that timed out it is awaited at most env.stalled_reply_wait_ms. After a first line beginning
// with "total " it is awaited at most env.status_line_wait_ms, and one that does not come sets
// NoStatusLine. (Each of these waits is at most the channel time-out.)
// Returns the number of lines stored. 0 when AbortFlag is set on entry, when no data connection
// could be opened (the reply to PASV is printed, and in verbose mode that no passive connection
// could be had), when LIST is refused with a code of 400 or more (recorded; no data read, no
// final reply awaited), and when the listing is incomplete: a final reply of 400 or more or a
// connection lost on the way (what arrived is dropped whole). LastTransfer tells these apart:
// `failed` with the reply line that tells why.
int32_t ftpList(Session& session, const std::string& directory, const std::string& argument,
                std::vector<std::string>& lines);

// What a listing came to, told whole: ftpList computes its result through ListDirectory, which
// records into the session as ftpList says. `verb` is the listing command ("MLSD" for the
// machine-readable listing, whose lines come the same way).
struct ListingOutcome {
  std::vector<std::string> lines{};  // what ftpList stores
  TransferOutcome transfer{};        // what ftpList keeps as LastTransfer
  std::string reply{};               // the session's reply line after the listing
  bool lost = false;                 // it failed because the connection was lost on the way
  bool logged_in = false;            // the connection is still logged in after it
};
ListingOutcome ListDirectory(Session& session, const std::string& directory,
                             const std::string& argument, const std::string& verb = "LIST");

// The raw lines of the full listing (a plain "LIST" through ftpList) that PARSELISTLINE reads
// as directories, into `names` (emptied first). Returns their number; 0 (and `names` untouched)
// when AbortFlag is set.
int32_t ftpListDirs(Session& session, const std::string& directory,
                    std::vector<std::string>& names);

}  // namespace koru

#endif  // KORU_FTP_LISTING_TRANSFER_H_
