#ifndef KORU_SYNC_SHARED_CONSOLE_H_
#define KORU_SYNC_SHARED_CONSOLE_H_

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "platform/console.h"

namespace koru {

// The console of a run with several connections at once. One thread (the run's own) reads the
// keys and draws the title and status line; the connections write whole lines through it and
// hear the user's Esc and Tab as if each had read them itself.
class SharedConsole {
 public:
  explicit SharedConsole(Console& console) : console_(console) {}

  // Writes `line` whole: never mixed with another connection's.
  void WriteLine(std::string_view line);
  // Writes `lines` as one piece: no other connection's line falls between them.
  void WriteLines(std::span<const std::string> lines);
  void SetTitle(std::string_view title);
  void ShowStatus(const Status& status);
  void ClearStatus();
  bool HasStatusLine() { return console_.HasStatusLine(); }

  // Takes one key from the terminal (the run's thread only). Esc (Ctrl-C and SIGTERM arrive as
  // Esc) stops every connection for good, Tab ends every download then in flight; other keys are
  // returned to the caller. kNoKey when none is waiting.
  int TakeKey();

  bool stopped() const { return stopped_; }
  int tab_presses() const { return tab_presses_; }
  // Waits up to `ms` milliseconds for Esc, or for a Tab after the first `seen_tabs`: true as
  // soon as one has come.
  bool WaitForStop(int seen_tabs, int ms);

 private:
  Console& console_;
  std::mutex mutex_;
  std::atomic<bool> stopped_ = false;
  std::atomic<int> tab_presses_ = 0;
  std::mutex key_mutex_;
  std::condition_variable key_heard_;
};

// One connection's view of the shared console: its lines go out whole, the title and the status
// line are the run's (the connection's own are dropped), and its keys are the Esc and Tab the
// run has heard.
class ConnectionConsole : public Console {
 public:
  explicit ConnectionConsole(SharedConsole& shared)
      : shared_(shared), seen_tabs_(shared.tab_presses()) {}

  void WriteLine(std::string_view line) override { shared_.WriteLine(line); }
  void WriteLines(std::span<const std::string> lines) override { shared_.WriteLines(lines); }
  void SetTitle(std::string_view /*title*/) override {}
  int PollKey() override;
  bool StopPending() override;
  bool WaitForKey(Clock& clock, int ms) override;

  // A Tab pressed before now is not this download's: it ended the ones then in flight.
  void ForgetEarlierTabs() { seen_tabs_ = shared_.tab_presses(); }

 private:
  SharedConsole& shared_;
  int seen_tabs_;
};

}  // namespace koru

#endif  // KORU_SYNC_SHARED_CONSOLE_H_
