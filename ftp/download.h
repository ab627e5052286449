#ifndef KORU_FTP_DOWNLOAD_H_
#define KORU_FTP_DOWNLOAD_H_

#include <climits>
#include <cstdint>
#include <string>
#include <string_view>

#include "ftp/ftp_session.h"
#include "platform/system_error.h"
#include "run/env.h"

namespace koru {

// A file to download as its listing gave it: the text after RETR, the listed size (0 or
// less: unknown) and the listed date (local time; a zero year, month or day: unknown), exact to
// the second where `exact_time`.
struct FileToFetch {
  std::string path;
  int64_t listed_size = 0;
  SYSTEMTIME listed_time{};
  bool exact_time = false;
};

// What a download does with its local file, decided by its caller.
class LocalFilePolicy {
 public:
  virtual ~LocalFilePolicy() = default;
  // Once the data connection is open and before RETR: erases `local` or keeps it; true when
  // it is to be resumed.
  virtual bool PrepareForDownload(const std::string& local, const SYSTEMTIME& listed_time) = 0;
  // The local file `local` has been opened for writing (created, emptied or to be resumed).
  virtual void Opened(const std::string& /*local*/) {}
  // After the transfer, the file closed: what becomes of it (an empty one, its date).
  virtual void FinishDownload(const std::string& local, const SYSTEMTIME& listed_time) = 0;
};

// How one download ended.
struct DownloadResult {
  // The size the complete local file must have; 0 when the transfer loop was not reached.
  int64_t expected_total = 0;
  TransferOutcome outcome;
  // Why a received block could not be stored; a full disk (kErrDiskFull) is not warned about
  // here, since it ends more than this download.
  SystemError local_error{};
  // The session's reply line after the download (the final reply, the refusal, or
  // kConnectionLostReply), whether it tells of a lost connection (ReplyLosesConnection) and
  // whether the connection is still logged in.
  std::string reply{};
  bool lost = false;
  bool logged_in = false;
};

// Downloads `remote` into the local file `local`, as ftpGetFile does (which is this download's
// expected total), and tells how it ended.
DownloadResult DownloadFile(Session& session, const FileToFetch& remote, const std::string& local,
                            LocalFilePolicy& policy);

// Downloads `remote` (the text after RETR) into the local file `local`.
// Once the data connection is open, `policy` erases the local file or keeps it to be resumed
// (REST with its size). A refused REST, or no resume, starts the file afresh (emptied). The
// expected count comes from the 150/125 reply (AnnouncedCount), else the listed size less the
// resume offset, else it is unknown (-1); a count that would make the file larger than a
// positive listed size is cut down to fit it (verbose line).
// The receive loop ends when the expected count is reached, the data connection ends, a local
// write fails, or at Tab (this file) or Esc (AbortFlag set); it shows the progress in the title,
// waits BlockDelay ms per block (a wait any key, Ctrl-C or SIGTERM cuts short), and "+" "="
// "-" "_" change BlockDelay for the rest of the run.
// The data connection is closed, then the final reply is awaited unless NoStatusLine or
// AbortFlag is set (none coming sets NoStatusLine). Then `policy` finishes the local file
// (deletes an empty one, dates it). The last text read from the control
// connection (or the error line printed) is recorded.
// Returns the size the complete local file must have (expected count + resume offset) once the
// transfer loop was reached, whatever ended it; 0 when it failed before (no data connection,
// local file not opened, RETR not answered 150 or 125) or AbortFlag was set on entry.
int64_t ftpGetFile(Session& session, const FileToFetch& remote, const std::string& local,
                   LocalFilePolicy& policy);

// Changes the delay after each block by `step` ms, as "+" (100) and "-" (-100) do: below 0
// it becomes 0, and it is held at the largest 32-bit delay. Returns the text that says so
// ("Delay = 200ms", or "Delay disabled, full speed transfer." when it went below 0).
std::string StepBlockDelay(RunSettings& settings, int step);

// What a 150 reply announces as the byte count: the number inside the first parentheses, alone
// or followed by "bytes" (so "... (1234 bytes)." gives 1234). When the remote name holds
// parentheses, only the text behind the name (or its last part) in the reply counts.
// kNoCount when the reply has no pair of parentheses there, or they hold anything else
// ("(binary mode)").
inline constexpr int64_t kNoCount = INT64_MIN;
int64_t AnnouncedCount(std::string_view reply, std::string_view remote);

}  // namespace koru

#endif  // KORU_FTP_DOWNLOAD_H_
