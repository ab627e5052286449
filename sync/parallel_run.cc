#include "sync/parallel_run.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <thread>

#include "ftp/download.h"
#include "ftp/transfer_status.h"
#include "platform/text.h"
#include "sync/engine_lock.h"
#include "sync/shared_console.h"
#include "sync/sync_engine.h"

namespace koru {
namespace {

constexpr auto kKeyCheck = std::chrono::milliseconds(50);

// The run's own thread while the connections work: the keys, the title and the status line.
class RunMonitor {
 public:
  RunMonitor(Env& env, SharedConsole& shared, ParallelRun& run)
      : env_(env),
        shared_(shared),
        run_(run),
        meter_(env.clock.MonotonicMs(), 0),
        next_draw_ms_(env.clock.MonotonicMs()) {}

  void Tick() {
    for (int key = shared_.TakeKey(); key != kNoKey; key = shared_.TakeKey()) ActOn(key);
    const int64_t now = env_.clock.MonotonicMs();
    if (now < next_draw_ms_) return;
    next_draw_ms_ = now + kStatusRedrawMs;
    Draw(now);
  }

  void End() {
    if (shared_.HasStatusLine()) shared_.ClearStatus();
    shared_.SetTitle(std::string_view(env_.options.ProgramTitle).substr(0, kTitleLength));
  }

 private:
  void ActOn(int key) {
    switch (key) {
      case kKeyEsc:
        env_.state.AbortFlag = kOn;
        shared_.SetTitle("User abort - closing connection");
        break;
      case '+':
      case '=':
        ChangeDelay(100);
        break;
      case '-':
      case '_':
        ChangeDelay(-100);
        break;
      default:
        break;
    }
  }

  void ChangeDelay(int step) {
    const std::string text = StepBlockDelay(env_.state, step);
    shared_.SetTitle(text);
    if (env_.debug()) shared_.WriteLine(env_.Time() + " * " + text);
  }

  void Draw(int64_t now) {
    const int64_t bytes = run_.bytes;
    meter_.Add(now, bytes);
    const int64_t rate = meter_.BytesPerSecond(now, bytes);
    text_.clear();
    AppendDecimal(text_, run_.files_in_flight);
    text_ += " in flight, ";
    AppendDecimal(text_, run_.files_done);
    text_ += " of ";
    AppendDecimal(text_, run_.files_known);
    text_ += " files";
    if (rate >= 0) {
      text_ += ", ";
      AppendRate(text_, rate);
    }
    shared_.SetTitle(std::string_view(env_.options.ProgramTitle + " - " + text_)
                         .substr(0, kTitleLength));
    if (!shared_.HasStatusLine()) return;
    shared_.ShowStatus(RunStatus{run_.files_in_flight, run_.files_done, run_.files_known, bytes,
                                 rate, env_.state.BlockDelay});
  }

  Env& env_;
  SharedConsole& shared_;
  ParallelRun& run_;
  RateMeter meter_;
  int64_t next_draw_ms_;
  std::string text_;
};

// Runs `work` on a thread of its own while this thread reads the keys and draws the title and
// the status line.
template <class Work>
void WhileMonitored(RunMonitor& monitor, Work work) {
  std::mutex finished_mutex;
  std::condition_variable finished_signal;
  bool finished = false;
  std::thread worker([&] {
    work();
    const std::lock_guard lock(finished_mutex);
    finished = true;
    finished_signal.notify_all();
  });
  for (;;) {
    std::unique_lock lock(finished_mutex);
    if (finished_signal.wait_for(lock, kKeyCheck, [&] { return finished; })) break;
    lock.unlock();
    monitor.Tick();
  }
  worker.join();
}

}  // namespace

int32_t MirrorInParallel(Env& env, RunTotals& totals, int connections, const std::string& server,
                         const std::string& user, const std::string& password,
                         const std::string& remotePath, const std::string& localDir,
                         const std::string& mask) {
  SharedConsole shared(env.console);
  ConnectionConsole directory_console(shared);
  Env directories(env, directory_console);
  const int count = std::clamp(connections, 1, kMaxConnections);
  ConnectionPool pool(env, shared, count, server, user, password);
  ParallelRun run(pool, count);
  pool.CountBytesIn(&run.bytes);

  RunMonitor monitor(env, shared, run);
  int32_t result = 0;
  WhileMonitored(monitor, [&] {
    const EngineLock lock(run.engine);
    result = SyncSubDirectoryInParallel(directories, totals, run, server, user, password,
                                        remotePath, localDir, mask);
  });
  // The keys are still heard while the connections end, so a stop cuts the waits for their
  // replies short.
  WhileMonitored(monitor, [&] { pool.QuitAll(); });
  monitor.End();
  // A stop heard only by the downloads in flight, after every entry was handed out, or during
  // the final QUITs, is said here, once, as the run over one connection says it.
  if (env.state.AbortFlag) {
    PrintUserAbort(env);
    result = 1;
  }
  return result;
}

}  // namespace koru
