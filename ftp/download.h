#ifndef KORU_FTP_DOWNLOAD_H_
#define KORU_FTP_DOWNLOAD_H_

#include <cstdint>
#include <climits>
#include <string>
#include <string_view>

#include "app/env.h"

namespace koru {

// Downloads `remote` (the text after RETR) into the local file `local`, erasing, resuming or
// starting it afresh as the run settings say, and stamps it with RemoteFileTime. Reads
// RemoteFileSize, RemoteFileTime, OverwriteMode, ResumeMode, BlockDelay; keys change BlockDelay,
// Tab abandons the file, Esc sets AbortFlag. Returns the size the complete local file must have
// (bytes expected + resume offset) once the transfer loop was reached, whatever ended it;
// 0 when it failed before (or AbortFlag was set on entry).
int64_t ftpGetFile(Env& env, int control, const std::string& host, const std::string& remote,
                   const std::string& local);

// What a 150 reply announces as the byte count: the number after the first parenthesis (so
// "... (1234 bytes)." gives 1234; a piece that holds no number gives 0). When the remote name
// holds parentheses, only the text behind the name (or its last part) in the reply counts.
// kNoCount when the reply has no pair of parentheses there.
inline constexpr int64_t kNoCount = INT64_MIN;
int64_t AnnouncedCount(std::string_view reply, std::string_view remote);

}  // namespace koru

#endif  // KORU_FTP_DOWNLOAD_H_
