// The real program with -Q against vsftpd and pyftpdlib (and a scripted server that keeps it
// waiting for a TERM signal), run as cron runs it: no terminal,
// standard input from /dev/null, standard output and standard error each in a pipe of its own.
// A run that meets no failure writes nothing at all; one that does writes its failure lines on
// standard error, each once, and nothing on standard output.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/child_process.h"
#include "tests/end_to_end.h"
#include "tests/fake_ftp_server.h"
#include "tests/fake_ftp_tree.h"
#include "tests/local_dates.h"
#include "tests/real_ftp_server.h"
#include "tests/scratch_dir.h"

namespace koru::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

// How a server refuses the download of a file it may not read.
struct Server {
  FtpServerKind kind;
  std::string unreadable_file;
};

void PrintTo(const Server& server, std::ostream* os) { *os << KindName(server.kind); }

const Server kServers[] = {{FtpServerKind::kVsftpd, "550 Failed to open file."},
                           {FtpServerKind::kPyftpdlib, "550 Permission denied."}};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class QuietRunTest : public ::testing::TestWithParam<Server> {
 protected:
  void SetUp() override { fs::create_directory(local_); }

  void StartServer(const RealFtpServerOptions& options = {}) {
    StartOrSkip(GetParam().kind, &server_, options);
  }

  std::string Served(const std::string& name) const { return server_->root() + "/" + name; }

  void File(const std::string& name, const std::string& content) {
    fs::create_directories(fs::path(Served(name)).parent_path());
    WriteFile(Served(name), content);
    StampDate(Served(name), Date(2021, 6, 1, 12, 0));
  }

  // Hands "pub" to the server's users, and then `locked` (a file below the root) to root with
  // mode 000, which the server cannot read.
  void Serve(const std::string& locked = "") {
    server_->HandOver(Served("pub"));
    if (locked.empty()) return;
    ASSERT_EQ(::lchown(Served(locked).c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(Served(locked).c_str(), 0), 0);
  }

  // Runs the binary on `location` (the server's address in front) with `switches`; both
  // streams come back normalised.
  ChildResult Run(const std::string& location, std::vector<std::string> switches) {
    switches.insert(switches.begin(), location);
    ChildResult run = RunProgram(KORU_BINARY, switches, local_);
    run.output = Normalised(run.output, server_->address(), local_);
    run.errors = Normalised(run.errors, server_->address(), local_);
    return run;
  }
  ChildResult Run(std::vector<std::string> switches) {
    return Run(server_->address() + "/pub/", std::move(switches));
  }

  ScratchDir scratch_;
  const std::string local_ = scratch_ / "local";
  std::unique_ptr<RealFtpServer> server_;
};

TEST_P(QuietRunTest, RunsWithoutFailuresPrintNothing) {
  StartServer();
  if (!server_) return;
  File("pub/a.txt", "a text");
  File("pub/sub/b.bin", std::string(70000, 'b'));
  Serve();

  for (const char* what : {"the first run fetches everything", "the next one finds nothing"}) {
    SCOPED_TRACE(what);
    const ChildResult run = Run({"-Q", "-S"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.errors, "");
  }
  EXPECT_EQ(FileContent(local_ + "/a.txt"), "a text");
  EXPECT_EQ(FileContent(local_ + "/sub/b.bin"), std::string(70000, 'b'));
}

// The server refuses the file in every pass of the run; the warning is written once.
TEST_P(QuietRunTest, UnreadableFileGivesItsWarningAndTheTotalOnStandardError) {
  StartServer();
  if (!server_) return;
  File("pub/a.txt", "a text");
  File("pub/secret.bin", "secret");
  Serve("pub/secret.bin");

  const ChildResult run = Run({"-q"});

  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(run.errors, "TIME * Warning: Unable to download /pub/secret.bin (" +
                            GetParam().unreadable_file + ")\nTIME 1 file failed.\n");
  EXPECT_EQ(FileContent(local_ + "/a.txt"), "a text");
}

// pyftpdlib serves a named user and refuses a wrong password; vsftpd serves anonymous users
// only and refuses any other user.
TEST_P(QuietRunTest, RefusedLoginGivesTheErrorAndItsReason) {
  RealFtpServerOptions options;
  if (GetParam().kind == FtpServerKind::kPyftpdlib) {
    options.user = "alice";
    options.password = "secret";
  }
  StartServer(options);
  if (!server_) return;
  const std::string user = GetParam().kind == FtpServerKind::kPyftpdlib ? "alice" : "nosuchuser";

  const ChildResult run = Run(user + ":wrong@" + server_->address() + "/pub/", {"-Q"});

  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.output, "");
  EXPECT_THAT(Lines(run.errors),
              ElementsAre("TIME ERROR: Unable to open connection to server.",
                          StartsWith("TIME  530 ")))
      << run.errors;
}

// With -V or +V, -Q changes nothing, wherever it stands.
TEST_P(QuietRunTest, VerboseOutweighsQuiet) {
  StartServer();
  if (!server_) return;
  File("pub/a.txt", "a text");
  Serve();
  ASSERT_EQ(Run({"-Q"}).exit_code, 0);

  const ChildResult verbose = Run({"-V"});

  EXPECT_THAT(Lines(verbose.output), ::testing::Contains("TIME * Found 1 file in /pub/"));
  for (const std::vector<std::string>& switches :
       {std::vector<std::string>{"-Q", "-V"}, {"-V", "-Q"}}) {
    const ChildResult run = Run(switches);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.output, verbose.output);
    EXPECT_EQ(run.errors, "");
  }
}

INSTANTIATE_TEST_SUITE_P(Real, QuietRunTest, ::testing::ValuesIn(kServers),
                         [](const ::testing::TestParamInfo<Server>& info) {
                           return KindName(info.param.kind);
                         });

// cron's or timeout's TERM signal stops a run: that is a failure worth a mail.
TEST(QuietStopTest, TermSignalIsNamedOnStandardError) {
  ScratchDir local;
  FakeFtpTree tree;
  tree.AddFile("/pub/a.txt", "aaaaa");
  // The login waits for its PASS reply; the signal comes once the server has PASS, so the
  // program is sure to be running and waiting.
  std::promise<void> pass_received;
  std::future<void> pass_seen = pass_received.get_future();
  tree.Intercept([&pass_received, held = false](const std::string& command,
                                                FakeFtpSession& session) mutable {
    if (!command.starts_with("PASS ") || held) return false;
    held = true;
    pass_received.set_value();
    session.Pause(10000);
    return false;
  });
  FakeFtpServer server;
  server.SetDefaultSession(tree.Script());

  ChildOptions options{.directory = local.path()};
  options.while_running = [&pass_seen](pid_t pid) {
    if (pass_seen.wait_for(std::chrono::seconds(10)) == std::future_status::ready) {
      ::kill(pid, SIGTERM);
    }
  };
  const ChildResult run = RunProgram(KORU_BINARY, {server.address() + "/pub/", "-Q"}, options);
  server.Stop();

  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(Normalised(run.errors, "", ""), "TIME ** User Abort **\n");
}

}  // namespace
}  // namespace koru::testing
