#ifndef KORU_TESTS_REAL_FTP_SERVER_H_
#define KORU_TESTS_REAL_FTP_SERVER_H_

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

// Real FTP servers from Debian packages, started by a test on 127.0.0.1 (or ::1) on a free high
// port, serving a fresh temporary directory, and stopped (by their process id) when the object
// goes.
//
//   std::unique_ptr<RealFtpServer> server;
//   StartOrSkip(kind, &server);
//   if (!server) return;  // skipped, or failed to start
//
// Each serves anonymous users (user "anonymous", any password) with the right to create,
// rename and delete files and directories below the directory "pub", which belongs to the
// anonymous user; see RealFtpServerOptions for the variants. Run as root, every server reads
// and writes as an unprivileged user, so a file or directory of mode 000 that belongs to root
// is one it cannot open.
namespace koru::testing {

// vsftpd, proftpd and pure-ftpd fork a process for each session (proftpd and pure-ftpd are
// unpacked, not installed: see scripts/unpack-debs.sh); pyftpdlib serves every session in its
// one process. pure-ftpd serves anonymous users read-only: no upload, no new directory.
enum class FtpServerKind { kVsftpd, kPyftpdlib, kProftpd, kPureFtpd };

// "Vsftpd", "Pyftpdlib", "Proftpd" or "PureFtpd", for test names.
std::string KindName(FtpServerKind kind);

// FTP over TLS: with a certificate the server demands TLS for the login and the data
// (vsftpd: require_ssl_reuse=YES; pyftpdlib: tests/tls_ftp_server.py).
struct TlsServerOptions {
  std::string certificate{};  // PEM files; empty: plain FTP
  std::string key{};
  bool tls12_only = false;       // vsftpd: at most TLS 1.2 (OpenSSL's configuration)
  bool implicit = false;         // TLS from the first byte
  bool refuse_prot = false;      // pyftpdlib: PROT is answered 534
  bool no_close_notify = false;  // pyftpdlib: data connections end without close_notify
  bool corrupt_data = false;     // pyftpdlib: a download breaks off with a TLS error
};

struct RealFtpServerOptions {
  // pyftpdlib: a named user (with this password) in place of anonymous.
  std::string user{};
  std::string password{};
  // vsftpd: false logs anonymous users in on USER alone (230 at once, no PASS).
  bool anonymous_password = true;
  // vsftpd and proftpd: the bytes per second a download is served at; 0: as fast as it goes.
  int max_rate = 0;
  TlsServerOptions tls{};
  // Listen on ::1 in place of 127.0.0.1 (and on nothing else).
  bool ipv6 = false;
  // vsftpd: the sessions one client address may hold at once; 0: no limit.
  int max_per_ip = 0;
  // The server process's TZ, the zone vsftpd, proftpd and pure-ftpd list their times in;
  // empty: the tests' own. A POSIX rule ("EST5" is UTC-05:00, "XXX-05:30" UTC+05:30: the sign
  // is inverted) rather than a zone's name, whose file a server shut in its root cannot read.
  std::string tz{};
  // vsftpd: times in UTC, in its listings and MDTM replies alike (use_localtime=NO, its own
  // default) in place of the server's zone.
  bool utc_times = false;
};

class RealFtpServer;

// Starts `kind` into `*server`, or marks the running test skipped when the server is not
// installed; a server that does not start fails the test. Either way `*server` stays empty.
void StartOrSkip(FtpServerKind kind, std::unique_ptr<RealFtpServer>* server,
                 const RealFtpServerOptions& options = {});

class RealFtpServer {
 public:
  // Why `kind` cannot run here (its package is not installed), or empty.
  static std::string Missing(FtpServerKind kind);

  // Starts the server and waits until it accepts connections. Null with `*error` set (and the
  // server's own output in it) when it does not start.
  static std::unique_ptr<RealFtpServer> Start(FtpServerKind kind, std::string* error,
                                              const RealFtpServerOptions& options = {});
  ~RealFtpServer();
  RealFtpServer(const RealFtpServer&) = delete;
  RealFtpServer& operator=(const RealFtpServer&) = delete;

  int port() const { return port_; }
  // "127.0.0.1:" + port (or "[::1]:" + port), the server text a client connects to.
  std::string address() const;
  // The directory served as "/" (its "pub" is writable by the anonymous user).
  const std::string& root() const { return root_; }
  // What the server logged: for vsftpd serving TLS every command it received; for pyftpdlib
  // its log of commands.
  std::string Log() const;
  // Gives what a test created below root() to the server's anonymous user.
  void HandOver(const std::string& path) const;
  // The processes the server started and that still run: for vsftpd and proftpd those that
  // serve sessions. A test stops them with SIGSTOP to make a server that falls silent while it
  // still accepts connections.
  std::vector<pid_t> SessionProcesses() const;

 private:
  RealFtpServer() = default;
  bool Launch(FtpServerKind kind, const RealFtpServerOptions& options, std::string* error);
  bool WaitUntilListening(std::string* error);
  void Stop();

  std::string work_;  // temporary directory: configuration, log, root
  std::string root_;
  std::string log_;
  int port_ = 0;
  bool ipv6_ = false;
  pid_t pid_ = -1;
  uid_t owner_uid_ = 0;  // owner of what the anonymous user may change
  gid_t owner_gid_ = 0;
};

}  // namespace koru::testing

#endif  // KORU_TESTS_REAL_FTP_SERVER_H_
