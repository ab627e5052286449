#include "ftp/upload.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ftp/control.h"
#include "ftp/session.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/text.h"
#include "tests/fakes.h"
#include "tests/ftp_fixture.h"
#include "tests/scratch_dir.h"
#include "tests/upload_files.h"

namespace koru {
namespace {

namespace fs = std::filesystem;
using testing::Content;
using testing::LastReply;
using testing::Written;
using ::testing::IsEmpty;
using testing::FakeFtpSession;
using testing::FileContent;
using testing::FtpFixture;
using testing::Reply;
using testing::ScratchDir;
using testing::Session;
using testing::SessionScript;
using testing::WriteFile;

constexpr char kTimeNow[] = "09:05:03";  // the fake clock

// Answers TYPE I and PASV (the 227 reply goes to `*pasv`), then STOR with `stor_reply`; after
// a 1xx reply, takes every byte of the data connection into `*received` and answers
// `final_reply`. Further commands get the default answers.
SessionScript Storing(std::string stor_reply, std::string final_reply, std::string* received,
                      std::string* pasv) {
  return Session({}, {Reply("200 Type set to I"),
                      [pasv](FakeFtpSession& s) {
                        *pasv = s.Passive();
                        s.Reply(*pasv);
                      },
                      [=](FakeFtpSession& s) {
                        s.Reply(stor_reply);
                        if (stor_reply[0] != '1' || !s.AcceptData()) return;
                        *received = s.ReceiveData();
                        s.Reply(final_reply);
                      }});
}

class UploadTest : public FtpFixture {
 protected:
  // Only the control connection (channel 1) is left open: the local file and the data
  // connection are closed.
  void ExpectOnlyTheControlConnectionOpen() {
    EXPECT_TRUE(session.pool.InUse(1));
    for (int n = 2; n <= 4; ++n) EXPECT_FALSE(session.pool.InUse(n)) << "number " << n;
  }

  ScratchDir local;
};

struct UploadCase {
  const char* name;
  size_t size;
  int32_t progress;
  std::string stor_reply;
  std::string final_reply;
  int32_t result;
  std::vector<std::string> titles;
  std::string last_reply = {};  // empty: the 227 reply to PASV (226 is lower)
};

void PrintTo(const UploadCase& c, std::ostream* os) { *os << c.name; }

class UploadCaseTest : public UploadTest, public ::testing::WithParamInterface<UploadCase> {};

TEST_P(UploadCaseTest, StoresTheFileInFullBlocksAndAFinalPart) {
  const UploadCase& c = GetParam();
  const std::string content = Content(c.size);
  std::string received;
  std::string pasv;
  OpenControl(Storing(c.stor_reply, c.final_reply, &received, &pasv));

  const int32_t result =
      ftpPutFile(session, c.progress, "up.bin", Written(local, "up.bin", content));

  EXPECT_EQ(result, c.result);
  EXPECT_EQ(console.titles, c.titles);
  EXPECT_THAT(console.lines, IsEmpty());
  ExpectOnlyTheControlConnectionOpen();
  EXPECT_EQ(ServerCommands(), (std::vector<std::string>{"TYPE I", "PASV", "STOR up.bin"}));
  EXPECT_EQ(LastReply(session), c.last_reply.empty() ? pasv : c.last_reply);
  if (c.stor_reply[0] == '1') {
    EXPECT_TRUE(received == content) << "received " << received.size() << " of " << c.size;
  } else {
    EXPECT_THAT(received, IsEmpty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Upload, UploadCaseTest,
    ::testing::Values(
        UploadCase{"EmptyFile", 0, kOn, "150 Ok", "226 Stored", 1, {}},
        UploadCase{"TwoFullBlocks", 16384, kOn, "150 Ok", "226 Stored", 1,
                   {"50% Sent", "100% Sent"}},
        UploadCase{"OneBlockAndAFinalPart", 10000, kOn, "150 Ok", "226 Stored", 1, {"81% Sent"}},
        UploadCase{"ThreeBlocksAndOneByteRoundDown", 3 * 8192 + 1, kOn, "150 Ok", "226 Stored",
                   1, {"33% Sent", "66% Sent", "99% Sent"}},
        UploadCase{"ProgressOffLeavesTheTitle", 16384, kOff, "150 Ok", "226 Stored", 1, {}},
        UploadCase{"DataConnectionAlreadyOpen", 10000, kOn, "125 Go ahead", "226 Stored", 1,
                   {"81% Sent"}},
        UploadCase{"StorRefused", 16384, kOn, "553 Could not create file.", "", 0, {},
                   "553 Could not create file."},
        UploadCase{"StoreFailedOnTheServer", 10000, kOn, "150 Ok", "451 Write error", 0,
                   {"81% Sent"}, "451 Write error"}),
    [](const auto& info) { return std::string(info.param.name); });

// A local file that cannot be sent, or a run already aborted: nothing goes to the server.
struct LocalProblemCase {
  const char* name;
  const char* local_name;  // below the test's directory; "" names the directory itself
  int32_t abort_flag;
  std::vector<std::string> lines;
  std::string last_reply;
};

void PrintTo(const LocalProblemCase& c, std::ostream* os) { *os << c.name; }

class LocalProblemTest : public UploadTest,
                         public ::testing::WithParamInterface<LocalProblemCase> {};

TEST_P(LocalProblemTest, SendsNothing) {
  const LocalProblemCase& c = GetParam();
  Written(local, "present.bin", Content(100));
  state.AbortFlag = c.abort_flag;
  OpenControl(Session({}));

  EXPECT_EQ(ftpPutFile(session, kOn, "up.bin", local / c.local_name), 0);

  EXPECT_EQ(console.lines, c.lines);
  EXPECT_THAT(console.titles, IsEmpty());
  EXPECT_EQ(LastReply(session), c.last_reply);
  ExpectOnlyTheControlConnectionOpen();
  EXPECT_THAT(ServerCommands(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Upload, LocalProblemTest,
    ::testing::Values(
        LocalProblemCase{"MissingFile", "missing.bin", kOff, {}, "001 Local File Not Found"},
        LocalProblemCase{"DirectoryCannotBeOpened", "", kOff,
                         {std::string(kTimeNow) + " 070 Local File Access Error"},
                         "070 Local File Access Error"},
        LocalProblemCase{"RunAborted", "present.bin", kOn, {}, "000 "}),
    [](const auto& info) { return std::string(info.param.name); });

// PASV refused, or a 227 naming a port where nothing listens.
class NoDataConnectionTest : public UploadTest,
                             public ::testing::WithParamInterface<std::string> {};

TEST_P(NoDataConnectionTest, PrintsTheLastReplyAndSendsNoStor) {
  const std::string& pasv_reply = GetParam();
  OpenControl(Session({}, {Reply("200 Type set to I"), Reply(pasv_reply)}));

  EXPECT_EQ(ftpPutFile(session, kOn, "up.bin", Written(local, "up.bin", Content(10000))), 0);

  EXPECT_EQ(console.lines, std::vector<std::string>{std::string(kTimeNow) + " " + pasv_reply});
  EXPECT_EQ(LastReply(session), pasv_reply);
  EXPECT_THAT(console.titles, IsEmpty());
  ExpectOnlyTheControlConnectionOpen();
  EXPECT_EQ(ServerCommands(), (std::vector<std::string>{"TYPE I", "PASV"}));
}

INSTANTIATE_TEST_SUITE_P(Upload, NoDataConnectionTest,
                         ::testing::Values("425 Cannot open passive connection",
                                           "227 Entering Passive Mode (127,0,0,1,0,1)"),
                         [](const auto& info) {
                           return info.param.starts_with("227") ? "NothingListensOnThePort"
                                                                : "PasvRefused";
                         });

TEST_F(UploadTest, DataConnectionResetMidUploadFailsAndTheFinalReplyIsNotLeftBehind) {
  const std::string abort_reply = "426 Connection reset; transfer aborted.";
  server.AddSession(Session({}, {Reply("200 Type set to I"),
                                 [](FakeFtpSession& s) { s.Reply(s.Passive()); },
                                 [&abort_reply](FakeFtpSession& s) {
                                   if (!s.AcceptData()) return;
                                   s.Reply("150 Ok");
                                   s.ResetData();
                                   s.Reply(abort_reply);
                                 },
                                 Reply("200 NOOP ok")}));
  ASSERT_TRUE(session.channels.Open(1, "127.0.0.1", server.port(), kTimeoutMs));
  session.h = 1;
  // Far more than the socket buffers hold, so the reset meets the upload under way.
  const std::string path = Written(local, "big.bin", Content(8 << 20));

  EXPECT_EQ(ftpPutFile(session, kOff, "big.bin", path), 0);

  EXPECT_THAT(console.lines, IsEmpty());
  EXPECT_EQ(LastReply(session), abort_reply);
  ExpectOnlyTheControlConnectionOpen();
  // The abort reply was read by the upload, so the next command gets its own reply.
  EXPECT_EQ(ftpExchange(session, "NOOP"), "200 NOOP ok");
  EXPECT_EQ(ServerCommands(),
            (std::vector<std::string>{"TYPE I", "PASV", "STOR big.bin", "NOOP"}));
}

// A copy of a program, running while it lives: nobody may write the file, not even root
// ("text file busy"), and its mode allows reading and running only.
class RunningProgram {
 public:
  explicit RunningProgram(const std::string& path) {
    fs::copy_file("/bin/sleep", path);
    chmod(path.c_str(), 0555);
    int started[2];
    if (pipe2(started, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      execl(path.c_str(), path.c_str(), "60", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(started[1]);
    char ignored;
    // The pipe closes when the program has replaced the child (close-on-exec).
    while (read(started[0], &ignored, 1) > 0) {
    }
    close(started[0]);
  }
  ~RunningProgram() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

TEST_F(UploadTest, AFileThatMayBeReadButNotWrittenStillUploads) {
  const std::string path = local / "program";
  RunningProgram program(path);
  ASSERT_TRUE(program.running());
  ASSERT_LT(open(path.c_str(), O_RDWR), 0) << "the file should not be writable";
  std::string received;
  std::string pasv;
  OpenControl(Storing("150 Ok", "226 Stored", &received, &pasv));

  EXPECT_EQ(ftpPutFile(session, kOff, "program", path), 1);

  EXPECT_THAT(console.lines, IsEmpty());
  EXPECT_EQ(ServerCommands(), (std::vector<std::string>{"TYPE I", "PASV", "STOR program"}));
  EXPECT_TRUE(received == FileContent(path)) << "received " << received.size() << " bytes";
}

}  // namespace
}  // namespace koru
