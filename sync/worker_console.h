#ifndef KORU_SYNC_WORKER_CONSOLE_H_
#define KORU_SYNC_WORKER_CONSOLE_H_

#include <algorithm>
#include <atomic>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/console.h"
#include "run/run_settings.h"

namespace koru {

// The console of a run over several connections, written by the scheduler and by the workers'
// threads: every line goes out whole.
class LockedConsole : public Console {
 public:
  explicit LockedConsole(Console& console) : console_(console) {}

  void WriteLine(std::string_view line) override {
    const std::lock_guard lock(mutex_);
    console_.WriteLine(line);
  }
  void WriteErrorLine(std::string_view line) override {
    const std::lock_guard lock(mutex_);
    console_.WriteErrorLine(line);
  }
  void WriteLines(std::span<const std::string> lines) override {
    const std::lock_guard lock(mutex_);
    console_.WriteLines(lines);
  }
  void WriteErrorLines(std::span<const std::string> lines) override {
    const std::lock_guard lock(mutex_);
    console_.WriteErrorLines(lines);
  }
  void SetTitle(std::string_view title) override {
    const std::lock_guard lock(mutex_);
    console_.SetTitle(title);
  }
  int PollKey() override {
    const std::lock_guard lock(mutex_);
    return console_.PollKey();
  }
  bool HasStatusLine() override { return console_.HasStatusLine(); }
  void ShowStatus(const Status& status) override {
    const std::lock_guard lock(mutex_);
    console_.ShowStatus(status);
  }
  void ClearStatus() override {
    const std::lock_guard lock(mutex_);
    console_.ClearStatus();
  }

  bool StopPending() override {
    const std::lock_guard lock(mutex_);
    return console_.StopPending();
  }

 private:
  Console& console_;
  std::mutex mutex_;
};

// What the keys the scheduler reads mean to the workers: Esc stops every connection for good
// (AbortFlag), Tab ends every download then in flight.
struct KeySignals {
  std::atomic<int> tab_presses = 0;
};

// A worker's console: its lines go to the run's console (none once the user's stop has been
// said: nothing more of a file comes after it), the title and the status line are the run's
// (the worker's own are dropped), and its keys are the Esc and Tab the scheduler heard.
class WorkerConsole : public Console {
 public:
  WorkerConsole(LockedConsole& run, const RunSettings& state, const KeySignals& keys)
      : run_(run), state_(state), keys_(keys), seen_tabs_(keys.tab_presses) {}

  void WriteLine(std::string_view line) override {
    if (!state_.AbortReported) run_.WriteLine(line);
  }
  void WriteErrorLine(std::string_view line) override { run_.WriteErrorLine(line); }
  void WriteLines(std::span<const std::string> lines) override {
    if (!state_.AbortReported) run_.WriteLines(lines);
  }
  void WriteErrorLines(std::span<const std::string> lines) override {
    run_.WriteErrorLines(lines);
  }
  void SetTitle(std::string_view /*title*/) override {}
  int PollKey() override {
    if (state_.AbortFlag) return kKeyEsc;
    const int tabs = keys_.tab_presses;
    if (tabs == seen_tabs_) return kNoKey;
    seen_tabs_ = tabs;
    return kKeyTab;
  }
  bool StopPending() override {
    return state_.AbortFlag || keys_.tab_presses != seen_tabs_;
  }
  bool WaitForKey(Clock& clock, int ms) override {
    constexpr int kSlice = 50;
    for (int left = ms; left > 0; left -= kSlice) {
      if (StopPending()) return true;
      clock.Sleep(std::min(left, kSlice));
    }
    return StopPending();
  }

  // The first `tabs` Tab presses are not this step's: they ended the downloads then in flight.
  void ForgetTabsBefore(int tabs) { seen_tabs_ = tabs; }

 private:
  LockedConsole& run_;
  const RunSettings& state_;
  const KeySignals& keys_;
  int seen_tabs_;
};

}  // namespace koru

#endif  // KORU_SYNC_WORKER_CONSOLE_H_
