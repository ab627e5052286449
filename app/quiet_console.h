#ifndef KORU_APP_QUIET_CONSOLE_H_
#define KORU_APP_QUIET_CONSOLE_H_

#include <mutex>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/console.h"

namespace koru {

// Picks the lines of a run that tell of a failure: after the time "hh:mm:ss", a warning
// (" * Warning:"), an error (" ERROR:") with the reason lines that follow it (two blanks
// first), the note of a file -M could not delete, a stop (" ** User Abort **"), and the
// failure totals ("1 file failed.", "2 directories failed.", "1 remote file not deleted.").
// A line whose text after the time has been kept before is not kept again.
// A piece of lines written as one (Console::WriteLines) whose first line is a failure line is
// kept whole, its reason lines with it whatever another connection wrote meanwhile; the same
// piece (the same texts after the time) is kept once. Another piece is filtered line by line.
class FailureLineFilter {
 public:
  // True when `line` is to be kept; lines are passed in the order the run writes them.
  bool Keep(std::string_view line);
  // The lines of `piece` to keep, in their order.
  std::vector<std::string> KeepOfPiece(std::span<const std::string> piece);

 private:
  // True when `line` opens a failure: an error, a reason line right after one, or another
  // failure line. Remembers whether an error or its reasons came last.
  bool OpensFailure(std::string_view line);

  bool after_error_ = false;  // the line before was an error or one of its reason lines
  std::set<std::string, std::less<>> kept_;  // the texts after the time kept so far
};

// The console of a quiet run (-Q): nothing goes to standard output; the failure lines go to
// the wrapped console's error stream, each once, a piece of lines as one piece. Title, keys and status line are the wrapped
// console's, as in any run.
class QuietConsole : public Console {
 public:
  explicit QuietConsole(Console& console) : console_(console) {}

  void WriteLine(std::string_view line) override;
  void WriteLines(std::span<const std::string> lines) override;
  void WriteErrorLine(std::string_view line) override { console_.WriteErrorLine(line); }
  void SetTitle(std::string_view title) override { console_.SetTitle(title); }
  int PollKey() override { return console_.PollKey(); }
  bool StopPending() override { return console_.StopPending(); }
  bool WaitForKey(Clock& clock, int ms) override { return console_.WaitForKey(clock, ms); }
  SecretAnswer AskSecret(std::string_view prompt) override { return console_.AskSecret(prompt); }
  bool HasStatusLine() override { return console_.HasStatusLine(); }
  void ShowStatus(const Status& status) override { console_.ShowStatus(status); }
  void ClearStatus() override { console_.ClearStatus(); }

 private:
  Console& console_;
  std::mutex mutex_;  // the connections of a run may write at once
  FailureLineFilter filter_;
};

}  // namespace koru

#endif  // KORU_APP_QUIET_CONSOLE_H_
