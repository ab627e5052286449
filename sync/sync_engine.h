#ifndef KORU_SYNC_SYNC_ENGINE_H_
#define KORU_SYNC_SYNC_ENGINE_H_

#include <cstdint>
#include <string>

#include "run/env.h"
#include "run/options.h"
#include "run/run_settings.h"
#include "sync/run_totals.h"

namespace koru {

// Directories deeper than this below the starting one are neither created nor entered; a
// warning names each of them.
inline constexpr int kMaxDirectoryDepth = 100;

// The most connections a run opens at once.
inline constexpr int kMaxConnections = 16;

// Prints "** User Abort **" unless this run has printed it already.
void PrintUserAbort(Env& env, RunSettings& state);

// Makes the local directory `localDir` (ending in "/") catch up with the remote directory
// `remotePath` (ending in "/", or "./"): with SubDirMode set, first creates the local
// sub-directories and, with -S, synchronises them depth first; then downloads every listed file
// that is missing or smaller locally, verifies it by size, deletes it on the server with
// MoveMode, and dates complete local files like the remote ones. Passes repeat while one
// verified a download (never with OverwriteMode); a file verified once is not fetched again by
// the same call while it is listed unchanged. A mask beginning with "=" only prints the
// listing. Listed names "." and "..", and names holding "/", "\" or a NUL byte, are skipped, so
// nothing is written outside `localDir`.
// Returns 1 after a failed connection, a user abort (AbortFlag set) or a sub-directory that
// returned 1; else 0. Every connection it opens is closed before it returns. What it transfers
// and fails is counted in `totals`.
int32_t SyncSubDirectory(Env& env, const Options& options, RunSettings& state, RunTotals& totals,
                         const std::string& server, const std::string& user,
                         const std::string& password, const std::string& remotePath,
                         const std::string& localDir, const std::string& mask);

// The step-by-step variant for the starting directory: it creates the remote path on the server
// where it is missing, connects anew for every step, and hands sub-directories to
// SyncSubDirectory.
int32_t SyncDirectory(Env& env, const Options& options, RunSettings& state, RunTotals& totals,
                      const std::string& server, const std::string& user,
                      const std::string& password, const std::string& remotePath,
                      const std::string& localDir, const std::string& mask);

// Mirrors like SyncSubDirectory over up to `connections` control connections at once: each
// logs in once for the run (the further ones while the first lists), sends TYPE only when its
// type changes, and one listing of a directory serves its sub-directories and its files.
// Directories are listed and files downloaded on any free connection, listings first; every
// rule for a file and a directory holds as in the one-connection run, and so do the totals.
// The calling thread reads the keys (Esc stops every connection, Tab ends every download in
// flight, + and - change the delay of all) and keeps the title and the status line on the
// whole run. Every connection ends with QUIT, all at once.
int32_t MirrorInParallel(Env& env, const Options& options, RunSettings& state, RunTotals& totals,
                         int connections, const std::string& server, const std::string& user,
                         const std::string& password, const std::string& remotePath,
                         const std::string& localDir, const std::string& mask);

}  // namespace koru

#endif  // KORU_SYNC_SYNC_ENGINE_H_
