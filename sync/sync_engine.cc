#include "sync/sync_engine.h"

#include <memory>

#include "sync/directory_mirror.h"
#include "sync/scheduler.h"

namespace koru {
namespace {

int32_t Mirror(Env& env, const Options& options, RunSettings& state, RunTotals& totals,
               const Login& login, const ConnectionPolicy& policy, const std::string& remotePath,
               const std::string& localDir, const std::string& mask, bool step_variant) {
  Scheduler scheduler(env, options, state, totals, login, policy);
  DirectoryMirror root(scheduler, remotePath, localDir, mask, step_variant, 0);
  return scheduler.RunToEnd(root.Run());
}

}  // namespace

void PrintUserAbort(Env& env, RunSettings& state) {
  if (state.AbortReported.exchange(kOn)) return;
  env.TimedLine(" ** User Abort **");
}

int32_t SyncSubDirectory(Env& env, const Options& options, RunSettings& state, RunTotals& totals,
                         const std::string& server, const std::string& user,
                         const std::string& password, const std::string& remotePath,
                         const std::string& localDir, const std::string& mask) {
  return Mirror(env, options, state, totals, {server, user, password},
                ConnectionPolicy::OneAtATime(), remotePath, localDir, mask, false);
}

int32_t SyncDirectory(Env& env, const Options& options, RunSettings& state, RunTotals& totals,
                      const std::string& server, const std::string& user,
                      const std::string& password, const std::string& remotePath,
                      const std::string& localDir, const std::string& mask) {
  return Mirror(env, options, state, totals, {server, user, password},
                ConnectionPolicy::OneAtATime(), remotePath, localDir, mask, true);
}

int32_t MirrorInParallel(Env& env, const Options& options, RunSettings& state, RunTotals& totals,
                         int connections, const std::string& server, const std::string& user,
                         const std::string& password, const std::string& remotePath,
                         const std::string& localDir, const std::string& mask) {
  return Mirror(env, options, state, totals, {server, user, password},
                ConnectionPolicy::Lean(connections), remotePath, localDir, mask, false);
}

}  // namespace koru
