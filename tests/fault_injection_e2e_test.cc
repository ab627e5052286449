// A server that fails at every step of a run, end to end: what the user sees, the exit code,
// the dialogue the server saw and what is left on disk, which the next run with -R completes.
#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tests/end_to_end.h"
#include "tests/scratch_dir.h"

namespace koru::testing {
namespace {

const std::vector<RemoteFile>& Files() {
  static const std::vector<RemoteFile> files = {{"a.bin", FileBytes(20000)},
                                                {"b.txt", FileBytes(300)}};
  return files;
}

const std::map<std::string, std::string> kBothComplete = {{"a.bin", "complete"},
                                                          {"b.txt", "complete"}};

// Console lines shared by the rows; TIME stands for the time of day.
const std::string kFoundTwo = "TIME * Found 2 files in /pub/";
const std::string kFoundNone = "TIME * Found 0 files in /pub/";
const std::string kGetA = "TIME 20000 1999-03-15 /pub/a.bin";
const std::string kGetB = "TIME 300 1999-03-15 /pub/b.txt";
const std::string kRemovedA = "TIME * Removed remote file /pub/a.bin";
const std::string kRemovedB = "TIME * Removed remote file /pub/b.txt";
const std::string kNoMore = "TIME * No more files to transfer.";
const std::string kTwoTransferred = "TIME 2 files transferred.";
const std::string kNoConnection = "TIME ERROR: Unable to open connection to server.";
const std::string kNoPasswordAsked =
    "TIME * Server did not request a password for user anonymous?";
const std::string kPartialA = "TIME * Warning: Local file size does not match remote (8000/20000)";
const std::string kNotErased =
    "TIME * Remote file was not erased as requested by move option switch.";
const std::string kClosed = "TIME * Warning: Connection lost (closed by the server)";
const std::string kSilent = "TIME * Warning: Connection lost (no reply in 300 ms)";
// The data connection's time-out and the wait for the final reply after it.
const std::string kSilentAfterStall = "TIME * Warning: Connection lost (no reply in 600 ms)";
const std::string kNoReply = "TIME  No reply from the server in 0.3 s";
const std::string kClosedReason = "TIME  Connection closed by the server";
const std::string kOneFailed = "TIME 1 file failed.";
const std::string kTwoFailed = "TIME 2 files failed.";
// A login that gets no answer to USER asks once more.
const std::vector<std::string> kUserTwice = {"USER anonymous", "USER anonymous"};

struct FaultCase {
  const char* name;
  SiteFault fault;
  std::vector<std::string> switches;
  bool in_process;  // the server falls silent: the run needs short time-outs
  Outcome outcome;
  std::vector<std::string> restarts;  // the next run's REST commands
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class FaultInjectionTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultInjectionTest, RunEndsAsDocumented) {
  const FaultCase& c = GetParam();
  ScratchDir dir;
  FakeFtpSite site(Files(), c.fault);

  const ChildResult run =
      RunKoru(site, dir.path(), RunOptions{.switches = c.switches, .in_process = c.in_process});

  ExpectOutcome(run, site, dir.path(), Files(), c.outcome);
  ExpectNextRunCompletes(Files(), dir.path(), c.restarts);
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, FaultInjectionTest,
    ::testing::Values(
        // A lost control connection reads as empty replies before the login ends, and fails
        // the connection, saying why.
        FaultCase{"CloseAfterGreeting", SiteFault::kCloseAfterGreeting, {}, false,
                  {{kNoPasswordAsked, kNoConnection, kClosedReason, kNoMore}, 1, {}, {}}, {}},
        FaultCase{"CloseAtUser", SiteFault::kCloseAtUser, {}, false,
                  {{kNoPasswordAsked, kNoConnection, kClosedReason, kNoMore}, 1,
                   {"USER anonymous"}, {}},
                  {}},
        FaultCase{"CloseAtPass", SiteFault::kCloseAtPass, {}, false,
                  {{kNoConnection, kClosedReason, kNoMore}, 1, Login(), {}}, {}},
        // After the login it is dropped and said so, and the work it cut is tried again
        // over a new connection: the directory, or the download (at once).
        FaultCase{"CloseAtCwd", SiteFault::kCloseAtCwd, {}, false,
                  {{kClosed, kFoundTwo, kGetA, kGetB, kTwoTransferred}, 0,
                   Joined({Login(), {"CWD /pub"}, Login(), ListPub(), Get("a.bin"), Get("b.txt"),
                           ListPub(), {"QUIT"}}),
                   kBothComplete},
                  {}},
        FaultCase{"CloseAtPasv", SiteFault::kCloseAtPasv, {}, false,
                  {{kClosed, kFoundTwo, kGetA, kGetB, kTwoTransferred}, 0,
                   Joined({Login(), {"CWD /pub", "PASV"}, Login(), ListPub(), Get("a.bin"),
                           Get("b.txt"), ListPub(), {"QUIT"}}),
                   kBothComplete},
                  {}},
        FaultCase{"CloseAfterList150", SiteFault::kCloseAfterList150, {}, false,
                  {{kClosed, kFoundTwo, kGetA, kGetB, kTwoTransferred}, 0,
                   Joined({Login(), ListPub(), Login(), ListPub(), Get("a.bin"), Get("b.txt"),
                           ListPub(), {"QUIT"}}),
                   kBothComplete},
                  {}},
        FaultCase{"CloseAfterRetr150", SiteFault::kCloseAfterRetr150, {}, false,
                  {{kFoundTwo, kGetA, kClosed, kGetA, kGetB, kTwoTransferred}, 0,
                   Joined({Login(), ListPub(), Get("a.bin"), Login(), Get("a.bin"), Get("b.txt"),
                           ListPub(), {"QUIT"}}),
                   kBothComplete},
                  {}},
        FaultCase{"CloseMidData", SiteFault::kCloseMidData, {}, false,
                  {{kFoundTwo, kGetA, kClosed, kPartialA, kGetA, kGetB, kTwoTransferred}, 0,
                   Joined({Login(), ListPub(), Get("a.bin"), Login(), Get("a.bin"), Get("b.txt"),
                           ListPub(), {"QUIT"}}),
                   kBothComplete},
                  {}},
        // Every byte came, but the server never confirmed it: the download counts, the remote
        // file is kept.
        FaultCase{"CloseBefore226", SiteFault::kCloseBefore226, {"-M"}, false,
                  {{kFoundTwo, kGetA, kClosed, kNotErased, kGetB, kRemovedB, kTwoTransferred}, 0,
                   Joined({Login(), ListPub(), Get("a.bin"), Login(), Get("b.txt"),
                           {"DELE /pub/b.txt"}, ListPub(), {"QUIT"}}),
                   kBothComplete},
                  {}},
        // Lines that give no entry are no files.
        FaultCase{"JunkInListing", SiteFault::kJunkInListing, {}, false,
                  {{"TIME * Found 2 files in /pub/", kGetA, kGetB, kTwoTransferred}, 0,
                   Joined({Login(), ListPub(), Get("a.bin"), Get("b.txt"), ListPub(), {"QUIT"}}),
                   kBothComplete},
                  {}},
        FaultCase{"PasvRefused", SiteFault::kPasvRefused, {"-M"}, false,
                  {{kFoundTwo, kGetA, "TIME 425 Cannot open data connection.", kGetB, kRemovedB,
                    kGetA, kRemovedA, kTwoTransferred},
                   0,
                   Joined({Login(), ListPub(), {"PASV"}, Get("b.txt"), {"DELE /pub/b.txt"},
                           ListPub(), Get("a.bin"), {"DELE /pub/a.bin"}, ListPub(), {"QUIT"}}),
                   kBothComplete},
                  {}},
        FaultCase{"PasvToClosedPort", SiteFault::kPasvToClosedPort, {}, false,
                  {{kFoundTwo, kGetA, "TIME 227 Entering Passive Mode (127,0,0,1,0,1).", kGetB,
                    kGetA, kTwoTransferred},
                   0,
                   Joined({Login(), ListPub(), {"PASV"}, Get("b.txt"), ListPub(), Get("a.bin"),
                           ListPub(), {"QUIT"}}),
                   kBothComplete},
                  {}},
        FaultCase{"RetrRefused", SiteFault::kRetrRefused, {"-M"}, false,
                  {{kFoundTwo, kGetA,
                    "TIME * Warning: Unable to download /pub/a.bin (550 Failed to open file.)",
                    kGetB, kRemovedB, kGetA, kRemovedA, kTwoTransferred},
                   0,
                   Joined({Login(), ListPub(), Get("a.bin"), Get("b.txt"), {"DELE /pub/b.txt"},
                           ListPub(), Get("a.bin"), {"DELE /pub/a.bin"}, ListPub(), {"QUIT"}}),
                   kBothComplete},
                  {}},
        FaultCase{"DataResetMidData", SiteFault::kResetMidData, {"-M"}, false,
                  {{kFoundTwo, kGetA, kPartialA, kNotErased,
                    kGetB, kRemovedB, kGetA, kRemovedA, kTwoTransferred},
                   0,
                   Joined({Login(), ListPub(), Get("a.bin"), Get("b.txt"), {"DELE /pub/b.txt"},
                           ListPub(), Get("a.bin"), {"DELE /pub/a.bin"}, ListPub(), {"QUIT"}}),
                   kBothComplete},
                  {}},
        // A server that stops answering: every wait ends at the time-out; the connection is
        // dropped at the first, and the new one made to try again finds the server silent too.
        FaultCase{"SilentGreeting", SiteFault::kSilentGreeting, {}, true,
                  {{kNoConnection, "TIME  No reply from the server in 0.3 s", kNoMore}, 1, {}, {}},
                  {}},
        FaultCase{"SilentAtPass", SiteFault::kSilentAtPass, {}, true,
                  {{kNoConnection, kNoReply, kNoMore}, 1, Login(), {}}, {}},
        FaultCase{"SilentAtRetr", SiteFault::kSilentAtRetr, {}, true,
                  {{kFoundTwo, kGetA, kSilent,
                    "TIME * Warning: Unable to download /pub/a.bin (000 Connection lost)", kGetA,
                    kNoPasswordAsked, kNoConnection, kNoReply, kNoMore, kTwoFailed},
                   1, Joined({Login(), ListPub(), Get("a.bin"), kUserTwice}), {}},
                  {}},
        FaultCase{"SilentMidData", SiteFault::kSilentMidData, {}, true,
                  {{kFoundTwo, kGetA, kSilentAfterStall, kPartialA, kGetA, kNoPasswordAsked,
                    kNoConnection, kNoReply, kNoMore, kTwoFailed},
                   1, Joined({Login(), ListPub(), Get("a.bin"), kUserTwice}),
                   {{"a.bin", "first 8000 bytes"}}},
                  {"REST 8000"}}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

// The runs of the binary fail on a sanitizer report on its standard error, and a leak must show
// there when a sanitized process ends.
TEST(SanitizerTest, AReportOnStandardErrorFailsTheTest) {
  EXPECT_NONFATAL_FAILURE(
      RunProgram("/bin/sh", {"-c", "echo '==1==ERROR: AddressSanitizer: use-after-free' >&2"}),
      "ERROR: AddressSanitizer: use-after-free");
}

#if defined(__SANITIZE_ADDRESS__)
#define KORU_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORU_ADDRESS_SANITIZER 1
#endif
#endif

[[gnu::noinline, maybe_unused]] void LoseMemory() {
  char* volatile lost = new char[64];
  lost[0] = 1;
}

TEST(SanitizerTest, ALeakIsReportedOnStandardError) {
#ifndef KORU_ADDRESS_SANITIZER
  GTEST_SKIP() << "not built with AddressSanitizer";
#else
  const ChildResult run = RunInChild([] {
    LoseMemory();
    std::exit(0);
  });
  EXPECT_NE(run.exit_code, 0);
  EXPECT_THAT(run.errors, ::testing::HasSubstr("ERROR: LeakSanitizer: detected memory leaks"));
#endif
}

}  // namespace
}  // namespace koru::testing
