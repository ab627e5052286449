#include "sync/scheduler.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "ftp/download.h"
#include "platform/text.h"
#include "sync/sync_engine.h"

namespace koru {
namespace {

constexpr auto kKeyCheck = std::chrono::milliseconds(50);

bool IsListing(StepKind kind) {
  return kind == StepKind::kList || kind == StepKind::kChangeDir || kind == StepKind::kLogIn ||
         kind == StepKind::kQuit;
}

}  // namespace

ConnectionPolicy ConnectionPolicy::Lean(int connections) {
  ConnectionPolicy policy;
  policy.connections = std::clamp(connections, 1, kMaxConnections);
  policy.logins_by_step = false;
  policy.one_listing = true;
  policy.overlap = true;
  policy.skip_repeated_type = true;
  policy.pipeline = true;
  return policy;
}

// One connection of the run: its worker and, over several connections, the thread it runs on.
struct Scheduler::Slot {
  Slot(Env& env, const Options& options, RunSettings& state, const Login& login, int number)
      : worker(env, options, state, login, number) {}
  std::unique_ptr<WorkerConsole> console;
  std::unique_ptr<Env> env;
  Worker worker;
  std::thread thread;
  std::mutex mutex;
  std::condition_variable wake;
  std::optional<Job> job;  // handed over, not yet taken by the thread
  bool stop = false;
  // The scheduler's own view of the connection, from its reports.
  bool busy = false;
  bool logging_in = false;
  bool logged_in = false;
  bool given_up = false;
};

Scheduler::Scheduler(Env& run, const Options& options, RunSettings& state, RunTotals& totals,
                     const Login& login, const ConnectionPolicy& policy)
    : options_(options),
      state_(state),
      totals_(totals),
      login_(login),
      policy_(policy),
      inline_(!policy.overlap),
      env_(&run) {
  if (inline_) {
    slots_.push_back(std::make_unique<Slot>(run, options_, state_, login_, 0));
    ShareRemoteFacts(slots_[0]->worker.session());
    slots_[0]->worker.session().SkipsRepeatedType = policy.skip_repeated_type;
    slots_[0]->worker.session().PipelinesCommands = policy.pipeline;
    return;
  }
  locked_ = std::make_unique<LockedConsole>(run.console);
  own_env_ = std::make_unique<Env>(run, *locked_);
  env_ = own_env_.get();
  for (int i = 0; i < policy.connections; ++i) {
    auto console = std::make_unique<WorkerConsole>(*locked_, state_, keys_);
    auto env = std::make_unique<Env>(run, *console);
    auto slot = std::make_unique<Slot>(*env, options_, state_, login_, i);
    slot->worker.session().received_bytes = &bytes_;
    ShareRemoteFacts(slot->worker.session());
    slot->console = std::move(console);
    slot->env = std::move(env);
    slot->worker.session().SkipsRepeatedType = policy.skip_repeated_type;
    slot->worker.session().PipelinesCommands = policy.pipeline;
    // Under +V each protocol line says which connection it belongs to, where there are several.
    if (policy.connections > 1) slot->worker.session().number = i + 1;
    slot->worker.SetEntry(i == 0 ? Worker::Entry::kWaitOutBusy : Worker::Entry::kGiveUpOnBusy);
    slots_.push_back(std::move(slot));
  }
  slots_[0]->worker.OnLoggedIn([this] {
    {
      const std::lock_guard lock(done_mutex_);
      done_.push_back(Done{0, Job{}, StepReport{}, true});
    }
    done_signal_.notify_one();
  });
  for (auto& slot : slots_) slot->thread = std::thread([this, s = slot.get()] { WorkerLoop(*s); });
}

void Scheduler::ShareRemoteFacts(Session& session) {
  if (!options_.ListingDatesOnly) session.remote_facts = &remote_facts_;
}

Scheduler::~Scheduler() {
  for (auto& slot : slots_) {
    if (!slot->thread.joinable()) continue;
    {
      const std::lock_guard lock(slot->mutex);
      slot->stop = true;
    }
    slot->wake.notify_one();
    slot->thread.join();
  }
}

namespace {

Task<void> KeepResult(Task<int32_t> root, int32_t* result) { *result = co_await root; }

}  // namespace

int32_t Scheduler::RunToEnd(Task<int32_t> root) {
  int32_t result = 0;
  // A run the user stopped before it began says nothing of it, as over one connection.
  const bool stopped_before = state_.AbortFlag != 0;
  TaskGroup run;
  run.Start(KeepResult(std::move(root), &result));
  if (inline_) return result;
  const int64_t now = env_->clock.MonotonicMs();
  meter_.emplace(now, 0);
  next_draw_ms_ = now;
  WaitForReports([&] { return run.idle(); });
  QuitAll();
  EndDisplay();
  // A stop heard only by the downloads in flight, after every entry was handed out, or during
  // the final QUITs, is said here, once, as over one connection.
  if (state_.AbortFlag && !stopped_before) {
    PrintAbort();
    result = 1;
  }
  return result;
}

bool Scheduler::StepAwaiter::await_ready() {
  if (!scheduler_.inline_) return false;
  report_ = scheduler_.slots_[0]->worker.Run(step_);
  return true;
}

void Scheduler::StepAwaiter::await_suspend(std::coroutine_handle<> waiter) {
  scheduler_.Enqueue(Job{std::move(step_), waiter, &report_});
}

// The status line counts the downloads: known once asked for, in flight once a connection has
// them (a Tab abandons those), done once reported.
void Scheduler::Enqueue(Job job) {
  if (job.step.kind == StepKind::kDownload) {
    ++files_known_;
    ++downloads_asked_;
  }
  (IsListing(job.step.kind) ? listings_ : transfers_).push_back(std::move(job));
}

bool Scheduler::Usable(const Slot& slot) const { return !slot.given_up; }

Scheduler::Slot* Scheduler::FreeSlot(const Job& job) {
  if (job.worker >= 0) {
    Slot& slot = *slots_[job.worker];
    return slot.busy || slot.given_up ? nullptr : &slot;
  }
  Slot* pick = nullptr;
  for (auto& slot : slots_) {
    if (slot->busy || !Usable(*slot)) continue;
    if (slot->worker.number() > 0 && !first_logged_in_) continue;
    // One already logged in saves a login.
    if (slot->logged_in) return slot.get();
    if (!pick) pick = slot.get();
  }
  return pick;
}

void Scheduler::Dispatch() {
  if (state_.AbortFlag ||
      std::none_of(slots_.begin(), slots_.end(), [&](const auto& s) { return Usable(*s); })) {
    FailPending();
  }
  for (std::deque<Job>* queue : {&listings_, &transfers_}) {
    // A step bound to one connection waits for that one alone: the steps behind it go on.
    for (auto job = queue->begin(); job != queue->end();) {
      if (job->worker >= 0 && slots_[job->worker]->given_up) {
        job = queue->erase(job);  // the connection's own login or QUIT: it is gone
        continue;
      }
      Slot* slot = FreeSlot(*job);
      if (!slot) {
        if (job->worker < 0) break;  // no connection is free for any step
        ++job;
        continue;
      }
      HandOut(*slot, std::move(*job));
      job = queue->erase(job);
    }
  }
}

void Scheduler::HandOut(Slot& slot, Job job) {
  slot.busy = true;
  if (!slot.logged_in && job.step.kind != StepKind::kQuit) {
    slot.logging_in = true;
    ++logins_under_way_;
  }
  job.tabs_seen = keys_.tab_presses;
  if (job.step.kind == StepKind::kDownload) ++files_in_flight_;
  {
    const std::lock_guard lock(slot.mutex);
    slot.job = std::move(job);
  }
  slot.wake.notify_one();
}

// Work no connection is left for, or that the user's stop ends before it starts: told so.
// The final QUITs still go out.
void Scheduler::FailPending() {
  for (std::deque<Job>* queue : {&listings_, &transfers_}) {
    std::deque<Job> kept;
    while (!queue->empty()) {
      Job job = std::move(queue->front());
      queue->pop_front();
      if (job.step.kind == StepKind::kQuit && !slots_[job.worker]->given_up) {
        kept.push_back(std::move(job));
      } else if (job.waiter) {
        Deliver(job, StepReport{.no_connection = true});
      }
    }
    for (Job& job : kept) queue->push_back(std::move(job));
  }
}

void Scheduler::WorkerLoop(Slot& slot) {
  for (;;) {
    std::unique_lock lock(slot.mutex);
    slot.wake.wait(lock, [&] { return slot.job || slot.stop; });
    if (!slot.job) return;
    Job job = std::move(*slot.job);
    slot.job.reset();
    lock.unlock();
    slot.console->ForgetTabsBefore(job.tabs_seen);
    StepReport report = slot.worker.Run(job.step);
    {
      const std::lock_guard done_lock(done_mutex_);
      done_.push_back(Done{slot.worker.number(), std::move(job), std::move(report)});
    }
    done_signal_.notify_one();
  }
}

void Scheduler::WaitForReports(const std::function<bool()>& finished) {
  while (!finished()) {
    Dispatch();
    if (finished()) break;
    std::optional<Done> done;
    {
      std::unique_lock lock(done_mutex_);
      done_signal_.wait_for(lock, kKeyCheck, [&] { return !done_.empty(); });
      if (!done_.empty()) {
        done = std::move(done_.front());
        done_.pop_front();
      }
    }
    if (done) {
      Finish(std::move(*done));
      // What the report let go on is handed out before the keys are read: a Tab read after
      // that is heard by the downloads it started.
      Dispatch();
    }
    Tick();
  }
}

void Scheduler::Finish(Done done) {
  Slot& slot = *slots_[done.worker];
  if (done.logged_in_note) {
    // Its step goes on; the connection counts as logged in from now on.
    slot.logged_in = true;
    if (slot.logging_in) {
      slot.logging_in = false;
      --logins_under_way_;
    }
    StartFurtherLogins();
    return;
  }
  if (done.job.step.kind == StepKind::kDownload) {
    --files_in_flight_;
    ++files_done_;
  }
  slot.busy = false;
  slot.logged_in = done.report.connected;
  if (done.worker == 0 && slot.logged_in) StartFurtherLogins();
  if (slot.logging_in) {
    slot.logging_in = false;
    --logins_under_way_;
  }
  if (done.report.login_failed && !slot.given_up) {
    const bool others_logged_in = std::any_of(slots_.begin(), slots_.end(), [&](const auto& s) {
      return s.get() != &slot && s->logged_in && !s->given_up;
    });
    // A further connection the server will not have is given up without a word, and so is the
    // first one when others are logged in: the work goes to another connection.
    if (done.worker != 0 || others_logged_in) {
      GiveUp(slot, done.report);
      if (done.job.waiter) listings_.push_front(std::move(done.job));
      return;
    }
    done.report.no_connection = true;
  }
  NoteServerLimit();
  if (done.job.waiter) Deliver(done.job, std::move(done.report));
}

// The further connections log in while the first one lists.
void Scheduler::StartFurtherLogins() {
  if (first_logged_in_) return;
  first_logged_in_ = true;
  for (int i = 1; i < policy_.connections; ++i) {
    Enqueue(Job{Step{.kind = StepKind::kLogIn, .with_line = true}, {}, nullptr, i});
  }
}

void Scheduler::GiveUp(Slot& slot, const StepReport& report) {
  slot.given_up = true;
  slot.worker.session().CloseChannel();
  if (slot.worker.number() != 0) {
    // The connections not yet logged in go with this one: the server's limit is reached, or
    // the server cannot be reached at all.
    for (auto& other : slots_) {
      if (other->worker.number() != 0 && !other->busy && !other->logged_in) other->given_up = true;
    }
    if (report.server_said_no) limit_reached_ = true;
  }
  NoteServerLimit();
}

// How many connections the server allows, said once in verbose mode when it refused one: known
// once no further login is under way.
void Scheduler::NoteServerLimit() {
  if (!limit_reached_ || limit_noted_ || logins_under_way_ > 0) return;
  limit_noted_ = true;
  if (!options_.verbose()) return;
  const auto allowed = std::count_if(slots_.begin(), slots_.end(),
                                     [](const auto& s) { return s->logged_in && !s->given_up; });
  env_->TimedLine(" * Note: the server allows " + std::to_string(allowed) + " connection" +
                  (allowed == 1 ? "" : "s"));
}

void Scheduler::Deliver(Job& job, StepReport report) {
  const bool download = job.step.kind == StepKind::kDownload;
  if (download) --downloads_asked_;
  *job.report = std::move(report);
  std::exchange(job.waiter, {}).resume();
  if (download) DownloadReported();
}

// Two downloads per connection keep every connection busy: one running, one handed out next.
bool Scheduler::HasDownloadRoom() const {
  return inline_ || downloads_asked_ < 2 * policy_.connections;
}

void Scheduler::DownloadReported() {
  while (!room_waiters_.empty() && HasDownloadRoom()) {
    const std::coroutine_handle<> waiter = room_waiters_.front();
    room_waiters_.pop_front();
    waiter.resume();
  }
}

void Scheduler::QuitAll() {
  for (auto& slot : slots_) {
    if (slot->logged_in && !slot->given_up) {
      Enqueue(Job{Step{.kind = StepKind::kQuit}, {}, nullptr, slot->worker.number()});
    }
  }
  // The keys are still heard while the connections end, so a stop cuts the waits for their
  // replies short.
  WaitForReports([&] {
    return listings_.empty() && std::none_of(slots_.begin(), slots_.end(),
                                             [](const auto& s) { return s->busy; });
  });
}

bool Scheduler::AbortRequested() {
  if (state_.AbortFlag) return true;
  return inline_ && env_->PollKey() == kKeyEsc;
}

void Scheduler::PrintAbort() { PrintUserAbort(*env_, state_); }

void Scheduler::Tick() {
  for (int key = env_->PollKey(); key != kNoKey; key = env_->PollKey()) ActOnKey(key);
  const int64_t now = env_->clock.MonotonicMs();
  // A download that starts or ends is shown at once; the bytes and the rate at their pace.
  const std::pair files{files_known_, files_done_};
  if (now < next_draw_ms_ && files == drawn_files_) return;
  next_draw_ms_ = now + kStatusRedrawMs;
  drawn_files_ = files;
  DrawStatus(now);
}

void Scheduler::ActOnKey(int key) {
  switch (key) {
    case kKeyEsc:
      state_.AbortFlag = kOn;
      env_->console.SetTitle("User abort - closing connection");
      break;
    case kKeyTab:
      ++keys_.tab_presses;
      break;
    case '+':
    case '=':
    case '-':
    case '_': {
      const std::string text = StepBlockDelay(state_, key == '+' || key == '=' ? 100 : -100);
      env_->console.SetTitle(text);
      if (options_.debug()) env_->TimedLine(" * " + text);
      break;
    }
    default:
      break;
  }
}

void Scheduler::DrawStatus(int64_t now) {
  const int64_t bytes = bytes_;
  meter_->Add(now, bytes);
  const int64_t rate = meter_->BytesPerSecond(now, bytes);
  status_text_.clear();
  AppendDecimal(status_text_, files_in_flight_);
  status_text_ += " in flight, ";
  AppendDecimal(status_text_, files_done_);
  status_text_ += " of ";
  AppendDecimal(status_text_, files_known_);
  status_text_ += " files";
  if (rate >= 0) {
    status_text_ += ", ";
    AppendRate(status_text_, rate);
  }
  env_->console.SetTitle(
      std::string_view(options_.ProgramTitle + " - " + status_text_).substr(0, kTitleLength));
  if (!env_->console.HasStatusLine()) return;
  env_->console.ShowStatus(
      RunStatus{files_in_flight_, files_done_, files_known_, bytes, rate, state_.BlockDelay});
}

void Scheduler::EndDisplay() {
  if (env_->console.HasStatusLine()) env_->console.ClearStatus();
  env_->console.SetTitle(std::string_view(options_.ProgramTitle).substr(0, kTitleLength));
}

}  // namespace koru
