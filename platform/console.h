#ifndef KORU_PLATFORM_CONSOLE_H_
#define KORU_PLATFORM_CONSOLE_H_

#include <span>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/status_line.h"

namespace koru {

// Key codes the program acts on.
inline constexpr int kKeyTab = 9;
inline constexpr int kKeyEsc = 27;
inline constexpr int kNoKey = -1;

// What the user answered when asked for a secret.
struct SecretAnswer {
  enum class Kind {
    kNoTerminal,  // nobody could be asked: standard input is no terminal of KORU's
    kTyped,       // `text` is the line typed, without its line end
    kStopped,     // Ctrl-C (or the TERM signal) came first
  };
  Kind kind = Kind::kNoTerminal;
  std::string text;
};

// The console: lines on standard output (and, apart from them, lines on standard error), the
// window title, one key read without waiting, and a status line that a terminal shows below the
// lines while an activity runs.
class Console {
 public:
  virtual ~Console() = default;
  // Writes one line; the line end is the console's own.
  virtual void WriteLine(std::string_view line) = 0;
  // Writes one line on the error stream, apart from the lines above; a console that has no
  // error stream of its own shows it among them.
  virtual void WriteErrorLine(std::string_view line) { WriteLine(line); }
  // Writes `lines` as one piece: a console written from several threads never lets another
  // thread's line fall between them (an error line and the reason lines under it, say). The
  // default writes them one by one, which is whole only where a single thread writes.
  virtual void WriteLines(std::span<const std::string> lines) {
    for (const std::string& line : lines) WriteLine(line);
  }
  // The same on the error stream.
  virtual void WriteErrorLines(std::span<const std::string> lines) {
    for (const std::string& line : lines) WriteErrorLine(line);
  }
  // Shows `title` as the window title (the caller has already cut it to its limit).
  virtual void SetTitle(std::string_view title) = 0;
  // The next pending key press, or kNoKey. Never waits.
  virtual int PollKey() = 0;
  // True when the user has asked to stop (Esc waiting among the keys, or Ctrl-C) and PollKey
  // has not yet taken it. Consumes nothing; never waits.
  virtual bool StopPending() { return false; }
  // Waits up to `ms` milliseconds for a key press or a stop: true as soon as one is pending
  // (PollKey takes it), false once the time has passed. A console that cannot see keys arrive
  // meanwhile sleeps on `clock` for the whole time.
  virtual bool WaitForKey(Clock& clock, int ms) {
    clock.Sleep(ms);
    return false;
  }

  // Shows `prompt` and reads one line from the terminal without showing what is typed. A
  // console without a terminal to ask answers kNoTerminal.
  virtual SecretAnswer AskSecret(std::string_view /*prompt*/) { return {}; }

  // True when the console shows a status line; callers need not prepare one otherwise.
  virtual bool HasStatusLine() { return false; }
  // Shows `status` on the status line in place of what it showed, fitted to its width.
  virtual void ShowStatus(const Status& /*status*/) {}
  // Erases the status line. Every console line erases it first as well, so lines start clean.
  virtual void ClearStatus() {}
};

}  // namespace koru

#endif  // KORU_PLATFORM_CONSOLE_H_
