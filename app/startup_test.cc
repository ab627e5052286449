#include "app/startup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/fakes.h"

namespace koru {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class StartupTest : public ::testing::Test {
 protected:
  int Run(const char* line) { return KoruMain(env_, options_, totals_, line, "/home/user/mirror"); }

  testing::RecordingConsole console_;
  testing::FakeClock clock_;
  Options options_;
  RunTotals totals_;
  Env env_{console_, clock_};
};

// Port 1 on the loopback refuses at once: the engine's connection fails.
TEST_F(StartupTest, QuietRunPrintsBannerStartLinesAndTotals) {
  EXPECT_EQ(Run("127.0.0.1:1/pub/"), 1);
  EXPECT_THAT(console_.lines,
              ElementsAre("Koru (KORU 20080313)", "09:05:03 12-10-2026",
                          " ftp://anonymous@127.0.0.1:1", " R Path: /pub/",
                          " L Path: /home/user/mirror",
                          "09:05:03 ERROR: Unable to open connection to server.",
                          "09:05:03  Connection refused", "09:05:03 * No more files to transfer."));
  EXPECT_EQ(console_.titles.front(), "KORU 20080313");
  EXPECT_EQ(options_.LoginPassword, "koru32703.12@example.com");
}

// A stop noticed before the first connection, in plain, recursive and list-only runs alike,
// is named once, before the totals.
TEST_F(StartupTest, StopBeforeTheConnectionIsNamedOnceBeforeTheTotals) {
  for (const char* line : {"127.0.0.1:1/pub/", "127.0.0.1:1/pub/ -S", "127.0.0.1:1/pub/=*"}) {
    testing::RecordingConsole console;
    Env env{console, clock_};
    console.keys = {kKeyEsc};

    EXPECT_EQ(KoruMain(env, line, "/home/user/mirror"), 1) << line;

    ASSERT_GE(console.lines.size(), 2u) << line;
    EXPECT_THAT(std::vector<std::string>(console.lines.end() - 2, console.lines.end()),
                ElementsAre("09:05:03 ** User Abort **", "09:05:03 * No more files to transfer."))
        << line;
  }
}

// A port that is no number from 1 to 65535 ends the run before any connection is tried.
TEST_F(StartupTest, InvalidPortEndsTheRunBeforeAnyConnection) {
  const struct {
    const char* line;
    const char* port;
  } cases[] = {{"host:99999/pub/", "99999"}, {"host:abc/pub/", "abc"},
               {"host:0/pub/", "0"},         {"[::1]:70000/pub/", "70000"},
               {"host:/pub/", ""},           {"[::1]:x/pub/", "x"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    testing::RecordingConsole console;
    Env env{console, clock_};

    EXPECT_EQ(KoruMain(env, c.line, "/home/user/mirror"), 1);

    ASSERT_FALSE(console.lines.empty());
    EXPECT_EQ(console.lines.back(), std::string("09:05:03 ERROR: Invalid port: ") + c.port);
    EXPECT_EQ(console.lines.size(), 6u);  // banner, start lines, the error
  }
  // A bracket followed by anything but ":port" is no port: the connection fails as before.
  testing::RecordingConsole console;
  Env env{console, clock_};
  EXPECT_EQ(KoruMain(env, "[::1]x/pub/", "/home/user/mirror"), 1);
  EXPECT_THAT(console.lines,
              ::testing::Contains("09:05:03 ERROR: Unable to open connection to server."));
}

TEST_F(StartupTest, VerboseEchoListsEveryOptionInOrder) {
  EXPECT_EQ(Run("bob:pw@127.0.0.1:1/pub/=*.txt -M -O -V -S -D250 -R"), 1);
  EXPECT_THAT(console_.lines,
              ElementsAre("Koru (KORU 20080313)", "12-10-2026 Options:",
                          "           + Move files from server (delete after transfer)",
                          "           + Overwrite local files with downloads",
                          "           + Sub-directory recursion enabled",
                          "           + Verbose mode enabled",
                          "           + Delay enabled for 250 milliseconds per block",
                          "09:05:03 12-10-2026", " ftp://bob@127.0.0.1:1",
                          " R Path: /pub/*.txt  (File List)", " L Path: /home/user/mirror",
                          "09:05:03 * Connecting to 127.0.0.1:1",
                          "09:05:03 * 057- Unable to open socket",
                          "09:05:03 ERROR: Unable to open connection to server.",
                          "09:05:03  57 Unable to open socket", "09:05:03  Connection refused",
                          "09:05:03 * No more files to transfer."));
  EXPECT_EQ(options_.LoginPassword, "pw");
}

TEST_F(StartupTest, ListingDatesOnlyIsEchoedLast) {
  EXPECT_EQ(Run("bob:pw@127.0.0.1:1/pub/ -L -V -P2"), 1);
  const std::vector<std::string> lines(console_.lines.begin(), console_.lines.begin() + 5);
  EXPECT_THAT(lines, ElementsAre("Koru (KORU 20080313)", "12-10-2026 Options:",
                                 "           + Verbose mode enabled",
                                 "           + Parallel transfers over 2 connections",
                                 "           + Dates from the listing only (no FEAT, MLSD or MDTM)"));
  EXPECT_EQ(options_.ListingDatesOnly, kOn);
}

TEST_F(StartupTest, DebugEchoWithCreationOnly) {
  EXPECT_EQ(Run("127.0.0.1:1 -T +V"), 1);
  EXPECT_THAT(console_.lines,
              ElementsAre("Koru (KORU 20080313)", "12-10-2026 Options:",
                          "           + Sub-directory creation enabled",
                          "           + Debug verbose mode enabled", "09:05:03 12-10-2026",
                          " ftp://anonymous@127.0.0.1:1", " R Path: ./",
                          " L Path: /home/user/mirror", "09:05:03 * Connecting to 127.0.0.1:1",
                          "09:05:03 * 057- Unable to open socket",
                          "09:05:03 ERROR: Unable to open connection to server.",
                          "09:05:03  57 Unable to open socket", "09:05:03  Connection refused",
                          "09:05:03 * No more files to transfer."));
}

TEST_F(StartupTest, UsageTextEndsTheRunWithZero) {
  const struct {
    const char* line;
    bool help;  // the help text follows the usage text
  } cases[] = {{"", false},       {"   ", false},      {"host/a-?b/", false},
               {"+?", false},     {"--help", true},    {"host/ -h", true},
               {"-? -h", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    console_.lines.clear();
    EXPECT_EQ(Run(c.line), 0);
    std::vector<std::string> expected = {"Koru (KORU 20080313)"};
    expected.insert(expected.end(), UsageText().begin(), UsageText().end());
    if (c.help) expected.insert(expected.end(), HelpText().begin(), HelpText().end());
    EXPECT_THAT(console_.lines, ElementsAreArray(expected));
  }
}

TEST_F(StartupTest, VersionPrintsTheBannerAndTheRelease) {
  for (const char* line : {"--version", "host/pub/ -S --version"}) {
    SCOPED_TRACE(line);
    console_.lines.clear();
    EXPECT_EQ(Run(line), 0);
    EXPECT_THAT(console_.lines,
                ElementsAre("Koru (KORU 20080313)", "koru " KORU_PROJECT_VERSION));
  }
}

TEST_F(StartupTest, TitleIsCutTo249Characters) {
  SETTITLE(env_, std::string(300, 'x'));
  EXPECT_EQ(console_.titles.back(), std::string(249, 'x'));
}

}  // namespace
}  // namespace koru
