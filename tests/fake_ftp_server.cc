#include "tests/fake_ftp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "tests/loopback_listener.h"

namespace koru::testing {
namespace {

constexpr int kBoundMs = 5000;  // the longest the server waits for a client

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Every socket of the server is non-blocking: each wait is a poll() that Stop() can end.
constexpr int kSocketFlags = SOCK_CLOEXEC | SOCK_NONBLOCK;

bool TryAgain() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

// A listening socket on 127.0.0.1 (or ::1 with `ipv6`), port 0 for an ephemeral one; -1 on
// failure.
int ListenOnLoopback(int port, int* bound_port, bool ipv6 = false) {
  const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | kSocketFlags, 0);
  if (fd < 0) return -1;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  socklen_t size = 0;
  sockaddr_storage address = LoopbackAddress(ipv6, port, &size);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(fd, 8) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    ::close(fd);
    return -1;
  }
  *bound_port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                           : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  return fd;
}

}  // namespace

// ---- Script steps ----------------------------------------------------------------------------

Action Reply(std::string line) {
  return [line = std::move(line)](FakeFtpSession& s) { s.Reply(line); };
}

Action ReplyLines(std::vector<std::string> lines) {
  std::string bytes;
  for (const std::string& line : lines) bytes += line + "\r\n";
  return SendRaw(std::move(bytes));
}

Action SendRaw(std::string bytes) {
  return [bytes = std::move(bytes)](FakeFtpSession& s) { s.SendRaw(bytes); };
}

Action Pause(int ms) {
  return [ms](FakeFtpSession& s) { s.Pause(ms); };
}

Action Silence() {
  return [](FakeFtpSession&) {};
}

Action Hangup() {
  return [](FakeFtpSession& s) { s.Close(); };
}

Action Steps(std::vector<Action> steps) {
  return [steps = std::move(steps)](FakeFtpSession& s) {
    for (const Action& step : steps) {
      if (s.closed() || s.stopping()) return;
      step(s);
    }
  };
}

SessionScript Session(std::vector<Action> on_connect, std::vector<Action> replies,
                      CommandHandler handler) {
  return SessionScript{std::move(on_connect), std::move(replies), std::move(handler)};
}

void DefaultHandler(const std::string& command, FakeFtpSession& session) {
  if (Verb(command) == "QUIT") {
    session.Reply("221 Goodbye.");
    session.Close();
    return;
  }
  session.Reply("502 Command not scripted.");
}

std::string Verb(std::string_view command) {
  std::string verb(command.substr(0, command.find(' ')));
  for (char& c : verb) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return verb;
}

std::string Argument(std::string_view command) {
  const size_t blank = command.find(' ');
  return blank == std::string_view::npos ? std::string() : std::string(command.substr(blank + 1));
}

// ---- One session -----------------------------------------------------------------------------

FakeFtpSession::FakeFtpSession(int control_fd, int wake_fd)
    : control_fd_(control_fd), wake_fd_(wake_fd) {}

FakeFtpSession::~FakeFtpSession() {
  CloseData();
  Close();
}

bool FakeFtpSession::stopping() const {
  pollfd p{wake_fd_, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

// Waits for `events` on `fd`; false on time-out or when the server stops.
bool FakeFtpSession::WaitFor(int fd, short events, int timeout_ms) const {
  pollfd p[2] = {{fd, events, 0}, {wake_fd_, POLLIN, 0}};
  int ready;
  do {
    ready = ::poll(p, 2, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  return ready > 0 && p[1].revents == 0 && p[0].revents != 0;
}

void FakeFtpSession::SendAll(int fd, std::string_view bytes) {
  while (fd >= 0 && !bytes.empty() && WaitFor(fd, POLLOUT, kBoundMs)) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && TryAgain()) continue;
    if (sent <= 0) return;  // the client has gone; the script goes on regardless
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
}

void FakeFtpSession::Reply(std::string_view line) { SendRaw(std::string(line) + "\r\n"); }

void FakeFtpSession::SendRaw(std::string_view bytes) { SendAll(control_fd_, bytes); }

void FakeFtpSession::Pause(int ms) {
  pollfd p{wake_fd_, POLLIN, 0};
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) > 0) return;
  }
}

void FakeFtpSession::Close() { CloseFd(control_fd_); }

bool FakeFtpSession::TakeLine(std::string* line) {
  const size_t lf = received_.find('\n');
  if (lf == std::string::npos) return false;
  size_t length = lf;
  if (length > 0 && received_[length - 1] == '\r') --length;
  line->assign(received_, 0, length);
  received_.erase(0, lf + 1);
  return true;
}

bool FakeFtpSession::ReadCommand(std::string* command) {
  while (!TakeLine(command)) {
    // A client may wait minutes between commands; only the server's stop ends the wait.
    if (control_fd_ < 0 || !WaitFor(control_fd_, POLLIN, -1)) return false;
    char buffer[4096];
    const ssize_t got = ::recv(control_fd_, buffer, sizeof buffer, 0);
    if (got < 0 && TryAgain()) continue;
    if (got <= 0) {
      if (!received_.empty()) {  // a last line without its line end
        *command = std::exchange(received_, std::string());
        return true;
      }
      return false;
    }
    received_.append(buffer, static_cast<size_t>(got));
  }
  return true;
}

std::vector<std::string> FakeFtpSession::TakeBufferedCommands() {
  char buffer[4096];
  ssize_t got;
  while (control_fd_ >= 0 &&
         (got = ::recv(control_fd_, buffer, sizeof buffer, 0)) > 0) {
    received_.append(buffer, static_cast<size_t>(got));
  }
  std::vector<std::string> lines;
  std::string line;
  while (TakeLine(&line)) lines.push_back(line);
  if (!received_.empty()) lines.push_back(std::exchange(received_, std::string()));
  return lines;
}

std::string FakeFtpSession::Passive() {
  CloseData();
  listen_fd_ = ListenOnLoopback(0, &data_port_);
  char text[80];
  std::snprintf(text, sizeof text, "227 Entering Passive Mode (127,0,0,1,%d,%d)",
                data_port_ / 256, data_port_ % 256);
  return text;
}

std::string FakeFtpSession::ExtendedPassive() {
  CloseData();
  listen_fd_ = ListenOnLoopback(0, &data_port_, true);
  return "229 Entering Extended Passive Mode (|||" + std::to_string(data_port_) + "|)";
}

bool FakeFtpSession::AcceptData() {
  if (listen_fd_ < 0 || !WaitFor(listen_fd_, POLLIN, kBoundMs)) return false;
  CloseFd(data_fd_);
  data_fd_ = ::accept4(listen_fd_, nullptr, nullptr, kSocketFlags);
  return data_fd_ >= 0;
}

void FakeFtpSession::SendData(std::string_view bytes) { SendAll(data_fd_, bytes); }

void FakeFtpSession::SendDataWithPause(std::string_view first, int pause_ms,
                                       std::string_view rest) {
  SendData(first);
  Pause(pause_ms);
  SendData(rest);
}

std::string FakeFtpSession::ReceiveData() {
  std::string bytes;
  char buffer[65536];
  while (data_fd_ >= 0 && WaitFor(data_fd_, POLLIN, kBoundMs)) {
    const ssize_t got = ::recv(data_fd_, buffer, sizeof buffer, 0);
    if (got < 0 && TryAgain()) continue;
    if (got <= 0) break;
    bytes.append(buffer, static_cast<size_t>(got));
  }
  return bytes;
}

void FakeFtpSession::CloseData() {
  CloseFd(data_fd_);
  CloseFd(listen_fd_);
}

void FakeFtpSession::ResetData() {
  if (data_fd_ >= 0) {
    const linger abortive{1, 0};
    setsockopt(data_fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  }
  CloseData();
}

// ---- The server ------------------------------------------------------------------------------

FakeFtpServer::FakeFtpServer(bool ipv6) : ipv6_(ipv6) {
  default_script_.on_connect = {Reply("220 Fake server ready.")};
  listen_fd_ = ListenOnLoopback(0, &port_, ipv6);
  if (listen_fd_ < 0 || ::pipe2(wake_pipe_, O_CLOEXEC) != 0) {
    CloseFd(listen_fd_);
    throw std::runtime_error("fake FTP server: cannot listen on 127.0.0.1");
  }
  thread_ = std::thread([this] { Serve(); });
}

FakeFtpServer::~FakeFtpServer() {
  Stop();
  CloseFd(wake_pipe_[0]);
  CloseFd(wake_pipe_[1]);
}

std::string FakeFtpServer::address() const {
  return (ipv6_ ? "[::1]:" : "127.0.0.1:") + std::to_string(port_);
}

void FakeFtpServer::AddSession(SessionScript script) {
  std::lock_guard lock(mutex_);
  scripts_.push_back(std::move(script));
}

void FakeFtpServer::SetDefaultSession(SessionScript script) {
  std::lock_guard lock(mutex_);
  default_script_ = std::move(script);
}

void FakeFtpServer::Stop() {
  if (!thread_.joinable()) return;
  const char wake = 1;
  while (::write(wake_pipe_[1], &wake, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
  CloseFd(listen_fd_);
}

std::vector<std::string> FakeFtpServer::commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

int FakeFtpServer::connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

void FakeFtpServer::Record(std::string command) {
  std::lock_guard lock(mutex_);
  commands_.push_back(std::move(command));
}

SessionScript FakeFtpServer::ScriptFor(int connection) {
  std::lock_guard lock(mutex_);
  ++connections_;
  return connection < static_cast<int>(scripts_.size()) ? scripts_[connection]
                                                         : default_script_;
}

void FakeFtpServer::Serve() {
  for (int connection = 0;;) {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    while (::poll(p, 2, -1) < 0 && errno == EINTR) {
    }
    // A client that connected before Stop() is still taken in, so that what it sent is
    // recorded; its script does not run.
    if (p[0].revents != 0) {
      const int fd = ::accept4(listen_fd_, nullptr, nullptr, kSocketFlags);
      if (fd >= 0) RunSession(fd, ScriptFor(connection++));
    } else if (p[1].revents != 0) {
      return;
    }
  }
}

void FakeFtpServer::RunSession(int fd, SessionScript script) {
  FakeFtpSession session(fd, wake_pipe_[0]);
  for (const Action& step : script.on_connect) {
    if (session.closed() || session.stopping()) break;
    step(session);
  }
  std::string command;
  for (size_t i = 0; !session.closed() && session.ReadCommand(&command); ++i) {
    Record(command);
    if (i < script.replies.size()) {
      script.replies[i](session);
    } else if (script.handler) {
      script.handler(command, session);
    }
  }
  for (std::string& line : session.TakeBufferedCommands()) Record(std::move(line));
}

}  // namespace koru::testing
