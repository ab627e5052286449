#include "ftp/listing_transfer.h"

#include <deque>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "ftp/commands.h"
#include "ftp/control.h"
#include "ftp/session.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/ftp_fixture.h"
#include "tests/memory_transport.h"

namespace koru {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::CommandHandler;
using testing::FakeFtpSession;
using testing::FtpFixture;
using testing::Session;
using testing::Verb;

const std::string kFile = "-rw-r--r--    1 ftp      ftp          1234 Mar 15  1999 a.txt";
const std::string kDir = "drwxr-xr-x    2 ftp      ftp          4096 Dec 01 10:30 sub dir";
const std::string kLink = "lrwxrwxrwx    1 ftp      ftp            11 Jan 02  2001 l -> ../x/y";
const std::string kSlash = "-rw-r--r--    1 ftp      ftp             5 Jan 02  2001 up/file";
const std::string kBackslash = "-rw-r--r--    1 ftp      ftp             5 Jan 02  2001 a\\b";
const std::string kDos = "12-24-99  11:59PM                 1024 c:d?*.txt";
const std::string kDosDir = "01-12-00  09:30AM       <DIR>          My Dir";

std::string Crlf(const std::vector<std::string>& lines) {
  std::string bytes;
  for (const std::string& line : lines) bytes += line + "\r\n";
  return bytes;
}

// The server side of a listing.
struct ListServer {
  std::optional<std::string> pasv_reply = std::nullopt;  // none: a passive listener is offered
  std::string list_reply = "150 Here comes the directory listing.";
  std::string data = "";                  // sent, then the data connection is closed
  bool keep_open = false;                 // ... only once the client has closed it
  std::optional<std::string> final_reply = "226 Directory send OK.";
};

CommandHandler Serve(ListServer server) {
  return [server](const std::string& command, FakeFtpSession& s) {
    const std::string verb = Verb(command);
    if (verb == "PASV") {
      s.Reply(server.pasv_reply ? *server.pasv_reply : s.Passive());
    } else if (verb == "TYPE") {
      s.Reply("200 Switching to ASCII mode.");
    } else if (verb == "NOOP") {
      s.Reply("200 NOOP ok.");
    } else if (verb == "LIST") {
      s.Reply(server.list_reply);
      if (server.list_reply[0] != '1' || !s.AcceptData()) return;
      s.SendData(server.data);
      if (server.keep_open) s.ReceiveData();  // until the client closes
      s.CloseData();
      if (server.final_reply) s.Reply(*server.final_reply);
    } else {
      testing::DefaultHandler(command, s);
    }
  };
}

// Two control connections of one run keep what is theirs: the first learns that its server
// sends no final reply after a "total" listing and gets a refusal; the second, made after it,
// still awaits its final replies, has replies of its own and its own transfer type.
TEST_F(FtpFixture, TwoSessionsKeepTheirOwnRepliesAndFinalReplyState) {
  env.status_line_wait_ms = 100;
  server.AddSession(
      Session({}, {}, Serve({.data = Crlf({"total 8", kFile}), .final_reply = std::nullopt})));
  server.AddSession(Session({}, {}, Serve({.data = Crlf({"total 8", kFile})})));
  std::vector<std::string> lines;
  ASSERT_TRUE(session.channels.Open(1, "127.0.0.1", server.port(), kTimeoutMs));
  session.h = 1;
  ftpList(session, "/pub/", "", lines);
  EXPECT_EQ(ftpExchange(session, "MKD x"), "502 Command not scripted.");
  session.CloseChannel();

  koru::Session second(env, options, state);
  ASSERT_TRUE(second.channels.Open(2, "127.0.0.1", server.port(), kTimeoutMs));
  second.h = 2;
  EXPECT_EQ(ftpList(second, "/pub/", "", lines), 2);

  ftpTypeBinary(second);

  EXPECT_EQ(session.TransferType, 'A');
  EXPECT_EQ(session.NoStatusLine, kOn);
  EXPECT_EQ(session.ReplyLine, "502 Command not scripted.");
  EXPECT_EQ(session.LastReplyCode, 502);
  EXPECT_EQ(second.TransferType, 'I');
  EXPECT_EQ(second.NoStatusLine, kOff);
  EXPECT_EQ(second.ReplyLine, "200 Switching to ASCII mode.");
  EXPECT_EQ(second.LastReplyCode, 227);
  ServerCommands();
}

class ListingTest : public FtpFixture {
 protected:
  ListingTest() { env.status_line_wait_ms = 100; }

  // The console with the reply to PASV shown as "<227>".
  std::vector<std::string> Console() const {
    std::vector<std::string> lines = console.lines;
    for (std::string& line : lines) {
      if (line.rfind("227 Entering Passive Mode (127,0,0,1,", 0) == 0) line = "<227>";
    }
    return lines;
  }
};

// ---- ftpList ---------------------------------------------------------------------------------

struct ListCase {
  const char* name;
  std::string argument = "";
  ListServer server = {};
  std::deque<int> keys = {};
  int32_t no_status_line = 0;  // before the call
  // What must come of it:
  std::vector<std::string> commands = {};  // the NOOP sent after the listing not counted
  std::vector<std::string> lines = {};     // stored
  std::vector<std::string> shown = {};     // the whole console in debug mode
  std::vector<std::string> titles = {};
  int32_t last_code = 227;
  int32_t no_status_line_after = 0;
  int32_t abort_after = 0;
  // The control connection is in step afterwards: the next command gets its own reply.
  bool in_step = true;
};

void PrintTo(const ListCase& c, std::ostream* os) { *os << c.name; }

class ListTest : public ListingTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(ListTest, ReadsTheListing) {
  const ListCase& c = GetParam();
  OpenControl(Session({}, {}, Serve(c.server)));
  options.VerboseLevel = 1;
  session.NoStatusLine = c.no_status_line;
  console.keys = c.keys;
  std::vector<std::string> lines = {"left over"};

  const int32_t n = ftpList(session, "/pub/", c.argument, lines);

  EXPECT_EQ(n, static_cast<int32_t>(c.lines.size()));
  EXPECT_EQ(lines, c.lines);
  EXPECT_EQ(Console(), c.shown);
  EXPECT_EQ(console.titles, c.titles);
  EXPECT_EQ(session.LastReplyCode, c.last_code);
  EXPECT_EQ(session.NoStatusLine, c.no_status_line_after);
  EXPECT_EQ(state.AbortFlag, c.abort_after);
  EXPECT_FALSE(session.pool.InUse(2));  // the data connection is closed
  std::vector<std::string> commands = c.commands;
  if (c.in_step) {
    EXPECT_EQ(ftpExchange(session, "NOOP"), "200 NOOP ok.");
    commands.push_back("NOOP");
  }
  EXPECT_EQ(ServerCommands(), commands);
}

const std::vector<std::string> kListOpen = {"PASV", "<227>", "TYPE A",
                                            "200 Switching to ASCII mode."};
const std::string kListReply = "150 Here comes the directory listing.";

std::vector<std::string> Join(std::vector<std::vector<std::string>> parts) {
  std::vector<std::string> joined;
  for (const auto& part : parts) joined.insert(joined.end(), part.begin(), part.end());
  return joined;
}

std::vector<std::string> Titles(int count, const std::string& what) {
  std::vector<std::string> titles;
  for (int i = 1; i <= count; ++i) titles.push_back("(" + std::to_string(i) + " lines) " + what);
  return titles;
}

INSTANTIATE_TEST_SUITE_P(
    Listings, ListTest,
    ::testing::Values(
        ListCase{.name = "WithMask",
                 .argument = "*.txt",
                 .server = {.data = Crlf({kFile, kDir})},
                 .commands = {"PASV", "TYPE A", "LIST *.txt"},
                 .lines = {kFile, kDir},
                 .shown = Join({kListOpen, {"LIST *.txt", kListReply, kFile, kDir, "",
                                            "226 Directory send OK."}}),
                 .titles = Titles(2, "LIST /pub/*.txt")},
        // "LIST" alone, with no blank after it; the last line has no line end; LF alone ends a
        // line. The final reply is recorded.
        ListCase{.name = "NoArgumentAndNoTrailingLineEnd",
                 .server = {.data = kFile + "\n" + kDir,
                            .final_reply = "451 Listing cut short."},
                 .commands = {"PASV", "TYPE A", "LIST"},
                 // A listing its final reply refuses may be cut short: none of it is kept.
                 .lines = {},
                 .shown = Join({kListOpen, {"LIST", kListReply, kFile, kDir, "",
                                            "451 Listing cut short."}}),
                 .titles = Titles(2, "LIST /pub/"),
                 .last_code = 451},
        ListCase{.name = "EmptyListing",
                 .commands = {"PASV", "TYPE A", "LIST"},
                 .shown = Join({kListOpen, {"LIST", kListReply, "", "226 Directory send OK."}})},
        // The rest is not read; the client closes the data connection before it awaits the
        // final reply, which this server sends only then.
        ListCase{.name = "ThirdLineBlankEndsIt",
                 .server = {.data = Crlf({kFile, kDir, "", kLink}), .keep_open = true},
                 .commands = {"PASV", "TYPE A", "LIST"},
                 .lines = {kFile, kDir},
                 .shown = Join({kListOpen, {"LIST", kListReply, kFile, kDir, "",
                                            "226 Directory send OK."}}),
                 .titles = Titles(2, "LIST /pub/")},
        ListCase{.name = "LineOfBlanksEndsIt",
                 .server = {.data = Crlf({kFile, "   ", kDir})},
                 .commands = {"PASV", "TYPE A", "LIST"},
                 .lines = {kFile},
                 .shown = Join({kListOpen, {"LIST", kListReply, kFile, "   ",
                                            "226 Directory send OK."}}),
                 .titles = Titles(1, "LIST /pub/")},
        // Only names holding "/" or "\" are dropped (a link's target does not count); the
        // colons of times and ":" "?" "*" in names pass. Dropped lines still count in the title.
        ListCase{.name = "FilterLooksAtTheEntryName",
                 .server = {.data = Crlf({kFile, kSlash, kLink, kBackslash, kDos, kDosDir})},
                 .commands = {"PASV", "TYPE A", "LIST"},
                 // Every line is kept: which names may be acted on is the engine's choice.
                 .lines = {kFile, kSlash, kLink, kBackslash, kDos, kDosDir},
                 .shown = Join({kListOpen, {"LIST", kListReply, kFile, kSlash, kLink, kBackslash,
                                            kDos, kDosDir, "", "226 Directory send OK."}}),
                 .titles = Titles(6, "LIST /pub/")},
        ListCase{.name = "TotalFirstAndAFinalReply",
                 .server = {.data = Crlf({"total 8", kFile})},
                 .commands = {"PASV", "TYPE A", "LIST"},
                 .lines = {"total 8", kFile},
                 .shown = Join({kListOpen, {"LIST", kListReply, "total 8", kFile, "",
                                            "226 Directory send OK."}}),
                 .titles = Titles(2, "LIST /pub/")},
        // The short wait passes without a reply: no later transfer waits for one.
        ListCase{.name = "TotalFirstAndNoFinalReply",
                 .server = {.data = Crlf({"total 8", kFile}), .final_reply = std::nullopt},
                 .commands = {"PASV", "TYPE A", "LIST"},
                 .lines = {"total 8", kFile},
                 .shown = Join({kListOpen, {"LIST", kListReply, "total 8", kFile, "", ""}}),
                 .titles = Titles(2, "LIST /pub/"),
                 .no_status_line_after = kOn},
        ListCase{.name = "NoFinalReply",
                 .server = {.data = Crlf({kFile}), .final_reply = std::nullopt},
                 .commands = {"PASV", "TYPE A", "LIST"},
                 .lines = {kFile},
                 .shown = Join({kListOpen, {"LIST", kListReply, kFile, "", ""}}),
                 .titles = Titles(1, "LIST /pub/"),
                 .no_status_line_after = kOn},
        // The final reply the server sent is left unread, as the run has decided.
        ListCase{.name = "NoStatusLineAlreadySet",
                 .server = {.data = Crlf({kFile})},
                 .no_status_line = kOn,
                 .commands = {"PASV", "TYPE A", "LIST"},
                 .lines = {kFile},
                 .shown = Join({kListOpen, {"LIST", kListReply, kFile, ""}}),
                 .titles = Titles(1, "LIST /pub/"),
                 .no_status_line_after = kOn,
                 .in_step = false},
        // Any other key is ignored; Esc keeps what was stored and awaits no final reply.
        ListCase{.name = "EscMidListing",
                 .server = {.data = Crlf({kFile, kDir, kLink})},
                 .keys = {'x', kKeyEsc},
                 .commands = {"PASV", "TYPE A", "LIST"},
                 .lines = {kFile, kDir},
                 .shown = Join({kListOpen, {"LIST", kListReply, kFile, kDir}}),
                 .titles = Join({Titles(2, "LIST /pub/"), {"User abort - closing connection"}}),
                 .abort_after = kOn,
                 .in_step = false},
        // Nothing is read and no final reply awaited: the next command gets its own reply.
        ListCase{.name = "ListRefused",
                 .argument = "*.txt",
                 .server = {.list_reply = "550 No files found."},
                 .commands = {"PASV", "TYPE A", "LIST *.txt"},
                 .shown = Join({kListOpen, {"LIST *.txt", "550 No files found."}}),
                 .last_code = 550},
        ListCase{.name = "NoDataConnection",
                 .server = {.pasv_reply = "425 Cannot open data connection."},
                 .commands = {"PASV"},
                 .shown = {"PASV", "425 Cannot open data connection.",
                           "09:05:03 425 Cannot open data connection.",
                           "09:05:03 * Error: Unable to get passive connection."},
                 .last_code = 425}),
    [](const ::testing::TestParamInfo<ListCase>& info) { return info.param.name; });

// The last reply is printed in every mode, the verbose line only in verbose mode.
TEST_F(ListingTest, NoDataConnectionQuietly) {
  OpenControl(Session({}, {}, Serve({.pasv_reply = "421 Timeout."})));
  std::vector<std::string> lines;
  EXPECT_EQ(ftpList(session, "/", "", lines), 0);
  EXPECT_THAT(console.lines, ElementsAre("09:05:03 421 Timeout."));
  EXPECT_THAT(ServerCommands(), ElementsAre("PASV"));
}

TEST_F(ListingTest, NoDataConnectionFromAServerThatHasGone) {
  OpenControl(Session({testing::Hangup()}));
  options.VerboseLevel = -1;
  std::vector<std::string> lines;
  EXPECT_EQ(ftpList(session, "/", "", lines), 0);
  EXPECT_THAT(console.lines, ElementsAre("09:05:03 000 ",
                                         "09:05:03 * Error: Unable to get passive connection."));
}

TEST_F(ListingTest, AbortedRunListsNothing) {
  OpenControl(Session({}, {}, Serve({})));
  state.AbortFlag = kOn;
  std::vector<std::string> lines = {"left over"};
  std::vector<std::string> names = {"kept"};
  EXPECT_EQ(ftpList(session, "/", "", lines), 0);
  EXPECT_THAT(lines, IsEmpty());
  EXPECT_EQ(ftpListDirs(session, "/", names), 0);
  EXPECT_THAT(names, ElementsAre("kept"));
  EXPECT_THAT(ServerCommands(), IsEmpty());
  EXPECT_THAT(console.lines, IsEmpty());
}

// ---- ListDirectory ---------------------------------------------------------------------------

struct ListingOutcomeCase {
  const char* name;
  ListServer server;
  std::vector<std::string> lines;  // what may be acted on
  bool failed;
  bool refused;
  std::string reply;
  bool lost;  // and then no longer logged in
};

void PrintTo(const ListingOutcomeCase& c, std::ostream* os) { *os << c.name; }

class ListingOutcomeTest : public ListingTest,
                           public ::testing::WithParamInterface<ListingOutcomeCase> {};

// On a logged-in connection the listing tells whether it is whole, the reply that decided it,
// and whether the connection was lost on the way; the session records the same.
TEST_P(ListingOutcomeTest, TellsWhetherTheListingIsWhole) {
  const ListingOutcomeCase& c = GetParam();
  OpenControl(Session({}, {}, Serve(c.server)));
  session.ConnectedFlag = kOn;

  const ListingOutcome listing = ListDirectory(session, "/pub/", "");

  EXPECT_EQ(listing.lines, c.lines);
  EXPECT_EQ(listing.transfer.failed, c.failed);
  EXPECT_EQ(listing.transfer.refused, c.refused);
  EXPECT_EQ(listing.reply, c.reply);
  EXPECT_EQ(listing.lost, c.lost);
  EXPECT_EQ(listing.logged_in, !c.lost);
  EXPECT_EQ(session.LastTransfer.failed, c.failed);
  EXPECT_EQ(session.LastTransfer.reply, listing.transfer.reply);
  EXPECT_EQ(session.ReplyLine, c.reply);
  ServerCommands();
}

INSTANTIATE_TEST_SUITE_P(
    Listing, ListingOutcomeTest,
    ::testing::Values(
        ListingOutcomeCase{"Whole", {.data = Crlf({kFile, kDir})}, {kFile, kDir}, false, false,
                           "226 Directory send OK.", false},
        ListingOutcomeCase{"Refused", {.list_reply = "550 Permission denied."}, {}, true, true,
                           "550 Permission denied.", false},
        ListingOutcomeCase{"RefusedByAClosingServer", {.list_reply = "421 Timeout."}, {}, true,
                           true, "421 Timeout.", true},
        // What came of a cut listing is not the whole directory: none of it is told.
        ListingOutcomeCase{"Cut",
                           {.data = Crlf({kFile}), .final_reply = "426 Transfer aborted."},
                           {}, true, false, "426 Transfer aborted.", false},
        ListingOutcomeCase{"CutByAClosingServer",
                           {.data = Crlf({kFile}), .final_reply = "421 Timeout."},
                           {}, true, false, "421 Timeout.", true},
        ListingOutcomeCase{"NoFinalReply",
                           {.data = Crlf({kFile}), .final_reply = std::nullopt},
                           {}, true, false, "000 Connection lost", true}),
    [](const ::testing::TestParamInfo<ListingOutcomeCase>& info) { return info.param.name; });

// ---- ftpListDirs -----------------------------------------------------------------------------

TEST_F(ListingTest, ListDirsKeepsTheRawLinesOfDirectories) {
  const std::string rejected = "drwxr-xr-x no date in this line";
  OpenControl(
      Session({}, {}, Serve({.data = Crlf({"total 5", kFile, kDir, rejected, kDosDir, kDos})})));
  std::vector<std::string> names = {"left over"};
  EXPECT_EQ(ftpListDirs(session, "/pub/", names), 2);
  EXPECT_THAT(names, ElementsAre(kDir, kDosDir));
  EXPECT_EQ(console.titles, Titles(6, "LIST /pub/"));
  EXPECT_THAT(ServerCommands(), ElementsAre("PASV", "TYPE A", "LIST"));
}

// A listing of ten lines, one every 100 ms on the fake clock: the status line shows its count
// from half a second on, at most ten times a second, and is erased when the listing ends.
class TranscriptTest : public FtpFixture {
 protected:
  // A session's +V transcript from the greeting to QUIT (a USER the server leaves unanswered
  // and a listing on the way), with the port of each passive reply left out.
  std::vector<std::string> Transcript(int number) {
    server.AddSession(Session({testing::ReplyLines({"220-Welcome", "220 Ready"})},
                              {testing::Silence(), testing::Reply("331 Password required"),
                               testing::Reply("230 Logged in")},
                              Serve({.data = Crlf({kFile, kDir})})));
    console.lines.clear();
    options.VerboseLevel = 1;
    env.status_line_wait_ms = 100;
    koru::Session numbered(env, options, state);
    numbered.number = number;
    EXPECT_GE(ftpConnect(numbered, server.address(), "bob", "secret"), 1);
    std::vector<std::string> lines;
    EXPECT_EQ(ftpList(numbered, "/pub/", "", lines), 2);
    ftpQuit(numbered);
    std::vector<std::string> shown = console.lines;
    const std::regex port(R"(\(127,0,0,1,\d+,\d+\))");
    for (std::string& line : shown) line = std::regex_replace(line, port, "(port)");
    return shown;
  }
};

// Without a number every line is as it always was; with one, each line carries it: before the
// text, or after the time of a line that begins with one.
TEST_F(TranscriptTest, ANumberedSessionTagsEveryLineOfItsTranscript) {
  const std::vector<std::string> plain = {
      "220-Welcome",
      "220 Ready",
      "USER bob",
      "",  // the empty reply of the silence
      "09:05:03 * Server did not respond, sending USER again.",
      "USER bob",
      "331 Password required",
      "PASS secret",
      "230 Logged in",
      "PASV",
      "227 Entering Passive Mode (port)",
      "TYPE A",
      "200 Switching to ASCII mode.",
      "LIST",
      "150 Here comes the directory listing.",
      kFile,
      kDir,
      "",
      "226 Directory send OK.",
      "QUIT",
      "221 Goodbye.",
  };
  EXPECT_EQ(Transcript(0), plain);

  std::vector<std::string> tagged;
  for (const std::string& line : plain) {
    if (line.starts_with("09:05:03 ")) {
      tagged.push_back("09:05:03 [2] " + line.substr(9));
    } else {
      tagged.push_back(line.empty() ? "[2]" : "[2] " + line);
    }
  }
  const std::vector<std::string> second = Transcript(2);
  EXPECT_EQ(second, tagged);
  EXPECT_THAT(second, ::testing::Contains("[2] USER bob"));
  EXPECT_THAT(second, ::testing::Contains("[2] 331 Password required"));
  ServerCommands();
}

TEST(ListingStatusTest, ALongListingShowsItsCountAfterHalfASecond) {
  testing::RecordingConsole console;
  console.status_line = true;
  testing::FakeClock clock;
  testing::MemoryTransport transport(clock);
  transport.Expect().Send(
      "227 Entering Passive Mode (127,0,0,1,4,1).\r\n200 ASCII.\r\n150 Here it comes.\r\n"
      "226 Done.\r\n");
  testing::MemoryPeer& data = transport.Expect();
  for (int i = 0; i < 10; ++i) data.Send(kFile + std::to_string(i) + "\r\n").Silence(100);
  data.Close();
  Options options;
  RunSettings state;
  Env env(console, clock, transport);
  koru::Session session(env, options, state);
  ASSERT_TRUE(session.channels.Open(1, "127.0.0.1", 21, 10000));
  session.h = 1;
  std::vector<std::string> lines;

  EXPECT_EQ(ftpList(session, "/pub/", "*.txt", lines), 10);

  EXPECT_THAT(console.statuses,
              ElementsAre("listing /pub/*.txt: 6 lines", "listing /pub/*.txt: 7 lines",
                          "listing /pub/*.txt: 8 lines", "listing /pub/*.txt: 9 lines",
                          "listing /pub/*.txt: 10 lines"));
  EXPECT_FALSE(console.status_shown);
}

}  // namespace
}  // namespace koru
