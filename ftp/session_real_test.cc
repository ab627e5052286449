// The control connection against real FTP servers (vsftpd and pyftpdlib) started on 127.0.0.1.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ftp/commands.h"
#include "ftp/control.h"
#include "ftp/listing_transfer.h"
#include "ftp/session.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/connect_race.h"
#include "tests/fakes.h"
#include "tests/loopback_listener.h"
#include "tests/real_ftp_server.h"

namespace koru {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::Matcher;
using ::testing::StartsWith;
using testing::FtpServerKind;
using testing::RealFtpServer;
using testing::RealFtpServerOptions;

class RealServerFixture : public ::testing::Test {
 protected:
  RealServerFixture() {
    // Replies come at once; a long time-out only matters when something is wrong.
    env_.channel_timeout_ms = 5000;
    options_.ProgramTitle = "KORU 20080313";
  }

  // Starts a server of `kind`; the test is skipped when its package is missing.
  void StartServer(FtpServerKind kind, const RealFtpServerOptions& options = {}) {
    testing::StartOrSkip(kind, &server_, options);
  }

  std::string Pub(const std::string& name) const { return server_->root() + "/pub" + name; }

  testing::RecordingConsole console_;
  testing::FakeClock clock_;
  Options options_;
  RunSettings state_;
  Env env_{console_, clock_};
  koru::Session session{env_, options_, state_};
  std::unique_ptr<RealFtpServer> server_;
};

class RealServerTest : public RealServerFixture,
                       public ::testing::WithParamInterface<FtpServerKind> {
 protected:
  void SetUp() override { StartServer(GetParam()); }

  // Logs in, changes directory, creates a directory tree, renames, deletes and quits, checking
  // each result and the files on disk. Returns the debug transcript it must have printed:
  // each command, then its reply line (whose text is the server's own).
  std::vector<Matcher<const std::string&>> Walk() {
    std::vector<Matcher<const std::string&>> shown;
    auto expect = [&shown](const std::string& command, const std::string& code) {
      if (!command.empty()) shown.push_back(command);
      shown.push_back(StartsWith(code + " "));
    };
    std::ofstream(Pub("/old.txt")) << "old";
    server_->HandOver(Pub("/old.txt"));

    const int32_t h = ftpConnect(session, server_->address(), "anonymous", "guest@example.org");
    EXPECT_GT(h, 0);
    EXPECT_EQ(session.ConnectedFlag, kOn);
    EXPECT_EQ(session.LastReplyCode, 230);
    expect("", "220");
    expect("USER anonymous", "331");
    expect("PASS guest@example.org", "230");

    EXPECT_EQ(ftpChangeDir(session, "/pub/"), 1);
    expect("CWD /pub", "250");
    EXPECT_EQ(ftpPwd(session), "/pub");
    expect("PWD", "257");

    EXPECT_EQ(ftpMakeDirTree(session, "/pub/a/b/c/"), 1);
    for (const auto& [command, code] : std::vector<std::pair<std::string, std::string>>{
             {"CWD /pub/a/b/c", "550"}, {"CWD /pub/a/b", "550"}, {"CWD /pub/a/b", "550"},
             {"CWD /pub/a", "550"}, {"CWD /pub/a", "550"}, {"CWD /pub", "250"},
             {"MKD /pub/a", "257"}, {"CWD /pub", "250"}, {"MKD /pub/a/b", "257"},
             {"CWD /pub/a", "250"}, {"MKD /pub/a/b/c", "257"}, {"CWD /pub/a/b", "250"}}) {
      expect(command, code);
    }
    EXPECT_TRUE(fs::is_directory(Pub("/a/b/c")));
    EXPECT_EQ(ftpPwd(session), "/pub/a/b");
    expect("PWD", "257");

    EXPECT_EQ(ftpRename(session, "/pub/a/b/c", "/pub/a/b/d"), 1);
    expect("RNFR /pub/a/b/c", "350");
    expect("RNTO /pub/a/b/d", "250");
    EXPECT_FALSE(fs::exists(Pub("/a/b/c")));
    EXPECT_TRUE(fs::is_directory(Pub("/a/b/d")));

    EXPECT_EQ(ftpRemoveDir(session, "/pub/a/b/d"), 1);
    expect("RMD /pub/a/b/d", "250");
    EXPECT_FALSE(fs::exists(Pub("/a/b/d")));

    EXPECT_EQ(ftpRemoveFile(session, "/pub/old.txt"), 1);
    expect("DELE /pub/old.txt", "250");
    EXPECT_FALSE(fs::exists(Pub("/old.txt")));
    EXPECT_EQ(ftpRemoveFile(session, "/pub/old.txt"), 0);
    expect("DELE /pub/old.txt", "550");
    EXPECT_EQ(session.LastReplyCode, 550);

    ftpTypeBinary(session);
    expect("TYPE I", "200");
    ftpQuit(session);
    expect("QUIT", "221");
    EXPECT_EQ(session.ConnectedFlag, kOff);
    EXPECT_FALSE(session.pool.InUse(h));
    return shown;
  }
};

TEST_P(RealServerTest, LogsInBuildsATreeRenamesDeletesAndQuitsInEveryMode) {
  for (const int32_t level : {0, -1, 1}) {
    SCOPED_TRACE("VerboseLevel " + std::to_string(level));
    options_.VerboseLevel = level;
    console_.lines.clear();
    const auto shown = Walk();
    if (level > 0) {
      EXPECT_THAT(console_.lines, ElementsAreArray(shown));
    } else {
      EXPECT_THAT(console_.lines, IsEmpty());
    }
    fs::remove_all(Pub("/a"));
  }
}

TEST_P(RealServerTest, RefusedChangeOfDirectoryIsKeptAsTheLastReply) {
  const int32_t h = ftpConnect(session, server_->address(), "anonymous", "guest@example.org");
  ASSERT_GT(h, 0);
  EXPECT_EQ(ftpChangeDir(session, "/no/such/dir"), 0);
  EXPECT_EQ(ftpLastReplyCode(session), 550);
  EXPECT_EQ(ftpChangeDir(session, "pub"), 1);
  EXPECT_EQ(ftpMakeDirTree(session, "single"), 1);  // a name without "/" goes here
  EXPECT_TRUE(fs::is_directory(Pub("/single")));
  EXPECT_EQ(ftpPwd(session), "/pub");
  EXPECT_EQ(ftpLastReplyCode(session), 550);
  ftpQuit(session);
}

INSTANTIATE_TEST_SUITE_P(
    Real, RealServerTest, ::testing::Values(FtpServerKind::kVsftpd, FtpServerKind::kPyftpdlib),
    [](const ::testing::TestParamInfo<FtpServerKind>& info) {
      return info.param == FtpServerKind::kVsftpd ? "Vsftpd" : "Pyftpdlib";
    });

// A server that logs anonymous users in on USER alone: logged in at once, with the note.
TEST_F(RealServerFixture, VsftpdWithoutAnonymousPassword) {
  RealFtpServerOptions options;
  options.anonymous_password = false;
  StartServer(FtpServerKind::kVsftpd, options);
  if (IsSkipped() || !server_) return;
  for (const int32_t level : {0, 1}) {
    console_.lines.clear();
    options_.VerboseLevel = level;
    const int32_t h = ftpConnect(session, server_->address(), "anonymous", "guest@example.org");
    ASSERT_GT(h, 0);
    EXPECT_EQ(session.LastReplyCode, 230);
    const std::string note = "09:05:03 * Server did not request a password for user anonymous?";
    if (level > 0) {
      EXPECT_THAT(console_.lines,
                  ElementsAre(StartsWith("220 "), "USER anonymous", StartsWith("230 "), note,
                              StartsWith("09:05:03 > Last reply= 230 ")));
    } else {
      EXPECT_THAT(console_.lines, ElementsAre(note));
    }
    EXPECT_EQ(ftpChangeDir(session, "/pub"), 1);
    ftpQuit(session);
  }
}

TEST_F(RealServerFixture, PyftpdlibNamedUser) {
  StartServer(FtpServerKind::kPyftpdlib, {.user = "bob", .password = "secret"});
  if (IsSkipped() || !server_) return;
  options_.VerboseLevel = -1;
  const int32_t h = ftpConnect(session, server_->address(), "bob", "secret");
  ASSERT_GT(h, 0);
  EXPECT_EQ(ftpPwd(session), "/");
  EXPECT_EQ(ftpMakeDir(session, "/pub/bob"), 1);
  EXPECT_TRUE(fs::is_directory(Pub("/bob")));
  ftpQuit(session);
  EXPECT_THAT(console_.lines, IsEmpty());
}

// ---- Dual stack ------------------------------------------------------------------------------

// Milliseconds since `start`.
int64_t MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

struct DualStackCase {
  FtpServerKind kind;
  bool server_on_ipv6;  // the server listens on ::1 only, otherwise on 127.0.0.1 only
  bool ipv6_first;      // "localhost" resolves to ::1 first, otherwise to 127.0.0.1 first
};

class DualStackTest : public RealServerFixture,
                      public ::testing::WithParamInterface<DualStackCase> {
 protected:
  void SetUp() override {
    RealFtpServerOptions options;
    options.ipv6 = GetParam().server_on_ipv6;
    StartServer(GetParam().kind, options);
  }

  // "localhost" resolves to both loopback addresses, in the order given (this machine's hosts
  // file may name one only); every other host as the system resolves it.
  void ResolveLocalhostTo(std::vector<std::string> addresses) {
    session.channels.SetResolver([addresses](const std::string& host) {
      return host == "localhost" ? addresses : ResolveHost(host);
    });
  }
};

// The address on the family nothing listens on refuses at once, and the run goes on through
// the other one; the data connection asks EPSV over IPv6 and PASV over IPv4, never the other.
TEST_P(DualStackTest, LocalhostReachesTheServerOnEitherFamilyWithoutATimeOut) {
  const DualStackCase& c = GetParam();
  ResolveLocalhostTo(c.ipv6_first ? std::vector<std::string>{"::1", "127.0.0.1"}
                                  : std::vector<std::string>{"127.0.0.1", "::1"});
  std::ofstream(Pub("/a.txt")) << "a";
  server_->HandOver(Pub("/a.txt"));
  options_.VerboseLevel = 1;
  const auto start = std::chrono::steady_clock::now();

  const int32_t h = ftpConnect(session, "localhost:" + std::to_string(server_->port()), "anonymous",
                               "guest@example.org");
  ASSERT_GT(h, 0);
  EXPECT_EQ(session.channels.PeerAddress(h), c.server_on_ipv6 ? "::1" : "127.0.0.1");
  std::vector<std::string> lines;
  EXPECT_EQ(ftpChangeDir(session, "/pub/"), 1);
  EXPECT_EQ(ftpList(session, "/pub/", "", lines), 1);
  ftpQuit(session);

  EXPECT_LT(MsSince(start), 10000);  // far below any time-out of a connect
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], ::testing::EndsWith(" a.txt"));
  const std::string asked = c.server_on_ipv6 ? "EPSV" : "PASV";
  const std::string never = c.server_on_ipv6 ? "PASV" : "EPSV";
  EXPECT_THAT(console_.lines, ::testing::Contains(asked));
  EXPECT_THAT(console_.lines, ::testing::Not(::testing::Contains(never)));
}

INSTANTIATE_TEST_SUITE_P(Real, DualStackTest,
                         ::testing::Values(DualStackCase{FtpServerKind::kVsftpd, true, true},
                                           DualStackCase{FtpServerKind::kVsftpd, true, false},
                                           DualStackCase{FtpServerKind::kVsftpd, false, true},
                                           DualStackCase{FtpServerKind::kVsftpd, false, false},
                                           DualStackCase{FtpServerKind::kPyftpdlib, true, true},
                                           DualStackCase{FtpServerKind::kPyftpdlib, true, false},
                                           DualStackCase{FtpServerKind::kPyftpdlib, false, true},
                                           DualStackCase{FtpServerKind::kPyftpdlib, false, false},
                                           DualStackCase{FtpServerKind::kProftpd, true, true},
                                           DualStackCase{FtpServerKind::kProftpd, false, true}),
                         [](const ::testing::TestParamInfo<DualStackCase>& info) {
                           return testing::KindName(info.param.kind) +
                                  (info.param.server_on_ipv6 ? "OnIpv6" : "OnIpv4") +
                                  (info.param.ipv6_first ? "Ipv6First" : "Ipv4First");
                         });

// An address that never answers first in the list: its attempt goes on while the next address
// starts 250 ms later and wins; the run does not wait for the first one's time-out.
class NeverAnsweringFirstTest : public RealServerFixture,
                                public ::testing::WithParamInterface<FtpServerKind> {
 protected:
  void SetUp() override { StartServer(GetParam()); }
};

TEST_P(NeverAnsweringFirstTest, CostsTheHeadStartOnly) {
  testing::LoopbackListener silent(true, server_->port());
  ASSERT_TRUE(silent.valid());
  ASSERT_TRUE(silent.NeverAnswer());
  session.channels.SetResolver([](const std::string& host) {
    return host == "localhost" ? std::vector<std::string>{"::1", "127.0.0.1"} : ResolveHost(host);
  });
  const auto start = std::chrono::steady_clock::now();

  const int32_t h = ftpConnect(session, "localhost:" + std::to_string(server_->port()), "anonymous",
                               "guest@example.org");
  const int64_t took = MsSince(start);
  ASSERT_GT(h, 0);
  EXPECT_EQ(session.channels.PeerAddress(h), "127.0.0.1");
  EXPECT_EQ(ftpChangeDir(session, "/pub"), 1);
  ftpQuit(session);
  EXPECT_GE(took, kConnectHeadStartMs);
  EXPECT_LT(took, 10000);
}

INSTANTIATE_TEST_SUITE_P(Real, NeverAnsweringFirstTest,
                         ::testing::Values(FtpServerKind::kVsftpd, FtpServerKind::kPyftpdlib),
                         [](const ::testing::TestParamInfo<FtpServerKind>& info) {
                           return KindName(info.param);
                         });

// A terminal on which Esc is pressed once the program has looked for a stop a few times, that
// is, in the middle of its first wait.
class EscInTheFirstWaitConsole : public testing::RecordingConsole {
 public:
  bool StopPending() override { return ++checks_ > 3 && !taken_; }
  int PollKey() override {
    if (checks_ <= 3 || taken_) return kNoKey;
    taken_ = true;
    return kKeyEsc;
  }

 private:
  int checks_ = 0;
  bool taken_ = false;
};

// Esc while the only address never answers ends the connect at once and aborts the run; it
// does not wait the minutes the system takes to give such a connect up.
TEST(ConnectStopTest, EscWhileTheConnectWaitsAbortsTheRun) {
  testing::LoopbackListener silent(false, 0);
  ASSERT_TRUE(silent.valid());
  ASSERT_TRUE(silent.NeverAnswer());
  EscInTheFirstWaitConsole console;
  PosixClock clock;
  Options options;
  RunSettings state;
  Env env(console, clock);
  koru::Session session(env, options, state);
  const auto start = std::chrono::steady_clock::now();

  const int32_t h =
      ftpConnect(session, "127.0.0.1:" + std::to_string(silent.port()), "anonymous", "guest@");

  EXPECT_EQ(h, -1);
  EXPECT_EQ(state.AbortFlag, kOn);
  EXPECT_LT(MsSince(start), 10000);  // far below the system's own give-up time
}

}  // namespace
}  // namespace koru
