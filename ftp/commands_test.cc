#include "ftp/commands.h"

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "ftp/control.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/ftp_fixture.h"
#include "tests/memory_transport.h"

namespace koru {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using testing::Argument;
using testing::FakeFtpSession;
using testing::FtpFixture;
using testing::Reply;
using testing::Session;
using testing::Silence;
using testing::Verb;

using CommandsTest = FtpFixture;

// ---- Commands and their replies -------------------------------------------------------------

struct CommandCase {
  const char* name;
  std::function<int32_t(koru::Session&)> call;
  std::vector<std::string> replies;   // the server's, one per command received
  std::vector<std::string> commands;  // what the server must receive
  int32_t result;
  int32_t recorded;  // the last reply's code afterwards
};

void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

class CommandTest : public FtpFixture, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandTest, SendsTheCommandsAndTestsTheReplyCodes) {
  const CommandCase& c = GetParam();
  std::vector<testing::Action> replies;
  for (const std::string& reply : c.replies) replies.push_back(Reply(reply));
  OpenControl(Session({}, replies));
  options.VerboseLevel = 1;
  ftpClearReply(session);
  EXPECT_EQ(c.call(session), c.result);
  EXPECT_EQ(session.LastReplyCode, c.recorded);
  std::vector<std::string> shown;  // in debug mode: each command, then its reply
  for (size_t i = 0; i < c.commands.size(); ++i) {
    shown.insert(shown.end(), {c.commands[i], c.replies[i]});
  }
  EXPECT_EQ(console.lines, shown);
  EXPECT_EQ(ServerCommands(), c.commands);
}

int32_t ChangeDir(koru::Session& session, const std::string& dir) {
  return ftpChangeDir(session, dir);
}
int32_t Rename(koru::Session& session) { return ftpRename(session, "old name", "new name"); }

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandTest,
    ::testing::Values(
        CommandCase{"CwdTrailingSlash",
                    [](koru::Session& s) { return ChangeDir(s, "/pub/"); },
                    {"250 Okay"},
                    {"CWD /pub"},
                    1,
                    250},
        CommandCase{"CwdBlanks",
                    [](koru::Session& s) { return ChangeDir(s, " /pub "); },
                    {"250 Okay"},
                    {"CWD /pub"},
                    1,
                    250},
        CommandCase{"CwdSeveralSlashes",
                    [](koru::Session& s) { return ChangeDir(s, "/pub///"); },
                    {"250 Okay"},
                    {"CWD /pub"},
                    1,
                    250},
        // Slashes go first, blanks after: a slash before a trailing blank stays.
        CommandCase{"CwdSlashThenBlank",
                    [](koru::Session& s) { return ChangeDir(s, "/pub/ "); },
                    {"250 Okay"},
                    {"CWD /pub/"},
                    1,
                    250},
        // Servers refuse an empty CWD: the root is named.
        CommandCase{"CwdRoot",
                    [](koru::Session& s) { return ChangeDir(s, "/"); },
                    {"250 Okay"},
                    {"CWD /"},
                    1,
                    250},
        CommandCase{"CwdSlashesOnly",
                    [](koru::Session& s) { return ChangeDir(s, "///"); },
                    {"250 Okay"},
                    {"CWD /"},
                    1,
                    250},
        CommandCase{"Cwd200",
                    [](koru::Session& s) { return ChangeDir(s, "a"); },
                    {"200 Command okay"},
                    {"CWD a"},
                    1,
                    200},
        CommandCase{"Cwd220",
                    [](koru::Session& s) { return ChangeDir(s, "a"); },
                    {"220 Ready"},
                    {"CWD a"},
                    1,
                    220},
        CommandCase{"Cwd550",
                    [](koru::Session& s) { return ChangeDir(s, "a"); },
                    {"550 No such directory"},
                    {"CWD a"},
                    0,
                    550},
        CommandCase{"Mkd257",
                    [](koru::Session& s) { return ftpMakeDir(s, "/pub/new"); },
                    {"257 \"/pub/new\" created"},
                    {"MKD /pub/new"},
                    1,
                    257},
        CommandCase{"MkdExists",
                    [](koru::Session& s) { return ftpMakeDir(s, "/pub/ x/"); },
                    {"550 Directory exists"},
                    {"MKD /pub/ x/"},
                    0,
                    550},
        CommandCase{"Rmd250",
                    [](koru::Session& s) { return ftpRemoveDir(s, "old"); },
                    {"250 Removed"},
                    {"RMD old"},
                    1,
                    250},
        CommandCase{"Rmd257",
                    [](koru::Session& s) { return ftpRemoveDir(s, "old"); },
                    {"257 Odd"},
                    {"RMD old"},
                    0,
                    257},
        CommandCase{"Dele250",
                    [](koru::Session& s) { return ftpRemoveFile(s, "/pub/a b"); },
                    {"250 Deleted"},
                    {"DELE /pub/a b"},
                    1,
                    250},
        CommandCase{"Dele550",
                    [](koru::Session& s) { return ftpRemoveFile(s, "a"); },
                    {"550 No such file"},
                    {"DELE a"},
                    0,
                    550},
        CommandCase{"TypeAscii",
                    [](koru::Session& s) { return (ftpTypeAscii(s), 0); },
                    {"200 Type set to A"},
                    {"TYPE A"},
                    0,
                    200},
        // A refused type change shows only in the last reply.
        CommandCase{"TypeBinaryRefused",
                    [](koru::Session& s) { return (ftpTypeBinary(s), 0); },
                    {"504 Not supported"},
                    {"TYPE I"},
                    0,
                    504},
        // Only the RNTO reply is recorded: the kept code is 250, not the higher 350.
        CommandCase{"Renamed",
                    Rename,
                    {"350 Ready for RNTO", "250 Renamed"},
                    {"RNFR old name", "RNTO new name"},
                    1,
                    250},
        CommandCase{"RenameRefusedAtRnfr", Rename, {"550 No such file"}, {"RNFR old name"}, 0, 550},
        CommandCase{"RenameRefusedAtRnto",
                    Rename,
                    {"350 Ready for RNTO", "553 Bad name"},
                    {"RNFR old name", "RNTO new name"},
                    0,
                    553},
        CommandCase{"Rnfr250", Rename, {"250 Odd"}, {"RNFR old name"}, 0, 250}),
    [](const ::testing::TestParamInfo<CommandCase>& info) { return info.param.name; });

TEST_F(CommandsTest, AClosedConnectionFailsAtOnce) {
  OpenControl(Session({testing::Hangup()}));
  EXPECT_EQ(ftpChangeDir(session, "/pub"), 0);
  EXPECT_EQ(ftpMakeDir(session, "/pub"), 0);
}

// A server that never answers, scripted in memory: the command fails once the time-out has
// passed, without a real wait.
TEST(CommandsWithoutReply, FailAfterTheTimeOut) {
  testing::RecordingConsole console;
  testing::FakeClock clock;
  testing::MemoryTransport transport(clock);
  Options options;
  RunSettings state;
  Env env(console, clock, transport);
  const testing::MemoryPeer& server = transport.Expect();
  koru::Session session(env, options, state);
  ASSERT_TRUE(session.channels.Open(1, "127.0.0.1", 21, 300));
  session.h = 1;

  EXPECT_EQ(ftpRemoveFile(session, "a"), 0);

  EXPECT_EQ(session.channels.Error(), kErrTimeout);
  EXPECT_EQ(clock.skipped_ms, 300);
  EXPECT_EQ(server.received(), "DELE a\r\n");
}

// ---- PWD -------------------------------------------------------------------------------------

TEST_F(CommandsTest, PwdTakesTheTextBetweenTheFirstTwoQuotes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"257 \"/home/user\" is current directory", "/home/user"},
      {"257 /home/user", ""},
      {"550 Failed", ""},
      {"257 \"/unclosed", "/unclosed"},
      {"257 \"a\"\"b\" doubled quotes stay", "a"},
      {"257 \"\" empty", ""},
      {"", ""},
  };
  std::vector<testing::Action> replies;
  for (const auto& [reply, dir] : cases) replies.push_back(Reply(reply));
  OpenControl(Session({}, replies));
  for (const auto& [reply, dir] : cases) EXPECT_EQ(ftpPwd(session), dir) << reply;
  EXPECT_EQ(ServerCommands(), std::vector<std::string>(cases.size(), "PWD"));
}

// ---- After a user abort ----------------------------------------------------------------------

TEST_F(CommandsTest, SomeCommandsReturnAtOnceAfterAnAbort) {
  OpenControl(Session({}));
  state.AbortFlag = kOn;
  EXPECT_EQ(ftpChangeDir(session, "/pub"), 0);
  EXPECT_EQ(ftpPwd(session), "");
  ftpTypeAscii(session);
  ftpTypeBinary(session);
  EXPECT_EQ(ftpMakeDirTree(session, "/pub/a/b"), 0);
  EXPECT_EQ(session.channels.Error(), 0) << "nothing waited for a reply";
  EXPECT_THAT(ServerCommands(), IsEmpty());
}

TEST_F(CommandsTest, OthersSendNothingButWaitForAReplyAfterAnAbort) {
  OpenControl(Session({}));
  state.AbortFlag = kOn;
  EXPECT_EQ(ftpMakeDir(session, "/pub/a"), 0);
  EXPECT_EQ(session.channels.Error(), kErrTimeout);
  session.channels.ClearError();
  EXPECT_EQ(ftpRename(session, "a", "b"), 0);
  EXPECT_EQ(session.channels.Error(), kErrTimeout);
  EXPECT_THAT(ServerCommands(), IsEmpty());
}

// ---- Directory trees -------------------------------------------------------------------------

// A server's directories: CWD and MKD on absolute or relative paths; "CWD " without an argument
// is refused. Runs in the server thread; read it after the server has stopped.
struct RemoteTree {
  std::set<std::string> dirs = {"/"};
  std::string cwd = "/";

  std::string Resolve(const std::string& name) const {
    std::vector<std::string> parts;
    std::string path = name[0] == '/' ? name : cwd + "/" + name;
    size_t start = 0;
    while (start <= path.size()) {
      const size_t slash = std::min(path.find('/', start), path.size());
      const std::string part = path.substr(start, slash - start);
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!part.empty() && part != ".") {
        parts.push_back(part);
      }
      start = slash + 1;
    }
    std::string resolved;
    for (const std::string& part : parts) resolved += "/" + part;
    return resolved.empty() ? "/" : resolved;
  }

  static std::string Parent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
  }

  void Handle(const std::string& command, FakeFtpSession& session) {
    const std::string name = Argument(command);
    const std::string path = name.empty() ? "" : Resolve(name);
    if (Verb(command) == "CWD") {
      if (path.empty()) return session.Reply("501 Missing argument.");
      if (!dirs.count(path)) return session.Reply("550 No such directory.");
      cwd = path;
      return session.Reply("250 Okay.");
    }
    if (Verb(command) == "MKD") {
      if (path.empty() || dirs.count(path) || !dirs.count(Parent(path))) {
        return session.Reply("550 Cannot create.");
      }
      dirs.insert(path);
      return session.Reply("257 \"" + path + "\" created.");
    }
    session.Reply("502 Not here.");
  }
};

struct TreeCase {
  const char* name;
  std::set<std::string> existing;
  std::string cwd;
  std::string path;
  int32_t result;
  std::vector<std::string> commands;
  std::set<std::string> after;
  std::string cwd_after;
};

void PrintTo(const TreeCase& c, std::ostream* os) { *os << c.name; }

class MakeDirTreeTest : public FtpFixture, public ::testing::WithParamInterface<TreeCase> {};

TEST_P(MakeDirTreeTest, CreatesTheMissingLevelsFromTheTopDown) {
  const TreeCase& c = GetParam();
  RemoteTree tree{c.existing, c.cwd};
  OpenControl(Session({}, {}, [&tree](const std::string& command, FakeFtpSession& session) {
    tree.Handle(command, session);
  }));
  EXPECT_EQ(ftpMakeDirTree(session, c.path), c.result);
  EXPECT_THAT(ServerCommands(), ElementsAreArray(c.commands));
  EXPECT_EQ(tree.dirs, c.after);
  EXPECT_EQ(tree.cwd, c.cwd_after);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, MakeDirTreeTest,
    ::testing::Values(
        TreeCase{"TwoMissingLevels", {"/", "/pub"}, "/", "/pub/a/b/", 1,
                 {"CWD /pub/a/b", "CWD /pub/a", "CWD /pub/a", "CWD /pub", "MKD /pub/a",
                  "CWD /pub", "MKD /pub/a/b", "CWD /pub/a"},
                 {"/", "/pub", "/pub/a", "/pub/a/b"}, "/pub/a"},
        TreeCase{"WithoutTrailingSlash", {"/", "/pub"}, "/", "/pub/a/b", 1,
                 {"CWD /pub/a/b", "CWD /pub/a", "CWD /pub/a", "CWD /pub", "MKD /pub/a",
                  "CWD /pub", "MKD /pub/a/b", "CWD /pub/a"},
                 {"/", "/pub", "/pub/a", "/pub/a/b"}, "/pub/a"},
        TreeCase{"Existing", {"/", "/pub"}, "/", "/pub/", 1, {"CWD /pub", "CWD /pub"},
                 {"/", "/pub"}, "/pub"},
        TreeCase{"OneMissingLevel", {"/", "/pub"}, "/", "/pub/a", 1,
                 {"CWD /pub/a", "CWD /pub", "MKD /pub/a", "CWD /pub"},
                 {"/", "/pub", "/pub/a"}, "/pub"},
        // The parent of "/a" is the root, reached with "CWD /": a top-level directory is made.
        TreeCase{"TopLevelOnAServerRefusingEmptyCwd", {"/"}, "/", "/a", 1,
                 {"CWD /a", "CWD /", "MKD /a", "CWD /"}, {"/", "/a"}, "/"},
        TreeCase{"SingleRelativeName", {"/", "/home"}, "/home", "new", 1,
                 {"CWD new", "CWD .", "MKD ./new", "CWD ."}, {"/", "/home", "/home/new"},
                 "/home"},
        TreeCase{"RelativePath", {"/", "/home"}, "/home", "x/y/", 1,
                 {"CWD x/y", "CWD x", "CWD x", "CWD .", "MKD ./x", "CWD .", "MKD x/y", "CWD x"},
                 {"/", "/home", "/home/x", "/home/x/y"}, "/home/x"}),
    [](const ::testing::TestParamInfo<TreeCase>& info) { return info.param.name; });

// ---- What a command came to ------------------------------------------------------------------

struct OutcomeCase {
  const char* name;
  std::function<SizeOutcome(koru::Session&)> call;
  std::vector<testing::Action> replies;  // the server's, one per command received
  std::vector<std::string> commands;     // what the server must receive
  bool ok;
  std::string reply;
  bool lost;  // and then no longer logged in
  int64_t size = -1;
};

void PrintTo(const OutcomeCase& c, std::ostream* os) { *os << c.name; }

class CommandOutcomeTest : public FtpFixture, public ::testing::WithParamInterface<OutcomeCase> {};

// On a logged-in connection each form tells whether its command did what it was for, the reply
// that decided it, and whether the connection was lost on the way.
TEST_P(CommandOutcomeTest, TellsTheReplyAndWhetherTheConnectionWasLost) {
  const OutcomeCase& c = GetParam();
  OpenControl(Session({}, c.replies));
  session.ConnectedFlag = kOn;

  const SizeOutcome outcome = c.call(session);

  EXPECT_EQ(outcome.ok, c.ok);
  EXPECT_EQ(outcome.reply, c.reply);
  EXPECT_EQ(outcome.lost, c.lost);
  EXPECT_EQ(outcome.logged_in, !c.lost);
  EXPECT_EQ(outcome.size, c.size);
  EXPECT_EQ(session.logged_in(), !c.lost);
  EXPECT_EQ(ServerCommands(), c.commands);
}

SizeOutcome Cwd(koru::Session& s) { return {ChangeDirExactly(s, "/pub/ a /"), -1}; }
SizeOutcome Dele(koru::Session& s) { return {RemoveFile(s, "/pub/a b"), -1}; }
SizeOutcome Size(koru::Session& s) { return RemoteFileSize(s, "a.bin"); }
SizeOutcome MakeTree(koru::Session& s) { return {EnsureDirTree(s, "new"), -1}; }

constexpr char kLost[] = "000 Connection lost";

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandOutcomeTest,
    ::testing::Values(
        // A blank at the end of the last name belongs to it.
        OutcomeCase{"CwdDone", Cwd, {Reply("250 Okay")}, {"CWD /pub/ a "}, true, "250 Okay",
                    false},
        OutcomeCase{"CwdRefused", Cwd, {Reply("550 No such directory")}, {"CWD /pub/ a "},
                    false, "550 No such directory", false},
        OutcomeCase{"CwdServerClosing", Cwd, {Reply("421 Timeout.")}, {"CWD /pub/ a "}, false,
                    "421 Timeout.", true},
        OutcomeCase{"CwdClosed", Cwd, {testing::Hangup()}, {"CWD /pub/ a "}, false, kLost,
                    true},
        OutcomeCase{"DeleDone", Dele, {Reply("250 Deleted")}, {"DELE /pub/a b"}, true,
                    "250 Deleted", false},
        OutcomeCase{"DeleRefused", Dele, {Reply("550 Permission denied")}, {"DELE /pub/a b"},
                    false, "550 Permission denied", false},
        OutcomeCase{"DeleServerClosing", Dele, {Reply("421 Timeout.")}, {"DELE /pub/a b"},
                    false, "421 Timeout.", true},
        OutcomeCase{"DeleClosed", Dele, {testing::Hangup()}, {"DELE /pub/a b"}, false, kLost,
                    true},
        OutcomeCase{"SizeDone", Size, {Reply("213 1234")}, {"SIZE a.bin"}, true, "213 1234",
                    false, 1234},
        OutcomeCase{"SizeRefused", Size, {Reply("550 Not a plain file")}, {"SIZE a.bin"}, false,
                    "550 Not a plain file", false},
        // A 213 without a size has not told one; the connection is fine.
        OutcomeCase{"SizeWithoutANumber", Size, {Reply("213 big")}, {"SIZE a.bin"}, false,
                    "213 big", false},
        OutcomeCase{"SizeServerClosing", Size, {Reply("421 Timeout.")}, {"SIZE a.bin"}, false,
                    "421 Timeout.", true},
        OutcomeCase{"SizeClosed", Size, {testing::Hangup()}, {"SIZE a.bin"}, false, kLost, true},
        OutcomeCase{"TreeMade", MakeTree,
                    {Reply("550 No"), Reply("250 Okay"), Reply("257 Made"), Reply("250 Okay")},
                    {"CWD new", "CWD .", "MKD ./new", "CWD ."}, true, "250 Okay", false},
        OutcomeCase{"TreeRefused", MakeTree,
                    {Reply("550 No"), Reply("550 Not here"), Reply("550 Not here either")},
                    {"CWD new", "CWD .", "CWD ."}, false, "550 Not here either", false},
        // Lost halfway: what follows finds no connection, and the outcome says so.
        OutcomeCase{"TreeLostHalfway", MakeTree, {Reply("550 No"), Reply("421 Timeout.")},
                    {"CWD new", "CWD ."}, false, kLost, true}),
    [](const ::testing::TestParamInfo<OutcomeCase>& info) { return info.param.name; });

}  // namespace
}  // namespace koru
