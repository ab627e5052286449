#ifndef KORU_PLATFORM_TERMINAL_H_
#define KORU_PLATFORM_TERMINAL_H_

#include <cstdio>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "platform/console.h"

namespace koru {

// The real console. Lines go to standard output, error lines to standard error, each with its
// control characters shown as "?" (PrintableText), terminal or not; the title likewise. The
// title goes to the controlling terminal only, at most every 100 ms; a title held
// back is written by the next console call or when the console ends, so the last title of an
// activity always shows. The terminal's own title is pushed on its title stack before the first
// title and popped back when the console ends, and on the exit paths below. Keys come from
// standard input when it is a terminal, which is put in non-canonical, no-echo mode for the
// life of this object and restored on every exit path
// (normal end, exit(), SIGINT/SIGTERM, a second Ctrl-C). SIGINT and SIGTERM read as Esc.
// The status line goes to standard error, only when that is a terminal and TERM names one that
// is not "dumb": redrawn in place (carriage return, text, erase to the end of the line) within
// the terminal's width, read at the start and again after SIGWINCH. Every console line, the end
// of the console and each of the exit paths above erase it first.
// Keys, title and status line only while KORU's process group is the terminal's foreground
// group: started in the background, or sent there after Ctrl-Z, it prints its lines and
// leaves the terminal alone; back in the foreground it puts the terminal in key mode again and
// redraws the status line and the title. Ctrl-Z gives the terminal its mode back before the
// process stops.
// Any thread may call it: each call has the console to itself while it writes, so the lines of
// a piece (WriteLines) show together.
class TerminalConsole : public Console {
 public:
  TerminalConsole();
  ~TerminalConsole() override;
  TerminalConsole(const TerminalConsole&) = delete;
  TerminalConsole& operator=(const TerminalConsole&) = delete;

  void WriteLine(std::string_view line) override;
  void WriteErrorLine(std::string_view line) override;
  void WriteLines(std::span<const std::string> lines) override;
  void WriteErrorLines(std::span<const std::string> lines) override;
  void SetTitle(std::string_view title) override;
  int PollKey() override;
  bool StopPending() override;
  // Waits on the terminal itself (and for SIGINT, SIGTERM), not on `clock`.
  bool WaitForKey(Clock& clock, int ms) override;
  // Asks on the terminal of standard input, in the foreground only: the terminal's own line
  // editing with echo off (restored on every exit path, as key mode is); the prompt goes to
  // the controlling terminal.
  SecretAnswer AskSecret(std::string_view prompt) override;
  bool HasStatusLine() override { return status_fd_ >= 0; }
  void ShowStatus(const Status& status) override;
  void ClearStatus() override;

 private:
  void FlushTitle();
  // Writes a held-back title once the interval since the last one has passed.
  void FlushTitleIfDue();
  bool FillKeyBuffer();
  // True when the keys read hold a key press (any key, or Esc alone when `esc_only`).
  bool KeyInBuffer(bool esc_only) const;
  bool AbortSignalPending() const;
  void ReadWidthIfChanged();
  // True while KORU holds the terminal. Checks the foreground at most every few tens of
  // milliseconds, and at once after a continue; takes the terminal back when it has it again.
  bool HoldsTerminal();
  void TakeTerminal();
  SecretAnswer ReadSecretLine();

  // Writes each of `lines` with a line end to `stream` in one write, after erasing the status
  // line.
  void WriteTo(std::FILE* stream, std::span<const std::string_view> lines);

  std::mutex mutex_;  // held by every call for what it writes and the state it reads

  bool keys_from_terminal_ = false;
  bool holds_terminal_ = false;
  int continues_seen_ = -1;
  long long foreground_checked_ms_ = 0;
  int abort_signals_seen_ = 0;
  int title_fd_ = -1;
  long long last_title_ms_ = -1000;
  std::string pending_title_;
  bool title_pending_ = false;
  std::string key_bytes_;
  std::string line_buffer_;
  int status_fd_ = -1;  // standard error when it shows a status line
  int width_ = 0;
  int width_changes_seen_ = -1;
  StatusFormatter status_formatter_;
  std::string status_bytes_;  // what the status line shows, as written
};

}  // namespace koru

#endif  // KORU_PLATFORM_TERMINAL_H_
