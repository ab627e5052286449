#ifndef KORU_FTP_DOWNLOAD_H_
#define KORU_FTP_DOWNLOAD_H_

#include <cstdint>
#include <string>

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

}  // namespace koru

#endif  // KORU_FTP_DOWNLOAD_H_
