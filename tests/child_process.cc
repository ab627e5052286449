#include "tests/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

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

}  // namespace

ChildResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                       const std::string& directory) {
  ChildResult result;
  int out[2];
  if (pipe(out) != 0) return result;
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    const int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    ExecIn(directory, path, args);
  }
  close(out[1]);
  char buffer[4096];
  ssize_t got;
  while ((got = read(out[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, got);
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exit_code = ExitCodeOf(status);
  return result;
}

PtyChild::PtyChild(const std::function<void()>& body) { Start(body); }

PtyChild::PtyChild(const std::string& path, const std::vector<std::string>& args,
                   const std::string& directory) {
  Start([&] { ExecIn(directory, path, args); });
}

void PtyChild::Start(const std::function<void()>& body) {
  winsize size{24, 100, 0, 0};
  if (openpty(&master_, &slave_, nullptr, nullptr, &size) != 0) return;
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
      return ExitCodeOf(status);
    }
  }
  return -1;
}

void PtyChild::Signal(int signal_number) {
  if (pid_ > 0) kill(pid_, signal_number);
}

unsigned PtyChild::LocalModes() const {
  termios mode{};
  tcgetattr(slave_, &mode);
  return mode.c_lflag;
}

}  // namespace koru::testing
