#ifndef KORU_SYNC_SCHEDULER_H_
#define KORU_SYNC_SCHEDULER_H_

#include <atomic>
#include <condition_variable>
#include <coroutine>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ftp/remote_facts.h"
#include "ftp/transfer_status.h"
#include "run/env.h"
#include "sync/run_totals.h"
#include "sync/step.h"
#include "sync/task.h"
#include "sync/worker.h"
#include "sync/worker_console.h"

namespace koru {

// How a run uses its connections: data the engine reads, never a mode it branches on.
struct ConnectionPolicy {
  int connections = 1;
  // The engine opens and ends connections with steps of their own (each directory phase its
  // connection, the step-by-step variant one per step); otherwise every connection logs itself
  // in once, when first needed, and ends with the run.
  bool logins_by_step = true;
  // One listing of a directory serves its sub-directories and its files.
  bool one_listing = false;
  // Sub-directories, listings and downloads go on beside one another, each on any free
  // connection; otherwise one after another in the documented order.
  bool overlap = false;
  // TYPE is sent only when it changes the connection's type.
  bool skip_repeated_type = false;
  // Commands that need no reply before the next go out together (Session::PipelinesCommands).
  bool pipeline = false;

  // One connection at a time, in the documented sequence.
  static ConnectionPolicy OneAtATime() { return {}; }
  // `connections` at once (1 to kMaxConnections), each logged in once for the run.
  static ConnectionPolicy Lean(int connections);
};

// Owns all of a run's engine state on one thread (the caller's): it runs the engine's tasks,
// hands their steps to the workers and takes the reports back. Over one connection at a time
// the one worker runs each step at once on this thread, with the run's console; over several,
// each worker runs on a thread of its own, and this thread reads the keys and draws the title
// and the status line while they work.
class Scheduler {
 public:
  // `state`: the run's state, which every connection of the run shares.
  Scheduler(Env& run, const Options& options, RunSettings& state, RunTotals& totals,
            const Login& login, const ConnectionPolicy& policy);
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // Runs `root` to its end, then ends every connection; its result, or 1 after the user's stop.
  int32_t RunToEnd(Task<int32_t> root);

  // Awaiting this runs `step` on a connection (the one, or any free one) and gives its report.
  class StepAwaiter {
   public:
    StepAwaiter(Scheduler& scheduler, Step step) : scheduler_(scheduler), step_(std::move(step)) {}
    bool await_ready();
    void await_suspend(std::coroutine_handle<> waiter);
    StepReport await_resume() { return std::move(report_); }

   private:
    Scheduler& scheduler_;
    Step step_;
    StepReport report_;
  };
  StepAwaiter Run(Step step) { return StepAwaiter(*this, std::move(step)); }

  // Awaiting this waits until the downloads asked for and not yet reported are few enough for
  // another: a few per connection wait their turn, the rest of a listing waits as entries.
  struct DownloadRoom {
    Scheduler& scheduler;
    bool await_ready() const { return scheduler.HasDownloadRoom(); }
    void await_suspend(std::coroutine_handle<> waiter) { scheduler.room_waiters_.push_back(waiter); }
    void await_resume() const {}
  };
  DownloadRoom RoomForDownload() { return DownloadRoom{*this}; }

  // The environment the engine's own lines, titles and local files go through.
  Env& env() { return *env_; }
  const Options& options() const { return options_; }
  RunSettings& state() { return state_; }
  RunTotals& totals() { return totals_; }
  const ConnectionPolicy& policy() const { return policy_; }
  const Login& login() const { return login_; }

  // The user's stop, looked for between entries: AbortFlag, or (over one connection, where no
  // other thread reads the keys) an Esc waiting; other keys are dropped.
  bool AbortRequested();
  // Prints "** User Abort **" unless the run has already.
  void PrintAbort();

 private:
  struct Job {
    Step step;
    std::coroutine_handle<> waiter;  // none for the scheduler's own logins
    StepReport* report = nullptr;
    int worker = -1;  // the connection it must run on; -1: any
    int tabs_seen = 0;  // the Tab presses before it was handed out: none of them is its
  };
  struct Slot;
  struct Done {
    int worker;
    Job job;
    StepReport report;
    bool logged_in_note = false;  // the worker has logged in; its step goes on
  };

  bool HasDownloadRoom() const;
  void DownloadReported();
  void Enqueue(Job job);
  void Dispatch();
  void HandOut(Slot& slot, Job job);
  Slot* FreeSlot(const Job& job);
  void Finish(Done done);
  void StartFurtherLogins();
  void GiveUp(Slot& slot, const StepReport& report);
  void NoteServerLimit();
  void Deliver(Job& job, StepReport report);
  void FailPending();
  bool Usable(const Slot& slot) const;
  void WaitForReports(const std::function<bool()>& finished);
  void QuitAll();
  void Tick();
  void ActOnKey(int key);
  void DrawStatus(int64_t now);
  void EndDisplay();
  void WorkerLoop(Slot& slot);
  // Where dates are not to come from the listing only, `session` learns and reads what the
  // server offers through the run's RemoteFacts.
  void ShareRemoteFacts(Session& session);

  const Options& options_;
  RunSettings& state_;
  RunTotals& totals_;
  const Login& login_;
  const ConnectionPolicy policy_;
  // What the server offers for exact dates, shared by the run's connections.
  RemoteFacts remote_facts_;
  const bool inline_;  // one worker, on this thread
  std::unique_ptr<LockedConsole> locked_;
  std::unique_ptr<Env> own_env_;  // this thread's view of the run over several connections
  Env* env_;
  KeySignals keys_;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::deque<Job> listings_;   // waiting for a connection, before the downloads
  std::deque<Job> transfers_;  // waiting for a connection
  std::mutex done_mutex_;
  std::condition_variable done_signal_;
  std::deque<Done> done_;
  int logins_under_way_ = 0;
  // The further connections log in only once the first has: a server that allows one
  // connection lets in the first, which waits out a busy server.
  bool first_logged_in_ = false;
  bool limit_reached_ = false;
  bool limit_noted_ = false;
  std::atomic<int64_t> bytes_ = 0;
  int downloads_asked_ = 0;  // asked for and not yet reported
  std::deque<std::coroutine_handle<>> room_waiters_;
  int files_known_ = 0;
  int files_in_flight_ = 0;
  int files_done_ = 0;
  std::optional<RateMeter> meter_;
  int64_t next_draw_ms_ = 0;
  std::pair<int, int> drawn_files_{-1, -1};  // known and done, as the status last showed them
  std::string status_text_;
};

}  // namespace koru

#endif  // KORU_SYNC_SCHEDULER_H_
