#ifndef KORU_TESTS_CHILD_PROCESS_H_
#define KORU_TESTS_CHILD_PROCESS_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace koru::testing {

struct ChildResult {
  std::string output;  // standard output (and, in a terminal, everything the terminal got)
  std::string errors;  // standard error: where sanitizer reports go
  int exit_code = -1;  // -1 when the child did not exit normally
};

// How a child runs besides its program and arguments.
struct ChildOptions {
  std::string directory;         // working directory; empty: the current one
  int64_t file_size_limit = -1;  // RLIMIT_FSIZE in bytes (writes beyond it fail); -1: none
  // Run as the unprivileged user "nobody" when the tests run as root, who ignores
  // permissions; an unprivileged test run is left as it is.
  bool unprivileged = false;
  // Runs in a thread of the parent while the child runs (its output is read meanwhile), given
  // the child's process id: to signal it once something it does has been seen. Joined before
  // the result comes back.
  std::function<void(pid_t)> while_running = nullptr;
};

// Runs the program at `path` with `args` in `directory` (empty: the current one), its standard
// output and standard error in pipes, no controlling terminal, standard input from /dev/null.
// A sanitizer report on its standard error fails the running test: a sanitized program exits
// with a code the test may well expect.
ChildResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                       const std::string& directory = "");
ChildResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                       const ChildOptions& options);

// Runs `body` in a forked child set up as RunProgram sets up a program; the child exits with
// code 0 when `body` returns.
ChildResult RunInChild(const std::function<void()>& body, const ChildOptions& options = {});

// True when `text` holds a report of AddressSanitizer, LeakSanitizer or
// UndefinedBehaviorSanitizer.
bool HasSanitizerReport(std::string_view text);

// A child process in a new session whose controlling terminal is a fresh pseudo-terminal.
// The parent keeps both ends, so it can type, read, and look at the terminal mode after the
// child has ended.
class PtyChild {
 public:
  // Runs `body` in the child (it must end with _exit), standard streams on the terminal, which
  // is 100 columns wide and 24 rows high.
  explicit PtyChild(const std::function<void()>& body);
  // Runs a program in the child.
  PtyChild(const std::string& path, const std::vector<std::string>& args,
           const std::string& directory = "");
  ~PtyChild();
  PtyChild(const PtyChild&) = delete;
  PtyChild& operator=(const PtyChild&) = delete;

  void Type(const std::string& bytes);
  // Reads what the terminal shows until `text` has appeared or `timeout_ms` has passed; returns
  // everything read so far.
  const std::string& ReadUntil(const std::string& text, int timeout_ms = 10000);
  // Waits for the child to end (reading its output meanwhile); returns the exit code or -1.
  // A sanitizer report in what the terminal got fails the running test.
  int Wait(int timeout_ms = 10000);
  void Signal(int signal_number);
  // Changes the terminal's size, as a terminal window does; the kernel sends SIGWINCH to the
  // child.
  void Resize(int rows, int columns);
  // Reads what the terminal shows for `ms` milliseconds.
  void ReadFor(int ms);
  // Reads until the terminal has shown nothing more for `quiet_ms` milliseconds.
  void ReadUntilQuiet(int quiet_ms = 200);
  // The terminal's local mode flags as they are now.
  unsigned LocalModes() const;
  const std::string& output() const { return output_; }

 private:
  void Start(const std::function<void()>& body);
  bool ReadSome(int timeout_ms);

  int master_ = -1;
  int slave_ = -1;
  pid_t pid_ = -1;
  std::string output_;
};

}  // namespace koru::testing

#endif  // KORU_TESTS_CHILD_PROCESS_H_
