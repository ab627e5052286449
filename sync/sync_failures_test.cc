// Whole runs (KoruMain in this process) against an in-memory site that fails, on the in-memory
// disk and the fake clock: what -M leaves on the server, which downloads count as failed and
// how often a file is tried, and how long a run is held by a connection that has gone dead,
// falls silent or answers late (time passes on the fake clock only, by the time-outs). A
// scenario about results runs over one connection, with -P1 and with -P4: the transcripts, the
// order of the lines and the times are those of one connection; every mode makes the same
// local files, warning, error and total lines, totals and exit code.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "app/startup.h"
#include "tests/fake_ftp_tree.h"
#include "tests/memory_mirror.h"

namespace koru {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::FakeFile;
using testing::MemorySession;
using testing::Verb;

using Lines = std::vector<std::string>;

Lines Cat(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}
const Lines kLogin = {"USER anonymous", "PASS guest"};
const Lines kQuit = {"QUIT"};
Lines ListDir(const std::string& dir) { return {"CWD " + dir, "PASV", "TYPE A", "LIST"}; }
Lines Retr(const std::string& path) { return {"PASV", "TYPE I", "RETR " + path}; }

// A console line with the time of the fake clock.
std::string T(const std::string& text) { return "09:05:03" + text; }

int Count(const Lines& lines, const std::string& line) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

// A listing line as the in-memory tree writes it, dated 5 March 2001.
std::string FileLine(const std::string& name, size_t size) {
  const std::string digits = std::to_string(size);
  return "-rw-r--r--   1 owner    group    " + std::string(8 - digits.size(), ' ') + digits +
         " Mar  5  2001 " + name;
}

// `size` bytes that tell one file from another.
std::string Bytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 23);
  return bytes;
}

std::string Opening(const std::string& path, int64_t announced) {
  return "150 Opening BINARY mode data connection for " + path + " (" + std::to_string(announced) +
         " bytes).";
}

// The title shows a download on its way: its progress, or over several connections the run's
// downloads in flight.
bool Downloading(const testing::RecordingConsole& c) {
  if (c.titles.empty()) return false;
  const std::string& title = c.titles.back();
  return title.find("% Received") != std::string::npos ||
         title.find(" 1 in flight") != std::string::npos;
}

using testing::Mode;
using testing::ModeName;

const auto kModes = ::testing::Values(Mode::kOneConnection, Mode::kP1, Mode::kP4);

class SyncFailuresTest : public ::testing::Test {
 protected:
  SyncFailuresTest() {
    m.env.channel_timeout_ms = 300;
    // The command sequences here are those of dates from the listing alone.
    m.options.ListingDatesOnly = kOn;
    // The times these tests bound are the time-outs': the round trips cost next to nothing.
    m.server.SetRoundTrip(1);
  }

  ~SyncFailuresTest() override {
    EXPECT_EQ(m.server.counts().stalled_waits, 0) << "a wait that nothing ended";
  }

  bool OneConnection() const { return mode_ == Mode::kOneConnection; }

  // Runs "koru anonymous:guest@SERVER<path> <switches> -L" in the local directory, with -P1 or
  // -P4 as the mode asks, timing it on the clock. The command sequences here are those of
  // dates from the listing alone.
  int Run(const std::string& path, const std::string& switches = "") {
    const std::string parallel = mode_ == Mode::kP1   ? " -P1"
                                 : mode_ == Mode::kP4 ? " -P4"
                                                      : "";
    const int64_t start = m.clock.MonotonicMs();
    const int exit_code =
        KoruMain(m.env, m.totals,
                 std::string("anonymous:guest@") + testing::kMirrorServer + path + " " +
                     switches + parallel + " -L",
                 testing::kMirrorDir);
    elapsed_ms = m.clock.MonotonicMs() - start;
    return exit_code;
  }

  // The console after the banner and the four start lines.
  Lines Output() const {
    const Lines& lines = m.console.lines;
    return lines.size() < 5 ? Lines{} : Lines(lines.begin() + 5, lines.end());
  }
  // The output of the run over one connection, whole; over several, the same lines but for
  // the order and those testing::ComparedAcrossModes() leaves out.
  void ExpectOutput(const Lines& expected) const {
    if (OneConnection()) {
      EXPECT_EQ(Output(), expected);
    } else {
      Lines all = Output();
      all.insert(all.end(), m.console.error_lines.begin(), m.console.error_lines.end());
      EXPECT_EQ(testing::ComparedAcrossModes(all), testing::ComparedAcrossModes(expected));
    }
  }
  Lines Commands() const { return m.AllCommands(); }
  void ExpectCommands(const Lines& expected) const {
    if (OneConnection()) {
      EXPECT_EQ(Commands(), expected);
    }
  }
  std::string Local(const std::string& name) const {
    return m.disk.Content(testing::kMirrorDir + name).value_or("<no file>");
  }
  // The names in the local directory, sorted.
  Lines LocalNames() const {
    const std::string dir = testing::kMirrorDir;
    Lines names;
    for (const std::string& path : m.disk.Paths()) {
      if (path.size() > dir.size() && path.starts_with(dir) &&
          path.find('/', dir.size()) == std::string::npos) {
        names.push_back(path.substr(dir.size()));
      }
    }
    return names;
  }
  testing::MemoryFtpServer& site() { return m.server; }

  testing::MemoryMirror m;
  Mode mode_ = Mode::kOneConnection;
  int64_t elapsed_ms = 0;  // of the latest run, on the clock
};

class SyncFailuresModesTest : public SyncFailuresTest, public ::testing::WithParamInterface<Mode> {
 protected:
  SyncFailuresModesTest() { mode_ = GetParam(); }
};


// ---- -M keeps what it did not get whole ------------------------------------------------------

struct MoveCase {
  const char* name;
  int64_t listed;     // the size in the listing
  int64_t announced;  // the size in the 150 reply
  size_t sent;        // bytes sent before the server waits for the client to close
  const char* final_reply;
  bool deleted;
};

void PrintTo(const MoveCase& c, std::ostream* os) { *os << c.name; }

class MoveTest : public SyncFailuresTest,
                 public ::testing::WithParamInterface<std::tuple<MoveCase, Mode>> {
 protected:
  MoveTest() { mode_ = std::get<1>(GetParam()); }
};

// The server holds 12 bytes. It sends what the row says, then waits for the client to close
// the data connection and gives its final reply: a file that grew after it was listed is cut
// at the listed size (426: the client left before the rest), and a 150 reply may announce
// fewer bytes than the file has. Only a transfer the server confirmed and that holds every
// listed byte lets -M delete the file.
TEST_P(MoveTest, DeletesOnlyAConfirmedTransferOfTheListedSize) {
  const MoveCase& c = std::get<0>(GetParam());
  const std::string content = Bytes(12);
  site().AddFile("/pub/a.bin", FakeFile{.content = content, .listed_size = c.listed});
  site().Intercept([&c, &content](const std::string& command, MemorySession& s) {
    if (command != "RETR /pub/a.bin") return false;
    s.Reply(Opening("a.bin", c.announced));
    s.SendData(content.substr(0, c.sent));
    s.ReplyWhenDataClosed(c.final_reply);
    return true;
  });

  EXPECT_EQ(Run("/pub/", "-M"), 0);

  const std::string got = T(" " + std::to_string(c.listed) + " 2001-03-05 /pub/a.bin");
  const Lines done = c.deleted
                         ? Lines{T(" * Removed remote file /pub/a.bin")}
                         : Lines{T(" * Remote file was not erased as requested by move option "
                                   "switch.")};
  ExpectOutput(Cat({{T(" * Found 1 file in /pub/"), got}, done, {T(" 1 file transferred.")}}));
  const Lines commands = Commands();
  EXPECT_EQ(Count(commands, "RETR /pub/a.bin"), 1);
  EXPECT_EQ(Count(commands, "DELE /pub/a.bin"), c.deleted ? 1 : 0);
  EXPECT_EQ(site().HasFile("/pub/a.bin"), !c.deleted);
  EXPECT_EQ(Local("a.bin"), content.substr(0, c.sent));
}

INSTANTIATE_TEST_SUITE_P(
    SyncFailures, MoveTest,
    ::testing::Combine(
        ::testing::Values(
            MoveCase{"WholeAndConfirmed", 12, 12, 12, "226 Transfer complete.", true},
            MoveCase{"GrewAfterListing", 5, 12, 5, "426 Failure writing network stream.", false},
            // The server confirms what it sent, but its 150 reply showed the file larger than
            // listed: the part fetched now is not the whole file.
            MoveCase{"GrewAfterListingConfirmed", 5, 12, 5, "226 Transfer complete.", false},
            MoveCase{"AnnouncedFewerBytesThanListed", 12, 5, 5, "226 Transfer complete.",
                     false}),
        kModes),
    [](const ::testing::TestParamInfo<MoveTest::ParamType>& info) {
      return std::string(std::get<0>(info.param).name) + "_" +
             ModeName(std::get<1>(info.param));
    });

// A server that never sends a final reply (the first listing begins with "total " and the
// short wait passes): every listing is used as it came, files from the second one too, and
// -M deletes nothing, since no transfer was confirmed.
TEST_P(SyncFailuresModesTest, WithoutFinalRepliesListingsAreUsedAndMoveDeletesNothing) {
  m.env.status_line_wait_ms = 100;
  site().AddDirectory("/pub");
  std::map<std::string, std::string> files = {{"a.txt", "aaaaa"}};
  int listings = 0;
  site().Intercept([&](const std::string& command, MemorySession& s) {
    const std::string verb = Verb(command);
    std::string data;
    std::string opening;
    if (verb == "LIST") {
      if (++listings == 2) files["b.txt"] = "bbbbbbb";
      data = "total " + std::to_string(files.size()) + "\r\n";
      for (const auto& [name, content] : files) data += FileLine(name, content.size()) + "\r\n";
      opening = "150 Here comes the directory listing.";
    } else if (verb == "RETR") {
      const std::string name = testing::Argument(command).substr(5);  // after "/pub/"
      data = files.at(name);
      opening = Opening(name, static_cast<int64_t>(data.size()));
    } else {
      return false;
    }
    s.SendData(data);
    s.CloseData();
    s.Reply(opening);  // and nothing more
    s.FallSilent();
    return true;
  });

  EXPECT_EQ(Run("/pub/", "-M"), 0);

  const std::string kept = T(" * Remote file was not erased as requested by move option switch.");
  // The "total" line is no file.
  ExpectOutput({T(" * Found 1 file in /pub/"), T(" 5 2001-03-05 /pub/a.txt"), kept,
                T(" 7 2001-03-05 /pub/b.txt"), kept, T(" 2 files transferred.")});
  ExpectCommands(Cat({kLogin, ListDir("/pub"), Retr("/pub/a.txt"), ListDir("/pub"),
                      Retr("/pub/b.txt"), ListDir("/pub"), kQuit}));
  EXPECT_EQ(Local("a.txt"), "aaaaa");
  EXPECT_EQ(Local("b.txt"), "bbbbbbb");
}

// ---- Failed downloads: counted, tried at most three times ----------------------------------

// A file the server always refuses while every pass brings a new file, so that passes go on:
// the refused file is asked for in three passes, not in every one, each refusal is reported,
// and the run ends with it counted as failed.
TEST_P(SyncFailuresModesTest, RefusedFileIsTriedThreeTimesAndCountedOnce) {
  site().AddFile("/pub/bad.bin", "never sent");
  int listings = 0;
  site().Intercept([&](const std::string& command, MemorySession& s) {
    if (Verb(command) == "LIST" && ++listings <= 4) {
      s.AddFile("/pub/new" + std::to_string(listings) + ".txt",
                "new" + std::to_string(listings));
    }
    if (command != "RETR /pub/bad.bin") return false;
    s.Reply("550 Permission denied.");
    return true;
  });

  EXPECT_EQ(Run("/pub/"), 1);

  const Lines refused = {T(" 10 2001-03-05 /pub/bad.bin"),
                         T(" * Warning: Unable to download /pub/bad.bin (550 Permission denied.)")};
  auto fresh = [&](int n) { return T(" 4 2001-03-05 /pub/new" + std::to_string(n) + ".txt"); };
  ExpectOutput(Cat({{T(" * Found 2 files in /pub/")},
                    refused,
                    {fresh(1)},
                    refused,
                    {fresh(2)},
                    refused,
                    {fresh(3), fresh(4)},
                    {T(" 4 files transferred."), T(" 1 file failed.")}}));
  EXPECT_EQ(Count(Commands(), "RETR /pub/bad.bin"), 3);
  EXPECT_EQ(listings, 5);
  EXPECT_EQ(m.totals.FailedDownloads, (std::map<std::string, int32_t>{{"/pub/bad.bin", 3}}));
  EXPECT_EQ(Local("bad.bin"), "<no file>");
}

struct CutCase {
  const char* name;
  int key;            // pressed once the download is on its way
  bool server_waits;  // for the client to close before it closes and replies
  const char* final_reply;
  Lines tail;  // after the size warning
  int exit_code;
  // Over several connections the key is read by the run's own thread, at a moment of its own,
  // while the in-memory server's silences pass at once: a key that must land inside one
  // transfer is tried over one connection only (a real server's slow transfer shows -P's).
  bool one_connection_only = false;
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

class CutDownloadTest : public SyncFailuresTest,
                        public ::testing::WithParamInterface<std::tuple<CutCase, Mode>> {
 protected:
  CutDownloadTest() { mode_ = std::get<1>(GetParam()); }
};

// The same 1,000 of 3,000 bytes arrive either way: cut short by Tab, the user's choice, the
// file is not counted as failed and the run ends as it would have; cut short by the server,
// it is.
TEST_P(CutDownloadTest, OnlyACutTheUserDidNotAskForFailsTheRun) {
  const CutCase& c = std::get<0>(GetParam());
  if (c.one_connection_only && !OneConnection()) GTEST_SKIP() << "the key's moment is -P's own";
  const std::string content = Bytes(3000);
  site().AddFile("/pub/a.bin", content);
  site().Intercept([&c, &content](const std::string& command, MemorySession& s) {
    if (command != "RETR /pub/a.bin") return false;
    s.Reply(Opening("a.bin", 3000));
    s.SendData(content.substr(0, 1000));
    if (c.server_waits) {
      s.ReplyWhenDataClosed(c.final_reply);
    } else {
      s.CloseData();
      s.Reply(c.final_reply);
    }
    return true;
  });
  if (c.key != kNoKey) {
    m.console.key = c.key;
    m.console.key_when = Downloading;
  }

  EXPECT_EQ(Run("/pub/"), c.exit_code);

  ExpectOutput(Cat({{T(" * Found 1 file in /pub/"), T(" 3000 2001-03-05 /pub/a.bin"),
                     T(" * Warning: Local file size does not match remote (1000/3000)")},
                    c.tail}));
  ExpectCommands(Cat({kLogin, ListDir("/pub"), Retr("/pub/a.bin"), kQuit}));
  EXPECT_EQ(Local("a.bin"), content.substr(0, 1000));
}

INSTANTIATE_TEST_SUITE_P(
    SyncFailures, CutDownloadTest,
    ::testing::Combine(::testing::Values(
                           CutCase{"TabByTheUser",
                                   kKeyTab,
                                   true,
                                   "426 Transfer aborted.",
                                   {T(" * No more files to transfer.")},
                                   0,
                                   /*one_connection_only=*/true},
                                         CutCase{"ShortTransferByTheServer",
                                                 kNoKey,
                                                 false,
                                                 "226 Transfer complete.",
                                                 {T(" * No more files to transfer."),
                                                  T(" 1 file failed.")},
                                                 1}),
                       kModes),
    [](const ::testing::TestParamInfo<CutDownloadTest::ParamType>& info) {
      return std::string(std::get<0>(info.param).name) + "_" +
             ModeName(std::get<1>(info.param));
    });

// ---- Cut listings ----------------------------------------------------------------------------

// Every listing of /pub/ breaks off in the middle of a directory name and the server answers
// 426. Under -S nothing of it is used: no local directory from the cut name, no directory
// entered, no file fetched; each listing is reported and the run fails.
TEST_P(SyncFailuresModesTest, CutListingIsNotUsedUnderRecursion) {
  site().AddFile("/pub/a.txt", "aaaaa");
  site().AddFile("/pub/longdirname/x.txt", "xxxxx");
  site().Intercept([](const std::string& command, MemorySession& s) {
    if (Verb(command) != "LIST") return false;
    const std::string whole = FileLine("a.txt", 5) + "\r\n" +
                              "drwxr-xr-x   2 owner    group         512 Mar  5  2001 longdirname";
    s.SendData(whole.substr(0, whole.size() - 7));  // "...2001 long"
    s.CloseData();
    s.Reply("150 Here comes the directory listing.");
    s.Reply("426 Connection closed; transfer aborted.");
    return true;
  });

  EXPECT_EQ(Run("/pub/", "-S"), 1);

  const std::string cut =
      T(" * Warning: Unable to list remote directory /pub/ (426 Connection closed; transfer "
        "aborted.)");
  ExpectOutput({cut, cut, T(" * No more files to transfer."), T(" 1 directory failed.")});
  ExpectCommands(Cat({kLogin, ListDir("/pub"), kQuit, kLogin, ListDir("/pub"), kQuit}));
  EXPECT_THAT(LocalNames(), ElementsAre());
  EXPECT_EQ(m.totals.SubDirsCreated, 0);
}

// ---- A connection that dies, falls silent or answers late ----------------------------------

// Answers the first RETR of `path` with its 150 and the first `sent` bytes of `content`, then
// sends and answers nothing more on that connection, which stays open; the server still takes
// new connections.
testing::MemoryFtpServer::Script StallFirstRetrieve(const std::string& path,
                                                    const std::string& content, size_t sent) {
  auto stalled = std::make_shared<bool>(false);
  return [=](const std::string& command, MemorySession& s) {
    if (*stalled || command != "RETR " + path) return false;
    *stalled = true;
    s.Reply(Opening(path, static_cast<int64_t>(content.size())));
    s.SendData(content.substr(0, sent));
    s.FallSilent();
    return true;
  };
}

// The first of three files stalls half-way. The connection is given up after one channel
// time-out for the data and the short wait for a final reply, said once with the whole
// silence; the first file is fetched again at once through a new connection, and the other two
// follow. Three time-outs (the data, the final reply, the QUIT) or even two would break the
// bound.
TEST_P(SyncFailuresModesTest, StalledFileCostsOneTimeOutAndTheRestComesThroughANewConnection) {
  constexpr int kTimeoutMs = 2000;
  m.env.channel_timeout_ms = kTimeoutMs;
  m.env.stalled_reply_wait_ms = 100;
  const std::string first = Bytes(3000);
  site().AddFile("/pub/a.bin", first);
  site().AddFile("/pub/b.txt", "bbbbb");
  site().AddFile("/pub/c.txt", "ccccc");
  site().Intercept(StallFirstRetrieve("/pub/a.bin", first, 1000));

  EXPECT_EQ(Run("/pub/"), 0);

  if (OneConnection()) {

    EXPECT_LT(elapsed_ms, kTimeoutMs + 100 + 1500);

  }
  const std::string get_a = T(" 3000 2001-03-05 /pub/a.bin");
  ExpectOutput({T(" * Found 3 files in /pub/"), get_a,
                T(" * Warning: Connection lost (no reply in 2100 ms)"),
                T(" * Warning: Local file size does not match remote (1000/3000)"), get_a,
                T(" 5 2001-03-05 /pub/b.txt"), T(" 5 2001-03-05 /pub/c.txt"),
                T(" 3 files transferred.")});
  ExpectCommands(Cat({kLogin, ListDir("/pub"), Retr("/pub/a.bin"), kLogin, Retr("/pub/a.bin"),
                      Retr("/pub/b.txt"), Retr("/pub/c.txt"), ListDir("/pub"), kQuit}));
  EXPECT_EQ(Local("a.bin"), first);
  EXPECT_EQ(Local("b.txt"), "bbbbb");
  EXPECT_EQ(Local("c.txt"), "ccccc");
  EXPECT_TRUE(m.totals.FailedDownloads.empty());
}

// The same stall during -S with twenty files after it in a sub-directory: one time-out for the
// directory, not one for each file left, and one new connection for all of them.
TEST_P(SyncFailuresModesTest, StallUnderRecursionCostsOneTimeOutNotOnePerFileLeft) {
  constexpr int kTimeoutMs = 500;
  m.env.channel_timeout_ms = kTimeoutMs;
  m.env.stalled_reply_wait_ms = 100;
  const std::string first = Bytes(3000);
  site().AddFile("/pub/d/f00.bin", first);
  for (int i = 1; i <= 20; ++i) {
    site().AddFile("/pub/d/f" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".txt",
                   "file " + std::to_string(i));
  }
  site().AddFile("/pub/top.txt", "top");
  site().Intercept(StallFirstRetrieve("/pub/d/f00.bin", first, 1000));

  EXPECT_EQ(Run("/pub/", "-S"), 0);

  if (OneConnection()) {

    EXPECT_LT(elapsed_ms, 4 * kTimeoutMs);

  }
  Lines output = Output();
  output.insert(output.end(), m.console.error_lines.begin(), m.console.error_lines.end());
  EXPECT_EQ(Count(output, T(" * Warning: Connection lost (no reply in 600 ms)")), 1);
  EXPECT_THAT(output, Not(Contains(HasSubstr("Unable to"))));
  EXPECT_THAT(output, Contains(T(" 22 files transferred.")));
  EXPECT_THAT(output, Not(Contains(HasSubstr("failed"))));
  const Lines commands = Commands();
  EXPECT_EQ(Count(commands, "RETR /pub/d/f00.bin"), 2);
  EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                          [](const std::string& c) { return c.starts_with("RETR "); }),
            23);
  // The directory phases of /pub/ and /pub/d/, the file phase of /pub/d/ and the one that
  // takes its place, the file phase of /pub/.
  if (OneConnection()) {
    EXPECT_EQ(site().counts().sessions, 5);
  }
  EXPECT_EQ(Local("d/f00.bin"), first);
  for (int i = 1; i <= 20; ++i) {
    const std::string name = "f" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".txt";
    EXPECT_EQ(Local("d/" + name), "file " + std::to_string(i)) << name;
  }
  EXPECT_EQ(Local("top.txt"), "top");
}

// The final reply of the first file comes after the channel time-out, while the server still
// serves that connection. The connection is given up, so the late 226 is never read as the
// reply to a later command: the next files come through a new connection and none is taken
// for refused. Every byte of the first file had come, so all three count and the run succeeds.
TEST_P(SyncFailuresModesTest, LateFinalReplyIsNeverReadAsTheReplyToALaterCommand) {
  constexpr int kTimeoutMs = 500;
  m.env.channel_timeout_ms = kTimeoutMs;
  const std::string first = Bytes(3000);
  site().AddFile("/pub/a.bin", first);
  site().AddFile("/pub/b.txt", "bbbbb");
  site().AddFile("/pub/c.txt", "ccccc");
  bool late = false;
  site().Intercept([&](const std::string& command, MemorySession& s) {
    if (late || command != "RETR /pub/a.bin") return false;
    late = true;
    s.Reply(Opening("a.bin", 3000));
    s.SendData(first);
    s.CloseData();
    // Past the client's wait.
    s.ReplyAfter(kTimeoutMs + kTimeoutMs / 2, "226 Transfer complete.");
    return true;
  });

  EXPECT_EQ(Run("/pub/"), 0);

  ExpectOutput({T(" * Found 3 files in /pub/"), T(" 3000 2001-03-05 /pub/a.bin"),
                T(" * Warning: Connection lost (no reply in 500 ms)"),
                T(" 5 2001-03-05 /pub/b.txt"), T(" 5 2001-03-05 /pub/c.txt"),
                T(" 3 files transferred.")});
  ExpectCommands(Cat({kLogin, ListDir("/pub"), Retr("/pub/a.bin"), kLogin, Retr("/pub/b.txt"),
                      Retr("/pub/c.txt"), ListDir("/pub"), kQuit}));
  EXPECT_EQ(Local("a.bin"), first);
  EXPECT_EQ(Local("b.txt"), "bbbbb");
  EXPECT_EQ(Local("c.txt"), "ccccc");
}

// Esc in the middle of a download from a server that then answers nothing, QUIT included,
// with a channel time-out of 20 s: the run still ends within two seconds, as a user abort.
TEST_F(SyncFailuresTest, EscEndsTheRunPromptlyWhateverTheServerDoes) {
  m.env.channel_timeout_ms = 20000;
  const std::string first = Bytes(3000);
  site().AddFile("/pub/a.bin", first);
  site().AddFile("/pub/b.txt", "bbbbb");
  site().Intercept([stall = StallFirstRetrieve("/pub/a.bin", first, 1000)](
                       const std::string& command, MemorySession& s) {
    if (Verb(command) != "QUIT") return stall(command, s);
    s.FallSilent();  // QUIT is never answered
    return true;
  });
  m.console.key = kKeyEsc;
  m.console.key_when = Downloading;

  EXPECT_EQ(Run("/pub/"), 1);

  EXPECT_LT(elapsed_ms, 2000);
  EXPECT_EQ(Output(), (Lines{T(" * Found 2 files in /pub/"), T(" 3000 2001-03-05 /pub/a.bin"),
                             T(" * Warning: Local file size does not match remote (1000/3000)"),
                             T(" ** User Abort **"), T(" * No more files to transfer.")}));
  EXPECT_EQ(m.server.counts().open_sessions, 0) << "every connection is closed";
  EXPECT_EQ(Local("b.txt"), "<no file>");
}

// Under -S a connection lost while a sub-directory is entered or listed, in its directory
// phase or its file phase, costs that directory a new connection, not its place in the run.
class LostDirectoryTest : public SyncFailuresTest,
                          public ::testing::WithParamInterface<std::tuple<const char*, Mode>> {
 protected:
  LostDirectoryTest() { mode_ = std::get<1>(GetParam()); }
};

TEST_P(LostDirectoryTest, DirectoryCutByALostConnectionIsTriedAgain) {
  const std::string cut = std::get<0>(GetParam());
  site().AddFile("/pub/d/f.txt", "fff");
  site().AddFile("/pub/top.txt", "top");
  // The second time the command comes: in the file phase of /pub/d/ for CWD, in the directory
  // phase of /pub/d/ for LIST.
  int seen = 0;
  site().Intercept([&seen, cut](const std::string& command, MemorySession& s) {
    if (command != cut || ++seen != 2) return false;
    s.Close();
    return true;
  });

  EXPECT_EQ(Run("/pub/", "-S"), 0);

  Lines output = Output();
  output.insert(output.end(), m.console.error_lines.begin(), m.console.error_lines.end());
  EXPECT_EQ(Count(output, T(" * Warning: Connection lost (closed by the server)")), 1);
  EXPECT_THAT(output, Not(Contains(HasSubstr("failed")))) << ::testing::PrintToString(output);
  EXPECT_EQ(Local("d/f.txt"), "fff");
  EXPECT_EQ(Local("top.txt"), "top");
}

INSTANTIATE_TEST_SUITE_P(Engine, LostDirectoryTest,
                         ::testing::Combine(::testing::Values("CWD /pub/d", "LIST"), kModes),
                         [](const ::testing::TestParamInfo<LostDirectoryTest::ParamType>& info) {
                           return std::string(std::string(std::get<0>(info.param)) == "LIST"
                                                  ? "List"
                                                  : "ChangeDirectory") +
                                  "_" + ModeName(std::get<1>(info.param));
                         });

// A passive port that never answers (a firewall that drops it) costs the file one channel
// time-out, not the system's minutes; the file comes in the next pass.
TEST_P(SyncFailuresModesTest, PassivePortWithoutAnswerCostsOneTimeOut) {
  site().AddFile("/pub/a.bin", Bytes(100));
  site().AddFile("/pub/b.txt", "bbbbb");
  auto to_silent_port = std::make_shared<std::string>();
  // The second PASV of the run over one connection is the first for a.bin; over several,
  // the PASV that follows the listing's.
  int pasv = 0;
  site().Intercept([&pasv, to_silent_port](const std::string& command, MemorySession& s) {
    if (command != "PASV" || ++pasv != 2) return false;
    *to_silent_port = s.PassiveToNowhere();
    s.Reply(*to_silent_port);
    return true;
  });

  EXPECT_EQ(Run("/pub/"), 0);

  if (OneConnection()) {

    EXPECT_LT(elapsed_ms, 5000);

  }
  const Lines expected = {T(" * Found 2 files in /pub/"), T(" 100 2001-03-05 /pub/a.bin"),
                          T(" " + *to_silent_port), T(" 5 2001-03-05 /pub/b.txt"),
                          T(" 100 2001-03-05 /pub/a.bin"), T(" 2 files transferred.")};
  if (mode_ != Mode::kP4) {
    ExpectOutput(expected);
  } else {
    // With both downloads under way at once, the second PASV may be b.txt's: which file
    // comes twice depends on the order.
    auto without_downloads = [](const Lines& lines) {
      Lines kept;
      for (const std::string& line : testing::ComparedAcrossModes(lines)) {
        if (line.find(" 2001-03-05 /pub/") == std::string::npos) kept.push_back(line);
      }
      return kept;
    };
    EXPECT_EQ(without_downloads(Output()), without_downloads(expected));
  }
  EXPECT_EQ(Local("a.bin"), Bytes(100));
  EXPECT_EQ(Local("b.txt"), "bbbbb");
}

// Esc while a multi-line reply comes in stops the run like any other Esc: no command follows,
// so the rest of that reply is never read as the reply to a later one.
TEST_F(SyncFailuresTest, EscInsideAMultiLineReplyStopsTheRun) {
  site().AddFile("/pub/a.txt", "aaa");
  site().Intercept([](const std::string& command, MemorySession& s) {
    if (command != "CWD /pub") return false;
    s.Reply("250-Welcome to /pub");
    s.Reply("250-Please read the rules");
    s.Reply("250 Directory changed.");
    return true;
  });
  m.console.key = kKeyEsc;
  m.console.key_when = [](const testing::RecordingConsole& c) {
    return !c.titles.empty() && c.titles.back().ends_with("CD /pub/");
  };

  EXPECT_EQ(Run("/pub/"), 1);

  EXPECT_EQ(Output(), (Lines{T(" ** User Abort **"), T(" * No more files to transfer.")}));
  EXPECT_EQ(Commands(), Cat({kLogin, {"CWD /pub"}}));
  EXPECT_EQ(Local("a.txt"), "<no file>");
}

// ---- A server that says it is closing --------------------------------------------------------

// "421" closes the connection: it is dropped at once, and the refused file is fetched again
// over a new one instead of failing on a connection that is gone.
TEST_P(SyncFailuresModesTest, ServerClosingWith421IsLeftAndTheRunGoesOn) {
  site().AddFile("/pub/a.bin", Bytes(100));
  site().AddFile("/pub/b.bin", Bytes(200));
  auto first = std::make_shared<bool>(true);
  site().Intercept([first](const std::string& command, MemorySession& s) {
    if (!*first || command != "RETR /pub/a.bin") return false;
    *first = false;
    s.Reply("421 Timeout.");
    s.Close();
    return true;
  });

  EXPECT_EQ(Run("/pub/"), 0);

  ExpectOutput({T(" * Found 2 files in /pub/"), T(" 100 2001-03-05 /pub/a.bin"),
                T(" * Warning: Connection lost (closed by the server)"),
                T(" * Warning: Unable to download /pub/a.bin (421 Timeout.)"),
                T(" 100 2001-03-05 /pub/a.bin"), T(" 200 2001-03-05 /pub/b.bin"),
                T(" 2 files transferred.")});
  ExpectCommands(Cat({kLogin, ListDir("/pub"), Retr("/pub/a.bin"), kLogin, Retr("/pub/a.bin"),
                      Retr("/pub/b.bin"), ListDir("/pub"), kQuit}));
  EXPECT_EQ(Local("a.bin"), Bytes(100));
  EXPECT_EQ(Local("b.bin"), Bytes(200));
}

INSTANTIATE_TEST_SUITE_P(SyncFailures, SyncFailuresModesTest, kModes,
                         [](const ::testing::TestParamInfo<Mode>& info) {
                           return ModeName(info.param);
                         });

}  // namespace
}  // namespace koru
