// The run over several connections at once against the in-memory server: the downloads overlap,
// the run never holds more sessions than it may, and what it prints and fetches is what the
// one-connection run prints and fetches.
#include "sync/sync_engine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "tests/memory_mirror.h"

namespace koru {
namespace {

using Lines = std::vector<std::string>;

using testing::kMirrorDir;
const std::string kLocal = kMirrorDir;

// Two directories of four files each and one big file beside them, each file's content its own.
Lines RemoteFiles() {
  Lines files;
  for (const char* directory : {"a", "b"}) {
    for (int i = 1; i <= 4; ++i) {
      files.push_back("/pub/" + std::string(directory) + "/f" + std::to_string(i) + ".txt");
    }
  }
  files.push_back("/pub/big.bin");
  return files;
}
constexpr int kDirectories = 3;  // /pub/ and its two
constexpr int kFiles = 9;

std::string ContentOf(const std::string& path) {
  if (path == "/pub/big.bin") return std::string(300000, 'B');
  return path + std::string(path.size() * 3, path[path.size() - 5]);
}

bool IsFileCount(const std::string& line) {
  return line.find(" * Found ") != std::string::npos && line.find(" file") != std::string::npos;
}

// One local mirror of the tree.
struct Mirror : testing::MemoryMirror {
  Mirror() {
    for (const std::string& path : RemoteFiles()) server.AddFile(path, ContentOf(path));
    options.SubDirMode = 1;
  }

  int32_t InParallel(int connections) { return Run(connections); }
  int32_t OverOneConnection() { return Run(0); }

  // The lines in an order of their own, without the file counts (a count is printed only before
  // the run's first download, which depends on the order the connections work in).
  Lines SortedLines() const {
    Lines lines;
    std::copy_if(console.lines.begin(), console.lines.end(), std::back_inserter(lines),
                 [](const std::string& line) { return !IsFileCount(line); });
    std::sort(lines.begin(), lines.end());
    return lines;
  }
};

// The TYPE commands of a session that ask for the type it already has.
Lines RepeatedTypes(const Lines& commands) {
  Lines repeated;
  std::string type;
  for (const std::string& command : commands) {
    if (!command.starts_with("TYPE ")) continue;
    if (command == type) repeated.push_back(command);
    type = command;
  }
  return repeated;
}

struct ParallelCase {
  const char* name;
  int connections;
  int server_limit;  // sessions the server allows at once; 0: any number
  int sessions;      // the run opens this many, all of them at once
};

class ParallelRunTest : public ::testing::TestWithParam<ParallelCase> {};

// The first downloads wait at the server until as many are in progress as the run may have
// sessions, so the run only gets on when its connections download at the same time. The tree
// arrives whole, as the one-connection run fetches it and with the same lines; each session
// logs in once and sends TYPE only to change the type.
TEST_P(ParallelRunTest, DownloadsOverlapOnAsManySessionsAsAllowed) {
  const ParallelCase& c = GetParam();
  Mirror one;
  ASSERT_EQ(one.OverOneConnection(), 0);
  Mirror mirror;
  mirror.server.LimitSessions(c.server_limit);
  mirror.server.HoldDownloadsUntil(c.connections);

  EXPECT_EQ(mirror.InParallel(c.connections), 0);

  const auto counts = mirror.server.counts();
  EXPECT_EQ(counts.stalled_waits, 0);
  EXPECT_EQ(counts.sessions, c.sessions);
  EXPECT_EQ(counts.most_sessions, c.sessions);
  EXPECT_EQ(counts.most_downloads, c.sessions);
  // Connections that log in at the same time may both be refused.
  if (c.server_limit > 0) {
    EXPECT_GE(counts.refused, 1);
  } else {
    EXPECT_EQ(counts.refused, 0);
  }
  for (const std::string& path : RemoteFiles()) {
    EXPECT_EQ(mirror.disk.Content(kLocal + path.substr(5)), ContentOf(path)) << path;
  }
  EXPECT_EQ(mirror.disk.Paths(), one.disk.Paths());
  EXPECT_EQ(mirror.disk.OpenHandles(), 0);
  EXPECT_EQ(mirror.totals.FilesTransferred, kFiles);
  EXPECT_TRUE(mirror.totals.FailedDownloads.empty());
  EXPECT_TRUE(mirror.totals.FailedDirectories.empty());
  EXPECT_EQ(mirror.SortedLines(), one.SortedLines());
  for (const Lines& session : mirror.server.commands()) {
    EXPECT_EQ(std::count(session.begin(), session.end(), "USER anonymous"), 1);
    EXPECT_THAT(RepeatedTypes(session), ::testing::IsEmpty());
    EXPECT_EQ(session.back(), "QUIT");
  }
  // A listing serves a directory's sub-directories and its files; each directory is listed
  // once more by the pass that follows the one that downloaded.
  EXPECT_EQ(mirror.Count("LIST"), 2 * kDirectories);
  EXPECT_EQ(mirror.Count("RETR"), kFiles);
}

INSTANTIATE_TEST_SUITE_P(
    Connections, ParallelRunTest,
    ::testing::Values(ParallelCase{"One", 1, 0, 1}, ParallelCase{"Two", 2, 0, 2},
                      ParallelCase{"Four", 4, 0, 4},
                      ParallelCase{"FourOnAServerOfTwo", 4, 2, 2}),
    [](const ::testing::TestParamInfo<ParallelCase>& info) { return info.param.name; });

// A server that allows fewer sessions than asked for: the run goes on with those it has, fails
// nothing, and says once (verbose) how many the server allows.
TEST(ParallelRunLimitTest, ServerLimitIsNotedOnceAndFailsNothing) {
  Mirror mirror;
  mirror.options.VerboseLevel = -1;
  mirror.server.LimitSessions(2);
  // The downloads wait until the run has asked for more sessions than the server allows.
  mirror.server.HoldDownloadsUntil(4);

  EXPECT_EQ(mirror.InParallel(4), 0);

  EXPECT_EQ(mirror.server.counts().most_sessions, 2);
  EXPECT_EQ(std::count(mirror.console.lines.begin(), mirror.console.lines.end(),
                       "09:05:03 * Note: the server allows 2 connections"),
            1);
  EXPECT_EQ(mirror.totals.FilesTransferred, kFiles);
  EXPECT_TRUE(mirror.totals.FailedDownloads.empty());
  EXPECT_TRUE(mirror.totals.FailedDirectories.empty());
}

// A run that finds the mirror complete lists each directory once, logs in no more often than it
// has connections, and fetches nothing.
TEST(ParallelRunAgainTest, CompleteMirrorIsListedOnceAndNothingFetched) {
  Mirror mirror;
  ASSERT_EQ(mirror.InParallel(4), 0);
  const size_t first_run_sessions = mirror.server.commands().size();
  mirror.totals = RunTotals{};

  EXPECT_EQ(mirror.InParallel(4), 0);

  EXPECT_EQ(mirror.Count("LIST", first_run_sessions), kDirectories);
  EXPECT_LE(mirror.Count("USER", first_run_sessions), 4);
  EXPECT_EQ(mirror.Count("RETR", first_run_sessions), 0);
  EXPECT_EQ(mirror.totals.FilesTransferred, 0);
  EXPECT_EQ(mirror.server.counts().stalled_waits, 0);
}

// The user stops the run while the connections wait for the replies to their final QUITs (the
// server has fallen silent): the stop is heard at once, said once, and fails the run.
TEST(ParallelRunStopTest, StopDuringTheFinalQuitsIsHeard) {
  Mirror mirror;
  mirror.server.HoldDownloadsUntil(4);
  mirror.server.OnReply([&mirror](const std::string& line) {
    if (!line.starts_with("221 ")) return false;
    mirror.console.Stop();
    return true;
  });

  EXPECT_EQ(mirror.InParallel(4), 1);

  EXPECT_EQ(mirror.server.counts().stalled_waits, 0);
  EXPECT_EQ(std::count(mirror.console.lines.begin(), mirror.console.lines.end(),
                       "09:05:03 ** User Abort **"),
            1);
  EXPECT_EQ(mirror.totals.FilesTransferred, kFiles);
}

struct IdleCase {
  const char* name;
  const char* timed_out_after;  // the command after which the server times the session out
  bool one_pass;                // -O: no pass after the downloads, the QUIT comes next
  int logins;
  int quits;
};

class ParallelRunIdleTest : public ::testing::TestWithParam<IdleCase> {};

// The server times the connection out while it stands idle between two steps (a download
// ended, the next not yet asked for) or before the final QUIT. The next step finds the notice
// waiting and logs in again without a word; the QUIT is not sent to a connection that is gone.
// Nothing is lost, no try is spent, the run succeeds.
TEST_P(ParallelRunIdleTest, ConnectionTimedOutWhileIdleIsLoggedInAgainInSilence) {
  testing::MemoryMirror m;
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
    m.server.AddFile(std::string("/pub/") + name, std::string("content of ") + name);
  }
  m.server.TimeOutAfter(GetParam().timed_out_after);
  m.options.OverwriteMode = GetParam().one_pass ? kOn : kOff;

  EXPECT_EQ(m.Run(1), 0);

  EXPECT_EQ(m.totals.FilesTransferred, 3);
  EXPECT_TRUE(m.totals.FailedDownloads.empty());
  EXPECT_EQ(m.disk.Content(kLocal + "c.txt"), "content of c.txt");
  for (const std::string& line : m.console.lines) {
    EXPECT_THAT(line, ::testing::Not(::testing::AnyOf(::testing::HasSubstr("ost"),
                                                      ::testing::HasSubstr("ERROR"),
                                                      ::testing::HasSubstr("Warning"))));
  }
  EXPECT_EQ(m.server.counts().logins, GetParam().logins);
  EXPECT_EQ(m.Count("QUIT"), GetParam().quits);
  EXPECT_EQ(m.server.counts().stalled_waits, 0);
}

INSTANTIATE_TEST_SUITE_P(Idle, ParallelRunIdleTest,
                         ::testing::Values(IdleCase{"BetweenDownloads", "RETR /pub/a.txt", false, 2, 1},
                                           IdleCase{"BeforeTheQuit", "RETR /pub/c.txt", true, 1, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// A server that leaves the PASV sent together with a CWD and a TYPE A unanswered: the
// connection goes quietly, a new one sends each command alone, and the run succeeds without a
// word of it.
TEST(ParallelRunPipeliningTest, PassiveLeftUnansweredAfterACwdCostsOneQuietLogin) {
  testing::MemoryMirror m;
  m.env.stalled_reply_wait_ms = 200;
  for (const char* name : {"a.txt", "b.txt"}) {
    m.server.AddFile(std::string("/pub/") + name, std::string("content of ") + name);
  }
  std::map<size_t, std::vector<std::string>> verbs_of;  // by session
  bool silent_once = false;
  m.server.Intercept([&](const std::string& command, testing::MemorySession& session) {
    std::vector<std::string>& verbs = verbs_of[session.index()];
    verbs.push_back(command.substr(0, command.find(' ')));
    const size_t n = verbs.size();
    const bool pipelined = n >= 3 && verbs[n - 1] == "PASV" && verbs[n - 2] == "TYPE" &&
                           verbs[n - 3] == "CWD";
    if (!pipelined || silent_once) return false;
    silent_once = true;
    session.FallSilent();
    return true;
  });

  EXPECT_EQ(m.Run(2), 0);

  EXPECT_TRUE(silent_once);
  EXPECT_EQ(m.Count("USER"), 3);  // two connections, and the one that replaced the silent one
  EXPECT_EQ(m.totals.FilesTransferred, 2);
  EXPECT_EQ(m.disk.Content(kLocal + "b.txt"), "content of b.txt");
  for (const std::string& line : m.console.lines) {
    EXPECT_THAT(line, ::testing::Not(::testing::AnyOf(::testing::HasSubstr("ost"),
                                                      ::testing::HasSubstr("ERROR"),
                                                      ::testing::HasSubstr("Warning"))));
  }
  EXPECT_EQ(m.server.counts().stalled_waits, 0);
}

}  // namespace
}  // namespace koru
