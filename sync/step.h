#ifndef KORU_SYNC_STEP_H_
#define KORU_SYNC_STEP_H_

#include <cstdint>
#include <string>
#include <vector>

#include "ftp/download.h"
#include "localfs/local_files.h"
#include "run/run_settings.h"
#include "sync/listed_entry.h"
#include "sync/local_file_policy.h"

namespace koru {

// What a worker is asked to do on its connection: one step of the mirror.
enum class StepKind {
  kLogIn,        // connect and log in (the connecting line where `with_line`)
  kQuit,         // QUIT
  kList,         // CWD `path` (where `change_dir`), then LIST `argument`
  kChangeDir,    // CWD `path` alone
  kMakeDirTree,  // make `path` on the server where it is missing
  kFileSize,     // TYPE I and SIZE `path`
  kDownload,     // fetch `file` into `target`
  kDelete,       // DELE `path`
};

struct Step {
  StepKind kind = StepKind::kLogIn;
  std::string path{};
  std::string argument{};     // kList: the text after LIST
  bool change_dir = false;  // kList
  bool with_line = false;   // kLogIn: the connecting line in verbose mode
  std::string list_title{};   // kList: the title while the listing comes; none: kept
  // kList: the listing feeds the comparison with local files, so it is asked for in the form
  // that dates entries best (MLSD where offered; the server's zone probed where not).
  bool exact_dates = false;
  // kDownload
  FileToFetch file{};
  LocalTarget target{};
  LocalEntry before{};   // what stands at the target's download path
  std::string origin{};  // recorded on the local file
  bool fetch = true;   // false: an empty local file is made, nothing is fetched
};

// What a step did, told whole: the engine learns nothing of a connection but this.
struct StepReport {
  bool ok = false;    // the step did what it was for
  bool lost = false;  // the connection was lost on the way (no reply, closed, or 421)
  // No connection could be had for the step (over several connections: every one is given
  // up); `reply` and `failure` tell why where one was tried.
  bool no_connection = false;
  std::string reply{};       // the line of the reply that decided the step
  int32_t kept_code = 0;   // kLogIn: the kept reply
  std::string kept_text{};
  std::string failure{};     // kLogIn: the system's text, or the server's silence
  bool server_said_no = false;  // kLogIn: the server answered, and not with a login
  // The connection could not log in (for a kLogIn step, or before another step where the
  // worker logs itself in); the step itself was not tried.
  bool login_failed = false;
  bool connected = false;  // the connection is logged in after the step
  bool dir_refused = false;  // kList: the CWD before it failed (`reply`), nothing was listed
  std::vector<std::string> lines{};  // kList
  ListingForm form{};                // kList: how `lines` are read
  TransferOutcome outcome{};         // kList, kDownload
  int64_t size = -1;               // kFileSize
  DownloadResult download{};         // kDownload
  LocalEntry after{};                // kDownload: what the download left
  int worker = 0;                  // the connection that ran it
};

}  // namespace koru

#endif  // KORU_SYNC_STEP_H_
