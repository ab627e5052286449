#ifndef KORU_RUN_OPTIONS_H_
#define KORU_RUN_OPTIONS_H_

#include <cstdint>
#include <string>

namespace koru {

// How the control and data connections are protected, from the location's scheme: ftp://
// (or none), ftpes:// (AUTH TLS after the greeting) or ftps:// (TLS from the first byte).
enum class ConnectionSecurity { kPlain, kExplicitTls, kImplicitTls };

// What the command line asked for, read once before the run starts and not changed by it.
// Flags are 0 (off) or -1 (on); VerboseLevel, ResumeMode and SubDirMode take 0, -1 or 1 and
// their sign matters.
struct Options {
  std::string ProgramTitle;   // base of the console title: "KORU 20080313"
  std::string LoginPassword;  // handed to ftpConnect
  int32_t BlockDelay = 0;     // the pause in ms after each received block the run starts with
  int32_t VerboseLevel = 0;   // 0 quiet, -1 verbose (-V), 1 debug (+V)
  int32_t MoveMode = 0;       // delete remote files after verified downloads
  int32_t UniqueNames = 0;    // store under a free numbered name (with MoveMode)
  int32_t OverwriteMode = 0;  // download every file, erasing the local copy first
  int32_t ResumeMode = 0;     // 0 never, -1 when dates agree (-R), 1 always (+R)
  int32_t SubDirMode = 0;     // 0 none, 1 recurse (-S), -1 create the first level (-T)
  int32_t NewerMode = 0;      // -N: fetch again what changed on the server (size or date)
  int32_t Connections = 0;    // -P: control connections at once (1-16); 0 one at a time
  int32_t QuietMode = 0;      // -Q: nothing on standard output, failures on standard error
  // -L: dates come from the listing only; the server is asked for no FEAT, MLSD or MDTM.
  int32_t ListingDatesOnly = 0;
  ConnectionSecurity Security = ConnectionSecurity::kPlain;

  bool verbose() const { return VerboseLevel != 0; }
  bool debug() const { return VerboseLevel > 0; }
};

}  // namespace koru

#endif  // KORU_RUN_OPTIONS_H_
