#include "ftp/session.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ftp/control.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/ftp_fixture.h"
#include "tests/memory_transport.h"

namespace koru {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::FtpFixture;
using testing::Hangup;
using testing::Reply;
using testing::ReplyLines;
using testing::SendRaw;
using testing::Session;
using testing::SessionScript;
using testing::Silence;

constexpr int kQuiet = 0;
constexpr int kVerbose = -1;
constexpr int kDebug = 1;

SessionScript Busy() { return Session({Reply("421 Too many users"), Hangup()}); }

// What each busy wait prints, at the times given: the pause and the server's reason.
std::vector<std::string> BusyLines(const std::vector<std::string>& times) {
  std::vector<std::string> lines;
  for (const std::string& time : times) {
    lines.push_back(time + " * Pausing for busy server.");
    lines.push_back(time + "  421 Too many users");
  }
  return lines;
}

// Greeting, USER and PASS answered as a server that wants a password does.
SessionScript Normal() {
  return Session({Reply("220 Ready")},
                 {Reply("331 Password required"), Reply("230 Logged in")});
}

std::vector<SessionScript> Repeat(int count, SessionScript script) {
  return std::vector<SessionScript>(count, script);
}

struct ConnectCase {
  const char* name;
  std::vector<SessionScript> sessions;
  int32_t verbose_level;
  int32_t result;  // 1: the handle (channel 1)
  std::vector<std::string> commands;
  int32_t last_code;
  std::string last_text;
  std::vector<std::string> lines;  // the whole console output
  int connections = 1;
  std::vector<int> keys = {};
};

void PrintTo(const ConnectCase& c, std::ostream* os) { *os << c.name; }

class ConnectTest : public FtpFixture, public ::testing::WithParamInterface<ConnectCase> {};

TEST_P(ConnectTest, LogsInOrFails) {
  const ConnectCase& c = GetParam();
  for (const SessionScript& script : c.sessions) server.AddSession(script);
  options.VerboseLevel = c.verbose_level;
  console.keys.assign(c.keys.begin(), c.keys.end());

  const int32_t h = ftpConnect(session, server.address(), "anonymous", "guest@");

  EXPECT_EQ(h, c.result);
  EXPECT_EQ(session.ConnectedFlag, h > 0 ? kOn : kOff);
  EXPECT_EQ(session.pool.InUse(1), h > 0) << "the channel is open exactly on success";
  EXPECT_EQ(session.LastReplyCode, c.last_code);
  EXPECT_EQ(session.LastReplyText, c.last_text);
  EXPECT_EQ(console.lines, c.lines);
  if (h > 0) session.channels.Close(h);
  EXPECT_EQ(ServerCommands(), c.commands);
  EXPECT_EQ(server.connections(), c.connections);
}

// No answer to USER within the time-out: USER again, and the next reply decides. The server is
// scripted in memory, so the time-out passes without waiting.
struct UnansweredUserCase {
  const char* name;
  std::string late_reply;  // what comes once the time-out has passed
  int32_t verbose_level;
  int32_t result;
  int32_t last_code;
  std::vector<std::string> lines;
  std::string received;  // what the server read
};

void PrintTo(const UnansweredUserCase& c, std::ostream* os) { *os << c.name; }

class UnansweredUserTest : public ::testing::TestWithParam<UnansweredUserCase> {};

TEST_P(UnansweredUserTest, SendsUserAgain) {
  const UnansweredUserCase& c = GetParam();
  testing::RecordingConsole console;
  testing::FakeClock clock;
  testing::MemoryTransport transport(clock);
  Options options;
  RunSettings state;
  Env env(console, clock, transport);
  koru::Session session(env, options, state);
  env.channel_timeout_ms = 300;
  options.VerboseLevel = c.verbose_level;
  const testing::MemoryPeer& server =
      transport.Expect().Send("220 Ready\r\n").Silence(301).Send(c.late_reply + "\r\n");

  const int32_t h = ftpConnect(session, "127.0.0.1", "anonymous", "guest@");

  EXPECT_EQ(h, c.result);
  EXPECT_EQ(session.LastReplyCode, c.last_code);
  EXPECT_EQ(console.lines, c.lines);
  EXPECT_EQ(server.received(), c.received);
  EXPECT_EQ(clock.skipped_ms, 301);  // the time-out, then the rest of the silence
}

INSTANTIATE_TEST_SUITE_P(
    Session, UnansweredUserTest,
    ::testing::Values(
        // The reply to the USER sent again decides the login.
        UnansweredUserCase{"ThenLoggedIn", "230 Logged in", kDebug, 1, 230,
                           {"220 Ready", "USER anonymous", "",
                            "09:05:03 * Server did not respond, sending USER again.",
                            "USER anonymous", "230 Logged in",
                            "09:05:03 * Server did not request a password for user anonymous?",
                            "09:05:03 > Last reply= 230 Logged in"},
                           "USER anonymous\r\nUSER anonymous\r\n"},
        UnansweredUserCase{"ThenPasswordAsked", "331 Password\r\n230 Logged in", kQuiet, 1, 230,
                           {},
                           "USER anonymous\r\nUSER anonymous\r\nPASS guest@\r\n"},
        UnansweredUserCase{"ThenRefused", "530 Not now", kQuiet, -1, 530, {},
                           "USER anonymous\r\nUSER anonymous\r\n"}),
    [](const ::testing::TestParamInfo<UnansweredUserCase>& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Session, ConnectTest,
    ::testing::Values(
        ConnectCase{"PasswordLoginQuiet", {Normal()}, kQuiet, 1,
                    {"USER anonymous", "PASS guest@"}, 230, "Logged in", {}},
        ConnectCase{"PasswordLoginVerbose", {Normal()}, kVerbose, 1,
                    {"USER anonymous", "PASS guest@"}, 230, "Logged in", {}},
        ConnectCase{"PasswordLoginDebug", {Normal()}, kDebug, 1,
                    {"USER anonymous", "PASS guest@"}, 230, "Logged in",
                    {"220 Ready", "USER anonymous", "331 Password required", "PASS guest@",
                     "230 Logged in"}},
        ConnectCase{"Greeting230",
                    {Session({Reply("230 Already logged in")},
                             {Reply("331 Password"), Reply("230 Logged in")})},
                    kQuiet, 1, {"USER anonymous", "PASS guest@"}, 230, "Logged in", {}},
        ConnectCase{"GreetingBeginningWithABlank",
                    {Session({Reply(" Hello")}, {Reply("331 Password"), Reply("230 Ok")})},
                    kQuiet, 1, {"USER anonymous", "PASS guest@"}, 230, "Ok", {}},
        // "2 files here" continues the banner: the login is not read one reply late.
        ConnectCase{"BannerWithADigitTextLine",
                    {Session({ReplyLines({"220-Welcome", "2 files here", "220 Ready"})},
                             {Reply("331 Password"), Reply("230 Logged in")})},
                    kDebug, 1, {"USER anonymous", "PASS guest@"}, 230, "Logged in",
                    {"220-Welcome", "2 files here", "220 Ready", "USER anonymous",
                     "331 Password", "PASS guest@", "230 Logged in"}},
        ConnectCase{"ExtraGreetingLinesAreDrained",
                    {Session({SendRaw("220 Ready\r\n220 Ready again\r\n")},
                             {Reply("331 Password"), Reply("230 Logged in")})},
                    kDebug, 1, {"USER anonymous", "PASS guest@"}, 230, "Logged in",
                    {"220 Ready", "220 Ready again", "USER anonymous", "331 Password",
                     "PASS guest@", "230 Logged in"}},
        // A drained text line followed by silence: the drain ends at the empty read.
        ConnectCase{"DrainEndsOnAnEmptyRead",
                    {Session({SendRaw("220 Ready\r\nNote\r\n")},
                             {Reply("331 Password"), Reply("230 Logged in")})},
                    kDebug, 1, {"USER anonymous", "PASS guest@"}, 230, "Logged in",
                    {"220 Ready", "Note", "Note", "", "USER anonymous", "331 Password",
                     "PASS guest@", "230 Logged in"}},
        ConnectCase{"MultiLineLoginReply",
                    {Session({Reply("220 Ready")},
                             {Reply("331 Password"),
                              ReplyLines({"230-Welcome", "230-Rules", "230 Logged in"})})},
                    kDebug, 1, {"USER anonymous", "PASS guest@"}, 230, "Logged in",
                    {"220 Ready", "USER anonymous", "331 Password", "PASS guest@",
                     "230-Welcome", "230-Rules", "230 Logged in"}},
        ConnectCase{"CutGreetingIsInvalid", {Session({Reply("220-Hello")})}, kVerbose, -1, {},
                    0, "", {"09:05:03 * 000- Invalid socket."}},
        ConnectCase{"CutGreetingDebug", {Session({Reply("220-Hello")})}, kDebug, -1, {}, 0, "",
                    {"220-Hello", "220-Hello", "", "09:05:03 * 000- Invalid socket."}},
        ConnectCase{"RejectedGreetingQuiet", {Session({Reply("500 Go away")})}, kQuiet, -1, {},
                    500, "Go away", {}},
        ConnectCase{"RejectedGreetingVerbose", {Session({Reply("500 Go away")})}, kVerbose, -1,
                    {}, 500, "Go away", {"09:05:03 * 000- Invalid socket."}},
        ConnectCase{"NoGreeting", {Session({Hangup()})}, kVerbose, -1, {}, 0, "",
                    {"09:05:03 * 000- Invalid socket."}},
        ConnectCase{"PasswordRefused",
                    {Session({Reply("220 Ready")},
                             {Reply("331 Password"), Reply("530 Login incorrect")})},
                    kVerbose, -1, {"USER anonymous", "PASS guest@"}, 530, "Login incorrect",
                    {}},
        ConnectCase{"AccountNeeded",
                    {Session({Reply("220 Ready")},
                             {Reply("331 Password"), Reply("332 Need account")})},
                    kQuiet, -1, {"USER anonymous", "PASS guest@"}, 332, "Need account", {}},
        // USER answered 230: logged in at once, without PASS and without a further read.
        ConnectCase{"NoPasswordNeededQuiet",
                    {Session({Reply("220 Ready")}, {Reply("230 Welcome")})}, kQuiet, 1,
                    {"USER anonymous"}, 230, "Welcome",
                    {"09:05:03 * Server did not request a password for user anonymous?"}},
        ConnectCase{"NoPasswordNeededDebug",
                    {Session({Reply("220 Ready")}, {Reply("230 Welcome")})}, kDebug, 1,
                    {"USER anonymous"}, 230, "Welcome",
                    {"220 Ready", "USER anonymous", "230 Welcome",
                     "09:05:03 * Server did not request a password for user anonymous?",
                     "09:05:03 > Last reply= 230 Welcome"}},
        // A refusal of USER is a refused login, and its reply says why.
        ConnectCase{"UserRefused",
                    {Session({Reply("220 Ready")}, {Reply("500 What?")})},
                    kDebug, -1, {"USER anonymous"}, 500, "What?",
                    {"220 Ready", "USER anonymous", "500 What?"}},
        ConnectCase{"UserAnsweredReconnectWithTls",
                    {Session({Reply("220 Ready")},
                             {Reply("421 Sorry, cleartext sessions are not accepted on this "
                                    "server. Please reconnect using TLS")})},
                    kQuiet, -1, {"USER anonymous"}, 421,
                    "Sorry, cleartext sessions are not accepted on this server. Please "
                    "reconnect using TLS",
                    {}},
        ConnectCase{"BusyThreeTimes",
                    {Busy(), Busy(), Busy(), Normal()}, kVerbose, 1,
                    {"USER anonymous", "PASS guest@"}, 230, "Logged in",
                    BusyLines({"09:05:03", "09:06:33", "09:08:03"}),
                    4},
        // The pause is named in every mode.
        ConnectCase{"BusyTenTimes", Repeat(10, Busy()), kQuiet, -1, {}, 421, "Too many users",
                    BusyLines({"09:05:03", "09:06:33", "09:08:03", "09:09:33", "09:11:03",
                               "09:12:33", "09:14:03", "09:15:33", "09:17:03", "09:18:33"}),
                    10},
        ConnectCase{"TabEndsTheBusyWait", {Busy(), Normal()}, kQuiet, 1,
                    {"USER anonymous", "PASS guest@"}, 230, "Logged in",
                    BusyLines({"09:05:03"}), 2, {kNoKey, kNoKey, kNoKey, kKeyTab}},
        ConnectCase{"EscDuringTheBusyWait", {Busy(), Normal()}, kQuiet, -1, {}, 421,
                    "Too many users", BusyLines({"09:05:03"}), 1, {kNoKey, kNoKey, kKeyEsc}},
        ConnectCase{"EscBeforeConnecting", {Normal()}, kQuiet, -1, {}, 0, "", {}, 0,
                    {kKeyEsc}}),
    [](const ::testing::TestParamInfo<ConnectCase>& info) { return info.param.name; });

// A server that allows one session per address may answer 421 while it still counts the
// session just ended with QUIT: right after our own QUIT, 421 is tried again after 0.1, 0.2,
// 0.4, 0.8 and 1.6 s before the busy-server wait; without a QUIT before, it is waited for at once.
TEST_F(FtpFixture, BusyRightAfterOwnQuitIsRetriedQuicklyBeforeTheBusyWait) {
  const struct {
    const char* name;
    bool after_quit;
    int busy;  // 421 greetings before a normal one
    std::vector<int> quick_sleeps;
    bool busy_wait;
  } cases[] = {
      {"two after QUIT", true, 2, {100, 200}, false},
      {"five after QUIT", true, 5, {100, 200, 400, 800, 1600}, false},
      {"six after QUIT", true, 6, {100, 200, 400, 800, 1600}, true},
      {"one without QUIT", false, 1, {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::RecordingConsole quiet;
    testing::FakeClock time;
    Options options;
    RunSettings state;
    Env run{quiet, time};
    run.channel_timeout_ms = kTimeoutMs;
    testing::FakeFtpServer site;
    for (int i = 0; i < c.busy; ++i) site.AddSession(Busy());
    site.AddSession(Normal());
    quiet.keys.assign(200, kNoKey);
    quiet.keys.push_back(kKeyTab);  // ends a busy wait, if one comes, after its 200 polls

    koru::Session session(run, options, state);
    if (c.after_quit) session.last_quit_ms = time.MonotonicMs();
    EXPECT_GE(ftpConnect(session, site.address(), "anonymous", "guest@"), 1);

    const std::vector<int> quick(time.sleeps.begin(),
                                 time.sleeps.begin() + std::min(time.sleeps.size(),
                                                                c.quick_sleeps.size()));
    EXPECT_EQ(quick, c.quick_sleeps);
    EXPECT_EQ(time.sleeps.size() > c.quick_sleeps.size(), c.busy_wait);
    EXPECT_EQ(quiet.lines.size(), c.busy_wait ? 2u : 0u);
    if (c.busy_wait) {
      EXPECT_EQ(quiet.lines[0].substr(8), " * Pausing for busy server.");
      EXPECT_EQ(quiet.lines[1].substr(8), "  421 Too many users");
    }
  }
}

// A connection whose listing showed that its server sends no final replies leaves that
// knowledge behind: the next connection awaits final replies again.
TEST_F(FtpFixture, ANewConnectionAwaitsFinalRepliesAgain) {
  server.AddSession(Normal());
  session.NoStatusLine = kOn;

  EXPECT_EQ(ftpConnect(session, server.address(), "anonymous", "guest@"), 1);

  EXPECT_EQ(session.NoStatusLine, kOff);
}

TEST_F(FtpFixture, BusyWaitCountsDownInTheTitle) {
  server.AddSession(Busy());
  server.AddSession(Normal());
  EXPECT_EQ(ftpConnect(session, server.address(), "anonymous", "guest@"), 1);
  EXPECT_EQ(clock.sleeps, std::vector<int>(90, 1000));
  ASSERT_EQ(console.titles.size(), 90u);
  EXPECT_EQ(console.titles.front(), "KORU 20080313: Waiting 89 seconds for busy server.");
  EXPECT_EQ(console.titles[80], "KORU 20080313: Waiting 09 seconds for busy server.");
  EXPECT_EQ(console.titles.back(), "KORU 20080313: Waiting 00 seconds for busy server.");
  // One poll before each attempt, one a second while waiting, one after the login.
  EXPECT_EQ(console.polls, 1 + 90 + 1 + 1);
}

TEST_F(FtpFixture, BusyWaitShowsTheAttemptAndTheCountdownOnTheStatusLine) {
  server.AddSession(Busy());
  server.AddSession(Busy());
  server.AddSession(Normal());
  console.status_line = true;
  EXPECT_EQ(ftpConnect(session, server.address(), "anonymous", "guest@"), 1);
  ASSERT_EQ(console.statuses.size(), 180u);
  EXPECT_EQ(console.statuses[0],
            "server busy: attempt 1 of 10, next in 90 s (Tab: now, Esc: stop)");
  EXPECT_EQ(console.statuses[33],
            "server busy: attempt 1 of 10, next in 57 s (Tab: now, Esc: stop)");
  EXPECT_EQ(console.statuses[89],
            "server busy: attempt 1 of 10, next in 1 s (Tab: now, Esc: stop)");
  EXPECT_EQ(console.statuses[90],
            "server busy: attempt 2 of 10, next in 90 s (Tab: now, Esc: stop)");
  EXPECT_FALSE(console.status_shown);
}

TEST_F(FtpFixture, EscDuringTheBusyWaitLeavesTheStatusLineErased) {
  server.AddSession(Busy());
  console.status_line = true;
  console.keys = {kNoKey, kNoKey, kKeyEsc};
  EXPECT_EQ(ftpConnect(session, server.address(), "anonymous", "guest@"), -1);
  EXPECT_THAT(console.statuses,
              ElementsAre("server busy: attempt 1 of 10, next in 90 s (Tab: now, Esc: stop)",
                          "server busy: attempt 1 of 10, next in 89 s (Tab: now, Esc: stop)"));
  EXPECT_FALSE(console.status_shown);
}

TEST_F(FtpFixture, TenBusyRepliesWaitTenTimes) {
  for (int i = 0; i < kMaxConnectAttempts; ++i) server.AddSession(Busy());
  EXPECT_EQ(ftpConnect(session, server.address(), "anonymous", "guest@"), -1);
  EXPECT_EQ(clock.sleeps.size(), 900u);
  EXPECT_EQ(TimeText(clock.now), "09:20:03");
}

TEST_F(FtpFixture, EscDuringTheBusyWaitAbortsTheRun) {
  server.AddSession(Busy());
  console.keys = {kNoKey, kNoKey, kKeyEsc};
  EXPECT_EQ(ftpConnect(session, server.address(), "anonymous", "guest@"), -1);
  EXPECT_EQ(state.AbortFlag, kOn);
  EXPECT_EQ(clock.sleeps.size(), 2u);
  EXPECT_EQ(console.titles.back(), "User abort - closing connection");
}

TEST_F(FtpFixture, EscBeforeConnectingAbortsTheRun) {
  console.keys = {kKeyEsc};
  EXPECT_EQ(ftpConnect(session, server.address(), "anonymous", "guest@"), -1);
  EXPECT_EQ(state.AbortFlag, kOn);
  EXPECT_THAT(console.titles, ElementsAre("User abort - closing connection"));
}

TEST_F(FtpFixture, EscAfterTheLoginStillGivesTheConnection) {
  server.AddSession(Normal());
  console.keys = {kNoKey, kKeyEsc};
  EXPECT_EQ(ftpConnect(session, server.address(), "anonymous", "guest@"), 1);
  EXPECT_EQ(state.AbortFlag, kOn);
  EXPECT_EQ(session.ConnectedFlag, kOn);
  EXPECT_THAT(console.titles, ElementsAre("User abort - closing connection"));
}

TEST_F(FtpFixture, AlreadyAbortedReturnsZeroAndTouchesNothing) {
  state.AbortFlag = kOn;
  session.LastReplyCode = 550;
  session.LastReplyText = "Earlier";
  EXPECT_EQ(ftpConnect(session, server.address(), "anonymous", "guest@"), 0);
  EXPECT_EQ(session.LastReplyCode, 550);
  EXPECT_EQ(session.LastReplyText, "Earlier");
  EXPECT_EQ(server.connections(), 0);
  EXPECT_THAT(console.lines, IsEmpty());
  EXPECT_EQ(session.pool.Lowest(), 1);
}

TEST_F(FtpFixture, TheLastReplyIsClearedAtEveryAttempt) {
  server.AddSession(Session({Reply("220 Ready")}, {Reply("230 Welcome")}));
  session.LastReplyCode = 550;
  session.LastReplyText = "Earlier";
  EXPECT_EQ(ftpConnect(session, server.address(), "anonymous", "guest@"), 1);
  EXPECT_EQ(session.LastReplyCode, 230);
  EXPECT_EQ(session.LastReplyText, "Welcome");
}

TEST_F(FtpFixture, ConnectsOnTheNextFreeChannelNumber) {
  server.AddSession(Normal());
  session.pool.Claim(1);  // an open local file
  EXPECT_EQ(ftpConnect(session, server.address(), "anonymous", "guest@"), 2);
}

// Channels that cannot be opened: the error number becomes the last reply.
TEST_F(FtpFixture, UnopenableServer) {
  struct Case {
    std::string server;
    int32_t verbose_level;
    std::vector<std::string> lines;
  };
  const std::string refused = "127.0.0.1:" + std::to_string(server.port());
  server.Stop();  // nothing listens there any more
  for (const Case& c :
       {Case{"", kVerbose, {"09:05:03 * 057- Unable to open socket"}},
        Case{":21", kDebug, {"09:05:03 * 057- Unable to open socket"}},
        Case{"127.0.0.1:99999", kVerbose, {"09:05:03 * 057- Unable to open socket"}},
        Case{"[::1", kVerbose, {"09:05:03 * 057- Unable to open socket"}},
        Case{refused, kVerbose, {"09:05:03 * 057- Unable to open socket"}},
        Case{refused, kQuiet, {}}}) {
    SCOPED_TRACE(c.server);
    console.lines.clear();
    options.VerboseLevel = c.verbose_level;
    session.ConnectedFlag = kOn;
    EXPECT_EQ(ftpConnect(session, c.server, "anonymous", "guest@"), -1);
    EXPECT_EQ(session.LastReplyCode, 57);
    EXPECT_EQ(session.LastReplyText, "Unable to open socket");
    EXPECT_EQ(session.ConnectedFlag, kOff);
    EXPECT_EQ(console.lines, c.lines);
    EXPECT_FALSE(session.pool.InUse(1));
  }
}

TEST(ServerText, SplitsHostAndPort) {
  struct Case {
    std::string text;
    std::string host;
    int port;
  };
  for (const Case& c :
       {Case{"ftp.example.org", "ftp.example.org", 21}, Case{"127.0.0.1:2121", "127.0.0.1", 2121},
        Case{"host:0", "host", 0}, Case{"host:65535", "host", 65535},
        Case{"host:65536", "host", -1}, Case{"host:", "host", -1}, Case{"host:21x", "host", -1},
        Case{"host:000021", "host", -1}, Case{"", "", 21},
        // IPv6: the port rule applies after the closing bracket.
        Case{"[::1]", "::1", 21}, Case{"[::1]:2121", "::1", 2121},
        Case{"[2001:db8::7]", "2001:db8::7", 21}, Case{"[fe80::1%lo]:21", "fe80::1%lo", 21},
        Case{"[::1]:", "::1", -1}, Case{"[::1]:70000", "::1", -1}, Case{"[::1]2121", "::1", -1},
        Case{"[::1]:21]", "::1", -1},
        // An unclosed bracket: a server text nothing can be opened to.
        Case{"[::1", "[::1", -1}, Case{"[::1:2121", "[::1:2121", -1},
        // Without brackets the last colon is still the port's.
        Case{"::1", ":", 1}}) {
    const ServerAddress address = SplitServerText(c.text);
    EXPECT_EQ(address.host, c.host) << c.text;
    EXPECT_EQ(address.port, c.port) << c.text;
  }
}

// ---- QUIT ------------------------------------------------------------------------------------

TEST_F(FtpFixture, QuitSendsQuitRecordsTheReplyAndCloses) {
  const int h = OpenControl(Session({}, {Reply("221 Goodbye")}));
  options.VerboseLevel = kDebug;
  session.ConnectedFlag = kOn;
  ftpQuit(session);
  EXPECT_EQ(session.ConnectedFlag, kOff);
  EXPECT_FALSE(session.pool.InUse(h));
  EXPECT_EQ(session.LastReplyCode, 221);
  EXPECT_EQ(session.LastReplyText, "Goodbye");
  EXPECT_THAT(console.lines, ElementsAre("QUIT", "221 Goodbye"));
  EXPECT_THAT(ServerCommands(), ElementsAre("QUIT"));
}

TEST_F(FtpFixture, QuitAfterAnAbortSendsNothingButStillCloses) {
  const int h = OpenControl(Session({}));
  state.AbortFlag = kOn;
  session.ConnectedFlag = kOn;
  ftpQuit(session);
  EXPECT_EQ(session.ConnectedFlag, kOff);
  EXPECT_FALSE(session.pool.InUse(h));
  EXPECT_THAT(ServerCommands(), IsEmpty());
}

TEST_F(FtpFixture, ConnectAndQuitInEveryMode) {
  struct Case {
    int32_t verbose_level;
    std::vector<std::string> lines;
  };
  for (const Case& c :
       {Case{kQuiet, {}}, Case{kVerbose, {}},
        Case{kDebug,
             {"220 Ready", "USER bob", "331 Password required", "PASS secret",
              "230 Logged in", "QUIT", "221 Goodbye."}}}) {
    server.AddSession(Normal());
    console.lines.clear();
    options.VerboseLevel = c.verbose_level;
    const int32_t h = ftpConnect(session, server.address(), "bob", "secret");
    ASSERT_EQ(h, 1);
    ftpQuit(session);
    EXPECT_EQ(console.lines, c.lines);
  }
  EXPECT_THAT(ServerCommands(),
              ElementsAre("USER bob", "PASS secret", "QUIT", "USER bob", "PASS secret", "QUIT",
                          "USER bob", "PASS secret", "QUIT"));
}

// ---- ConnectAndLogIn --------------------------------------------------------------------------

struct LoginCase {
  const char* name;
  std::vector<SessionScript> sessions;  // none: the server text names a port that refuses
  BusyServer busy;
  bool logged_in;
  int32_t kept_code;  // -1: the system's, not checked
  std::string kept_text;
  std::string failure;
  std::string reply;
};

void PrintTo(const LoginCase& c, std::ostream* os) { *os << c.name; }

class LoginOutcomeTest : public FtpFixture, public ::testing::WithParamInterface<LoginCase> {};

TEST_P(LoginOutcomeTest, TellsHowTheLoginEnded) {
  const LoginCase& c = GetParam();
  for (const SessionScript& script : c.sessions) server.AddSession(script);
  const std::string address = c.sessions.empty() ? "127.0.0.1:1" : server.address();

  const LoginOutcome login = ConnectAndLogIn(session, address, "anonymous", "guest@", c.busy);

  EXPECT_EQ(login.logged_in, c.logged_in);
  EXPECT_EQ(login.channel, c.logged_in ? 1 : -1);
  EXPECT_EQ(session.logged_in(), c.logged_in);
  if (c.kept_code >= 0) {
    EXPECT_EQ(login.kept_code, c.kept_code);
  }
  EXPECT_EQ(login.kept_text, c.kept_text);
  EXPECT_EQ(login.failure, c.failure);
  EXPECT_EQ(login.reply, c.reply);
  if (login.logged_in) session.channels.Close(login.channel);
  ServerCommands();
}

INSTANTIATE_TEST_SUITE_P(
    Session, LoginOutcomeTest,
    ::testing::Values(
        LoginCase{"LoggedIn", {Normal()}, BusyServer::kWaitOut, true, 230, "Logged in", "",
                  "230 Logged in"},
        LoginCase{"Refused",
                  {Session({Reply("220 Ready")},
                           {Reply("331 Password"), Reply("530 Login incorrect")})},
                  BusyServer::kWaitOut, false, 530, "Login incorrect", "",
                  "530 Login incorrect"},
        LoginCase{"BusyGivenUp", {Busy()}, BusyServer::kGiveUp, false, 421, "Too many users", "",
                  "421 Too many users"},
        LoginCase{"Unreachable", {}, BusyServer::kWaitOut, false, -1, "Unable to open socket",
                  "Connection refused", ""},
        LoginCase{"ClosedBeforeTheGreeting", {Session({Hangup()})}, BusyServer::kWaitOut, false,
                  0, "", "Connection closed by the server", ""},
        LoginCase{"ClosedAtTheLogin", {Session({Reply("220 Ready")}, {Hangup()})},
                  BusyServer::kWaitOut, false, 0, "", "Connection closed by the server", ""}),
    [](const ::testing::TestParamInfo<LoginCase>& info) { return info.param.name; });

// A logged-in connection the server closed while it stood idle is dropped without a word; one
// that still stands is kept as it is.
TEST_F(FtpFixture, DropsAnIdleConnectionTheServerClosed) {
  const int h = OpenControl(Session({Hangup()}));
  session.ConnectedFlag = kOn;
  // Once the server has closed its end, the channel has input: the end of the data.
  for (int i = 0; i < 500 && !session.channels.HasInput(h); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(DropIfClosedWhileIdle(session));
  EXPECT_FALSE(session.logged_in());
  EXPECT_FALSE(session.pool.InUse(h));
  EXPECT_THAT(console.lines, IsEmpty());
  ServerCommands();
}

TEST_F(FtpFixture, KeepsAnIdleConnectionThatStillStands) {
  const int h = OpenControl(Session({}));
  session.ConnectedFlag = kOn;
  EXPECT_TRUE(DropIfClosedWhileIdle(session));
  EXPECT_TRUE(session.logged_in());
  EXPECT_TRUE(session.pool.InUse(h));
  ServerCommands();
}

}  // namespace
}  // namespace koru
