#include "tests/real_ftp_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/child_process.h"
#include "tests/loopback_listener.h"

namespace koru::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kVsftpd[] = "/usr/sbin/vsftpd";
// Where scripts/test.sh unpacks proftpd, which cannot be installed beside vsftpd.
constexpr char kProftpd[] = "/opt/koru-test-servers/usr/sbin/proftpd";
// Also unpacked there.
constexpr char kPureFtpd[] = "/opt/koru-test-servers/usr/sbin/pure-ftpd";
// Debian's python, which has the python3-pyftpdlib package (a python3 on PATH may not).
constexpr char kPython[] = "/usr/bin/python3";
// The account vsftpd and proftpd run anonymous sessions as.
constexpr char kAnonymousUser[] = "ftp";
// The account pyftpdlib runs as when the tests run as root, and proftpd's between sessions.
constexpr char kUnprivilegedUser[] = "nobody";
constexpr int kPassivePorts = 20;

bool PortIsFreeOn(bool ipv6, int port) {
  const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  socklen_t size = 0;
  const sockaddr_storage address = LoopbackAddress(ipv6, port, &size);
  const bool free = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0;
  ::close(fd);
  return free;
}

// Free on both loopback addresses, so that a server may take it on either.
bool PortIsFree(int port) { return PortIsFreeOn(false, port) && PortIsFreeOn(true, port); }

bool Accepts(bool ipv6, int port) {
  const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  socklen_t size = 0;
  const sockaddr_storage address = LoopbackAddress(ipv6, port, &size);
  const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0;
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
                         const RealFtpServerOptions& options) {
  const bool anonymous_password = options.anonymous_password;
  const int max_rate = options.max_rate;
  std::ostringstream c;
  if (options.ipv6) {
    c << "listen=NO\nlisten_ipv6=YES\nlisten_address6=::1\n";
  } else {
    c << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n";
  }
  c << "background=NO\nlisten_port=" << port << "\n"
    << "anonymous_enable=YES\nlocal_enable=NO\n"
    << "anon_root=" << root << "\nftp_username=" << kAnonymousUser << "\n"
    << "no_anon_password=" << (anonymous_password ? "NO" : "YES") << "\n"
    << "write_enable=YES\nanon_upload_enable=YES\nanon_mkdir_write_enable=YES\n"
    << "anon_other_write_enable=YES\nanon_world_readable_only=NO\nanon_umask=022\n"
    << "pasv_enable=YES\npasv_min_port=" << port + 1 << "\npasv_max_port=" << port + kPassivePorts
    << "\n"
    << "secure_chroot_dir=" << empty << "\n"
    << "seccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
    << "xferlog_enable=NO\nconnect_from_port_20=NO\n"
    << "use_localtime=" << (options.utc_times ? "NO" : "YES") << "\n";
  if (max_rate > 0) c << "anon_max_rate=" << max_rate << "\n";
  if (options.max_per_ip > 0) c << "max_per_ip=" << options.max_per_ip << "\n";
  return c.str();
}

// vsftpd demanding TLS (explicit, or implicit) of anonymous sessions, and resumed sessions on data
// connections; every command logged to `log`.
std::string VsftpdTlsConfig(const TlsServerOptions& tls, const std::string& log) {
  std::ostringstream c;
  c << "ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\nforce_anon_data_ssl=YES\n"
    << "force_local_logins_ssl=YES\nforce_local_data_ssl=YES\nrequire_ssl_reuse=YES\n"
    << "rsa_cert_file=" << tls.certificate << "\nrsa_private_key_file=" << tls.key << "\n"
    << "xferlog_enable=YES\nxferlog_std_format=NO\nlog_ftp_protocol=YES\n"
    << "vsftpd_log_file=" << log << "\n";
  if (tls.implicit) c << "implicit_ssl=YES\n";
  return c.str();
}

// An OpenSSL configuration that limits every TLS connection to TLS 1.2.
constexpr char kTls12OnlyConfig[] =
    "openssl_conf = koru_test\n[koru_test]\nssl_conf = ssl\n[ssl]\n"
    "system_default = tls12\n[tls12]\nMaxProtocol = TLSv1.2\n";

std::string GroupName(gid_t gid) {
  const group* g = ::getgrgid(gid);
  return g ? g->gr_name : std::to_string(gid);
}

// A user by name and group name.
struct Account {
  std::string user;
  std::string group;
};

Account AccountOf(const char* name) {
  const passwd* p = ::getpwnam(name);
  if (!p) return {};
  const std::string user = p->pw_name;
  return {user, GroupName(p->pw_gid)};
}

// proftpd in the foreground: the anonymous user (alias "anonymous", any password) is shut in
// `root` and may write there; the server waits as `idle` between sessions.
std::string ProftpdConfig(const std::string& work, const std::string& root, int port,
                          const Account& anonymous, const Account& idle, bool ipv6, int max_rate) {
  std::ostringstream c;
  c << "ServerName \"koru test\"\nServerType standalone\n"
    << (ipv6 ? "DefaultAddress ::1\nSocketBindTight on\nUseIPv6 on\n"
             : "DefaultAddress 127.0.0.1\nSocketBindTight on\nUseIPv6 off\n")
    << "Port " << port << "\nPassivePorts " << port + 1 << " " << port + kPassivePorts << "\n"
    << "User " << idle.user << "\nGroup " << idle.group << "\n"
    << "Umask 022\nAllowOverwrite on\nUseReverseDNS off\nUseFtpUsers off\nAuthPAM off\n"
    << "WtmpLog off\nTransferLog none\nDelayEngine off\nTimesGMT off\n"
    << "PidFile " << work << "/proftpd.pid\nScoreboardFile " << work << "/proftpd.scoreboard\n"
    << "SystemLog " << work << "/proftpd.log\n";
  if (max_rate > 0) c << "TransferRate RETR " << std::max(1, max_rate / 1024) << "\n";
  c << "<Anonymous " << root << ">\n"
    << "  User " << anonymous.user << "\n  Group " << anonymous.group << "\n"
    << "  UserAlias anonymous " << anonymous.user << "\n  RequireValidShell off\n"
    << "  <Limit WRITE>\n    AllowAll\n  </Limit>\n"
    << "</Anonymous>\n";
  return c.str();
}

// A directory mounted over another, in the server's mount namespace alone.
struct BindMount {
  std::string source;
  std::string target;  // empty: none
};

// Makes `mount` in a private mount namespace of the calling process; false when it cannot.
bool MountPrivately(const BindMount& mount) {
  return ::unshare(CLONE_NEWNS) == 0 &&
         ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount(mount.source.c_str(), mount.target.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

// Whether this process may make a mount namespace of its own (a container may forbid it).
bool CanMountPrivately() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(::unshare(CLONE_NEWNS) == 0 ? 0 : 1);
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// How Spawn starts a server besides its arguments.
struct SpawnSettings {
  const passwd* as = nullptr;  // the user it runs as; null: this process's
  std::string openssl_conf{};
  std::string tz{};  // its TZ; empty: this process's
  BindMount mount{};
};

// Runs `args` in a process group of its own, in "/", output to `log`, with `settings`. The
// process id, or -1.
pid_t Spawn(const std::vector<std::string>& args, const std::string& log,
            const SpawnSettings& settings) {
  const passwd* as = settings.as;
  const std::string& openssl_conf = settings.openssl_conf;
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const uid_t uid = as ? as->pw_uid : 0;
  const gid_t gid = as ? as->pw_gid : 0;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    if (::chdir("/") != 0) ::_exit(126);
    if (!openssl_conf.empty()) ::setenv("OPENSSL_CONF", openssl_conf.c_str(), 1);
    if (!settings.tz.empty()) ::setenv("TZ", settings.tz.c_str(), 1);
    if (!settings.mount.target.empty() && !MountPrivately(settings.mount)) ::_exit(124);
    if (as && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) {
      ::_exit(125);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

}  // namespace

std::string KindName(FtpServerKind kind) {
  switch (kind) {
    case FtpServerKind::kVsftpd:
      return "Vsftpd";
    case FtpServerKind::kPyftpdlib:
      return "Pyftpdlib";
    case FtpServerKind::kProftpd:
      return "Proftpd";
    case FtpServerKind::kPureFtpd:
      return "PureFtpd";
  }
  return "";
}

void StartOrSkip(FtpServerKind kind, std::unique_ptr<RealFtpServer>* server,
                 const RealFtpServerOptions& options) {
  server->reset();
  const std::string missing = RealFtpServer::Missing(kind);
  if (!missing.empty()) GTEST_SKIP() << missing;
  std::string error;
  *server = RealFtpServer::Start(kind, &error, options);
  ASSERT_TRUE(*server) << error;
}

std::string RealFtpServer::Missing(FtpServerKind kind) {
  if (kind == FtpServerKind::kPureFtpd) {
    if (::access(kPureFtpd, X_OK) != 0) {
      return std::string("pure-ftpd is not unpacked at ") + kPureFtpd +
             " (Debian package pure-ftpd; scripts/test.sh unpacks it)";
    }
    if (::geteuid() != 0) return "pure-ftpd serves anonymous users only when started as root";
    const passwd* anonymous = ::getpwnam(kAnonymousUser);
    if (!anonymous) return "no user 'ftp' for pure-ftpd's anonymous sessions";
    if (!fs::is_directory(anonymous->pw_dir)) {
      return std::string("no home directory ") + anonymous->pw_dir + " of the user 'ftp'";
    }
    if (!CanMountPrivately()) return "no mount namespace for pure-ftpd's anonymous root";
    return "";
  }
  if (kind == FtpServerKind::kProftpd) {
    if (::access(kProftpd, X_OK) != 0) {
      return std::string("proftpd is not unpacked at ") + kProftpd +
             " (Debian package proftpd-core; scripts/test.sh unpacks it)";
    }
    if (::geteuid() != 0) return "proftpd serves anonymous users only when started as root";
    if (!::getpwnam(kAnonymousUser)) return "no user 'ftp' for proftpd's anonymous sessions";
    if (!::getpwnam(kUnprivilegedUser)) return "no user 'nobody' for proftpd";
    return "";
  }
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
  ipv6_ = options.ipv6;
  port_ = FreePortRange(1 + kPassivePorts);
  const std::string passive =
      std::to_string(port_ + 1) + "-" + std::to_string(port_ + kPassivePorts);

  std::vector<std::string> args;
  std::string openssl_conf;
  const passwd* run_as = nullptr;
  BindMount mount;
  if (kind == FtpServerKind::kVsftpd) {
    const passwd* anonymous = ::getpwnam(kAnonymousUser);
    owner_uid_ = anonymous->pw_uid;
    owner_gid_ = anonymous->pw_gid;
    const std::string config = work_ + "/vsftpd.conf";
    std::ofstream(config) << VsftpdConfig(root_, empty, port_, options)
                          << (options.tls.certificate.empty()
                                  ? ""
                                  : VsftpdTlsConfig(options.tls, work_ + "/vsftpd.log"));
    if (options.tls.tls12_only) {
      openssl_conf = work_ + "/openssl.cnf";
      std::ofstream(openssl_conf) << kTls12OnlyConfig;
    }
    args = {kVsftpd, config};
  } else if (kind == FtpServerKind::kProftpd) {
    const passwd* anonymous = ::getpwnam(kAnonymousUser);
    owner_uid_ = anonymous->pw_uid;
    owner_gid_ = anonymous->pw_gid;
    const std::string config = work_ + "/proftpd.conf";
    std::ofstream(config) << ProftpdConfig(work_, root_, port_, AccountOf(kAnonymousUser),
                                           AccountOf(kUnprivilegedUser), options.ipv6,
                                           options.max_rate);
    args = {kProftpd, "-n", "-c", config};
  } else if (kind == FtpServerKind::kPureFtpd) {
    const passwd* anonymous = ::getpwnam(kAnonymousUser);
    owner_uid_ = anonymous->pw_uid;
    owner_gid_ = anonymous->pw_gid;
    // pure-ftpd serves anonymous users the home directory of "ftp", which no option changes:
    // the root is mounted there for the server alone.
    mount = {root_, anonymous->pw_dir};
    // Anonymous users only, read-only (-e -i), no name lookups (-H), no syslog (-f none), in
    // the foreground (no -B).
    args = {kPureFtpd,
            "-S",
            std::string(options.ipv6 ? "::1," : "127.0.0.1,") + std::to_string(port_),
            options.ipv6 ? "-6" : "-4",
            "-p",
            std::to_string(port_ + 1) + ":" + std::to_string(port_ + kPassivePorts),
            "-e",
            "-i",
            "-H",
            "-f",
            "none"};
  } else if (!options.tls.certificate.empty()) {
    const TlsServerOptions& tls = options.tls;
    // A copy the unprivileged user can read, wherever the source tree lies.
    const std::string script = work_ + "/tls_ftp_server.py";
    std::filesystem::copy_file(std::string(KORU_SOURCE_DIR) + "/tests/tls_ftp_server.py", script);
    ::chmod(script.c_str(), 0644);
    args = {kPython,
            script,
            std::to_string(port_),
            root_,
            std::to_string(port_ + 1),
            std::to_string(port_ + kPassivePorts),
            tls.certificate,
            tls.key};
    if (tls.implicit) args.push_back("implicit");
    if (tls.refuse_prot) args.push_back("refuse-prot");
    if (tls.no_close_notify) args.push_back("no-close-notify");
    if (tls.corrupt_data) args.push_back("corrupt-data");
  } else {
    args = {kPython,
            "-m",
            "pyftpdlib",
            "-i",
            options.ipv6 ? "::1" : "127.0.0.1",
            "-p",
            std::to_string(port_),
            "-d",
            root_,
            "-r",
            passive,
            "-w"};
    if (!options.user.empty()) args.insert(args.end(), {"-u", options.user, "-P", options.password});
  }
  if (kind == FtpServerKind::kPyftpdlib) {
    // As root pyftpdlib would read and write everything; it runs as "nobody" instead.
    run_as = ::geteuid() == 0 ? ::getpwnam(kUnprivilegedUser) : nullptr;
    if (run_as) {
      owner_uid_ = run_as->pw_uid;
      owner_gid_ = run_as->pw_gid;
    }
  }
  HandOver(root_ + "/pub");
  pid_ = Spawn(args, log_, {run_as, openssl_conf, options.tz, mount});
  if (pid_ < 0) *error = "cannot start " + args[0];
  return pid_ > 0;
}

bool RealFtpServer::WaitUntilListening(std::string* error) {
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      *error =
          "the FTP server ended at once:\n" + ReadFile(log_) + ReadFile(work_ + "/proftpd.log");
      return false;
    }
    if (Accepts(ipv6_, port_)) return true;
    std::this_thread::sleep_for(50ms);
  }
  *error = "the FTP server did not listen within 15 s:\n" + ReadFile(log_) +
           ReadFile(work_ + "/proftpd.log");
  return false;
}

RealFtpServer::~RealFtpServer() {
  Stop();
  std::error_code ignored;
  if (!work_.empty()) fs::remove_all(work_, ignored);
}

void RealFtpServer::Stop() {
  if (pid_ <= 0) return;
  // The server and its session processes (a session a test stopped goes on, to end).
  for (const pid_t session : SessionProcesses()) {
    ::kill(session, SIGTERM);
    ::kill(session, SIGCONT);
  }
  ::kill(-pid_, SIGTERM);
  ::kill(-pid_, SIGCONT);
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

std::vector<pid_t> RealFtpServer::SessionProcesses() const {
  std::vector<pid_t> sessions;
  if (pid_ <= 0) return sessions;
  // Every process by its parent. vsftpd's sessions are sessions of their own (setsid), so they
  // are found as descendants of the server, not by its process group.
  std::vector<std::pair<pid_t, pid_t>> parents;
  DIR* proc = ::opendir("/proc");
  if (!proc) return sessions;
  while (const dirent* entry = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    // /proc/<pid>/stat: pid (name) state ppid ...; the name may hold blanks and ")".
    const std::string stat = ReadFile("/proc/" + std::string(entry->d_name) + "/stat");
    const size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos) continue;
    std::istringstream fields(stat.substr(name_end + 1));
    std::string state;
    pid_t parent = 0;
    if (fields >> state >> parent) parents.emplace_back(pid, parent);
  }
  ::closedir(proc);
  std::vector<pid_t> ancestors = {pid_};
  while (!ancestors.empty()) {
    const pid_t ancestor = ancestors.back();
    ancestors.pop_back();
    for (const auto& [pid, parent] : parents) {
      if (parent != ancestor) continue;
      sessions.push_back(pid);
      ancestors.push_back(pid);
    }
  }
  return sessions;
}

std::string RealFtpServer::Log() const { return ReadFile(log_) + ReadFile(work_ + "/vsftpd.log"); }

std::string RealFtpServer::address() const {
  return (ipv6_ ? "[::1]:" : "127.0.0.1:") + std::to_string(port_);
}

void RealFtpServer::HandOver(const std::string& path) const {
  std::error_code ignored;
  ::lchown(path.c_str(), owner_uid_, owner_gid_);
  if (!fs::is_directory(path)) return;
  for (const auto& entry : fs::recursive_directory_iterator(path, ignored)) {
    ::lchown(entry.path().c_str(), owner_uid_, owner_gid_);
  }
}

}  // namespace koru::testing
