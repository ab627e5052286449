#include "ftp/control.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/ftp_fixture.h"
#include "tests/memory_transport.h"

namespace koru {
namespace {

using ::testing::ElementsAre;
using testing::FtpFixture;
using ::testing::IsEmpty;
using testing::MemoryPeer;
using testing::MemoryTransport;
using testing::Reply;
using testing::SendRaw;
using testing::Session;
using testing::Silence;

// ---- Framing ---------------------------------------------------------------------------------

struct FramingCase {
  const char* name;
  std::vector<std::string> lines;  // received in this order
  std::string reply;               // the final line
  size_t taken;                    // lines taken up to and including the one that ended it
};

void PrintTo(const FramingCase& c, std::ostream* os) { *os << c.name; }

class ReplyFramingTest : public ::testing::TestWithParam<FramingCase> {};

TEST_P(ReplyFramingTest, EndsTheReplyAtItsFinalLine) {
  const FramingCase& c = GetParam();
  ReplyFraming framing;
  size_t taken = 0;
  std::optional<std::string> reply;
  while (!reply && taken < c.lines.size()) reply = framing.Take(c.lines[taken++]);
  ASSERT_TRUE(reply.has_value()) << "the reply never ended";
  EXPECT_EQ(*reply, c.reply);
  EXPECT_EQ(taken, c.taken);
}

INSTANTIATE_TEST_SUITE_P(
    Control, ReplyFramingTest,
    ::testing::Values(
        FramingCase{"SingleLine", {"230 User logged in"}, "230 User logged in", 1},
        FramingCase{"MultiLine", {"220-Welcome", "220-Second line", "220 Ready"}, "220 Ready", 3},
        FramingCase{
            "IndentedTextInside", {"220-Welcome", "  indented text", "220 Ready"}, "220 Ready", 3},
        // A text line that begins with a digit does not end a reply opened by "220-".
        FramingCase{"DigitTextInside",
                    {"220-Welcome", "2 files here", "220 Ready", "331 x"},
                    "220 Ready",
                    3},
        FramingCase{"TwoDigitsInside", {"220-Welcome", "22", "220 Ready"}, "220 Ready", 3},
        FramingCase{"OtherCodeEnds", {"220-Welcome", "230 Other"}, "230 Other", 2},
        FramingCase{"ThreeDigitsAlone", {"220-Welcome", "220"}, "220", 2},
        FramingCase{"ShortFirstLine", {"12"}, "12", 1},
        FramingCase{"DigitFirstLine", {"2 files here"}, "2 files here", 1},
        FramingCase{"EmptyFirstLine", {""}, "", 1},
        FramingCase{"CutAfterContinuation", {"250-Start", ""}, "250-Start", 2},
        FramingCase{"CutAfterSeveral", {"250-Start", "text", ""}, "text", 3},
        // A first line that does not begin with a digit continues; the documented rule
        // (first character a digit) still ends a reply that no "-" line has opened.
        FramingCase{"TextFirstLine", {"hello", "2 ok"}, "2 ok", 2},
        FramingCase{"BlankFirstLine", {" 220 Ready", "220 Ready"}, "220 Ready", 2},
        FramingCase{"DashInFourthPlaceOfText", {"230-a", "abc-def", "230 b"}, "230 b", 3}),
    [](const ::testing::TestParamInfo<FramingCase>& info) { return info.param.name; });

TEST(ReplyFraming, KeepsTheLatestContinuationLine) {
  ReplyFraming framing;
  EXPECT_FALSE(framing.Take("220-Welcome"));
  EXPECT_EQ(framing.last_continuation(), "220-Welcome");
  EXPECT_FALSE(framing.Take("more"));
  EXPECT_EQ(framing.last_continuation(), "more");
}

// ---- Reply codes and the last reply ----------------------------------------------------------

TEST(ReplyCode, ReadsTheNumberInTheFirstThreeCharacters) {
  const std::vector<std::pair<std::string, int32_t>> cases = {{"220 Service ready", 220},
                                                              {"", 0},
                                                              {"12", 12},
                                                              {"abc", 0},
                                                              {" 22x", 22},
                                                              {"\t5 x", 5},
                                                              {"2200", 220},
                                                              {"-12", -12},
                                                              {"+30", 30},
                                                              {"1.5", 1},
                                                              {"-.5", -1},
                                                              {"1E2", 1},
                                                              {"1d2", 1},
                                                              {"250-Start", 250}};
  for (const auto& [line, code] : cases) EXPECT_EQ(ftpReplyCode(line), code) << line;
}

TEST(ReplyText, DescribesKnownCodesOnly) {
  EXPECT_EQ(ftpReplyText(226), "Transfer completed successfully.");
  EXPECT_EQ(ftpReplyText(110), "Restart Marker Reply");
  EXPECT_EQ(ftpReplyText(257), "Directory Created Ok or Current Directory is Ok.");
  EXPECT_EQ(ftpReplyText(553), "Bad File Name");
  EXPECT_EQ(ftpReplyText(999), "");
  EXPECT_EQ(ftpReplyText(0), "");
  EXPECT_EQ(ftpReplyText(-1), "");
}

TEST(LastReply, KeepsTheHighestCodeSinceTheLastClear) {
  testing::RecordingConsole console;
  testing::FakeClock clock;
  Options options;
  RunSettings state;
  Env env(console, clock);
  koru::Session session(env, options, state);
  struct Step {
    std::string recorded;
    int32_t code;
    std::string text;
  };
  const std::vector<Step> steps = {
      {"230 User logged in", 230, "User logged in"},
      {"550 No such file", 550, "No such file"},
      {"226 Transfer complete", 550, "No such file"},  // lower codes never replace it
      {"550 Another", 550, "No such file"},            // nor does an equal one
      {"", 550, "No such file"},
  };
  ftpClearReply(session);
  for (const Step& step : steps) {
    ftpRecordReply(session, step.recorded);
    EXPECT_EQ(ftpLastReplyCode(session), step.code) << step.recorded;
    EXPECT_EQ(ftpLastReplyText(session), step.text) << step.recorded;
  }
  ftpClearReply(session);
  EXPECT_EQ(session.LastReplyCode, 0);
  EXPECT_EQ(session.LastReplyText, "");
  ftpRecordReply(session, "250");
  EXPECT_EQ(ftpLastReplyCode(session), 250);
  EXPECT_EQ(ftpLastReplyText(session), "");
  ftpRecordReply(session, "257    padded text  ");
  EXPECT_EQ(session.LastReplyText, "padded text");
  ftpClearReply(session);
  ftpRecordReply(session, "0 zero");
  ftpRecordReply(session, "-5 negative");
  EXPECT_EQ(ftpLastReplyCode(session), 0);
  EXPECT_EQ(ftpLastReplyText(session), "");
  session.LastReplyText = "  set elsewhere ";
  EXPECT_EQ(ftpLastReplyText(session), "set elsewhere ");
}

// ---- Sending commands and reading replies over a channel -------------------------------------

using ControlTest = FtpFixture;

TEST_F(ControlTest, SendCommandAppendsCrLfAndEchoesInDebugMode) {
  OpenControl(Session({}, {Reply("200 NOOP ok"), Reply("331 Password")}));
  options.VerboseLevel = 1;
  ftpSendCommand(session, "NOOP");
  EXPECT_EQ(session.CommandTerminator, "\r\n");
  EXPECT_EQ(ftpGetReply(session), "200 NOOP ok");
  options.VerboseLevel = -1;
  ftpSendCommand(session, "USER anonymous");
  EXPECT_EQ(ftpGetReply(session), "331 Password");
  EXPECT_THAT(ServerCommands(), ElementsAre("NOOP", "USER anonymous"));
  EXPECT_THAT(console.lines, ElementsAre("NOOP"));
}

TEST_F(ControlTest, SendCommandSendsAndPrintsNothingOnceAborted) {
  const int h = OpenControl(Session({}));
  options.VerboseLevel = 1;
  state.AbortFlag = kOn;
  ftpSendCommand(session, "QUIT");
  session.channels.Close(h);
  EXPECT_THAT(ServerCommands(), IsEmpty());
  EXPECT_THAT(console.lines, IsEmpty());
}

struct GetReplyCase {
  const char* name;
  std::function<void(MemoryPeer&)> peer;  // what the server sends once the client is there
  std::vector<int> keys;                  // pressed while the reply is read
  std::string reply;
  std::vector<std::string> debug_lines;  // printed in debug mode
  std::string next_reply;                // the reply read after it
  bool aborts = false;                   // the run is stopped by the user
};

void PrintTo(const GetReplyCase& c, std::ostream* os) { *os << c.name; }

// Replies over scripted connections: pieces, silences and closes arrive exactly as scripted,
// and time-outs pass without waiting.
class GetReplyTest : public ::testing::TestWithParam<GetReplyCase> {
 protected:
  void Run(int32_t verbose_level) {
    const GetReplyCase& c = GetParam();
    env.channel_timeout_ms = 300;
    options.VerboseLevel = verbose_level;
    c.peer(transport.Expect());
    ASSERT_TRUE(session.channels.Open(1, "127.0.0.1", 21, env.channel_timeout_ms));
    console.keys.assign(c.keys.begin(), c.keys.end());
    EXPECT_EQ(ftpGetReply(session), c.reply);
    const std::vector<std::string> printed = console.lines;
    EXPECT_EQ(state.AbortFlag != 0, c.aborts);
    EXPECT_EQ(ftpGetReply(session), c.next_reply);
    EXPECT_EQ(printed, verbose_level > 0 ? c.debug_lines : std::vector<std::string>{});
  }

  testing::RecordingConsole console;
  testing::FakeClock clock;
  MemoryTransport transport{clock};
  Options options;
  RunSettings state;
  Env env{console, clock, transport};
  koru::Session session{env, options, state, 1};
};

TEST_P(GetReplyTest, Debug) { Run(1); }
TEST_P(GetReplyTest, Verbose) { Run(-1); }

INSTANTIATE_TEST_SUITE_P(
    Control, GetReplyTest,
    ::testing::Values(
        GetReplyCase{"SingleLine",
                     [](MemoryPeer& p) { p.Send("230 User logged in\r\n").Close(); },
                     {},
                     "230 User logged in",
                     {},
                     ""},
        GetReplyCase{"MultiLine",
                     [](MemoryPeer& p) {
                       p.Send("220-Welcome\r\n220-Second line\r\n220 Ready\r\n").Close();
                     },
                     {},
                     "220 Ready",
                     {"220-Welcome", "220-Second line"},
                     ""},
        GetReplyCase{"DigitTextInsideBanner",
                     [](MemoryPeer& p) {
                       p.Send("220-Welcome\r\n2 files here\r\n220 Ready\r\n331 Next\r\n");
                     },
                     {},
                     "220 Ready",
                     {"220-Welcome", "2 files here"},
                     "331 Next"},
        GetReplyCase{"CrCrLf",
                     [](MemoryPeer& p) { p.Send("226 Done\r\r\n").Close(); },
                     {},
                     "226 Done",
                     {},
                     ""},
        GetReplyCase{"LinesInPieces",
                     [](MemoryPeer& p) {
                       p.Send("220-Wel")
                           .Silence(250)
                           .Send("come\r\n220 Re")
                           .Silence(250)
                           .Send("ady\r\n")
                           .Close();
                     },
                     {},
                     "220 Ready",
                     {"220-Welcome"},
                     ""},
        GetReplyCase{"TimeOutInsideAReply",
                     [](MemoryPeer& p) { p.Send("250-Start\r\n"); },
                     {},
                     "250-Start",
                     {"250-Start"},
                     ""},
        GetReplyCase{"ServerClosesInsideAReply",
                     [](MemoryPeer& p) { p.Send("250-Start\r\nmore\r\n").Close(); },
                     {},
                     "more",
                     {"250-Start", "more"},
                     ""},
        GetReplyCase{"Silence", [](MemoryPeer&) {}, {}, "", {}, ""},
        // Esc between lines stops the run with an empty reply; no command can follow, and the
        // rest of the reply is only read by a later wait such as QUIT's.
        GetReplyCase{"EscInsideAReply",
                     [](MemoryPeer& p) { p.Send("220-Welcome\r\n220-Second\r\n220 Ready\r\n"); },
                     {kKeyEsc},
                     "",
                     {"220-Welcome"},
                     "220 Ready",
                     true},
        GetReplyCase{"OtherKeysAreIgnored",
                     [](MemoryPeer& p) { p.Send("220-Welcome\r\n220 Ready\r\n").Close(); },
                     {kKeyTab},
                     "220 Ready",
                     {"220-Welcome"},
                     ""}),
    [](const ::testing::TestParamInfo<GetReplyCase>& info) { return info.param.name; });

TEST_F(ControlTest, KeysArePolledBetweenLinesOnly) {
  OpenControl(Session({SendRaw("230 One\r\n220-a\r\n220-b\r\n220 c\r\n")}));
  EXPECT_EQ(ftpGetReply(session), "230 One");
  EXPECT_EQ(console.polls, 0);
  EXPECT_EQ(ftpGetReply(session), "220 c");
  EXPECT_EQ(console.polls, 2);
}

TEST_F(ControlTest, ExchangeRecordsAndShowsTheReply) {
  OpenControl(Session({}, {Reply("550 No such file"), Reply("250 Okay")}));
  options.VerboseLevel = 1;
  ftpClearReply(session);
  EXPECT_EQ(ftpExchange(session, "DELE a"), "550 No such file");
  EXPECT_EQ(ftpExchange(session, "CWD b"), "250 Okay");
  EXPECT_EQ(session.LastReplyCode, 550);
  EXPECT_EQ(session.LastReplyText, "No such file");
  EXPECT_THAT(console.lines, ElementsAre("DELE a", "550 No such file", "CWD b", "250 Okay"));
  EXPECT_THAT(ServerCommands(), ElementsAre("DELE a", "CWD b"));
}

// A session whose connection was dropped holds no channel number any more: when it goes, it
// cannot close the channel that number now names for another connection.
TEST(SessionChannel, ADroppedSessionNeverClosesAnotherConnectionsChannel) {
  testing::RecordingConsole console;
  testing::FakeClock clock;
  MemoryTransport transport{clock};
  Options options;
  RunSettings state;
  Env env{console, clock, transport};
  transport.Expect().Close();
  transport.Expect().Send("220 Still here\r\n");
  auto dropped = std::make_unique<koru::Session>(env, options, state);
  ASSERT_TRUE(dropped->channels.Open(1, "127.0.0.1", 21, 300));
  dropped->h = 1;
  dropped->ConnectedFlag = kOn;
  EXPECT_EQ(ftpGetReply(*dropped), "");  // the server has closed: the connection is dropped
  koru::Session other(env, options, state);
  ASSERT_TRUE(other.channels.Open(1, "127.0.0.1", 21, 300));
  other.h = 1;

  dropped.reset();

  EXPECT_TRUE(other.channels.IsOpen(1));
  EXPECT_EQ(ftpGetReply(other), "220 Still here");
}

// A reply with a wait of its own that keeps the connection, and one that drops it.
TEST(GetReplyWait, OwnTimeOutKeepsOrDropsTheConnectionAsAsked) {
  for (const OnSilence silence : {OnSilence::kKeepConnection, OnSilence::kDropConnection}) {
    testing::RecordingConsole console;
    testing::FakeClock clock;
    MemoryTransport transport{clock};
    Options options;
    RunSettings state;
    Env env{console, clock, transport};
    transport.Expect();
    koru::Session session(env, options, state);
    ASSERT_TRUE(session.channels.Open(1, "127.0.0.1", 21, 300));
    session.h = 1;
    session.ConnectedFlag = kOn;

    EXPECT_EQ(ftpGetReply(session, 10, silence), "");

    EXPECT_EQ(clock.skipped_ms, 10);
    const bool dropped = silence == OnSilence::kDropConnection;
    EXPECT_EQ(session.channels.IsOpen(1), !dropped);
    EXPECT_EQ(session.ConnectedFlag, dropped ? kOff : kOn);
    EXPECT_EQ(session.ReplyLine, dropped ? "000 Connection lost" : "");
    EXPECT_EQ(console.lines, dropped ? std::vector<std::string>{"09:05:03 * Warning: Connection "
                                                                "lost (no reply in 10 ms)"}
                                     : std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace koru
