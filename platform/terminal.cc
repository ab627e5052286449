#include "platform/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/key_decoder.h"
#include "platform/text.h"

namespace koru {
namespace {

// Process-wide because the signal handlers and atexit need them.
termios g_saved_mode;
volatile sig_atomic_t g_mode_saved = 0;
volatile sig_atomic_t g_abort_signals = 0;
volatile sig_atomic_t g_abort_signals_seen = 0;

void RestoreTerminal() {
  if (g_mode_saved) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_mode);
}

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

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

constexpr long long kTitleIntervalMs = 50;
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
  InstallAbortHandlers();
}

TerminalConsole::~TerminalConsole() {
  FlushTitle();
  std::fflush(stdout);
  RestoreTerminal();
  g_mode_saved = 0;
  if (title_fd_ >= 0) ::close(title_fd_);
}

void TerminalConsole::WriteLine(std::string_view line) {
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

bool TerminalConsole::FillKeyBuffer() {
  char bytes[64];
  const ssize_t got = ::read(STDIN_FILENO, bytes, sizeof bytes);
  if (got <= 0) return false;
  key_bytes_.append(bytes, static_cast<size_t>(got));
  return true;
}

bool TerminalConsole::StopPending() {
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
  FlushTitle();
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
