// Exact remote dates against the in-memory server, over one connection (the documented
// sequence) and over one or four at once: what the server offers is asked once a run, MLSD
// dates files to the second, a LIST-only server's zone is probed once, dates are compared to
// the second where they are exact, and -L keeps the listing's dates alone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "listing/remote_time.h"
#include "tests/local_dates.h"
#include "tests/memory_mirror.h"

namespace koru {
namespace {

using Lines = std::vector<std::string>;
using testing::Mode;
using testing::ModeName;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string kLocal = testing::kMirrorDir;
// Within half a year of the fake clock's date: LIST shows it with its time of day.
const int64_t kChanged = CivilToSeconds({2026, 12, 9, 21, 30, 42});
const int64_t kChangedMinute = CivilToSeconds({2026, 12, 9, 21, 30, 0});

class ExactDatesTest : public ::testing::TestWithParam<Mode> {
 protected:
  ExactDatesTest() { Fresh(); }
  ~ExactDatesTest() override { CheckNoStall(); }

  // A new server, disk and console: each case of a table starts afresh.
  void Fresh() {
    if (mir) CheckNoStall();
    mir = std::make_unique<testing::MemoryMirror>();
    mir->env.channel_timeout_ms = 300;
    mir->options.ProgramTitle = "KORU 20080313";
  }
  void CheckNoStall() const {
    EXPECT_EQ(mir->server.counts().stalled_waits, 0) << "a wait that nothing ended";
  }

  int32_t Run(const std::string& path = "/pub/") {
    const Mode mode = GetParam();
    return mir->Run(mode == Mode::kOneConnection ? 0 : mode == Mode::kP1 ? 1 : 4, path);
  }
  void OfferAll() {
    mir->server.Offer({.features = testing::MemoryFtpServer::ModernFeatures(), .mlsd = true,
                    .mdtm = true, .utf8 = true});
  }
  void OfferListAndMdtm() {
    mir->server.Offer({.features = Lines{"MDTM", "SIZE"}, .mdtm = true});
  }
  int64_t LocalDate(const std::string& name) { return mir->disk.Stat(kLocal + name).modified_seconds; }
  // How many console lines end with `text`.
  int LinesEndingWith(const std::string& text) const {
    const Lines& lines = mir->console.lines;
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&](const std::string& l) { return l.ends_with(text); }));
  }
  // Every command that begins with `verb`.
  Lines CommandsOf(const std::string& verb) const {
    Lines found;
    for (const std::string& c : mir->AllCommands()) {
      if (c.starts_with(verb)) found.push_back(c);
    }
    return found;
  }
  // Each session that logged in sent OPTS UTF8 ON right after its login (and FEAT, once).
  void ExpectOptsRightAfterEachLogin() const {
    for (const Lines& session : mir->server.commands()) {
      const auto pass = std::find_if(session.begin(), session.end(),
                                     [](const std::string& c) { return c.starts_with("PASS"); });
      if (pass == session.end()) continue;
      auto next = pass + 1;
      if (next != session.end() && *next == "FEAT") ++next;
      ASSERT_NE(next, session.end());
      EXPECT_EQ(*next, "OPTS UTF8 ON");
    }
  }

  std::unique_ptr<testing::MemoryMirror> mir;
};

TEST_P(ExactDatesTest, MlsdGivesNamesWholeLinksAndDatesToTheSecond) {
  OfferAll();
  mir->server.AddFile("/pub/a.txt", "abc");
  mir->server.SetFileTime("/pub/a.txt", kChanged);
  mir->server.AddFile("/pub/ old;one ", "12345");
  mir->server.AddFile("/pub/target.txt", "xyz");
  mir->server.AddDirectory("/pub/sub");
  mir->server.AddFile("/pub/sub/b.txt", "bb");
  mir->server.SetFileTime("/pub/sub/b.txt", kChanged + 1);
  mir->options.SubDirMode = 1;

  EXPECT_EQ(Run(), 0);

  EXPECT_EQ(mir->disk.Content(kLocal + "a.txt"), "abc");
  EXPECT_EQ(LocalDate("a.txt"), kChanged);
  EXPECT_EQ(LocalDate("sub/b.txt"), kChanged + 1);
  EXPECT_THAT(mir->AllCommands(), Contains("RETR /pub/ old;one "));
  EXPECT_EQ(CommandsOf("FEAT").size(), 1u);
  EXPECT_THAT(CommandsOf("MLSD"), ::testing::Each(std::string("MLSD")));
  EXPECT_FALSE(CommandsOf("MLSD").empty());
  EXPECT_TRUE(CommandsOf("LIST").empty());
  EXPECT_TRUE(CommandsOf("MDTM").empty());
  ExpectOptsRightAfterEachLogin();
  if (GetParam() == Mode::kOneConnection) {
    const Lines all = mir->AllCommands();
    ASSERT_GE(all.size(), 5u);
    EXPECT_EQ(Lines(all.begin(), all.begin() + 5),
              (Lines{"USER anonymous", "PASS guest@", "FEAT", "OPTS UTF8 ON", "CWD /pub"}));
  }
}

TEST_P(ExactDatesTest, LinkInMlsdIsSizedAndFetched) {
  OfferAll();
  mir->server.AddFile("/pub/lnk", "12345");
  mir->server.SetMlsdListing("/pub", {"type=cdir;modify=20261209213042; /pub",
                                   "type=OS.unix=slink:/data/f;size=7;modify=20261209213042; lnk"});

  EXPECT_EQ(Run(), 0);

  EXPECT_THAT(mir->AllCommands(), Contains("SIZE /pub/lnk"));
  EXPECT_EQ(mir->disk.Content(kLocal + "lnk"), "12345");
  EXPECT_EQ(LocalDate("lnk"), kChanged);
}

struct Fallback {
  const char* name;
  std::optional<std::string> fail_reply;  // MLSD of /pub answered this
  bool raw_lines = false;                 // MLSD of /pub sends a line that does not read
  const char* note;
};

TEST_P(ExactDatesTest, RefusedOrUnreadableMlsdListsWithListAndSaysSoOnce) {
  const Fallback cases[] = {
      {"550", "550 Permission denied.", false, " * Listed with LIST: MLSD refused (550 Permission denied.)"},
      {"500", "500 What?", false, " * Listed with LIST: MLSD refused (500 What?)"},
      {"502", "502 Command not implemented.", false,
       " * Listed with LIST: MLSD refused (502 Command not implemented.)"},
      {"unreadable", std::nullopt, true, " * Listed with LIST: MLSD unreadable"},
  };
  for (const Fallback& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    OfferAll();
    mir->server.AddFile("/pub/a.txt", "abc");
    mir->server.AddFile("/pub/sub/b.txt", "bb");
    mir->server.SetFileTime("/pub/sub/b.txt", kChanged);
    if (c.fail_reply) mir->server.FailCommand("MLSD", "/pub", *c.fail_reply);
    if (c.raw_lines) mir->server.SetMlsdListing("/pub", {"type=file;size=3; a.txt", "garbage"});
    mir->options.VerboseLevel = -1;
    mir->options.SubDirMode = 1;

    EXPECT_EQ(Run(), 0);

    EXPECT_EQ(mir->disk.Content(kLocal + "a.txt"), "abc");
    EXPECT_EQ(LinesEndingWith(c.note), 1);
    EXPECT_FALSE(CommandsOf("LIST").empty());
    // The sub-directory's MLSD reads: its file is dated to the second.
    EXPECT_EQ(LocalDate("sub/b.txt"), kChanged);
  }
}

TEST_P(ExactDatesTest, RefusedFeatOffersNothingAndListsAsBefore) {
  mir->server.AddFile("/pub/a.txt", "abc");
  mir->server.SetFileTime("/pub/a.txt", kChanged);

  EXPECT_EQ(Run(), 0);

  EXPECT_EQ(CommandsOf("FEAT").size(), 1u);
  for (const char* verb : {"OPTS", "MLSD", "MDTM"}) EXPECT_TRUE(CommandsOf(verb).empty()) << verb;
  EXPECT_EQ(LocalDate("a.txt"), [] {
    // The listed wall time, read as local time.
    const SYSTEMTIME listed = testing::Date(2026, 12, 9, 21, 30);
    return testing::EpochOfLocal(listed);
  }());
  if (GetParam() == Mode::kOneConnection) {
    const Lines all = mir->AllCommands();
    ASSERT_GE(all.size(), 4u);
    EXPECT_EQ(Lines(all.begin(), all.begin() + 4),
              (Lines{"USER anonymous", "PASS guest@", "FEAT", "CWD /pub"}));
  }
}

TEST_P(ExactDatesTest, FeatOnceARunOptsAfterEveryLogin) {
  OfferAll();
  for (const char* path : {"/pub/a.txt", "/pub/x/b.txt", "/pub/y/c.txt", "/pub/y/z/d.txt"}) {
    mir->server.AddFile(path, path);
  }
  mir->options.SubDirMode = 1;

  EXPECT_EQ(Run(), 0);

  EXPECT_EQ(mir->disk.Content(kLocal + "y/z/d.txt"), "/pub/y/z/d.txt");
  EXPECT_EQ(CommandsOf("FEAT").size(), 1u);
  EXPECT_EQ(CommandsOf("OPTS UTF8 ON").size(), CommandsOf("PASS").size());
  if (GetParam() == Mode::kOneConnection) {
    EXPECT_GT(CommandsOf("PASS").size(), 1u);
  }
  ExpectOptsRightAfterEachLogin();
}

TEST_P(ExactDatesTest, ServerZoneFromOneMdtmCorrectsListedTimes) {
  for (const int zone : {-300, 0, 330, 840}) {
    SCOPED_TRACE(zone);
    Fresh();
    OfferListAndMdtm();
    mir->server.SetServerZone(zone);
    mir->server.AddFile("/pub/old.txt", "12345");  // listed with its year: no probe of it
    mir->server.AddFile("/pub/a.txt", "abc");
    mir->server.SetFileTime("/pub/a.txt", kChanged);
    mir->server.AddFile("/pub/sub/b.txt", "bb");
    mir->server.SetFileTime("/pub/sub/b.txt", kChanged - 3600);
    mir->options.SubDirMode = 1;
    mir->options.VerboseLevel = -1;

    EXPECT_EQ(Run(), 0);

    EXPECT_EQ(LocalDate("a.txt"), kChangedMinute);
    EXPECT_EQ(LocalDate("sub/b.txt"), kChangedMinute - 3600);
    EXPECT_EQ(CommandsOf("MDTM"), Lines{"MDTM /pub/a.txt"});
    EXPECT_EQ(LinesEndingWith(" * Server time: " + ZoneText(zone) + " (from MDTM of /pub/a.txt)"),
              1);
    EXPECT_TRUE(CommandsOf("MLSD").empty());
  }
}

TEST_P(ExactDatesTest, YearOnlyListingGivesNoProbe) {
  OfferListAndMdtm();
  mir->server.AddFile("/pub/old.txt", "12345");

  EXPECT_EQ(Run(), 0);

  EXPECT_EQ(mir->disk.Content(kLocal + "old.txt"), "12345");
  EXPECT_TRUE(CommandsOf("MDTM").empty());
}

TEST_P(ExactDatesTest, RefusedMdtmLeavesTheListedReadingAndIsNotAskedAgain) {
  mir->server.Offer({.features = Lines{"MDTM"}, .mdtm = false, .mdtm_refusal = "550 No."});
  mir->server.SetServerZone(330);
  mir->server.AddFile("/pub/a.txt", "abc");
  mir->server.SetFileTime("/pub/a.txt", kChanged);
  mir->server.AddFile("/pub/sub/b.txt", "bb");
  mir->server.SetFileTime("/pub/sub/b.txt", kChanged);
  mir->options.SubDirMode = 1;

  EXPECT_EQ(Run(), 0);

  EXPECT_EQ(CommandsOf("MDTM").size(), 1u);
  // 21:30 UTC is 03:00 on the 10th at +05:30, read as local time.
  EXPECT_EQ(LocalDate("a.txt"), testing::EpochOfLocal(testing::Date(2026, 12, 10, 3, 0)));
}

struct Compare {
  const char* name;
  bool listing_only;  // -L
  int32_t newer;
  int32_t resume;
  const char* local_content;
  int64_t local_date;
  int retr;  // RETR sent
  int rest;  // REST sent
};

// A local copy dated within the same minute as the remote file, a few seconds off: exact dates
// tell them apart; the listing's do not.
TEST_P(ExactDatesTest, NewerAndResumeDecideToTheSecondWithMlsd) {
  const Compare cases[] = {
      {"-N exact: same size, other second", false, kOn, 0, "xyz", kChanged - 30, 1, 0},
      {"-N -L: same minute is the same date", true, kOn, 0, "xyz", kChanged - 30, 0, 0},
      {"-N exact: same second", false, kOn, 0, "xyz", kChanged, 0, 0},
      {"-R exact: other second, fetched whole", false, 0, -1, "ab", kChanged - 30, 1, 0},
      {"-R -L: same minute, resumed", true, 0, -1, "ab", kChanged - 30, 1, 1},
      {"-R exact: same second, resumed", false, 0, -1, "ab", kChanged, 1, 1},
  };
  for (const Compare& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    OfferAll();
    mir->server.AddFile("/pub/a.txt", "abc");
    mir->server.SetFileTime("/pub/a.txt", kChanged);
    mir->disk.AddFile(kLocal + "a.txt", c.local_content, c.local_date);
    mir->options.ListingDatesOnly = c.listing_only ? kOn : kOff;
    mir->options.NewerMode = c.newer;
    mir->options.ResumeMode = c.resume;

    EXPECT_EQ(Run(), 0);

    EXPECT_EQ(static_cast<int>(CommandsOf("RETR").size()), c.retr);
    EXPECT_EQ(static_cast<int>(CommandsOf("REST").size()), c.rest);
    EXPECT_EQ(mir->disk.Content(kLocal + "a.txt"), c.retr ? "abc" : c.local_content);
  }
}

TEST_P(ExactDatesTest, ExistingMirrorIsRedatedOnceThenLeftAlone) {
  OfferAll();
  mir->server.AddFile("/pub/a.txt", "abc");
  mir->server.SetFileTime("/pub/a.txt", kChanged);
  mir->server.AddFile("/pub/b.txt", "bb");
  mir->server.SetFileTime("/pub/b.txt", kChanged);
  // An earlier run dated the copies from the listing: to the minute.
  mir->disk.AddFile(kLocal + "a.txt", "abc", kChangedMinute);
  mir->options.VerboseLevel = -1;

  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(LocalDate("a.txt"), kChanged);
  EXPECT_EQ(LocalDate("b.txt"), kChanged);
  EXPECT_EQ(CommandsOf("RETR"), Lines{"RETR /pub/b.txt"});
  EXPECT_EQ(LinesEndingWith("  File date stamps are different."), 1);

  const size_t sessions = mir->server.commands().size();
  const size_t lines = mir->console.lines.size();
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(mir->Count("RETR", sessions), 0);
  EXPECT_EQ(LinesEndingWith("  File date stamps are different."), 1);
  EXPECT_GT(mir->console.lines.size(), lines);
}

TEST_P(ExactDatesTest, ListingDatesOnlyAsksNothing) {
  OfferAll();
  mir->server.AddFile("/pub/a.txt", "abc");
  mir->server.SetFileTime("/pub/a.txt", kChanged);
  mir->options.ListingDatesOnly = kOn;

  EXPECT_EQ(Run(), 0);

  EXPECT_EQ(LocalDate("a.txt"), kChangedMinute);
  for (const char* verb : {"FEAT", "OPTS", "MLSD", "MDTM"}) {
    EXPECT_TRUE(CommandsOf(verb).empty()) << verb;
  }
  if (GetParam() == Mode::kOneConnection) {
    EXPECT_EQ(mir->AllCommands(),
              (Lines{"USER anonymous", "PASS guest@", "CWD /pub", "PASV", "TYPE A", "LIST", "PASV",
                     "TYPE I", "RETR /pub/a.txt", "CWD /pub", "PASV", "TYPE A", "LIST", "QUIT"}));
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, ExactDatesTest,
                         ::testing::Values(Mode::kOneConnection, Mode::kP1, Mode::kP4),
                         [](const auto& info) { return std::string(ModeName(info.param)); });

}  // namespace
}  // namespace koru
