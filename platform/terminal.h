#ifndef KORU_PLATFORM_TERMINAL_H_
#define KORU_PLATFORM_TERMINAL_H_

#include <string>
#include <string_view>

#include "platform/console.h"

namespace koru {

// The real console. Lines go to standard output (control characters shown as "?" when it is a
// terminal). The title goes to the controlling terminal only, at most every 50 ms; a title held
// back is written by the next console call or when the console ends, so the last title of an
// activity always shows. Keys come from standard input when it is a terminal, which is put in
// non-canonical, no-echo mode for the life of this object and restored on every exit path
// (normal end, exit(), SIGINT/SIGTERM, a second Ctrl-C). SIGINT and SIGTERM read as Esc.
class TerminalConsole : public Console {
 public:
  TerminalConsole();
  ~TerminalConsole() override;
  TerminalConsole(const TerminalConsole&) = delete;
  TerminalConsole& operator=(const TerminalConsole&) = delete;

  void WriteLine(std::string_view line) override;
  void SetTitle(std::string_view title) override;
  int PollKey() override;
  bool StopPending() override;

 private:
  void FlushTitle();
  bool FillKeyBuffer();

  bool stdout_is_terminal_ = false;
  bool keys_from_terminal_ = false;
  int title_fd_ = -1;
  long long last_title_ms_ = -1000;
  std::string pending_title_;
  bool title_pending_ = false;
  std::string key_bytes_;
  std::string line_buffer_;
};

}  // namespace koru

#endif  // KORU_PLATFORM_TERMINAL_H_
