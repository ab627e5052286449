#include "platform/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/key_decoder.h"
#include "platform/terminal_state.h"
#include "platform/text.h"

namespace koru {
namespace {

namespace state = terminal_state;

constexpr char kEraseRest[] = "\x1b[K";

// A status line needs a terminal on standard error that can go back to the start of a line and
// erase it.
bool StatusLineWanted() {
  if (!isatty(STDERR_FILENO)) return false;
  const char* term = std::getenv("TERM");
  return term && *term && std::strcmp(term, "dumb") != 0;
}

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// True when `fd` has bytes to read within `timeout_ms`.
bool Readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeout_ms) > 0;
}

void SleepMs(int ms) { ::poll(nullptr, 0, ms); }

void WriteText(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text.remove_prefix(static_cast<size_t>(written));
  }
}

// A line typed at a password prompt is cut here.
constexpr size_t kMaxSecretBytes = 4096;

constexpr long long kTitleIntervalMs = 100;  // at most ten titles a second
constexpr int kSequenceWaitMs = 30;
// A move to the foreground that no continue announces (`fg` of a job running in the
// background) is noticed within this time.
constexpr long long kForegroundCheckMs = 100;
// A wait for keys looks at the terminal's owner this often.
constexpr int kWaitSliceMs = 100;

}  // namespace

TerminalConsole::TerminalConsole() {
  title_fd_ = ::open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (title_fd_ >= 0) {
    state::SetTitleFd(title_fd_);
    std::atexit(state::RestoreTitle);
  }
  if (state::SaveMode()) {
    keys_from_terminal_ = true;
    std::atexit(state::RestoreTerminal);
  }
  if (StatusLineWanted()) {
    status_fd_ = STDERR_FILENO;
    state::SetStatusFd(status_fd_);
    state::InstallWindowChangeHandler();
    std::atexit(state::EraseStatusLine);
  }
  const int terminal_fd = keys_from_terminal_ ? STDIN_FILENO
                          : title_fd_ >= 0    ? title_fd_
                                              : status_fd_;
  if (terminal_fd >= 0) {
    state::SetTerminalFd(terminal_fd);
    state::InstallJobControlHandlers();
  }
  state::InstallAbortHandlers();
  abort_signals_seen_ = state::AbortSignals();
  HoldsTerminal();
}

TerminalConsole::~TerminalConsole() {
  state::EraseStatusLine();
  FlushTitle();
  std::fflush(stdout);
  state::RestoreTerminal();
  if (title_fd_ >= 0) {
    state::SetTitleFd(-1);
    ::close(title_fd_);
  }
}

bool TerminalConsole::HoldsTerminal() {
  const int continues = state::Continues();
  const long long now = NowMs();
  if (continues == continues_seen_ && now - foreground_checked_ms_ < kForegroundCheckMs) {
    return holds_terminal_;
  }
  const bool continued = continues != continues_seen_;
  continues_seen_ = continues;
  foreground_checked_ms_ = now;
  const bool foreground = state::InForeground();
  if (foreground && (continued || !holds_terminal_)) {
    holds_terminal_ = true;
    TakeTerminal();
  }
  holds_terminal_ = foreground;
  return holds_terminal_;
}

void TerminalConsole::TakeTerminal() {
  if (keys_from_terminal_) state::EnterKeyMode();
  if (!pending_title_.empty()) {
    title_pending_ = true;
    FlushTitle();
  }
  if (!status_bytes_.empty() && !state::StatusDrawn()) state::DrawStatusLine(status_bytes_);
}

void TerminalConsole::WriteLine(std::string_view line) {
  const std::lock_guard lock(mutex_);
  WriteTo(stdout, {&line, 1});
}

void TerminalConsole::WriteErrorLine(std::string_view line) {
  const std::lock_guard lock(mutex_);
  WriteTo(stderr, {&line, 1});
}

void TerminalConsole::WriteLines(std::span<const std::string> lines) {
  const std::vector<std::string_view> views(lines.begin(), lines.end());
  const std::lock_guard lock(mutex_);
  WriteTo(stdout, views);
}

void TerminalConsole::WriteErrorLines(std::span<const std::string> lines) {
  const std::vector<std::string_view> views(lines.begin(), lines.end());
  const std::lock_guard lock(mutex_);
  WriteTo(stderr, views);
}

void TerminalConsole::WriteTo(std::FILE* stream, std::span<const std::string_view> lines) {
  state::EraseStatusLine();
  FlushTitle();
  line_buffer_.clear();
  for (const std::string_view line : lines) {
    line_buffer_ += PrintableText(line);
    line_buffer_ += '\n';
  }
  std::fwrite(line_buffer_.data(), 1, line_buffer_.size(), stream);
  std::fflush(stream);
}

void TerminalConsole::SetTitle(std::string_view title) {
  const std::lock_guard lock(mutex_);
  if (title_fd_ < 0) return;
  pending_title_.assign(title);
  title_pending_ = true;
  if (NowMs() - last_title_ms_ >= kTitleIntervalMs) FlushTitle();
}

void TerminalConsole::FlushTitleIfDue() {
  if (title_pending_ && NowMs() - last_title_ms_ >= kTitleIntervalMs) FlushTitle();
}

void TerminalConsole::FlushTitle() {
  // In the background the title waits for the return to the foreground.
  if (!title_pending_ || title_fd_ < 0 || !HoldsTerminal()) return;
  title_pending_ = false;
  last_title_ms_ = NowMs();
  const std::string shown = PrintableText(pending_title_);
  state::SaveTitle();
  const std::string sequence = "\x1b]0;" + shown + "\a";
  ssize_t ignored = ::write(title_fd_, sequence.data(), sequence.size());
  (void)ignored;
}

void TerminalConsole::ReadWidthIfChanged() {
  const int changes = state::WidthChanges();
  if (changes == width_changes_seen_) return;
  width_changes_seen_ = changes;
  winsize size{};
  constexpr int kUsualWidth = 80;
  width_ = ioctl(status_fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : kUsualWidth;
  status_bytes_.clear();  // drawn for the old width: draw again
}

void TerminalConsole::ShowStatus(const Status& status) {
  const std::lock_guard lock(mutex_);
  if (status_fd_ < 0 || !HoldsTerminal()) return;
  ReadWidthIfChanged();
  const std::string_view line = status_formatter_.Format(status, width_);
  const std::string_view erase_rest = kEraseRest;
  const bool same = status_bytes_.size() == 1 + line.size() + erase_rest.size() &&
                    std::string_view(status_bytes_).substr(1, line.size()) == line;
  if (same && state::StatusDrawn()) return;
  status_bytes_.assign(1, '\r');
  status_bytes_ += line;
  status_bytes_ += erase_rest;
  state::DrawStatusLine(status_bytes_);
}

void TerminalConsole::ClearStatus() {
  const std::lock_guard lock(mutex_);
  // An activity has ended: its last title is shown now.
  FlushTitle();
  state::EraseStatusLine();
  status_bytes_.clear();
}

bool TerminalConsole::FillKeyBuffer() {
  // Asked first, so that a terminal still in line mode (the shell's, just after a continue)
  // never holds the read up.
  if (!Readable(STDIN_FILENO, 0)) return false;
  char bytes[64];
  const ssize_t got = ::read(STDIN_FILENO, bytes, sizeof bytes);
  if (got <= 0) return false;
  key_bytes_.append(bytes, static_cast<size_t>(got));
  return true;
}

bool TerminalConsole::KeyInBuffer(bool esc_only) const {
  std::string_view rest = key_bytes_;
  while (!rest.empty()) {
    int key = kNoKey;
    const size_t used = DecodeKey(rest, &key);
    if (esc_only ? key == kKeyEsc : key >= 0) return true;
    rest.remove_prefix(used);
  }
  return false;
}

bool TerminalConsole::AbortSignalPending() const {
  return abort_signals_seen_ != state::AbortSignals();
}

bool TerminalConsole::StopPending() {
  const std::lock_guard lock(mutex_);
  FlushTitleIfDue();
  if (AbortSignalPending()) return true;
  if (!keys_from_terminal_ || !HoldsTerminal()) return false;
  FillKeyBuffer();
  return KeyInBuffer(true);
}

bool TerminalConsole::WaitForKey(Clock& /*clock*/, int ms) {
  const long long end = NowMs() + ms;
  for (;;) {
    bool keys = false;
    {
      const std::lock_guard lock(mutex_);
      FlushTitleIfDue();
      if (AbortSignalPending()) return true;
      keys = keys_from_terminal_ && HoldsTerminal();
      if (keys) {
        FillKeyBuffer();
        if (KeyInBuffer(false)) return true;
      }
    }
    const long long left = end - NowMs();
    if (left <= 0) return false;
    const int slice = static_cast<int>(std::min<long long>(left, kWaitSliceMs));
    // The wait itself leaves the console to the other threads. A signal ends either wait early;
    // a terminal that reports input it cannot deliver (hung up) is slept on instead.
    bool hung_up = !keys;
    if (keys && Readable(STDIN_FILENO, slice)) {
      const std::lock_guard lock(mutex_);
      hung_up = !FillKeyBuffer();
    }
    if (hung_up) SleepMs(slice);
  }
}

int TerminalConsole::PollKey() {
  const std::lock_guard lock(mutex_);
  FlushTitleIfDue();
  if (AbortSignalPending()) {
    abort_signals_seen_ = state::AbortSignals();
    return kKeyEsc;
  }
  if (!keys_from_terminal_ || !HoldsTerminal()) return kNoKey;
  if (key_bytes_.empty()) FillKeyBuffer();
  while (!key_bytes_.empty()) {
    // An Esc alone at the end may be the start of a sequence still on its way.
    if (key_bytes_.back() == '\x1b' && Readable(STDIN_FILENO, kSequenceWaitMs)) FillKeyBuffer();
    int key = kNoKey;
    key_bytes_.erase(0, DecodeKey(key_bytes_, &key));
    if (key >= 0) return key;
  }
  return kNoKey;
}

SecretAnswer TerminalConsole::AskSecret(std::string_view prompt) {
  // No line of another thread may land on the prompt or the typing.
  const std::lock_guard lock(mutex_);
  if (!keys_from_terminal_ || !HoldsTerminal()) return {};
  state::EraseStatusLine();
  FlushTitle();
  std::fflush(stdout);
  const int prompt_fd = title_fd_ >= 0 ? title_fd_ : STDERR_FILENO;
  // Echo off before the prompt shows: nothing typed after it is ever echoed.
  state::EnterSecretMode();
  WriteText(prompt_fd, prompt);
  SecretAnswer answer = ReadSecretLine();
  state::EnterKeyMode();
  // The line end typed was not echoed.
  WriteText(prompt_fd, "\n");
  return answer;
}

SecretAnswer TerminalConsole::ReadSecretLine() {
  SecretAnswer answer{SecretAnswer::Kind::kTyped, {}};
  int continues = state::Continues();
  for (;;) {
    if (AbortSignalPending()) {
      abort_signals_seen_ = state::AbortSignals();
      return {SecretAnswer::Kind::kStopped, {}};
    }
    // Back from Ctrl-Z the terminal has the shell's mode: echo off again.
    if (state::Continues() != continues) {
      continues = state::Continues();
      state::EnterSecretMode();
    }
    if (!Readable(STDIN_FILENO, kWaitSliceMs)) continue;
    char byte = 0;
    const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0 || byte == '\n' || byte == '\r') return answer;
    if (answer.text.size() < kMaxSecretBytes) answer.text += byte;
  }
}

}  // namespace koru
