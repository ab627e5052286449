#include "sync/sync_engine.h"

#include "sync/directory_sync.h"

namespace koru {

int32_t SyncSubDirectoryInParallel(Env& env, RunTotals& totals, ParallelRun& run,
                                   const std::string& server, const std::string& user,
                                   const std::string& password, const std::string& remotePath,
                                   const std::string& localDir, const std::string& mask) {
  return DirectorySync(env, totals, server, user, password, remotePath, localDir, mask, false, 0,
                       &run)
      .Run();
}

void PrintUserAbort(Env& env) {
  if (env.state.AbortReported.exchange(kOn)) return;
  env.TimedLine(" ** User Abort **");
}

int32_t SyncSubDirectory(Env& env, RunTotals& totals, const std::string& server,
                         const std::string& user, const std::string& password,
                         const std::string& remotePath, const std::string& localDir,
                         const std::string& mask) {
  return DirectorySync(env, totals, server, user, password, remotePath, localDir, mask, false, 0)
      .Run();
}

int32_t SyncDirectory(Env& env, RunTotals& totals, const std::string& server,
                      const std::string& user, const std::string& password,
                      const std::string& remotePath, const std::string& localDir,
                      const std::string& mask) {
  return DirectorySync(env, totals, server, user, password, remotePath, localDir, mask, true, 0)
      .Run();
}

}  // namespace koru
