#include "platform/terminal_state.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace koru::terminal_state {
namespace {

termios g_found_mode;
volatile sig_atomic_t g_mode_saved = 0;
volatile sig_atomic_t g_key_mode = 0;       // standard input is in key or secret mode
volatile sig_atomic_t g_terminal_fd = -1;   // whose foreground group counts
volatile sig_atomic_t g_status_fd = -1;
volatile sig_atomic_t g_status_drawn = 0;
volatile sig_atomic_t g_title_fd = -1;
volatile sig_atomic_t g_title_saved = 0;
volatile sig_atomic_t g_abort_signals = 0;
volatile sig_atomic_t g_width_changes = 0;
volatile sig_atomic_t g_continues = 0;

constexpr char kEraseLine[] = "\r\x1b[K";
constexpr char kPushTitle[] = "\x1b[22;0t";
constexpr char kPopTitle[] = "\x1b[23;0t";

void WriteAll(int fd, const char* bytes, size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes += written;
    size -= static_cast<size_t>(written);
  }
}

void Handle(int signal_number, void (*handler)(int), int flags) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
}

void OnAbortSignal(int) {
  if (g_abort_signals > 0) {
    RestoreTerminal();
    _exit(130);  // a second Ctrl-C ends the process at once
  }
  g_abort_signals = g_abort_signals + 1;
}

void OnWindowChange(int) { g_width_changes = g_width_changes + 1; }

void OnContinue(int) { g_continues = g_continues + 1; }

// Ctrl-Z: the terminal as the shell expects it, then the stop the user asked for, by the
// default action of the same signal so the shell reports it as usual.
void OnTerminalStop(int) {
  const int saved_errno = errno;
  RestoreTerminal();
  struct sigaction ours {};
  struct sigaction stop {};
  stop.sa_handler = SIG_DFL;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGTSTP, &stop, &ours);
  sigset_t only_stop;
  sigemptyset(&only_stop);
  sigaddset(&only_stop, SIGTSTP);
  raise(SIGTSTP);  // blocked while this handler runs: delivered by the unblocking below
  sigprocmask(SIG_UNBLOCK, &only_stop, nullptr);
  // Continued, or never stopped (an orphaned process group cannot be): either way the console
  // takes the terminal back at its next call.
  sigprocmask(SIG_BLOCK, &only_stop, nullptr);
  sigaction(SIGTSTP, &ours, nullptr);
  g_continues = g_continues + 1;
  errno = saved_errno;
}

}  // namespace

bool SaveMode() {
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &g_found_mode) != 0) return false;
  g_mode_saved = 1;
  return true;
}

void SetTerminalFd(int fd) { g_terminal_fd = fd; }

bool InForeground() {
  if (g_terminal_fd < 0) return true;
  const pid_t owner = tcgetpgrp(g_terminal_fd);
  return owner < 0 || owner == getpgrp();
}

void EnterKeyMode() {
  if (!g_mode_saved || !InForeground()) return;
  if (!g_key_mode) tcgetattr(STDIN_FILENO, &g_found_mode);
  termios keys = g_found_mode;
  keys.c_lflag &= ~(ICANON | ECHO);
  keys.c_cc[VMIN] = 0;
  keys.c_cc[VTIME] = 0;
  g_key_mode = 1;
  tcsetattr(STDIN_FILENO, TCSANOW, &keys);
}

void EnterSecretMode() {
  if (!g_mode_saved || !InForeground()) return;
  if (!g_key_mode) tcgetattr(STDIN_FILENO, &g_found_mode);
  termios secret = g_found_mode;
  secret.c_lflag |= ICANON | ISIG;
  secret.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL);
  g_key_mode = 1;
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &secret);
}

void LeaveKeyMode() {
  if (!g_key_mode || !InForeground()) return;
  g_key_mode = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &g_found_mode);
}

void SetStatusFd(int fd) { g_status_fd = fd; }
bool StatusDrawn() { return g_status_drawn != 0; }

void DrawStatusLine(std::string_view bytes) {
  if (g_status_fd < 0) return;
  g_status_drawn = 1;
  WriteAll(g_status_fd, bytes.data(), bytes.size());
}

void EraseStatusLine() {
  if (!g_status_drawn) return;
  g_status_drawn = 0;
  WriteAll(g_status_fd, kEraseLine, sizeof kEraseLine - 1);
}

void SetTitleFd(int fd) {
  g_title_saved = 0;
  g_title_fd = fd;
}

void SaveTitle() {
  if (g_title_saved || g_title_fd < 0 || !InForeground()) return;
  g_title_saved = 1;
  WriteAll(g_title_fd, kPushTitle, sizeof kPushTitle - 1);
}

void RestoreTitle() {
  if (!g_title_saved || !InForeground()) return;
  g_title_saved = 0;
  WriteAll(g_title_fd, kPopTitle, sizeof kPopTitle - 1);
}

void RestoreTerminal() {
  EraseStatusLine();
  LeaveKeyMode();
  RestoreTitle();
}

void InstallAbortHandlers() {
  Handle(SIGINT, OnAbortSignal, 0);
  Handle(SIGTERM, OnAbortSignal, 0);
}

void InstallWindowChangeHandler() { Handle(SIGWINCH, OnWindowChange, SA_RESTART); }

void InstallJobControlHandlers() {
  Handle(SIGTSTP, OnTerminalStop, SA_RESTART);
  Handle(SIGCONT, OnContinue, SA_RESTART);
  // A key read that races with a move to the background fails instead of stopping the process.
  Handle(SIGTTIN, SIG_IGN, 0);
}

int AbortSignals() { return g_abort_signals; }
int WidthChanges() { return g_width_changes; }
int Continues() { return g_continues; }

}  // namespace koru::terminal_state
