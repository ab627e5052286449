// Runs over two sessions of the mirror that tell by a local file's recorded origin whether it
// is a copy of the listed file: over one connection and over one and four at once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sync/origin.h"
#include "tests/memory_mirror.h"

namespace koru {
namespace {

using Lines = std::vector<std::string>;
using ::testing::Contains;
using ::testing::Not;

using testing::kMirrorDir;
const std::string kLocal = kMirrorDir;

struct RunCase {
  const char* name;
  int connections;  // 0: over one connection
};

class OriginRunTest : public ::testing::TestWithParam<RunCase>, protected testing::MemoryMirror {
 protected:
  int32_t Run(bool move) {
    console.lines.clear();
    totals = RunTotals{};
    options.MoveMode = move ? -1 : 0;
    return MemoryMirror::Run(GetParam().connections);
  }
  int Retrieved() const { return Count("RETR"); }
  static std::string T(const std::string& text) { return "09:05:03" + text; }
};

// Run 1 stores a>b.txt under the local name a_b.txt, skips the remote a_b.txt for the clash
// and moves a>b.txt. Run 2 no longer sees the clash in the listing, but the local a_b.txt
// records a>b.txt as its origin: it is no copy of the remote a_b.txt, which stays, with the
// local bytes, and the run fails.
TEST_P(OriginRunTest, MoveKeepsWhatAnotherRemoteNameStored) {
  server.AddFile("/pub/a>b.txt", "bytes of a>b");
  server.AddFile("/pub/a_b.txt", "bytes of a_b, longer");
  const std::string clash = T(
      " * Warning: Local name clash, skipped: /pub/a_b.txt (a_b.txt is the local name of "
      "/pub/a>b.txt)");

  EXPECT_EQ(Run(true), 1);
  EXPECT_THAT(console.lines, Contains(clash));
  EXPECT_THAT(console.lines, Contains(T(" * Removed remote file /pub/a>b.txt")));
  EXPECT_FALSE(server.HasFile("/pub/a>b.txt"));
  EXPECT_EQ(RecordedOrigin(disk, kLocal + "a_b.txt"), "ftp://127.0.0.1/pub/a>b.txt");

  EXPECT_EQ(Run(true), 1);
  EXPECT_EQ(std::count(console.lines.begin(), console.lines.end(), clash), 1);
  EXPECT_THAT(console.lines, Not(Contains(T(" * Removed remote file /pub/a_b.txt"))));
  EXPECT_TRUE(server.HasFile("/pub/a_b.txt"));
  EXPECT_EQ(disk.Content(kLocal + "a_b.txt"), "bytes of a>b");
  EXPECT_EQ(totals.FailedDownloads.count("/pub/a_b.txt"), 1u);
  EXPECT_EQ(Retrieved(), 1);
}

// A run that stopped after its downloads and before their DELE left complete copies that
// record their origin: the next -M run deletes those files on the server without fetching
// them again. A copy without an origin keeps the old rule (complete, left on the server).
TEST_P(OriginRunTest, MoveDeletesWhatAnEarlierRunFetchedWhole) {
  server.AddFile("/pub/one.txt", "first file");
  server.AddFile("/pub/two.txt", "second file");
  server.AddFile("/pub/empty.txt", "");
  ASSERT_EQ(Run(false), 0);
  ASSERT_EQ(Retrieved(), 2);
  server.AddFile("/pub/old.txt", "an old copy");
  disk.AddFile(kLocal + "old.txt", "an old copy");

  EXPECT_EQ(Run(true), 0);

  EXPECT_THAT(console.lines, Contains(T(" * Removed remote file /pub/one.txt")));
  EXPECT_THAT(console.lines, Contains(T(" * Removed remote file /pub/two.txt")));
  EXPECT_FALSE(server.HasFile("/pub/one.txt"));
  EXPECT_FALSE(server.HasFile("/pub/two.txt"));
  EXPECT_TRUE(server.HasFile("/pub/old.txt"));
  EXPECT_TRUE(server.HasFile("/pub/empty.txt"));
  EXPECT_EQ(Retrieved(), 2);
  EXPECT_EQ(disk.Content(kLocal + "one.txt"), "first file");
  EXPECT_EQ(totals.FilesTransferred, 0);
  EXPECT_TRUE(totals.UndeletedFiles.empty());
}

INSTANTIATE_TEST_SUITE_P(Connections, OriginRunTest,
                         ::testing::Values(RunCase{"OneConnection", 0}, RunCase{"P1", 1},
                                           RunCase{"P4", 4}),
                         [](const ::testing::TestParamInfo<RunCase>& info) {
                           return info.param.name;
                         });

}  // namespace
}  // namespace koru
