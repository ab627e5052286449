#include "app/quiet_console.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/fakes.h"

namespace koru {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The lines a filter keeps of `lines`, written in this order.
std::vector<std::string> Kept(const std::vector<std::string>& lines) {
  FailureLineFilter filter;
  std::vector<std::string> kept;
  for (const std::string& line : lines) {
    if (filter.Keep(line)) kept.push_back(line);
  }
  return kept;
}

TEST(FailureLineFilterTest, KeepsFailureLinesOnly) {
  const struct {
    const char* what;
    std::vector<std::string> lines;
    std::vector<std::string> kept;
  } cases[] = {
      {"a run that went well",
       {"Koru (KORU 20080313)", "14:02:10 12-10-2026", " ftp://anonymous@host", " R Path: /pub/",
        " L Path: /home/x", "14:02:11 * Found 2 files in /pub/", "14:02:11 10 2021-06-01 /pub/a",
        "14:02:12 * Removed remote file /pub/a", "14:02:12 * Note: the server allows 2 connections",
        "14:02:12 1 file transferred.", "14:02:12 3 subdirectories found.",
        "14:02:12 * No more files to transfer."},
       {}},
      {"warnings and the totals of failures",
       {"14:02:12 550 Failed to open file.",
        "14:02:12 * Warning: Unable to download /pub/s (550 Failed to open file.)",
        "14:02:13 * Warning: Local file size does not match remote (10/20)",
        "14:02:13 * Remote file was not erased as requested by move option switch.",
        "14:02:13 * Warning: Unable to delete remote file as requested.",
        "14:02:13 * Not deleted: /pub/a.txt (550 Permission denied.)",
        "14:02:14 1 file transferred.", "14:02:14 12 files failed.",
        "14:02:14 1 directory failed.", "14:02:14 2 remote files not deleted."},
       {"14:02:12 * Warning: Unable to download /pub/s (550 Failed to open file.)",
        "14:02:13 * Warning: Local file size does not match remote (10/20)",
        "14:02:13 * Remote file was not erased as requested by move option switch.",
        "14:02:13 * Warning: Unable to delete remote file as requested.",
        "14:02:13 * Not deleted: /pub/a.txt (550 Permission denied.)",
        "14:02:14 12 files failed.", "14:02:14 1 directory failed.",
        "14:02:14 2 remote files not deleted."}},
      {"an error and its reasons, up to the next other line",
       {"14:02:10 ERROR: Unable to open connection to server.", "14:02:10   530 Login incorrect.",
        "14:02:10   Connection refused", "14:02:10 * No more files to transfer.",
        "14:02:10   File date stamps are different."},
       {"14:02:10 ERROR: Unable to open connection to server.", "14:02:10   530 Login incorrect.",
        "14:02:10   Connection refused"}},
      {"blank-led lines without an error before them",
       {"14:02:10   File date stamps are different.", "14:02:10     Remote= 06-01-2021 12:00"},
       {}},
      {"a stop",
       {"14:02:10 ** User Abort **", "14:02:10 * No more files to transfer."},
       {"14:02:10 ** User Abort **"}},
      {"the same text again, at another time",
       {"14:02:12 * Warning: Unable to download /pub/s (550 Denied.)",
        "14:02:15 * Warning: Unable to download /pub/s (550 Denied.)",
        "14:02:16 ERROR: Unable to open connection to server.", "14:02:16   Connection refused",
        "14:02:20 ERROR: Unable to open connection to server.", "14:02:20   Connection refused"},
       {"14:02:12 * Warning: Unable to download /pub/s (550 Denied.)",
        "14:02:16 ERROR: Unable to open connection to server.", "14:02:16   Connection refused"}},
      {"look-alikes of the totals and lines without a time",
       {"14:02:14 files failed.", "14:02:14 1x file failed.", "14:02:14 1 file failed. ",
        " * Warning: no time before it", "1:02:14 * Warning: a short time",
        "-rw-r--r-- 1 ftp ftp 5 Jun 01 2021 ERROR: a listed name", " 2 Items found"},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Kept(c.lines), c.kept);
  }
}

// What a filter keeps of `pieces`, each written as one piece, in this order.
std::vector<std::string> KeptOfPieces(const std::vector<std::vector<std::string>>& pieces) {
  FailureLineFilter filter;
  std::vector<std::string> kept;
  for (const std::vector<std::string>& piece : pieces) {
    for (std::string& line : filter.KeepOfPiece(piece)) kept.push_back(std::move(line));
  }
  return kept;
}

TEST(FailureLineFilterTest, APieceThatOpensWithAFailureIsKeptWhole) {
  const std::string error = "14:02:10 ERROR: Unable to open connection to server.";
  const struct {
    const char* what;
    std::vector<std::vector<std::string>> pieces;
    std::vector<std::string> kept;
  } cases[] = {
      {"an error and its reason",
       {{error, "14:02:10  421 Too many users"}},
       {error, "14:02:10  421 Too many users"}},
      {"the lines after a failure go with it, reason lines or not",
       {{"14:02:10 * Warning: Unable to download /pub/s (550 Denied.)",
         "14:02:10 * Found 2 files in /pub/"}},
       {"14:02:10 * Warning: Unable to download /pub/s (550 Denied.)",
        "14:02:10 * Found 2 files in /pub/"}},
      {"the same piece again, at another time, is kept once; another reason is kept",
       {{error, "14:02:10  Connection refused"},
        {"14:02:20 ERROR: Unable to open connection to server.", "14:02:20  Connection refused"},
        {"14:02:30 ERROR: Unable to open connection to server.", "14:02:30  421 Too many users"}},
       {error, "14:02:10  Connection refused",
        "14:02:30 ERROR: Unable to open connection to server.", "14:02:30  421 Too many users"}},
      {"a piece that opens otherwise is filtered line by line",
       {{"14:02:11 * Found 2 files in /pub/",
         "14:02:12 * Warning: Unable to download /pub/s (550 Denied.)",
         "14:02:12 1 file transferred.", "14:02:12 1 file failed."}},
       {"14:02:12 * Warning: Unable to download /pub/s (550 Denied.)", "14:02:12 1 file failed."}},
      {"a reason line written after the piece of its error is kept",
       {{error, "14:02:10  530 Login incorrect."}, {"14:02:10  Connection refused"},
        {"14:02:11 * Found 2 files in /pub/"}, {"14:02:11   File date stamps are different."}},
       {error, "14:02:10  530 Login incorrect.", "14:02:10  Connection refused"}},
      {"a lone failure line as a piece is the line kept once",
       {{"14:02:12 1 file failed."}, {"14:02:13 1 file failed."}},
       {"14:02:12 1 file failed."}},
      {"no lines at all", {{}}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(KeptOfPieces(c.pieces), c.kept);
  }
}

// Connections that write at once: each error reaches the error stream with its reason right
// under it, however the other connections' lines fall between the pieces.
TEST(QuietConsoleTest, PiecesOfSeveralThreadsAreNeverMixed) {
  testing::RecordingConsole terminal;
  QuietConsole quiet(terminal);
  constexpr int kThreads = 4;
  constexpr int kPieces = 200;
  {
    std::vector<std::jthread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&quiet, t] {
        for (int i = 0; i < kPieces; ++i) {
          const std::string reason = "  421 Too many users (" + std::to_string(t) + "." +
                                     std::to_string(i) + ")";
          quiet.WriteLines(std::vector<std::string>{
              "14:02:10 ERROR: Unable to open connection to server.", "14:02:10" + reason});
          quiet.WriteLine("14:02:10 * Connecting to host");
        }
      });
    }
  }
  const std::vector<std::string>& out = terminal.error_lines;
  ASSERT_EQ(out.size(), size_t{2 * kThreads * kPieces});
  for (size_t i = 0; i < out.size(); i += 2) {
    EXPECT_EQ(out[i], "14:02:10 ERROR: Unable to open connection to server.") << i;
    EXPECT_TRUE(out[i + 1].starts_with("14:02:10  421 Too many users (")) << out[i + 1];
  }
  EXPECT_THAT(terminal.lines, IsEmpty());
}

// Kept lines reach the wrapped console's error stream, never its lines; the title, keys and
// status line pass as they are.
TEST(QuietConsoleTest, FailuresGoToTheErrorStreamAndTheRestPassesThrough) {
  testing::RecordingConsole terminal;
  terminal.status_line = true;
  terminal.keys = {kKeyTab};
  QuietConsole quiet(terminal);

  quiet.WriteLine("14:02:11 * Found 1 file in /pub/");
  quiet.WriteLine("14:02:12 * Warning: Unable to download /pub/s (550 Denied.)");
  quiet.WriteLine("14:02:12 1 file failed.");
  quiet.SetTitle("KORU 20080313");
  EXPECT_TRUE(quiet.HasStatusLine());
  quiet.ShowStatus(ListingStatus{"/pub/", 6});
  EXPECT_EQ(quiet.PollKey(), kKeyTab);

  EXPECT_THAT(terminal.lines, IsEmpty());
  EXPECT_THAT(terminal.error_lines,
              ElementsAre("14:02:12 * Warning: Unable to download /pub/s (550 Denied.)",
                          "14:02:12 1 file failed."));
  EXPECT_THAT(terminal.titles, ElementsAre("KORU 20080313"));
  EXPECT_THAT(terminal.statuses, ElementsAre("listing /pub/: 6 lines"));
}

}  // namespace
}  // namespace koru
