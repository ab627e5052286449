// A table of faults on the in-memory server, each mirrored three ways: over one connection, with
// -P1 and with -P4. Several connections change only the order of the lines: the local files,
// the set of warnings and errors, the totals and the result are those of the run over one
// connection, and each run ends by itself whatever the server does.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/memory_mirror.h"

namespace koru {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using Lines = std::vector<std::string>;

using testing::kMirrorDir;
constexpr const char* kLocal = kMirrorDir;

std::string T(const std::string& text) { return "09:05:03" + text; }

// Two files in /pub/ and two in each of its sub-directories a/ and b/, each with a content of
// its own.
const Lines kTree = {"/pub/f1.txt",   "/pub/f2.txt",   "/pub/a/a1.txt",
                     "/pub/a/a2.txt", "/pub/b/b1.txt", "/pub/b/b2.txt"};

std::string ContentOf(const std::string& path) {
  return path + std::string(40, path[path.size() - 5]);
}

std::string LocalOf(const std::string& remote) { return kLocal + remote.substr(5); }

using testing::Mode;
using testing::ModeName;

// One local mirror of the in-memory server's tree, mirrored with -S.
struct Mirror : testing::MemoryMirror {
  Mirror() { options.SubDirMode = 1; }

  void AddTree(const Lines& remote_files) {
    for (const std::string& path : remote_files) {
      server.AddFile(path, ContentOf(path));
      remote.push_back(path);
    }
  }

  // Runs the mirror of /pub/ in `mode` on a thread of its own, watched: when the run has taken
  // longer than any sound run could, the user's stop arrives. A run that ignores the stop as
  // well is left behind (`hung`), blocked, and the mirror with it.
  int32_t Run(Mode mode) {
    std::thread run([this, mode] {
      result = MemoryMirror::Run(mode == Mode::kOneConnection ? 0 : mode == Mode::kP1 ? 1 : 4);
      done = true;
    });
    const auto start = std::chrono::steady_clock::now();
    while (!done) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      const auto waited = std::chrono::steady_clock::now() - start;
      if (waited > kStopAfter && !watchdog_stopped) {
        watchdog_stopped = true;
        console.Stop();
      }
      if (waited > kGiveUpAfter) {
        hung = true;
        run.detach();
        return -1;
      }
    }
    run.join();
    return result;
  }

  // Every line, errors among them, in an order of their own, without the file counts (a count
  // is printed only before the run's first download, which depends on the order).
  Lines SortedLines() const {
    Lines lines;
    for (const Lines* from : {&console.lines, &console.error_lines}) {
      std::copy_if(
          from->begin(), from->end(), std::back_inserter(lines),
          [](const std::string& line) { return line.find(" * Found ") == std::string::npos; });
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }
  bool Printed(const std::string& part) const {
    const Lines lines = SortedLines();
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find(part) != std::string::npos;
    });
  }

  // Every local entry with its content ("<dir>" for a directory).
  std::map<std::string, std::string> LocalFiles() const {
    std::map<std::string, std::string> entries;
    for (const std::string& path : disk.Paths())
      entries[path] = disk.Content(path).value_or("<dir>");
    return entries;
  }

  // The remote files that arrived nowhere and were counted nowhere: neither whole locally, nor
  // a failed download, nor below a failed directory.
  Lines Unaccounted() const {
    Lines lost;
    for (const std::string& path : remote) {
      if (disk.Content(LocalOf(path)) == ContentOf(path)) continue;
      if (totals.FailedDownloads.contains(path)) continue;
      const bool below_failed =
          std::any_of(totals.FailedDirectories.begin(), totals.FailedDirectories.end(),
                      [&](const std::string& directory) { return path.starts_with(directory); });
      if (!below_failed) lost.push_back(path);
    }
    return lost;
  }

  Lines remote;  // the files the server had at the start
  std::atomic<int32_t> result = -1;
  std::atomic<bool> done = false;
  bool watchdog_stopped = false;  // the run took so long that the watchdog stopped it
  bool hung = false;              // and it did not end even then

  static constexpr auto kStopAfter = std::chrono::seconds(12);
  static constexpr auto kGiveUpAfter = std::chrono::seconds(17);
};

// What a run of one mode must show.
struct Expected {
  int32_t result = 0;
  Lines lines{};        // printed among others
  Lines not_printed{};  // parts no line may hold
  // Every remote file whole locally, a failed download, or below a failed directory.
  bool every_file_accounted = true;
  std::function<void(const Mirror&)> check{};  // further checks
};

struct Scenario {
  const char* name;
  std::function<void(Mirror&)> setup;
  Expected expected;
  // -P1 and -P4 give what one connection gives: the same local files, the same set of lines,
  // the same totals and result. Not where the outcome depends on the order of the work: then
  // only the expectations hold.
  bool same_as_one_connection = true;
  // The expectations of -P1 and -P4 where they differ by design from one connection's: they
  // are not compared with it.
  std::optional<Expected> p1{};
  std::optional<Expected> p4{};
  // A line as the modes compare it, or none to leave it out.
  std::function<std::optional<std::string>(const std::string&)> compared_line{};
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

void Check(const Mirror& m, const Expected& e) {
  EXPECT_FALSE(m.watchdog_stopped) << "the run did not end by itself";
  for (const std::string& line : e.lines) EXPECT_THAT(m.SortedLines(), Contains(line));
  for (const std::string& part : e.not_printed) {
    EXPECT_THAT(m.SortedLines(), Not(Contains(HasSubstr(part))));
  }
  if (e.every_file_accounted) {
    EXPECT_THAT(m.Unaccounted(), ::testing::IsEmpty());
  }
  EXPECT_EQ(m.disk.OpenHandles(), 0);
  if (e.check) e.check(m);
}

// `line` without the port of a passive reply, which depends on the order of the data
// connections.
std::string WithoutPort(std::string line) {
  const size_t address = line.find("(127,0,0,1,");
  const size_t end = line.find(')', address);
  if (address != std::string::npos && end != std::string::npos) {
    line.replace(address, end + 1 - address, "(127,0,0,1,<port>)");
  }
  return line;
}

Lines ComparedLines(const Mirror& m, const Scenario& s) {
  Lines lines;
  for (const std::string& sorted : m.SortedLines()) {
    const std::string line = WithoutPort(sorted);
    if (!s.compared_line) {
      lines.push_back(line);
    } else if (auto kept = s.compared_line(line)) {
      lines.push_back(*kept);
    }
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// The same files, lines, totals and result as the run `one`.
void ExpectSameAs(const Mirror& one, int32_t one_result, const Mirror& m, int32_t result,
                  const Scenario& s) {
  EXPECT_EQ(result, one_result);
  EXPECT_EQ(m.LocalFiles(), one.LocalFiles());
  EXPECT_EQ(ComparedLines(m, s), ComparedLines(one, s));
  EXPECT_EQ(m.totals.FilesTransferred, one.totals.FilesTransferred);
  EXPECT_EQ(m.totals.FailedDownloads, one.totals.FailedDownloads);
  EXPECT_EQ(m.totals.FailedDirectories, one.totals.FailedDirectories);
  EXPECT_EQ(m.totals.SubDirsCreated, one.totals.SubDirsCreated);
  EXPECT_EQ(m.totals.UndeletedFiles, one.totals.UndeletedFiles);
}

// The files of kTree but those below `directory` are whole locally, and none of those is.
void ExpectTreeBut(const Mirror& m, const std::string& directory) {
  for (const std::string& path : kTree) {
    if (path.starts_with(directory)) {
      EXPECT_EQ(m.disk.Content(LocalOf(path)), std::nullopt) << path;
    } else {
      EXPECT_EQ(m.disk.Content(LocalOf(path)), ContentOf(path)) << path;
    }
  }
}

void ExpectWholeTree(const Mirror& m) {
  ExpectTreeBut(m, "/none/");
  EXPECT_EQ(m.totals.FilesTransferred, static_cast<int>(kTree.size()));
  EXPECT_TRUE(m.totals.FailedDownloads.empty());
  EXPECT_TRUE(m.totals.FailedDirectories.empty());
}

const std::string kRemoteA = "remote a.txt, its own bytes";
const std::string kRemoteA1 = "remote a(1).txt, bytes of another file";
const std::string kRemoteX = "the new x, fetched again whole";
const std::string kRemotePart = "a file of its own that happens to end in .koru-part";

std::vector<Scenario> Scenarios() {
  return {
      {"RefusedListingOfASubDirectory",
       [](Mirror& m) {
         m.AddTree(kTree);
         m.server.FailCommand("LIST", "/pub/b", "550 Permission denied.");
       },
       {.result = 1,
        .lines = {T(
            " * Warning: Unable to list remote directory /pub/b/ (550 Permission denied.)")},
        .check =
            [](const Mirror& m) {
              ExpectTreeBut(m, "/pub/b/");
              EXPECT_EQ(m.totals.FailedDirectories, std::set<std::string>{"/pub/b/"});
              EXPECT_TRUE(m.totals.FailedDownloads.empty());
              EXPECT_EQ(m.totals.FilesTransferred, 4);
            }}},
      {"ListingWhoseDataConnectionIsRefused",
       [](Mirror& m) {
         m.AddTree(kTree);
         m.server.RefuseDataIn("/pub/b");
       },
       {.result = 1,
        .check =
            [](const Mirror& m) {
              ExpectTreeBut(m, "/pub/b/");
              EXPECT_EQ(m.totals.FailedDirectories, std::set<std::string>{"/pub/b/"});
              EXPECT_TRUE(m.totals.FailedDownloads.empty());
            }}},
      // The session closes after part of the listing: the part is not acted on, and the
      // listing is taken again over a new connection.
      {"ListingCutOnceIsTakenAgain",
       [](Mirror& m) {
         m.AddTree(kTree);
         m.server.CutListingOf("/pub/a", 70, 1);
       },
       {.result = 0,
        .check =
            [](const Mirror& m) {
              ExpectWholeTree(m);
              EXPECT_TRUE(m.Printed(" * Warning: Connection lost ("));
            }}},
      {"ListingCutEveryTimeFailsItsDirectory",
       [](Mirror& m) {
         m.AddTree(kTree);
         m.server.CutListingOf("/pub/a", 70, 1000);
       },
       {.result = 1,
        .check =
            [](const Mirror& m) {
              ExpectTreeBut(m, "/pub/a/");
              EXPECT_EQ(m.totals.FailedDirectories, std::set<std::string>{"/pub/a/"});
              EXPECT_TRUE(m.totals.FailedDownloads.empty());
            }}},
      // +M: "a(1).txt" is listed before "a.txt"; over one connection it takes the free name
      // a(1).txt, and a.txt, whose name is taken locally, the next free one, a(2).txt.
      {"MoveWithNumberedNamesNeverStoresTwoFilesUnderOneName",
       [](Mirror& m) {
         m.server.AddFile("/pub/a.txt", kRemoteA);
         m.server.AddFile("/pub/a(1).txt", kRemoteA1);
         m.disk.AddFile(std::string(kLocal) + "a.txt", "the local a.txt");
         m.options.MoveMode = 1;
         m.options.UniqueNames = 1;
       },
       {.result = 0,
        .every_file_accounted = false,
        .check =
            [](const Mirror& m) {
              std::multiset<std::string> contents;
              for (const auto& [path, content] : m.LocalFiles()) contents.insert(content);
              EXPECT_EQ(contents.count("the local a.txt"), 1u);
              EXPECT_EQ(contents.count(kRemoteA), 1u) << "remote a.txt lost";
              EXPECT_EQ(contents.count(kRemoteA1), 1u) << "remote a(1).txt lost";
              EXPECT_EQ(m.disk.Content(std::string(kLocal) + "a.txt"), "the local a.txt");
              EXPECT_EQ(m.disk.Content(std::string(kLocal) + "a(1).txt"), kRemoteA1);
              EXPECT_EQ(m.disk.Content(std::string(kLocal) + "a(2).txt"), kRemoteA);
              EXPECT_FALSE(m.server.HasFile("/pub/a.txt"));
              EXPECT_FALSE(m.server.HasFile("/pub/a(1).txt"));
              EXPECT_EQ(m.totals.FilesTransferred, 2);
            }}},
      // -N fetches the changed x again into x.koru-part beside it, while the server also lists
      // a file of that name: no file's bytes may end up mixed with another's.
      {"NewerFetchBesideAListedPartName",
       [](Mirror& m) {
         m.server.AddFile("/pub/x", kRemoteX);
         m.server.AddFile("/pub/x.koru-part", kRemotePart);
         m.disk.AddFile(std::string(kLocal) + "x", "old x");
         m.options.NewerMode = 1;
       },
       {.result = 0,
        .every_file_accounted = false,
        .check =
            [](const Mirror& m) {
              EXPECT_EQ(m.disk.Content(std::string(kLocal) + "x"), kRemoteX);
              const auto part = m.disk.Content(std::string(kLocal) + "x.koru-part");
              if (part) {
                EXPECT_EQ(*part, kRemotePart);
              } else {
                EXPECT_TRUE(m.Printed(" * Warning: Local name clash"));
              }
            }}},
      // The server takes one login and answers 530 to every later one. One connection logs in
      // again for each directory and fails there; with -P the further connections are given up
      // and the run goes on with the one it has.
      {"LoginsRefusedAfterTheFirst",
       [](Mirror& m) {
         m.AddTree(kTree);
         m.server.RefuseLoginsAfter(1);
       },
       {.result = 1,
        .lines = {T(" ERROR: Unable to open connection to server."), T("  530 Login incorrect.")}},
       /*same_as_one_connection=*/true,
       /*p1=*/Expected{.result = 0, .check = ExpectWholeTree},
       /*p4=*/Expected{.result = 0, .check = ExpectWholeTree}},
      // SIGTERM arrives with the first refused login or the first download, whichever comes
      // first, and from then on the server answers nothing.
      {"LoginsRefusedAfterTheFirstAndTheUserStops",
       [](Mirror& m) {
         m.AddTree(kTree);
         m.server.RefuseLoginsAfter(1);
         m.server.OnReply([&m](const std::string& line) {
           if (!line.starts_with("530 ") && !line.starts_with("150 Opening")) return false;
           m.console.Stop();
           return true;
         });
       },
       {.result = 1, .lines = {T(" ** User Abort **")}, .every_file_accounted = false},
       /*same_as_one_connection=*/false},
      // The session that asks for b1.txt is closed by the server, which takes no login from then
      // on: a run over one connection cannot go on (what is left depends on the order, with
      // -P1 too); -P4 goes on over the connections it still has.
      {"ConnectionLostAndItsLoginRefused",
       [](Mirror& m) {
         m.AddTree(kTree);
         m.server.CloseSessionAtRetrOf("/pub/b/b1.txt");
       },
       {.result = 1,
        .lines = {T(" * Warning: Connection lost (closed by the server)"),
                  T(" ERROR: Unable to open connection to server."), T("  530 Login incorrect.")},
        .not_printed = {" 000 "}},
       /*same_as_one_connection=*/true,
       /*p1=*/
       Expected{.result = 1,
                .lines = {T(" * Warning: Connection lost (closed by the server)")},
                .not_printed = {" 000 "}},
       /*p4=*/Expected{.result = 0, .check = ExpectWholeTree}},
      // After two downloads every session is closed and every connect refused: what was not
      // fetched is counted, nothing is noted about the number of connections, and no reply is
      // made up.
      {"ServerGoneMidRun",
       [](Mirror& m) {
         m.AddTree(kTree);
         m.server.GoAwayAfter(2);
       },
       {.result = 1,
        .not_printed = {"the server allows", " 000 "},
        .check = [](const Mirror& m) { EXPECT_EQ(m.totals.FilesTransferred, 2); }},
       /*same_as_one_connection=*/false},
      // The disk is full before the first byte: one error, the downloads end at once, and every
      // file counts as failed. Which file meets the full disk first depends on the order.
      {"LocalDiskFull",
       [](Mirror& m) {
         m.AddTree({"/pub/f1.txt", "/pub/f2.txt", "/pub/f3.txt", "/pub/f4.txt"});
         m.disk.AddFile("/elsewhere", std::string(50, 'x'));
         m.disk.SetCapacity(50, ENOSPC);
       },
       {.result = 1,
        .check =
            [](const Mirror& m) {
              const Lines lines = m.SortedLines();
              EXPECT_EQ(
                  std::count_if(lines.begin(), lines.end(),
                                [](const std::string& line) {
                                  return line.starts_with(T(
                                             std::string(" ERROR: Local disk full: ") + kLocal)) &&
                                         line.ends_with(" (No space left on device)");
                                }),
                  1)
                  << ::testing::PrintToString(lines);
              EXPECT_EQ(m.totals.FilesTransferred, 0);
              EXPECT_EQ(m.totals.FailedDownloads.size(), 4u);
            }},
       /*same_as_one_connection=*/true,
       /*p1=*/std::nullopt,
       /*p4=*/std::nullopt,
       // The failed file's name, and the downloads already started, depend on the order.
       [](const std::string& line) -> std::optional<std::string> {
         if (line.find(" /pub/f") != std::string::npos &&
             line.find("2001-03-05") != std::string::npos) {
           return std::nullopt;
         }
         const size_t full = line.find("Local disk full: ");
         if (full != std::string::npos) return line.substr(0, full) + "Local disk full: <file>";
         return line;
       }},
  };
}

class MirrorModesTest : public ::testing::TestWithParam<std::tuple<Scenario, Mode>> {};

// A run that hung is left to its thread with everything it uses, reachable from here.
std::vector<std::unique_ptr<Mirror>>& HungMirrors() {
  static auto* hung = new std::vector<std::unique_ptr<Mirror>>;
  return *hung;
}

// Runs `m` and reports whether it ended; a mirror whose run hung is kept from being destroyed.
bool RunToTheEnd(std::unique_ptr<Mirror>& m, Mode mode, int32_t* result) {
  *result = m->Run(mode);
  if (!m->hung) return true;
  ADD_FAILURE() << ModeName(mode) << ": the run did not end, not even when the user stopped it";
  HungMirrors().push_back(std::move(m));
  return false;
}

TEST_P(MirrorModesTest, SameOutcomeOverAnyNumberOfConnections) {
  const auto& [scenario, mode] = GetParam();
  auto owned = std::make_unique<Mirror>();
  scenario.setup(*owned);
  int32_t result = 0;
  if (!RunToTheEnd(owned, mode, &result)) return;
  const Mirror& m = *owned;

  const std::optional<Expected>& own = mode == Mode::kP1   ? scenario.p1
                                       : mode == Mode::kP4 ? scenario.p4
                                                           : std::nullopt;
  const Expected& expected = own ? *own : scenario.expected;
  EXPECT_EQ(result, expected.result);
  Check(m, expected);
  if (mode == Mode::kOneConnection || own || !scenario.same_as_one_connection) return;

  auto one = std::make_unique<Mirror>();
  scenario.setup(*one);
  int32_t one_result = 0;
  if (!RunToTheEnd(one, Mode::kOneConnection, &one_result)) return;
  ExpectSameAs(*one, one_result, m, result, scenario);
}

INSTANTIATE_TEST_SUITE_P(Faults, MirrorModesTest,
                         ::testing::Combine(::testing::ValuesIn(Scenarios()),
                                            ::testing::Values(Mode::kOneConnection, Mode::kP1,
                                                              Mode::kP4)),
                         [](const ::testing::TestParamInfo<MirrorModesTest::ParamType>& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  ModeName(std::get<1>(info.param));
                         });

}  // namespace
}  // namespace koru
