#include "platform/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/key_decoder.h"
#include "platform/text.h"

namespace koru {
namespace {

// Process-wide because the signal handlers and atexit need them.
termios g_saved_mode;
volatile sig_atomic_t g_mode_saved = 0;
volatile sig_atomic_t g_abort_signals = 0;
volatile sig_atomic_t g_abort_signals_seen = 0;
volatile sig_atomic_t g_status_fd = -1;     // where the status line is drawn, or -1
volatile sig_atomic_t g_status_drawn = 0;   // the terminal shows a status line
volatile sig_atomic_t g_width_changes = 0;  // SIGWINCH signals so far

constexpr char kEraseLine[] = "\r\x1b[K";

void WriteAll(int fd, const char* bytes, size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes += written;
    size -= static_cast<size_t>(written);
  }
}

// Safe in a signal handler.
void EraseStatusLine() {
  if (!g_status_drawn) return;
  g_status_drawn = 0;
  WriteAll(g_status_fd, kEraseLine, sizeof kEraseLine - 1);
}

void RestoreTerminal() {
  EraseStatusLine();
  if (g_mode_saved) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_mode);
}

void OnWindowChange(int) { g_width_changes = g_width_changes + 1; }

void OnAbortSignal(int) {
  if (g_abort_signals > 0) {
    RestoreTerminal();
    _exit(130);  // a second Ctrl-C ends the process at once
  }
  g_abort_signals = g_abort_signals + 1;
}

void InstallAbortHandlers() {
  struct sigaction action {};
  action.sa_handler = OnAbortSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// A status line needs a terminal on standard error that can go back to the start of a line and
// erase it.
bool StatusLineWanted() {
  if (!isatty(STDERR_FILENO)) return false;
  const char* term = std::getenv("TERM");
  return term && *term && std::strcmp(term, "dumb") != 0;
}

void InstallWindowChangeHandler() {
  struct sigaction action {};
  action.sa_handler = OnWindowChange;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGWINCH, &action, nullptr);
}

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

constexpr long long kTitleIntervalMs = 100;  // at most ten titles a second
constexpr int kSequenceWaitMs = 30;

}  // namespace

TerminalConsole::TerminalConsole() {
  stdout_is_terminal_ = isatty(STDOUT_FILENO);
  title_fd_ = ::open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &g_saved_mode) == 0) {
    termios raw = g_saved_mode;
    raw.c_lflag &= ~(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    g_mode_saved = 1;
    std::atexit(RestoreTerminal);
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    keys_from_terminal_ = true;
  }
  if (StatusLineWanted()) {
    status_fd_ = STDERR_FILENO;
    g_status_fd = status_fd_;
    InstallWindowChangeHandler();
    std::atexit(EraseStatusLine);
  }
  InstallAbortHandlers();
}

TerminalConsole::~TerminalConsole() {
  EraseStatusLine();
  FlushTitle();
  std::fflush(stdout);
  RestoreTerminal();
  g_mode_saved = 0;
  if (title_fd_ >= 0) ::close(title_fd_);
}

void TerminalConsole::WriteLine(std::string_view line) {
  EraseStatusLine();
  FlushTitle();
  line_buffer_.assign(stdout_is_terminal_ ? PrintableText(line) : std::string(line));
  line_buffer_ += '\n';
  std::fwrite(line_buffer_.data(), 1, line_buffer_.size(), stdout);
  std::fflush(stdout);
}

void TerminalConsole::SetTitle(std::string_view title) {
  if (title_fd_ < 0) return;
  pending_title_.assign(title);
  title_pending_ = true;
  if (NowMs() - last_title_ms_ >= kTitleIntervalMs) FlushTitle();
}

void TerminalConsole::FlushTitleIfDue() {
  if (title_pending_ && NowMs() - last_title_ms_ >= kTitleIntervalMs) FlushTitle();
}

void TerminalConsole::FlushTitle() {
  if (!title_pending_ || title_fd_ < 0) return;
  title_pending_ = false;
  last_title_ms_ = NowMs();
  std::string shown = PrintableText(pending_title_);
  for (char& c : shown) {
    if (c == '\t') c = ' ';
  }
  const std::string sequence = "\x1b]0;" + shown + "\a";
  ssize_t ignored = ::write(title_fd_, sequence.data(), sequence.size());
  (void)ignored;
}

void TerminalConsole::ReadWidthIfChanged() {
  const int changes = g_width_changes;
  if (changes == width_changes_seen_) return;
  width_changes_seen_ = changes;
  winsize size{};
  constexpr int kUsualWidth = 80;
  width_ = ioctl(status_fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : kUsualWidth;
  status_bytes_.clear();  // drawn for the old width: draw again
}

void TerminalConsole::ShowStatus(const Status& status) {
  if (status_fd_ < 0) return;
  ReadWidthIfChanged();
  const std::string_view line = status_formatter_.Format(status, width_);
  const std::string_view erase_rest = kEraseLine + 1;
  const bool same = status_bytes_.size() == 1 + line.size() + erase_rest.size() &&
                    std::string_view(status_bytes_).substr(1, line.size()) == line;
  if (same && g_status_drawn) return;
  status_bytes_.assign(1, '\r');
  status_bytes_ += line;
  status_bytes_ += erase_rest;
  g_status_drawn = 1;
  WriteAll(status_fd_, status_bytes_.data(), status_bytes_.size());
}

void TerminalConsole::ClearStatus() {
  // An activity has ended: its last title is shown now.
  FlushTitle();
  EraseStatusLine();
  status_bytes_.clear();
}

bool TerminalConsole::FillKeyBuffer() {
  char bytes[64];
  const ssize_t got = ::read(STDIN_FILENO, bytes, sizeof bytes);
  if (got <= 0) return false;
  key_bytes_.append(bytes, static_cast<size_t>(got));
  return true;
}

bool TerminalConsole::StopPending() {
  FlushTitleIfDue();
  if (g_abort_signals_seen != g_abort_signals) return true;
  if (!keys_from_terminal_) return false;
  FillKeyBuffer();
  std::string_view rest = key_bytes_;
  while (!rest.empty()) {
    int key = kNoKey;
    const size_t used = DecodeKey(rest, &key);
    if (key == kKeyEsc) return true;
    if (used == 0) break;
    rest.remove_prefix(used);
  }
  return false;
}

int TerminalConsole::PollKey() {
  FlushTitleIfDue();
  if (g_abort_signals_seen != g_abort_signals) {
    g_abort_signals_seen = g_abort_signals;
    return kKeyEsc;
  }
  if (!keys_from_terminal_) return kNoKey;
  if (key_bytes_.empty()) FillKeyBuffer();
  while (!key_bytes_.empty()) {
    // An Esc alone at the end may be the start of a sequence still on its way.
    if (key_bytes_.back() == '\x1b') {
      pollfd p{STDIN_FILENO, POLLIN, 0};
      if (::poll(&p, 1, kSequenceWaitMs) > 0) FillKeyBuffer();
    }
    int key = kNoKey;
    key_bytes_.erase(0, DecodeKey(key_bytes_, &key));
    if (key >= 0) return key;
  }
  return kNoKey;
}

}  // namespace koru
