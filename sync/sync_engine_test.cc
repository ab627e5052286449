// The engine against the in-memory FTP site, on the in-memory disk and the fake clock: whole
// command transcripts, whole console output and the local files, for the cases real servers
// cannot be made to produce. A scenario about results runs three ways: over one connection,
// with -P1 and with -P4. The transcripts, titles and the order of the lines are those of the
// run over one connection; every mode must make the same local files, the same warning and
// error lines, the same totals and the same exit code.
#include "sync/sync_engine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <ostream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "sync/sync_engine.h"
#include "tests/fake_ftp_tree.h"
#include "tests/local_dates.h"
#include "tests/memory_mirror.h"

namespace koru {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::Date;
using testing::FakeFile;
using testing::MemorySession;
using testing::Verb;

using Lines = std::vector<std::string>;

// The command transcript pieces of one connection.
Lines Cat(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}
const Lines kLogin = {"USER anonymous", "PASS guest@"};
const Lines kQuit = {"QUIT"};
Lines Cd(const std::string& dir) { return {"CWD " + dir}; }
Lines List(const std::string& argument = "") {
  return {"PASV", "TYPE A", argument.empty() ? "LIST" : "LIST " + argument};
}
Lines Retr(const std::string& path) { return {"PASV", "TYPE I", "RETR " + path}; }
Lines Dele(const std::string& path) { return {"DELE " + path}; }

// Listing lines as the in-memory tree writes them.
std::string ListingLine(const char* mode, int size, const std::string& name) {
  const std::string digits = std::to_string(size);
  return std::string(mode) + "   1 owner    group    " + std::string(8 - digits.size(), ' ') +
         digits + " Mar  5  2001 " + name;
}
std::string DirectoryLine(const std::string& name) {
  return ListingLine("drwxr-xr-x", 512, name);
}
std::string FileLine(const std::string& name, int size = 5) {
  return ListingLine("-rw-r--r--", size, name);
}

using testing::Mode;
using testing::ModeName;

const auto kModes = ::testing::Values(Mode::kOneConnection, Mode::kP1, Mode::kP4);

class SyncEngineTest : public ::testing::Test {
 protected:
  static constexpr char kTitle[] = "KORU 20080313";
  static constexpr const char* kServer = testing::kMirrorServer;

  SyncEngineTest() {
    m.env.channel_timeout_ms = 300;
    m.options.ProgramTitle = kTitle;
    // The command sequences here are those of dates from the listing alone.
    m.options.ListingDatesOnly = kOn;
  }

  ~SyncEngineTest() override {
    EXPECT_EQ(m.server.counts().stalled_waits, 0) << "a wait that nothing ended";
  }

  bool OneConnection() const { return mode_ == Mode::kOneConnection; }

  int32_t Sync(const std::string& remote_path, const std::string& mask = "") {
    const int connections = mode_ == Mode::kOneConnection ? 0 : mode_ == Mode::kP1 ? 1 : 4;
    return m.Run(connections, remote_path, mask);
  }
  int32_t SyncStepwise(const std::string& remote_path, const std::string& mask = "") {
    return m.RunStepwise(remote_path, mask);
  }
  Lines Commands() const { return m.AllCommands(); }

  // The transcript of the run over one connection; several connections have their own.
  void ExpectCommands(const Lines& expected) const {
    if (OneConnection()) {
      EXPECT_EQ(Commands(), expected);
    }
  }
  // The whole console of the run over one connection; over several, the same lines but for
  // the order and those testing::ComparedAcrossModes() leaves out.
  void ExpectLines(const Lines& expected) const {
    if (OneConnection()) {
      EXPECT_EQ(console().lines, expected);
    } else {
      EXPECT_EQ(testing::ComparedAcrossModes(AllLines()), testing::ComparedAcrossModes(expected));
    }
  }
  Lines AllLines() const {
    Lines all = console().lines;
    all.insert(all.end(), console().error_lines.begin(), console().error_lines.end());
    return all;
  }

  std::string LocalPath(const std::string& name) const { return local_ + name; }
  void WriteLocal(const std::string& name, const std::string& content) {
    m.disk.AddFile(LocalPath(name), content);
  }
  void DateLocal(const std::string& name, const SYSTEMTIME& date) {
    const int64_t seconds = testing::EpochOfLocal(date);
    ASSERT_EQ(m.disk.SetTimes(LocalPath(name), true, true, seconds), 0) << name;
  }
  std::string ReadLocal(const std::string& name) const {
    return m.disk.Content(LocalPath(name)).value_or("<no file>");
  }
  SYSTEMTIME LocalDate(const std::string& name) {
    return testing::LocalMinuteOf(m.disk.Stat(LocalPath(name)).modified_seconds);
  }
  // The names in the local directory (or one below it), sorted.
  Lines LocalNames(const std::string& sub = "") const {
    std::string dir = local_ + sub;
    if (dir.back() != '/') dir += '/';
    Lines names;
    for (const std::string& path : m.disk.Paths()) {
      if (path.size() > dir.size() && path.starts_with(dir) &&
          path.find('/', dir.size()) == std::string::npos) {
        names.push_back(path.substr(dir.size()));
      }
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string T(const std::string& text) const { return "09:05:03" + text; }

  testing::StoppableConsole& console() { return m.console; }
  const testing::StoppableConsole& console() const { return m.console; }
  testing::MemoryFtpServer& site() { return m.server; }

  testing::MemoryMirror m;
  Mode mode_ = Mode::kOneConnection;
  const std::string local_ = testing::kMirrorDir;  // the local directory, ending in "/"
};

// A scenario about results, run in each mode.
class SyncModesTest : public SyncEngineTest, public ::testing::WithParamInterface<Mode> {
 protected:
  SyncModesTest() { mode_ = GetParam(); }
};


// ---- File phase ----------------------------------------------------------------------------

TEST_P(SyncModesTest, MissingFileIsFetchedDatedCountedAndFoundCompleteByTheNextPass) {
  site().AddFile("/pub/a.txt", std::string(100, 'a'));

  EXPECT_EQ(Sync("/pub/"), 0);

  ExpectCommands(Cat({kLogin, Cd("/pub"), List(), Retr("/pub/a.txt"), Cd("/pub"), List(),
                      kQuit}));
  ExpectLines({T(" * Found 1 file in /pub/"), T(" 100 2001-03-05 /pub/a.txt")});
  if (OneConnection()) {
    const std::string connecting = std::string(kTitle) + " Connecting to " + kServer;
    EXPECT_THAT(console().titles,
                ElementsAre(connecting, "KORU 20080313 CD /pub/", "KORU 20080313 LIST /pub/",
                            "(1 lines) LIST /pub/", kTitle, kTitle, kTitle,
                            "KORU 20080313 CD /pub/", "KORU 20080313 LIST /pub/",
                            "(1 lines) LIST /pub/", kTitle));
  }
  EXPECT_EQ(ReadLocal("a.txt"), std::string(100, 'a'));
  EXPECT_EQ(LocalDate("a.txt"), Date(2001, 3, 5));
  EXPECT_EQ(m.totals.FilesTransferred, 1);
  EXPECT_EQ(m.server.counts().open_sessions, 0) << "every connection is closed";
}

struct CompleteCase {
  const char* name;
  int local_size;
  SYSTEMTIME local_date;
  int32_t verbose_level;
  Lines lines;  // after the connecting line of verbose mode
};

void PrintTo(const CompleteCase& c, std::ostream* os) { *os << c.name; }

class CompleteFileTest : public SyncEngineTest,
                         public ::testing::WithParamInterface<std::tuple<CompleteCase, Mode>> {
 protected:
  CompleteFileTest() { mode_ = std::get<1>(GetParam()); }
};

// A local file at least as large as the remote one is complete: never fetched, only dated.
TEST_P(CompleteFileTest, IsOnlyDatedLikeTheRemoteFile) {
  const CompleteCase& c = std::get<0>(GetParam());
  site().AddFile("/pub/a.txt", std::string(100, 'r'));
  WriteLocal("a.txt", std::string(c.local_size, 'l'));
  DateLocal("a.txt", c.local_date);
  m.options.VerboseLevel = c.verbose_level;

  EXPECT_EQ(Sync("/pub/"), 0);

  ExpectCommands(Cat({kLogin, Cd("/pub"), List(), kQuit}));
  Lines expected;
  if (c.verbose_level != 0) expected.push_back(T(std::string(" * Connecting to ") + kServer));
  for (const std::string& line : c.lines) {
    expected.push_back(line[0] == ' ' ? T(line) : line);
  }
  for (std::string& line : expected) {
    const size_t at = line.find("LOCAL/");
    if (at != std::string::npos) line.replace(at, 6, local_);
  }
  ExpectLines(expected);
  EXPECT_EQ(ReadLocal("a.txt"), std::string(c.local_size, 'l'));
  EXPECT_EQ(LocalDate("a.txt"), Date(2001, 3, 5));
  EXPECT_EQ(m.totals.FilesTransferred, 0);
}

INSTANTIATE_TEST_SUITE_P(
    SyncEngine, CompleteFileTest,
    ::testing::Combine(
        ::testing::Values(
            CompleteCase{"SameDateQuiet", 100, Date(2001, 3, 5), 0, {" * Found 1 file in /pub/"}},
            // Seconds do not count: the same minute is the same date.
            CompleteCase{"SameMinuteVerbose", 100, Date(2001, 3, 5, 0, 0, 42), -1,
                         {" * Found 1 file in /pub/"}},
            CompleteCase{"OtherDateQuiet", 100, Date(2020, 1, 2, 3, 4), 0,
                         {" * Found 1 file in /pub/"}},
            CompleteCase{"OtherDateVerbose",
                         100,
                         Date(2020, 1, 2, 3, 4),
                         -1,
                         {" * Found 1 file in /pub/", "  File date stamps are different.",
                          "    Remote= 03/05/2001 00:00", "    Local = 01/02/2020 03:04",
                          " * Setting LOCAL/a.txt to 03-05-2001 00:00:00"}},
            CompleteCase{"LargerLocalFileNoWarning", 150, Date(2001, 3, 5), 0,
                         {" * Found 1 file in /pub/"}}),
        kModes),
    [](const ::testing::TestParamInfo<CompleteFileTest::ParamType>& info) {
      return std::string(std::get<0>(info.param).name) + "_" +
             ModeName(std::get<1>(info.param));
    });

class ResumeTest : public SyncEngineTest,
                   public ::testing::WithParamInterface<std::tuple<int32_t, Mode>> {
 protected:
  ResumeTest() { mode_ = std::get<1>(GetParam()); }
};

TEST_P(ResumeTest, SmallerLocalFileIsFetchedAgainOrResumed) {
  const int32_t resume = std::get<0>(GetParam());
  site().AddFile("/pub/a.txt", "0123456789");
  WriteLocal("a.txt", "ABCD");
  DateLocal("a.txt", Date(2001, 3, 5));
  m.options.ResumeMode = resume;

  EXPECT_EQ(Sync("/pub/"), 0);

  const Lines restart = resume ? Lines{"REST 4"} : Lines{};
  ExpectCommands(Cat({kLogin, Cd("/pub"), List(), {"PASV", "TYPE I"}, restart,
                      {"RETR /pub/a.txt"}, Cd("/pub"), List(), kQuit}));
  EXPECT_EQ(ReadLocal("a.txt"), resume ? "ABCD456789" : "0123456789");
}

INSTANTIATE_TEST_SUITE_P(SyncEngine, ResumeTest, ::testing::Combine(::testing::Values(0, -1), kModes),
                         [](const ::testing::TestParamInfo<ResumeTest::ParamType>& info) {
                           return std::string(std::get<0>(info.param) ? "Resume" : "Fetch") +
                                  "_" + ModeName(std::get<1>(info.param));
                         });

TEST_P(SyncModesTest, OverwriteFetchesEveryFileInExactlyOnePass) {
  site().AddFile("/pub/a.txt", "new a");
  site().AddFile("/pub/b.txt", "new b");
  WriteLocal("a.txt", "old a");
  DateLocal("a.txt", Date(2001, 3, 5));
  m.options.OverwriteMode = kOn;

  EXPECT_EQ(Sync("/pub/"), 0);

  ExpectCommands(Cat({kLogin, Cd("/pub"), List(), Retr("/pub/a.txt"), Retr("/pub/b.txt"),
                      kQuit}));
  ExpectLines({T(" * Found 2 files in /pub/"), T(" 5 2001-03-05 /pub/a.txt"),
               T(" 5 2001-03-05 /pub/b.txt")});
  EXPECT_EQ(ReadLocal("a.txt"), "new a");
  EXPECT_EQ(ReadLocal("b.txt"), "new b");
  EXPECT_EQ(m.totals.FilesTransferred, 2);
}

// An empty remote file becomes an empty local file without a transfer: not counted, not dated,
// not deleted on the server, and it causes no further pass.
TEST_P(SyncModesTest, EmptyRemoteFileIsCreatedWithoutATransfer) {
  site().AddFile("/pub/empty", "");
  m.options.MoveMode = kOn;

  EXPECT_EQ(Sync("/pub/"), 0);

  ExpectCommands(Cat({kLogin, Cd("/pub"), List(), kQuit}));
  ExpectLines({T(" * Found 1 file in /pub/"), T(" 0 2001-03-05 /pub/empty")});
  EXPECT_EQ(ReadLocal("empty"), "");
  EXPECT_NE(LocalDate("empty").wYear, 2001);
  EXPECT_EQ(m.totals.FilesTransferred, 0);
  EXPECT_TRUE(site().HasFile("/pub/empty"));
}

TEST_P(SyncModesTest, MoveDeletesVerifiedDownloadsAndCountsThemEvenWhenRefused) {
  site().AddFile("/pub/a.txt", "aaaaa");
  site().AddFile("/pub/b.txt", FakeFile{.content = "bbbbb", .refuse_delete = true});
  m.options.MoveMode = kOn;

  EXPECT_EQ(Sync("/pub/"), 0);

  ExpectCommands(Cat({kLogin, Cd("/pub"), List(), Retr("/pub/a.txt"), Dele("/pub/a.txt"),
                      Retr("/pub/b.txt"), Dele("/pub/b.txt"), Cd("/pub"), List(), kQuit}));
  ExpectLines({T(" * Found 2 files in /pub/"), T(" 5 2001-03-05 /pub/a.txt"),
               T(" * Removed remote file /pub/a.txt"), T(" 5 2001-03-05 /pub/b.txt"),
               T(" * Warning: Unable to delete remote file as requested."),
               T(" * Not deleted: /pub/b.txt (550 Delete operation failed.)")});
  EXPECT_EQ(m.totals.UndeletedFiles, std::set<std::string>{"/pub/b.txt"});
  if (OneConnection()) {
    const auto& titles = console().titles;
    const auto dele = std::find(titles.begin(), titles.end(), "KORU 20080313 DELE /pub/a.txt");
    ASSERT_NE(dele, titles.end());
    EXPECT_EQ(*(dele + 1), kTitle);
  }
  EXPECT_FALSE(site().HasFile("/pub/a.txt"));
  EXPECT_TRUE(site().HasFile("/pub/b.txt"));
  EXPECT_EQ(m.totals.FilesTransferred, 2);
}

TEST_P(SyncModesTest, UniqueNamesNeverWriteOverALocalFile) {
  site().AddFile("/pub/x.zip", "remote x");
  site().AddFile("/pub/a:b.txt", "remote ab");
  WriteLocal("x.zip", "first");
  WriteLocal("x(1).zip", "second");
  WriteLocal("a_b.txt", "local ab");  // the remote a:b.txt would be stored as a_b.txt
  m.options.MoveMode = kOn;
  m.options.UniqueNames = kOn;

  EXPECT_EQ(Sync("/pub/"), 0);

  ExpectCommands(Cat({kLogin, Cd("/pub"), List(), Retr("/pub/a:b.txt"), Dele("/pub/a:b.txt"),
                      Retr("/pub/x.zip"), Dele("/pub/x.zip"), Cd("/pub"), List(), kQuit}));
  EXPECT_THAT(LocalNames(), ElementsAre("a_b(1).txt", "a_b.txt", "x(1).zip", "x(2).zip", "x.zip"));
  EXPECT_EQ(ReadLocal("x(2).zip"), "remote x");
  EXPECT_EQ(ReadLocal("x.zip"), "first");
  EXPECT_EQ(ReadLocal("x(1).zip"), "second");
  EXPECT_EQ(ReadLocal("a_b(1).txt"), "remote ab");
  EXPECT_EQ(ReadLocal("a_b.txt"), "local ab");
}

// With +M a refused DELE leaves the file listed; fetching it again under the next free name in
// every pass would never end.
TEST_P(SyncModesTest, UniqueNamesWithARefusedDeleteKeepOneCopy) {
  site().AddFile("/pub/x.zip", FakeFile{.content = "remote x", .refuse_delete = true});
  WriteLocal("x.zip", "first");
  m.options.MoveMode = kOn;
  m.options.UniqueNames = kOn;

  EXPECT_EQ(Sync("/pub/"), 0);

  ExpectCommands(Cat({kLogin, Cd("/pub"), List(), Retr("/pub/x.zip"), Dele("/pub/x.zip"),
                      Cd("/pub"), List(), kQuit}));
  ExpectLines({T(" * Found 1 file in /pub/"), T(" 8 2001-03-05 /pub/x.zip"),
               T(" * Warning: Unable to delete remote file as requested."),
               T(" * Not deleted: /pub/x.zip (550 Delete operation failed.)")});
  EXPECT_THAT(LocalNames(), ElementsAre("x(1).zip", "x.zip"));
  EXPECT_EQ(m.totals.FilesTransferred, 1);
}

// The server lists 100 bytes but sends 60 without naming a size: every pass warns, nothing is
// deleted, and the passes end once no other download is verified.
TEST_P(SyncModesTest, SizeThatNeverMatchesEndsThePasses) {
  site().AddFile("/pub/ok.txt", "ok");
  site().AddFile("/pub/short.txt", FakeFile{.content = std::string(60, 's'),
                                            .listed_size = 100,
                                            .announced_size = testing::kNoAnnouncedSize});
  m.options.MoveMode = kOn;
  m.options.VerboseLevel = -1;

  EXPECT_EQ(Sync("/pub/"), 0);

  ExpectCommands(Cat({kLogin, Cd("/pub"), List(), Retr("/pub/ok.txt"), Dele("/pub/ok.txt"),
                      Retr("/pub/short.txt"), Cd("/pub"), List(), Retr("/pub/short.txt"),
                      kQuit}));
  const std::string setting = T(" * Setting " + local_);
  const Lines short_download = {
      T(" 100 2001-03-05 /pub/short.txt"), setting + "short.txt to 03-05-2001 00:00:00",
      T(" * Warning: Local file size does not match remote (60/100)"),
      T(" * Remote file was not erased as requested by move option switch.")};
  ExpectLines(Cat({{T(std::string(" * Connecting to ") + kServer), T(" * Found 2 files in /pub/"),
                    T(" 2 2001-03-05 /pub/ok.txt"), setting + "ok.txt to 03-05-2001 00:00:00",
                    T(" * Removed remote file /pub/ok.txt")},
                   short_download,
                   {T(" * Found 1 file in /pub/")},
                   short_download}));
  EXPECT_EQ(m.totals.FilesTransferred, 1);
  EXPECT_TRUE(site().HasFile("/pub/short.txt"));
}

// A link lists the size of its own text but sends its target: the download is verified by the
// size the server announced, and later passes do not fetch it again and again.
TEST_P(SyncModesTest, FileListedLargerThanItsVerifiedDownloadIsFetchedOncePerRun) {
  site().AddFile("/pub/lnk", FakeFile{.content = "12345", .listed_size = 20});

  EXPECT_EQ(Sync("/pub/"), 0);

  ExpectCommands(Cat({kLogin, Cd("/pub"), List(), Retr("/pub/lnk"), Cd("/pub"), List(), kQuit}));
  ExpectLines({T(" * Found 1 file in /pub/"), T(" 20 2001-03-05 /pub/lnk")});
  EXPECT_EQ(ReadLocal("lnk"), "12345");
  EXPECT_EQ(m.totals.FilesTransferred, 1);
}

// Whatever the server lists, nothing is written outside the local directory, and a name that
// could lead elsewhere is reported, not fetched.
TEST_P(SyncModesTest, HostileAndOddNamesStayInsideTheLocalDirectory) {
  site().SetListing("/pub",
                    {FileLine("../x"), FileLine("a/b"), FileLine("a\\b"), FileLine(".."),
                     FileLine("."), FileLine(std::string("nul\0/../x", 9)),
                     "lrwxrwxrwx   1 owner    group           5 Mar  5  2001 lnk -> "
                     "/etc/passwd",
                     FileLine("a:b?.txt"), FileLine("<>|*?:;.txt"), FileLine("  spaced  ")});
  for (const char* name : {"lnk", "a:b?.txt", "<>|*?:;.txt", "  spaced  "}) {
    site().AddFile(std::string("/pub/") + name, "12345");
  }

  EXPECT_EQ(Sync("/pub/"), 0);

  // The link is sized by SIZE before anything is decided about it.
  const Lines listing = Cat({Cd("/pub"), List(), {"TYPE I", "SIZE /pub/lnk"}});
  ExpectCommands(Cat({kLogin, listing, Retr("/pub/lnk"), Retr("/pub/a:b?.txt"),
                      Retr("/pub/<>|*?:;.txt"), Retr("/pub/  spaced  "), listing, kQuit}));
  const Lines unsafe = {
      T(" * Warning: Unsafe file name skipped: ../x"),
      T(" * Warning: Unsafe file name skipped: a/b"),
      T(" * Warning: Unsafe file name skipped: a\\b"),
      T(" * Warning: Unsafe file name skipped: " + std::string("nul\0/../x", 9))};
  const Lines expected = Cat({{T(" * Found 10 files in /pub/")},
                              unsafe,
                              {T(" 5 2001-03-05 /pub/lnk"), T(" 5 2001-03-05 /pub/a:b?.txt"),
                               T(" 5 2001-03-05 /pub/<>|*?:;.txt"),
                               T(" 5 2001-03-05 /pub/  spaced  ")}});
  if (OneConnection()) {
    EXPECT_THAT(console().lines, ElementsAreArray(expected));
  } else {
    EXPECT_EQ(testing::ComparedAcrossModes(AllLines()), testing::ComparedAcrossModes(expected));
  }
  EXPECT_THAT(LocalNames(), ElementsAre("  spaced  ", "_______.txt", "a_b_.txt", "lnk"));
  for (const std::string& path : m.disk.Paths()) {
    EXPECT_TRUE(path.starts_with(local_) || std::string(local_).starts_with(path + "/")) << path;
  }
}

TEST_P(SyncModesTest, DosListingGivesTheRemoteDateAndSkipsDirectories) {
  site().SetListing("/pub", {"01-12-00  09:30AM       <DIR>          My Dir",
                             "03-15-99  02:05PM                   10 a.txt"});
  site().AddFile("/pub/a.txt", "0123456789");

  EXPECT_EQ(Sync("/pub/"), 0);

  ExpectCommands(Cat({kLogin, Cd("/pub"), List(), Retr("/pub/a.txt"), Cd("/pub"), List(), kQuit}));
  ExpectLines({T(" * Found 2 files in /pub/"), T(" 10 1999-03-15 /pub/a.txt")});
  EXPECT_EQ(LocalDate("a.txt"), Date(1999, 3, 15, 14, 5));
  EXPECT_THAT(LocalNames(), ElementsAre("a.txt"));
}

// The program hands a listing only (an "=" mask) to the run over one connection, -P or not.
TEST_F(SyncEngineTest, ListOnlyPrintsTheRawListingAndItsCount) {
  site().AddFile("/pub/a.txt", "a");
  site().AddFile("/pub/b.txt", "b");
  site().AddFile("/pub/c.zip", "c");

  EXPECT_EQ(Sync("/pub/", "=*.txt"), 0);
  EXPECT_EQ(Sync("/pub/", "=c.zip"), 0);

  EXPECT_EQ(Commands(), Cat({kLogin, Cd("/pub"), List("*.txt"), kQuit, kLogin, Cd("/pub"),
                             List("c.zip"), kQuit}));
  EXPECT_THAT(console().lines, ElementsAre(FileLine("a.txt", 1), FileLine("b.txt", 1),
                                           " 2 Items found", FileLine("c.zip", 1),
                                           " 1 Item found"));
  EXPECT_EQ(console().titles[2], "KORU 20080313 LIST /pub/=*.txt");
  EXPECT_THAT(LocalNames(), ElementsAre());
}

// The count line is the documented line of the run over one connection.
TEST_F(SyncEngineTest, FileCountLineNamesAWildcardMask) {
  const struct {
    const char* mask;
    const char* line;
  } cases[] = {{"*.zip", " * Found 2 *.zip files in /pub/"},
               {"one.zip", " * Found 1 file in /pub/"},
               {"?.txt", " * Found 0 ?.txt files in /pub/"}};
  site().AddFile("/pub/one.zip", "1");
  site().AddFile("/pub/two.zip", "2");
  WriteLocal("one.zip", "1");
  WriteLocal("two.zip", "2");
  DateLocal("one.zip", Date(2001, 3, 5));
  DateLocal("two.zip", Date(2001, 3, 5));
  for (const auto& c : cases) {
    console().lines.clear();
    EXPECT_EQ(Sync("/pub/", c.mask), 0);
    EXPECT_THAT(console().lines, ElementsAre(T(c.line))) << c.mask;
  }
}

// The moment of a key is set by the titles of the run over one connection: these stay there.
TEST_F(SyncEngineTest, EscBetweenTwoDownloadsStopsTheRun) {
  site().AddFile("/pub/a.txt", "aaaaa");
  site().AddFile("/pub/b.txt", "bbbbb");
  console().keys = {'x', 'y', 'z', 'q', kKeyTab};  // keys other than Esc change nothing
  console().key_when = [this](const testing::RecordingConsole& c) {
    const bool first_fetched = std::find(c.lines.begin(), c.lines.end(),
                                         T(" 5 2001-03-05 /pub/a.txt")) != c.lines.end();
    return first_fetched && c.titles.back() == kTitle;
  };
  m.options.VerboseLevel = 1;

  EXPECT_EQ(Sync("/pub/"), 1);

  EXPECT_EQ(Commands(), Cat({kLogin, Cd("/pub"), List(), Retr("/pub/a.txt"), kQuit}));
  const Lines tail(console().lines.end() - 3, console().lines.end());
  EXPECT_THAT(tail, ElementsAre(T(" ** User Abort **"), "QUIT", "221 Goodbye."))
      << "the abort line comes before the QUIT";
  EXPECT_EQ(ReadLocal("a.txt"), "aaaaa");
  EXPECT_EQ(ReadLocal("b.txt"), "<no file>");
  EXPECT_EQ(m.state.AbortFlag, kOn);
  EXPECT_EQ(m.server.counts().open_sessions, 0) << "every connection is closed";
}

// Esc inside the last transfer ends the run as a user abort too (exit code 1).
TEST_F(SyncEngineTest, EscDuringTheLastDownloadFailsTheRun) {
  site().AddFile("/pub/a.txt", std::string(100, 'a'));
  site().Intercept([](const std::string& command, MemorySession& session) {
    if (Verb(command) != "RETR") return false;
    session.Reply("150 Opening BINARY mode data connection for a.txt (100 bytes).");
    session.SendData(std::string(50, 'a'));
    session.ReplyWhenDataClosed("426 Transfer aborted.");
    return true;
  });
  console().key_when = [](const testing::RecordingConsole& c) {
    return c.titles.back().find("% Received") != std::string::npos;
  };

  EXPECT_EQ(Sync("/pub/"), 1);

  EXPECT_EQ(Commands(), Cat({kLogin, Cd("/pub"), List(), Retr("/pub/a.txt")}));
  EXPECT_THAT(console().lines,
              ElementsAre(T(" * Found 1 file in /pub/"), T(" 100 2001-03-05 /pub/a.txt"),
                          T(" * Warning: Local file size does not match remote (50/100)")));
  EXPECT_EQ(m.server.counts().open_sessions, 0) << "every connection is closed";
}

struct RefusedConnectCase {
  const char* name;
  bool abort_flag;
  Lines lines;
};

void PrintTo(const RefusedConnectCase& c, std::ostream* os) { *os << c.name; }

class FailedConnectionTest
    : public SyncEngineTest,
      public ::testing::WithParamInterface<std::tuple<RefusedConnectCase, Mode>> {
 protected:
  FailedConnectionTest() { mode_ = std::get<1>(GetParam()); }
};

// The server's port refuses the connect (or the run was stopped before it).
TEST_P(FailedConnectionTest, EndsTheDirectory) {
  const RefusedConnectCase& c = std::get<0>(GetParam());
  m.state.AbortFlag = c.abort_flag ? kOn : kOff;
  const int connections = mode_ == Mode::kOneConnection ? 0 : mode_ == Mode::kP1 ? 1 : 4;
  const int32_t result =
      connections == 0
          ? SyncSubDirectory(m.env, m.options, m.state, m.totals, "127.0.0.1:1", "anonymous",
                             "guest@", "/pub/", local_, "")
          : MirrorInParallel(m.env, m.options, m.state, m.totals, connections, "127.0.0.1:1",
                             "anonymous", "guest@", "/pub/", local_, "");

  EXPECT_EQ(result, 1);
  ExpectLines(Cat({c.lines}));
}

INSTANTIATE_TEST_SUITE_P(
    SyncEngine, FailedConnectionTest,
    ::testing::Combine(
        ::testing::Values(
            RefusedConnectCase{"Refused",
                               false,
                               {"09:05:03 ERROR: Unable to open connection to server.",
                                "09:05:03  Connection refused"}},
            // A run that begins stopped says nothing of it, over any number of connections.
            RefusedConnectCase{"AfterAnAbort", true, {}}),
        kModes),
    [](const ::testing::TestParamInfo<FailedConnectionTest::ParamType>& info) {
      return std::string(std::get<0>(info.param).name) + "_" +
             ModeName(std::get<1>(info.param));
    });

// The second connection's login is refused: which connection that is belongs to the run over
// one connection (-P gives a refused further connection up and goes on with the ones it has).
TEST_F(SyncEngineTest, RefusedLoginBeforeADownloadEndsTheStepwiseRun) {
  site().AddFile("/pub/a.txt", "aaaaa");
  site().Intercept([](const std::string& command, MemorySession& session) {
    if (session.index() != 1 || Verb(command) != "PASS") return false;
    session.Reply("530 Login incorrect.");
    return true;
  });

  EXPECT_EQ(SyncStepwise("/pub/"), 1);

  EXPECT_EQ(Commands(), Cat({kLogin, Cd("/pub"), List(), kQuit, kLogin}));
  EXPECT_THAT(console().lines,
              ElementsAre(T(" * Found 1 file in /pub/"), T(" 5 2001-03-05 /pub/a.txt"),
                          T(" ERROR: Unable to open connection to server."),
                          T("  530 Login incorrect.")));
  EXPECT_EQ(site().counts().sessions, 2);
}

// -U connects for every step, maps "+" and "`" too, and fetches empty files like any other.
TEST_F(SyncEngineTest, StepwiseVariantConnectsForEveryStep) {
  site().AddFile("/pub/a+b`c.txt", "abc");
  site().AddFile("/pub/zero", "");

  EXPECT_EQ(SyncStepwise("/pub/"), 0);

  const Lines listing = Cat({kLogin, Cd("/pub"), List(), kQuit});
  EXPECT_EQ(Commands(), Cat({listing, kLogin, Retr("/pub/a+b`c.txt"), kQuit, kLogin,
                             Retr("/pub/zero"), kQuit, listing, kLogin, Retr("/pub/zero"),
                             kQuit}));
  EXPECT_THAT(console().lines,
              ElementsAre(T(" * Found 2 files in /pub/"), T(" 3 2001-03-05 /pub/a+b`c.txt"),
                          T(" 0 2001-03-05 /pub/zero"), T(" 0 2001-03-05 /pub/zero")));
  EXPECT_THAT(LocalNames(), ElementsAre("a_b_c.txt"));
  EXPECT_EQ(m.totals.FilesTransferred, 1);
}

// Titles are cut as SETTITLE cuts them.
TEST_F(SyncEngineTest, TitlesKeepTheirFirst249Characters) {
  const std::string path = "/" + std::string(300, 'd') + "/";

  EXPECT_EQ(Sync(path), 1);

  EXPECT_EQ(Commands(), Cat({kLogin, Cd(path.substr(0, 301)), kQuit}));
  ASSERT_EQ(console().titles.size(), 2u);
  EXPECT_EQ(console().titles[1], ("KORU 20080313 CD " + path).substr(0, 249));
}

// ---- Local names two entries would share ---------------------------------------------------

// x:1.txt and x;1.txt both map to x_1.txt: the first in the listing keeps it, the second is
// never fetched or deleted and counts as failed, in every pass and under -M.
TEST_P(SyncModesTest, LocalNameClashKeepsTheFirstEntryAndNeverTouchesTheSecond) {
  site().AddFile("/pub/x:1.txt", "first");
  site().AddFile("/pub/x;1.txt", "second");
  m.options.MoveMode = kOn;

  EXPECT_EQ(Sync("/pub/"), 1);

  ExpectCommands(Cat({kLogin, Cd("/pub"), List(), Retr("/pub/x:1.txt"), Dele("/pub/x:1.txt"),
                      Cd("/pub"), List(), kQuit}));
  ExpectLines({T(" * Found 2 files in /pub/"), T(" 5 2001-03-05 /pub/x:1.txt"),
               T(" * Removed remote file /pub/x:1.txt"),
               T(" * Warning: Local name clash, skipped: /pub/x;1.txt (x_1.txt is the "
                 "local name of /pub/x:1.txt)")});
  EXPECT_EQ(ReadLocal("x_1.txt"), "first");
  EXPECT_TRUE(site().HasFile("/pub/x;1.txt"));
  EXPECT_EQ(m.totals.FailedDownloads.count("/pub/x;1.txt"), 1u);
  EXPECT_EQ(m.totals.FilesTransferred, 1);
}

// Directories compete for local names like files; a directory's local name is mapped like a
// file's, and names with blanks at their ends are used exactly, remotely and locally.
TEST_P(SyncModesTest, DirectoriesGetMappedExactNamesAndLoseClashesLikeFiles) {
  site().AddFile("/pub/a|b/one.txt", "one");
  site().AddFile("/pub/a?b/two.txt", "two");
  site().AddFile("/pub/ lead dir/l.txt", "lead");
  site().AddFile("/pub/trail dir /t.txt", "trail");
  m.options.SubDirMode = 1;

  EXPECT_EQ(Sync("/pub/"), 1);

  const Lines commands = Commands();
  EXPECT_THAT(commands, ::testing::Contains("CWD /pub/ lead dir"));
  EXPECT_THAT(commands, ::testing::Contains("CWD /pub/trail dir "));
  // The listing gives a?b before a|b.
  EXPECT_THAT(commands, ::testing::Contains("CWD /pub/a?b"));
  EXPECT_THAT(commands, ::testing::Not(::testing::Contains("CWD /pub/a|b")));
  const Lines lines = AllLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       T(" * Warning: Local name clash, skipped: /pub/a|b/ (a_b is the local "
                         "name of /pub/a?b/)")),
            1);
  EXPECT_THAT(LocalNames(), ElementsAre(" lead dir", "a_b", "trail dir "));
  EXPECT_EQ(ReadLocal("a_b/two.txt"), "two");
  EXPECT_EQ(ReadLocal("a_b/one.txt"), "<no file>");
  EXPECT_EQ(ReadLocal(" lead dir/l.txt"), "lead");
  EXPECT_EQ(ReadLocal("trail dir /t.txt"), "trail");
  EXPECT_EQ(m.totals.FailedDirectories, std::set<std::string>{"/pub/a|b/"});
  EXPECT_TRUE(m.totals.FailedDownloads.empty());
}

// Tab leaves the file for the run: the next pass does not fetch it again, and it is no failure.
TEST_F(SyncEngineTest, TabLeavesTheFileForTheRestOfTheRun) {
  site().AddFile("/pub/a.bin", std::string(600000, 'a'));
  site().AddFile("/pub/b.txt", "bbbbb");
  console().key_when = [this](const testing::RecordingConsole&) {
    const Lines commands = Commands();
    return std::find(commands.begin(), commands.end(), "RETR /pub/a.bin") != commands.end();
  };
  console().key = kKeyTab;

  EXPECT_EQ(Sync("/pub/"), 0);

  const Lines commands = Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "RETR /pub/a.bin"), 1);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "RETR /pub/b.txt"), 1);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "LIST"), 2);
  EXPECT_EQ(ReadLocal("b.txt"), "bbbbb");
  EXPECT_TRUE(m.totals.FailedDownloads.empty());
  EXPECT_EQ(m.state.AbortFlag, kOff);
}

// ---- Directory phase -----------------------------------------------------------------------

void AddTree(testing::MemoryFtpServer& server) {
  server.AddFile("/pub/a/a1.txt", "a1");
  server.AddFile("/pub/b/b1.txt", "b1");
  server.AddFile("/pub/top.txt", "top");
}
// The directory phase's connection: the sub-directory listing.
Lines DirectoryPhase(const std::string& dir) { return Cat({kLogin, Cd(dir), List(), kQuit}); }
// A file phase that fetches one file and lists again.
Lines FetchOne(const std::string& dir, const std::string& file) {
  return Cat({kLogin, Cd(dir), List(), Retr(dir + "/" + file), Cd(dir), List(), kQuit});
}

class TreeTest : public SyncModesTest {
 protected:
  TreeTest() { AddTree(site()); }
};

TEST_P(TreeTest, RecursionIsDepthFirstAndCreatesMissingDirectories) {
  m.options.SubDirMode = 1;
  m.options.VerboseLevel = -1;

  EXPECT_EQ(Sync("/pub/"), 0);

  ExpectCommands(Cat({DirectoryPhase("/pub"), DirectoryPhase("/pub/a"),
                      FetchOne("/pub/a", "a1.txt"), DirectoryPhase("/pub/b"),
                      FetchOne("/pub/b", "b1.txt"), FetchOne("/pub", "top.txt")}));
  const std::string connecting = T(std::string(" * Connecting to ") + kServer);
  auto sub = [&](const std::string& name, const std::string& file, int size) {
    const std::string dir = "/pub/" + name + "/";
    return Lines{T(" Creating local directory: " + local_ + name),
                 T(" * Recurse to directory " + name),
                 connecting,
                 T(" * Found 0 Directories in " + dir),
                 connecting,
                 T(" * Found 1 file in " + dir),
                 T(" " + std::to_string(size) + " 2001-03-05 " + dir + file),
                 T(" * Setting " + local_ + name + "/" + file + " to 03-05-2001 00:00:00"),
                 T(" * Found 1 file in " + dir)};
  };
  ExpectLines(Cat({{connecting, T(" * Found 2 Directories in /pub/")}, sub("a", "a1.txt", 2),
                   sub("b", "b1.txt", 2),
                   {connecting, T(" * Found 3 files in /pub/"), T(" 3 2001-03-05 /pub/top.txt"),
                    T(" * Setting " + local_ + "top.txt to 03-05-2001 00:00:00"),
                    T(" * Found 3 files in /pub/")}}));
  if (OneConnection()) {
    EXPECT_THAT(console().titles, ::testing::Contains("DIRLIST /pub/"));
  }
  EXPECT_EQ(ReadLocal("a/a1.txt"), "a1");
  EXPECT_EQ(ReadLocal("b/b1.txt"), "b1");
  EXPECT_EQ(ReadLocal("top.txt"), "top");
  EXPECT_EQ(m.totals.SubDirsCreated, 2);
  EXPECT_EQ(m.totals.FilesTransferred, 3);
}

TEST_P(TreeTest, SecondRunCreatesAndFetchesNothing) {
  m.options.SubDirMode = 1;
  EXPECT_EQ(Sync("/pub/"), 0);
  m.state.AbortFlag = 0;
  m.state.AbortReported = 0;
  m.state.BlockDelay = 0;
  m.totals = RunTotals();
  console().lines.clear();
  const size_t first_run_sessions = site().commands().size();

  EXPECT_EQ(Sync("/pub/"), 0);

  if (OneConnection()) {
    Lines again;
    const auto sessions = site().commands();
    for (size_t i = first_run_sessions; i < sessions.size(); ++i) {
      again.insert(again.end(), sessions[i].begin(), sessions[i].end());
    }
    EXPECT_EQ(again, Cat({DirectoryPhase("/pub"), DirectoryPhase("/pub/a"),
                          Cat({kLogin, Cd("/pub/a"), List(), kQuit}), DirectoryPhase("/pub/b"),
                          Cat({kLogin, Cd("/pub/b"), List(), kQuit}),
                          Cat({kLogin, Cd("/pub"), List(), kQuit})}));
  }
  ExpectLines({T(" * Found 1 file in /pub/a/"), T(" * Found 1 file in /pub/b/"),
               T(" * Found 3 files in /pub/")});
  EXPECT_EQ(m.totals.SubDirsCreated, 0);
  EXPECT_EQ(m.totals.FilesTransferred, 0);
}

TEST_P(TreeTest, CreationOnlyMakesTheFirstLevelAndFetchesTheStartingDirectory) {
  site().AddFile("/pub/a/deeper/d.txt", "d");
  m.options.SubDirMode = -1;

  EXPECT_EQ(Sync("/pub/"), 0);

  ExpectCommands(Cat({DirectoryPhase("/pub"), FetchOne("/pub", "top.txt")}));
  ExpectLines({T(" * Found 3 files in /pub/"), T(" 3 2001-03-05 /pub/top.txt")});
  EXPECT_THAT(LocalNames(), ElementsAre("a", "b", "top.txt"));
  EXPECT_THAT(LocalNames("a"), ElementsAre());
  EXPECT_EQ(m.totals.SubDirsCreated, 2);
  if (!OneConnection()) return;
  const std::string connecting = std::string(kTitle) + " Connecting to " + kServer;
  const Lines listing = {"KORU 20080313 LIST /pub/", "(1 lines) LIST /pub/",
                         "(2 lines) LIST /pub/", "(3 lines) LIST /pub/", kTitle};
  EXPECT_EQ(console().titles,
            Cat({{connecting, "KORU 20080313 CD /pub/", "DIRLIST /pub/"},
                 Lines(listing.begin() + 1, listing.end()),
                 {connecting, "KORU 20080313 CD /pub/"}, listing, {kTitle, kTitle},
                 {"KORU 20080313 CD /pub/"}, listing}));
}

// A local file named like a remote directory is named as what keeps the directory from being
// made, once; the directory is not entered (its files would each fail for want of it) and
// counts as failed.
TEST_P(TreeTest, LocalFileBlocksADirectoryWhichIsNotEntered) {
  WriteLocal("a", "in the way");
  m.options.SubDirMode = 1;

  EXPECT_EQ(Sync("/pub/"), 1);

  ExpectCommands(Cat({DirectoryPhase("/pub"), DirectoryPhase("/pub/b"),
                      FetchOne("/pub/b", "b1.txt"), FetchOne("/pub", "top.txt")}));
  ExpectLines({T(" * Warning: Unable to create local directory " + local_ + "a (File exists)"),
               T(" * Found 1 file in /pub/b/"), T(" 2 2001-03-05 /pub/b/b1.txt"),
               T(" 3 2001-03-05 /pub/top.txt")});
  EXPECT_EQ(ReadLocal("a"), "in the way");
  EXPECT_EQ(m.totals.SubDirsCreated, 1);
  EXPECT_THAT(m.totals.FailedDirectories, ElementsAre("/pub/a/"));
}

TEST_P(SyncModesTest, DotsAndSeparatorsInDirectoryNamesAreNeverVisited) {
  site().AddDirectory("/pub/ok");
  site().SetListing("/pub", {DirectoryLine("."), DirectoryLine(".."), DirectoryLine("../up"),
                             DirectoryLine("a\\b"), DirectoryLine(std::string("..\0x", 4)),
                             DirectoryLine("ok")});
  m.options.SubDirMode = 1;

  EXPECT_EQ(Sync("/pub/"), 0);

  ExpectCommands(Cat({kLogin, Cd("/pub"), List(), kQuit, kLogin, Cd("/pub/ok"), List(), kQuit,
                      kLogin, Cd("/pub/ok"), List(), kQuit, kLogin, Cd("/pub"), List(),
                      kQuit}));
  ExpectLines({T(" * Found 0 files in /pub/ok/"), T(" * Found 6 files in /pub/")});
  EXPECT_THAT(LocalNames(), ElementsAre("ok"));
  EXPECT_EQ(m.totals.SubDirsCreated, 1);
}

// A server that lists a directory inside every directory: the walk stops 100 levels down.
TEST_P(SyncModesTest, RecursionStopsAtTheDepthBound) {
  site().Intercept([](const std::string& command, MemorySession& session) {
    const std::string verb = Verb(command);
    if (verb == "CWD") {
      session.Reply("250 Directory successfully changed.");
    } else if (verb == "LIST") {
      session.SendData(DirectoryLine("a") + "\r\n");
      session.CloseData();
      session.Reply("150 Here comes the directory listing.");
      session.Reply("226 Directory send OK.");
    } else {
      return false;
    }
    return true;
  });
  m.options.SubDirMode = 1;

  EXPECT_EQ(Sync("/loop/"), 0);

  Lines expected;
  std::string path = "/loop/";
  for (int depth = 0; depth <= kMaxDirectoryDepth; ++depth) path += "a/";
  expected.push_back(T(" * Warning: directory nesting too deep, not entered: " + path));
  for (int depth = kMaxDirectoryDepth; depth >= 0; --depth) {
    path.resize(path.size() - 2);
    expected.push_back(T(" * Found 1 file in " + path));
  }
  ExpectLines(expected);
  if (OneConnection()) {
    EXPECT_EQ(site().counts().sessions, 2 * (kMaxDirectoryDepth + 1));
  }
  EXPECT_EQ(m.totals.SubDirsCreated, kMaxDirectoryDepth);
  std::string deepest = local_;
  for (int depth = 0; depth < kMaxDirectoryDepth; ++depth) deepest += "a/";
  EXPECT_EQ(m.disk.Stat(deepest).kind, EntryKind::kDirectory);
  EXPECT_EQ(m.disk.Stat(deepest + "a").kind, EntryKind::kMissing);
}

// A failed connection prints the kept reply; it fails the run even when a later sibling
// succeeds. The refused login is the second connection's, which belongs to the run over one
// connection (-P gives a refused further connection up and goes on with the ones it has).
TEST_F(SyncEngineTest, FailedConnectionOfASubDirectoryIsReportedAndFailsTheRun) {
  AddTree(site());
  m.options.SubDirMode = 1;
  site().Intercept([](const std::string& command, MemorySession& session) {
    if (session.index() != 1 || Verb(command) != "PASS") return false;
    session.Reply("530 Login incorrect.");
    return true;
  });

  EXPECT_EQ(Sync("/pub/"), 1);

  EXPECT_EQ(Commands(), Cat({DirectoryPhase("/pub"), kLogin, DirectoryPhase("/pub/b"),
                             FetchOne("/pub/b", "b1.txt"), FetchOne("/pub", "top.txt")}));
  EXPECT_THAT(console().lines,
              ElementsAre(T(" ERROR: Unable to open connection to server."),
                          T("  530 Login incorrect."), T(" * Found 1 file in /pub/b/"),
                          T(" 2 2001-03-05 /pub/b/b1.txt"), T(" 3 2001-03-05 /pub/top.txt")));
  EXPECT_EQ(m.totals.SubDirsCreated, 2);
}

TEST_P(SyncModesTest, DirectoryThatCannotBeEnteredIsLeftOnOneConnection) {
  m.options.SubDirMode = 1;

  EXPECT_EQ(Sync("/nosuch/"), 1);

  ExpectCommands(Cat({kLogin, Cd("/nosuch"), Cd("/nosuch"), kQuit}));
  // Once for the directory, although both phases tried it.
  ExpectLines({T(" * Warning: Unable to change to remote directory /nosuch/ (550 Failed to "
                 "change directory.)")});
  if (OneConnection()) {
    EXPECT_EQ(site().counts().sessions, 1);
  }
}

TEST_F(SyncEngineTest, EscInTheDirectoryLoopEndsTheCallBeforeItsFiles) {
  AddTree(site());
  m.options.SubDirMode = 1;
  console().key_when = [](const testing::RecordingConsole& c) {
    const bool listed = std::find(c.titles.begin(), c.titles.end(), "DIRLIST /pub/") !=
                        c.titles.end();
    return listed && c.titles.back() == kTitle;
  };

  EXPECT_EQ(Sync("/pub/"), 1);

  EXPECT_EQ(Commands(), DirectoryPhase("/pub"));
  EXPECT_THAT(console().lines, ElementsAre(T(" ** User Abort **")));
  EXPECT_EQ(m.state.AbortFlag, kOn);
  EXPECT_THAT(LocalNames(), ElementsAre());
}

// The program hands a listing only to the run over one connection, -P or not.
TEST_F(SyncEngineTest, ListOnlyVisitsEveryDirectoryAndStillCreatesThem) {
  AddTree(site());
  m.options.SubDirMode = 1;

  EXPECT_EQ(Sync("/pub/", "=*.txt"), 0);

  EXPECT_THAT(console().lines,
              ElementsAre(FileLine("a1.txt", 2), " 1 Item found", FileLine("b1.txt", 2),
                          " 1 Item found", FileLine("top.txt", 3), " 1 Item found"));
  EXPECT_THAT(LocalNames(), ElementsAre("a", "b"));
  EXPECT_THAT(LocalNames("a"), ElementsAre());
}

INSTANTIATE_TEST_SUITE_P(SyncEngine, SyncModesTest, kModes,
                         [](const ::testing::TestParamInfo<Mode>& info) {
                           return ModeName(info.param);
                         });
INSTANTIATE_TEST_SUITE_P(SyncEngine, TreeTest, kModes,
                         [](const ::testing::TestParamInfo<Mode>& info) {
                           return ModeName(info.param);
                         });

// ---- The step-by-step variant (-U): one connection for each step ------------------------

// -U with -T creates the remote path level by level before it lists it.
TEST_F(SyncEngineTest, StepwiseVariantCreatesTheRemotePath) {
  site().AddDirectory("/pub");
  m.options.SubDirMode = -1;

  EXPECT_EQ(SyncStepwise("/pub/new/deep/"), 0);

  EXPECT_EQ(Commands(),
            Cat({kLogin,
                 {"CWD /pub/new/deep", "CWD /pub/new", "CWD /pub/new", "CWD /pub",
                  "MKD /pub/new", "CWD /pub", "MKD /pub/new/deep", "CWD /pub/new"},
                 Cd("/pub/new/deep"), List(), kQuit, kLogin, Cd("/pub/new/deep"), List(),
                 kQuit}));
  EXPECT_TRUE(site().HasDirectory("/pub/new/deep"));
  EXPECT_THAT(console().lines, ElementsAre(T(" * Found 0 files in /pub/new/deep/")));
}

// MKD is refused everywhere.
bool RefuseMkd(const std::string& command, MemorySession& session) {
  if (Verb(command) != "MKD") return false;
  session.Reply("550 Permission denied.");
  return true;
}

// The path exists up to its parent, the last level cannot be made: nothing to list, the
// directory is reported once, and every connection is closed.
TEST_F(SyncEngineTest, StepwiseVariantLeavesADirectoryItCannotEnter) {
  site().AddDirectory("/pub");
  site().Intercept(RefuseMkd);
  m.options.SubDirMode = -1;

  EXPECT_EQ(SyncStepwise("/pub/x/"), 1);

  EXPECT_EQ(Commands(), Cat({kLogin, {"CWD /pub/x", "CWD /pub", "MKD /pub/x", "CWD /pub"},
                             Cd("/pub/x"), kQuit, kLogin, Cd("/pub/x"), kQuit}));
  EXPECT_THAT(console().lines, ElementsAre(T(" * Warning: Unable to change to remote directory "
                                             "/pub/x/ (550 Failed to change directory.)")));
  EXPECT_EQ(m.server.counts().open_sessions, 0) << "every connection is closed";
}

// Only the starting directory is handled step by step: a sub-directory keeps one connection
// for its passes.
TEST_F(SyncEngineTest, StepwiseVariantHandsSubDirectoriesToTheNormalEngine) {
  AddTree(site());
  site().AddFile("/pub/b/b2.txt", "b2");
  m.options.SubDirMode = 1;

  EXPECT_EQ(SyncStepwise("/pub/"), 0);

  const Lines top_listing = Cat({kLogin, Cd("/pub"), List(), kQuit});
  EXPECT_EQ(Commands(),
            Cat({kLogin, {"CWD /pub", "CWD /pub", "CWD /pub"}, List(), kQuit,
                 DirectoryPhase("/pub/a"), FetchOne("/pub/a", "a1.txt"),
                 DirectoryPhase("/pub/b"),
                 Cat({kLogin, Cd("/pub/b"), List(), Retr("/pub/b/b1.txt"), Retr("/pub/b/b2.txt"),
                      Cd("/pub/b"), List(), kQuit}),
                 top_listing, kLogin, Retr("/pub/top.txt"), kQuit, top_listing}));
  EXPECT_EQ(m.totals.FilesTransferred, 4);
}

// Nothing is open at the abort test of the stepwise variant, so nothing is closed there.
TEST_F(SyncEngineTest, StepwiseVariantStopsBetweenDownloadsWithoutAQuit) {
  site().AddFile("/pub/a.txt", "aaaaa");
  site().AddFile("/pub/b.txt", "bbbbb");
  console().key_when = [this](const testing::RecordingConsole& c) {
    const bool first_fetched = std::find(c.lines.begin(), c.lines.end(),
                                         T(" 5 2001-03-05 /pub/a.txt")) != c.lines.end();
    return first_fetched && c.titles.back() == kTitle;
  };

  EXPECT_EQ(SyncStepwise("/pub/"), 1);

  EXPECT_EQ(Commands(), Cat({kLogin, Cd("/pub"), List(), kQuit, kLogin, Retr("/pub/a.txt"),
                             kQuit}));
  EXPECT_THAT(console().lines,
              ElementsAre(T(" * Found 2 files in /pub/"), T(" 5 2001-03-05 /pub/a.txt"),
                          T(" ** User Abort **")));
}

TEST_F(SyncEngineTest, StepwiseVariantFailsQuietlyWhenThePathCannotBeMade) {
  site().Intercept(RefuseMkd);
  m.options.SubDirMode = 1;

  EXPECT_EQ(SyncStepwise("/locked/x/"), 1);

  EXPECT_EQ(Commands(), Cat({kLogin,
                             {"CWD /locked/x", "CWD /locked", "CWD /locked", "CWD /",
                              "MKD /locked", "CWD /", "MKD /locked/x", "CWD /locked"},
                             kQuit}));
  EXPECT_THAT(console().lines, ElementsAre());
}

// A top-level directory is made below the root, which is reached with "CWD /".
TEST_F(SyncEngineTest, StepwiseVariantMakesATopLevelDirectory) {
  site().AddFile("/top.txt", "top");
  m.options.SubDirMode = -1;

  EXPECT_EQ(SyncStepwise("/new/"), 0);

  EXPECT_EQ(Commands(), Cat({kLogin, {"CWD /new", "CWD /", "MKD /new", "CWD /"}, Cd("/new"),
                             List(), kQuit, kLogin, Cd("/new"), List(), kQuit}));
  EXPECT_TRUE(site().HasDirectory("/new"));
  EXPECT_THAT(console().lines, ElementsAre(T(" * Found 0 files in /new/")));
}

}  // namespace
}  // namespace koru
