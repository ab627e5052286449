#include "sync/shared_console.h"

namespace koru {

void SharedConsole::WriteLine(std::string_view line) {
  std::lock_guard lock(mutex_);
  console_.WriteLine(line);
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
  if (key == kKeyEsc) {
    stopped_ = true;
  } else if (key == kKeyTab) {
    ++tab_presses_;
  }
  return key;
}

int ConnectionConsole::PollKey() {
  if (shared_.stopped()) return kKeyEsc;
  const int tabs = shared_.tab_presses();
  if (tabs == seen_tabs_) return kNoKey;
  seen_tabs_ = tabs;
  return kKeyTab;
}

bool ConnectionConsole::StopPending() {
  return shared_.stopped() || shared_.tab_presses() != seen_tabs_;
}

}  // namespace koru
