#ifndef KORU_TESTS_REAL_FTP_SERVER_H_
#define KORU_TESTS_REAL_FTP_SERVER_H_

#include <sys/types.h>

#include <memory>
#include <string>

// Real FTP servers from Debian packages, started by a test on 127.0.0.1 on a free high port,
// serving a fresh temporary directory, and stopped (by their process id) when the object goes.
//
//   std::string missing = RealFtpServer::Missing(kind);
//   if (!missing.empty()) GTEST_SKIP() << missing;
//   std::string error;
//   auto server = RealFtpServer::Start(kind, &error);
//   ASSERT_TRUE(server) << error;
//
// Both serve anonymous users (user "anonymous", any password) with the right to create,
// rename and delete files and directories below the directory "pub", which belongs to the
// anonymous user; see RealFtpServerOptions for the variants.
namespace koru::testing {

enum class FtpServerKind { kVsftpd, kPyftpdlib };

struct RealFtpServerOptions {
  // pyftpdlib: a named user (with this password) in place of anonymous.
  std::string user;
  std::string password;
  // vsftpd: false logs anonymous users in on USER alone (230 at once, no PASS).
  bool anonymous_password = true;
};

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
  // "127.0.0.1:" + port, the server text a client connects to.
  std::string address() const;
  // The directory served as "/" (its "pub" is writable by the anonymous user).
  const std::string& root() const { return root_; }
  // Gives what a test created below root() to the server's anonymous user.
  void HandOver(const std::string& path) const;

 private:
  RealFtpServer() = default;
  bool Launch(FtpServerKind kind, const RealFtpServerOptions& options, std::string* error);
  bool WaitUntilListening(std::string* error);
  void Stop();

  std::string work_;  // temporary directory: configuration, log, root
  std::string root_;
  std::string log_;
  int port_ = 0;
  pid_t pid_ = -1;
  uid_t owner_uid_ = 0;  // owner of what the anonymous user may change
  gid_t owner_gid_ = 0;
};

}  // namespace koru::testing

#endif  // KORU_TESTS_REAL_FTP_SERVER_H_
