#include "tests/child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace koru::testing {
namespace {

std::vector<char*> ArgVector(const std::string& path, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

void ExecIn(const std::string& directory, const std::string& path,
            const std::vector<std::string>& args) {
  if (!directory.empty() && chdir(directory.c_str()) != 0) _exit(126);
  std::vector<char*> argv = ArgVector(path, args);
  execv(path.c_str(), argv.data());
  _exit(127);
}

int ExitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

constexpr uid_t kNobody = 65534;

// In the child, before its body runs: the limits and the user of `options`.
void ApplyOptions(const ChildOptions& options) {
  if (options.file_size_limit >= 0) {
    const rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                       static_cast<rlim_t>(options.file_size_limit)};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(125);
  }
  if (options.unprivileged && geteuid() == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(125);
  }
}

// Reads both pipes to their ends.
void ReadBoth(int out_fd, int err_fd, ChildResult& result) {
  pollfd p[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* into[2] = {&result.output, &result.errors};
  int open_pipes = 2;
  while (open_pipes > 0) {
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (int i = 0; i < 2; ++i) {
      if (p[i].fd < 0 || p[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = read(p[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        into[i]->append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        p[i].fd = -1;
        --open_pipes;
      }
    }
  }
}

// Runs `body` in a child whose standard output and error go to pipes; `directory` is entered
// before the options take effect, so an unprivileged child may start in a directory it could
// not enter by itself.
ChildResult RunWithPipes(const std::function<void()>& body, const ChildOptions& options) {
  ChildResult result;
  int out[2];
  int err[2];
  if (pipe(out) != 0) return result;
  if (pipe(err) != 0) {
    close(out[0]);
    close(out[1]);
    return result;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    const int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    for (const int fd : {null_in, out[0], out[1], err[0], err[1]}) {
      if (fd > STDERR_FILENO) close(fd);
    }
    if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) _exit(126);
    ApplyOptions(options);
    body();
    _exit(0);
  }
  close(out[1]);
  close(err[1]);
  std::thread beside;
  if (options.while_running && pid > 0) beside = std::thread(options.while_running, pid);
  ReadBoth(out[0], err[0], result);
  if (beside.joinable()) beside.join();
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exit_code = ExitCodeOf(status);
  return result;
}

}  // namespace

ChildResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                       const std::string& directory) {
  return RunProgram(path, args, ChildOptions{.directory = directory});
}

ChildResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                       const ChildOptions& options) {
  ChildResult result = RunWithPipes([&] { ExecIn("", path, args); }, options);
  if (HasSanitizerReport(result.errors)) ADD_FAILURE() << path << " reported:\n" << result.errors;
  return result;
}

ChildResult RunInChild(const std::function<void()>& body, const ChildOptions& options) {
  return RunWithPipes(body, options);
}

bool HasSanitizerReport(std::string_view text) {
  for (const std::string_view mark :
       {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
        "Sanitizer has encountered a fatal error"}) {
    if (text.find(mark) != std::string_view::npos) return true;
  }
  return false;
}

PtyChild::PtyChild(const std::function<void()>& body) { Start(body); }

PtyChild::PtyChild(const std::string& path, const std::vector<std::string>& args,
                   const std::string& directory) {
  Start([&] { ExecIn(directory, path, args); });
}

void PtyChild::Start(const std::function<void()>& body) {
  winsize size{24, 100, 0, 0};
  if (openpty(&master_, &slave_, nullptr, nullptr, &size) != 0) return;
  // What the test program has buffered must not be written a second time by the child.
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    setsid();
    ioctl(slave_, TIOCSCTTY, 0);
    dup2(slave_, STDIN_FILENO);
    dup2(slave_, STDOUT_FILENO);
    dup2(slave_, STDERR_FILENO);
    close(master_);
    body();
    _exit(0);
  }
}

PtyChild::~PtyChild() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
}

void PtyChild::Type(const std::string& bytes) {
  ssize_t ignored = write(master_, bytes.data(), bytes.size());
  (void)ignored;
}

bool PtyChild::ReadSome(int timeout_ms) {
  pollfd p{master_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return false;
  char buffer[4096];
  const ssize_t got = read(master_, buffer, sizeof buffer);
  if (got <= 0) return false;
  output_.append(buffer, got);
  return true;
}

const std::string& PtyChild::ReadUntil(const std::string& text, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (output_.find(text) == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    ReadSome(50);
  }
  return output_;
}

int PtyChild::Wait(int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    ReadSome(20);
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      while (ReadSome(20)) {
      }
      if (HasSanitizerReport(output_)) ADD_FAILURE() << "the child reported:\n" << output_;
      return ExitCodeOf(status);
    }
  }
  return -1;
}

void PtyChild::Signal(int signal_number) {
  if (pid_ > 0) kill(pid_, signal_number);
}

void PtyChild::Resize(int rows, int columns) {
  const winsize size{static_cast<unsigned short>(rows), static_cast<unsigned short>(columns), 0, 0};
  ioctl(master_, TIOCSWINSZ, &size);
}

void PtyChild::ReadFor(int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < deadline) ReadSome(20);
}

void PtyChild::ReadUntilQuiet(int quiet_ms) {
  while (ReadSome(quiet_ms)) {
  }
}

unsigned PtyChild::LocalModes() const {
  termios mode{};
  tcgetattr(slave_, &mode);
  return mode.c_lflag;
}

}  // namespace koru::testing
