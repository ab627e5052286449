#ifndef KORU_RUN_RUN_SETTINGS_H_
#define KORU_RUN_RUN_SETTINGS_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "platform/system_time.h"
#include "run/options.h"

namespace koru {

// How the latest listing or download ended, beyond its documented result.
struct TransferOutcome {
  bool failed = false;    // refused, no data connection, cut by a 4xx/5xx final reply or a lost
                          // connection: what arrived (if anything) is not the whole
  bool refused = false;   // the server refused the transfer command (or the connection was
                          // gone before it could answer)
  bool user_cut = false;  // Tab or Esc ended it
  bool server_had_more = false;  // the server announced more bytes than the listing showed
  std::string reply;      // the reply line that refused or ended it; empty when none was awaited
};

// The state of a run that the FTP procedures and the synchronisation engine share, besides
// the options (run/options.h). Flags are 0 (off) or -1 (on). Nothing here is reset between
// directories or passes of one run.
// The connections of one run may work at once: each flag is read and set whole.
struct RunSettings {
  std::atomic<int32_t> BlockDelay = 0;     // pause in ms after each received block (keys change it)
  std::atomic<int32_t> AbortFlag = 0;      // the user asked to stop; nothing sets it back
  std::atomic<int32_t> AbortReported = 0;  // the "** User Abort **" line has been printed
};

inline constexpr int32_t kOn = -1;
inline constexpr int32_t kOff = 0;

}  // namespace koru

#endif  // KORU_RUN_RUN_SETTINGS_H_
