#ifndef KORU_SYNC_PARALLEL_RUN_H_
#define KORU_SYNC_PARALLEL_RUN_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "run/env.h"
#include "sync/connection_pool.h"
#include "sync/run_totals.h"

namespace koru {

// The most connections a run opens at once.
inline constexpr int kMaxConnections = 16;

// What the directories and downloads of a run over several connections share.
struct ParallelRun {
  // Sub-directories worked on by threads of their own at once, at most: enough to keep every
  // connection busy, few enough that a tree of thousands of directories costs no more memory.
  static constexpr int kDirectoryThreadsPerConnection = 4;

  ParallelRun(ConnectionPool& connections, int connection_count)
      : pool(connections),
        spare_directory_threads(connection_count * kDirectoryThreadsPerConnection) {}

  // True (one taken) while a thread for a sub-directory is to spare.
  bool TakeDirectoryThread() {
    for (int spare = spare_directory_threads; spare > 0;) {
      if (spare_directory_threads.compare_exchange_weak(spare, spare - 1)) return true;
    }
    return false;
  }
  void GiveBackDirectoryThread() { ++spare_directory_threads; }

  ConnectionPool& pool;
  std::atomic<int> spare_directory_threads;
  std::mutex engine;  // see EngineLock
  std::atomic<int> files_known = 0;  // downloads handed to a connection so far
  std::atomic<int> files_in_flight = 0;
  std::atomic<int> files_done = 0;
  std::atomic<int64_t> bytes = 0;  // received by every download of the run
};

// Mirrors like SyncSubDirectory over up to `connections` control connections at once: each
// logs in once for the run, sends TYPE only when its type changes, and one listing of a
// directory serves its sub-directories and its files. Directories are listed and files
// downloaded on any free connection; every rule for a file and a directory holds as in the
// one-connection run, and so do the totals. This thread reads the keys (Esc stops every
// connection, Tab ends every download in flight, + and - change the delay of all) and keeps
// the title and the status line on the whole run. Every connection ends with QUIT, all at once.
int32_t MirrorInParallel(Env& env, RunTotals& totals, int connections, const std::string& server,
                         const std::string& user, const std::string& password,
                         const std::string& remotePath, const std::string& localDir,
                         const std::string& mask);

}  // namespace koru

#endif  // KORU_SYNC_PARALLEL_RUN_H_
