#include "tests/real_ftp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/child_process.h"

namespace koru::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kVsftpd[] = "/usr/sbin/vsftpd";
// Debian's python, which has the python3-pyftpdlib package (a python3 on PATH may not).
constexpr char kPython[] = "/usr/bin/python3";
constexpr char kAnonymousUser[] = "ftp";  // the account vsftpd runs anonymous sessions as
constexpr int kPassivePorts = 20;

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

bool PortIsFree(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(port);
  const bool free = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return free;
}

bool Accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(port);
  const bool connected =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

// A free control port followed by a free passive range, below the system's ephemeral ports so
// that no client connection takes them meanwhile; chosen at random so that tests running at
// the same time do not meet.
int FreePortRange(int count) {
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> base(20000, 32000 - count);
  for (;;) {
    const int first = base(random);
    bool free = true;
    for (int port = first; free && port < first + count; ++port) free = PortIsFree(port);
    if (free) return first;
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string VsftpdConfig(const std::string& root, const std::string& empty, int port,
                         bool anonymous_password) {
  std::ostringstream c;
  c << "listen=YES\nlisten_ipv6=NO\nbackground=NO\n"
    << "listen_address=127.0.0.1\nlisten_port=" << port << "\n"
    << "anonymous_enable=YES\nlocal_enable=NO\n"
    << "anon_root=" << root << "\nftp_username=" << kAnonymousUser << "\n"
    << "no_anon_password=" << (anonymous_password ? "NO" : "YES") << "\n"
    << "write_enable=YES\nanon_upload_enable=YES\nanon_mkdir_write_enable=YES\n"
    << "anon_other_write_enable=YES\nanon_world_readable_only=NO\nanon_umask=022\n"
    << "pasv_enable=YES\npasv_min_port=" << port + 1 << "\npasv_max_port="
    << port + kPassivePorts << "\n"
    << "secure_chroot_dir=" << empty << "\n"
    << "seccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
    << "xferlog_enable=NO\nconnect_from_port_20=NO\nuse_localtime=YES\n";
  return c.str();
}

// Runs `args` in a process group of its own, output to `log`. The process id, or -1.
pid_t Spawn(const std::vector<std::string>& args, const std::string& log) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

}  // namespace

std::string RealFtpServer::Missing(FtpServerKind kind) {
  if (kind == FtpServerKind::kVsftpd) {
    if (::access(kVsftpd, X_OK) != 0) {
      return "vsftpd is not installed (Debian package vsftpd; scripts/test.sh installs it)";
    }
    if (::geteuid() != 0) return "vsftpd runs standalone only as root";
    if (!::getpwnam(kAnonymousUser)) return "no user 'ftp' for vsftpd's anonymous sessions";
    return "";
  }
  if (::access(kPython, X_OK) != 0 ||
      RunProgram(kPython, {"-c", "import pyftpdlib"}).exit_code != 0) {
    return "pyftpdlib is not installed (Debian package python3-pyftpdlib; scripts/test.sh "
           "installs it)";
  }
  return "";
}

std::unique_ptr<RealFtpServer> RealFtpServer::Start(FtpServerKind kind, std::string* error,
                                                    const RealFtpServerOptions& options) {
  std::unique_ptr<RealFtpServer> server(new RealFtpServer);
  if (!server->Launch(kind, options, error) || !server->WaitUntilListening(error)) return nullptr;
  return server;
}

bool RealFtpServer::Launch(FtpServerKind kind, const RealFtpServerOptions& options,
                           std::string* error) {
  std::string pattern = (fs::temp_directory_path() / "koru-ftp.XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    *error = "cannot create a temporary directory";
    return false;
  }
  work_ = pattern;
  root_ = work_ + "/root";
  log_ = work_ + "/server.log";
  const std::string empty = work_ + "/empty";
  fs::create_directories(root_ + "/pub");
  fs::create_directory(empty);
  // The anonymous user must reach the root, and vsftpd wants the root not writable by it.
  ::chmod(work_.c_str(), 0755);
  ::chmod(root_.c_str(), 0755);
  ::chmod(empty.c_str(), 0555);
  owner_uid_ = ::geteuid();
  owner_gid_ = ::getegid();
  port_ = FreePortRange(1 + kPassivePorts);
  const std::string passive =
      std::to_string(port_ + 1) + "-" + std::to_string(port_ + kPassivePorts);

  std::vector<std::string> args;
  if (kind == FtpServerKind::kVsftpd) {
    const passwd* anonymous = ::getpwnam(kAnonymousUser);
    owner_uid_ = anonymous->pw_uid;
    owner_gid_ = anonymous->pw_gid;
    const std::string config = work_ + "/vsftpd.conf";
    std::ofstream(config) << VsftpdConfig(root_, empty, port_, options.anonymous_password);
    args = {kVsftpd, config};
  } else {
    args = {kPython, "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", std::to_string(port_),
            "-d", root_, "-r", passive, "-w"};
    if (!options.user.empty()) args.insert(args.end(), {"-u", options.user, "-P", options.password});
  }
  HandOver(root_ + "/pub");
  pid_ = Spawn(args, log_);
  if (pid_ < 0) *error = "cannot start " + args[0];
  return pid_ > 0;
}

bool RealFtpServer::WaitUntilListening(std::string* error) {
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      *error = "the FTP server ended at once:\n" + ReadFile(log_);
      return false;
    }
    if (Accepts(port_)) return true;
    std::this_thread::sleep_for(50ms);
  }
  *error = "the FTP server did not listen within 15 s:\n" + ReadFile(log_);
  return false;
}

RealFtpServer::~RealFtpServer() {
  Stop();
  std::error_code ignored;
  if (!work_.empty()) fs::remove_all(work_, ignored);
}

void RealFtpServer::Stop() {
  if (pid_ <= 0) return;
  // The server and the session processes it forked share its process group.
  ::kill(-pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(20ms);
  }
  pid_ = -1;
}

std::string RealFtpServer::address() const { return "127.0.0.1:" + std::to_string(port_); }

void RealFtpServer::HandOver(const std::string& path) const {
  std::error_code ignored;
  ::lchown(path.c_str(), owner_uid_, owner_gid_);
  if (!fs::is_directory(path)) return;
  for (const auto& entry : fs::recursive_directory_iterator(path, ignored)) {
    ::lchown(entry.path().c_str(), owner_uid_, owner_gid_);
  }
}

}  // namespace koru::testing
