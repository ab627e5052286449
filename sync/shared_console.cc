#include "sync/shared_console.h"

#include <chrono>

namespace koru {

void SharedConsole::WriteLine(std::string_view line) {
  std::lock_guard lock(mutex_);
  console_.WriteLine(line);
}

void SharedConsole::WriteLines(std::span<const std::string> lines) {
  std::lock_guard lock(mutex_);
  console_.WriteLines(lines);
}

void SharedConsole::SetTitle(std::string_view title) {
  std::lock_guard lock(mutex_);
  console_.SetTitle(title);
}

void SharedConsole::ShowStatus(const Status& status) {
  std::lock_guard lock(mutex_);
  console_.ShowStatus(status);
}

void SharedConsole::ClearStatus() {
  std::lock_guard lock(mutex_);
  console_.ClearStatus();
}

int SharedConsole::TakeKey() {
  int key;
  {
    std::lock_guard lock(mutex_);
    key = console_.PollKey();
  }
  if (key == kKeyEsc || key == kKeyTab) {
    {
      const std::lock_guard lock(key_mutex_);
      if (key == kKeyEsc) stopped_ = true;
      if (key == kKeyTab) ++tab_presses_;
    }
    key_heard_.notify_all();
  }
  return key;
}

bool SharedConsole::WaitForStop(int seen_tabs, int ms) {
  std::unique_lock lock(key_mutex_);
  return key_heard_.wait_for(lock, std::chrono::milliseconds(ms),
                             [&] { return stopped_ || tab_presses_ != seen_tabs; });
}

int ConnectionConsole::PollKey() {
  if (shared_.stopped()) return kKeyEsc;
  const int tabs = shared_.tab_presses();
  if (tabs == seen_tabs_) return kNoKey;
  seen_tabs_ = tabs;
  return kKeyTab;
}

// The run's thread hears the keys; a connection's pause ends as soon as it has heard Esc or Tab.
bool ConnectionConsole::WaitForKey(Clock& /*clock*/, int ms) {
  return shared_.WaitForStop(seen_tabs_, ms);
}

bool ConnectionConsole::StopPending() {
  return shared_.stopped() || shared_.tab_presses() != seen_tabs_;
}

}  // namespace koru
