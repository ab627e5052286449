// The engine over the in-memory file system in place of a local directory: a disk that fills up
// at a given size, and the cost of a run that finds everything complete.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "sync/run_totals.h"
#include "sync/sync_engine.h"
#include "tests/fake_ftp_server.h"
#include "tests/fake_ftp_tree.h"
#include "tests/fakes.h"
#include "tests/local_dates.h"
#include "tests/memory_file_system.h"

namespace koru {
namespace {

using testing::Date;
using ::testing::ElementsAre;
using ::testing::Pair;
using testing::EpochOfLocal;

using Lines = std::vector<std::string>;

const int64_t kListedDate = EpochOfLocal(Date(2001, 3, 5));  // "Mar  5  2001"
const std::string kLocal = "/home/user/mirror/";

class SyncOnMemoryDiskTest : public ::testing::Test {
 protected:
  SyncOnMemoryDiskTest() {
    env.channel_timeout_ms = 300;
    env.files = &disk;
    // The command sequences here are those of dates from the listing alone.
    options.ListingDatesOnly = kOn;
    disk.AddDirectory(kLocal);
    server.SetDefaultSession(site.Script());
  }
  ~SyncOnMemoryDiskTest() override { server.Stop(); }

  int32_t Sync() {
    return SyncSubDirectory(env, options, state, totals, server.address(), "anonymous", "guest@",
                            "/pub/", kLocal, "");
  }
  Lines Commands() {
    server.Stop();
    return server.commands();
  }
  static std::string T(const std::string& text) { return "09:05:03" + text; }

  testing::RecordingConsole console;
  testing::FakeClock clock;
  Options options;
  RunSettings state;
  Env env{console, clock};
  RunTotals totals;
  testing::MemoryFileSystem disk;
  testing::FakeFtpTree site;
  testing::FakeFtpServer server;  // stopped first: its scripts use `site`
};

// A full disk is said once, with the file that found it; what fitted stays, and nothing more
// is tried: every file still to fetch counts as failed.
TEST_F(SyncOnMemoryDiskTest, DiskThatFillsUpEndsTheDownloadsWithOneLine) {
  site.AddFile("/pub/a.txt", std::string(100, 'a'));
  site.AddFile("/pub/b.txt", std::string(300, 'b'));
  site.AddFile("/pub/c.txt", std::string(10, 'c'));
  disk.AddFile("/elsewhere", std::string(50, 'x'));
  disk.SetCapacity(300, ENOSPC);

  EXPECT_EQ(Sync(), 1);

  EXPECT_THAT(console.lines,
              ElementsAre(T(" * Found 3 files in /pub/"), T(" 100 2001-03-05 /pub/a.txt"),
                          T(" 300 2001-03-05 /pub/b.txt"),
                          T(" ERROR: Local disk full: " + kLocal +
                            "b.txt (No space left on device)")));
  EXPECT_EQ(disk.Content(kLocal + "a.txt"), std::string(100, 'a'));
  EXPECT_EQ(disk.Content(kLocal + "b.txt"), std::string(150, 'b'));
  EXPECT_EQ(disk.Stat(kLocal + "c.txt").kind, EntryKind::kMissing);
  EXPECT_EQ(disk.Stat(kLocal + "a.txt").modified_seconds, kListedDate);
  EXPECT_EQ(disk.OpenHandles(), 0);
  EXPECT_EQ(totals.FilesTransferred, 1);
  EXPECT_THAT(totals.FailedDownloads, ElementsAre(Pair("/pub/b.txt", kMaxDownloadTries),
                                                  Pair("/pub/c.txt", kMaxDownloadTries)));
}

// A run with nothing to fetch looks at each complete file once, and only restamps the one whose
// date is another minute than the remote one.
TEST_F(SyncOnMemoryDiskTest, CompleteFilesAreLookedAtOnceEach) {
  for (const char* name : {"same.txt", "later.txt", "larger.txt"}) {
    site.AddFile(std::string("/pub/") + name, "12345");
  }
  disk.AddFile(kLocal + "same.txt", "12345", kListedDate + 59);
  disk.AddFile(kLocal + "later.txt", "12345", kListedDate + 60);
  disk.AddFile(kLocal + "larger.txt", "1234567", kListedDate);
  options.VerboseLevel = -1;

  EXPECT_EQ(Sync(), 0);

  EXPECT_THAT(Commands(), ElementsAre("USER anonymous", "PASS guest@", "CWD /pub", "PASV", "TYPE A",
                                      "LIST", "QUIT"));
  EXPECT_THAT(console.lines,
              ElementsAre(T(" * Connecting to " + server.address()), T(" * Found 3 files in /pub/"),
                          T("  File date stamps are different."), T("    Remote= 03/05/2001 00:00"),
                          T("    Local = 03/05/2001 00:01"),
                          T(" * Setting " + kLocal + "later.txt to 03-05-2001 00:00:00")));
  EXPECT_EQ(disk.StatCount(kLocal + "same.txt"), 1);
  EXPECT_EQ(disk.StatCount(kLocal + "larger.txt"), 1);
  for (const char* name : {"same.txt", "later.txt", "larger.txt"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(disk.Stat(kLocal + name).modified_seconds / 60, kListedDate / 60);
  }
  EXPECT_EQ(disk.Content(kLocal + "larger.txt"), "1234567");
}

// A download looks at its local file once before (when the listing is handled) and once after
// (to tidy, date and check it); the pass that follows looks once more and finds it complete.
TEST_F(SyncOnMemoryDiskTest, ADownloadLooksAtItsFileOnceBeforeAndOnceAfter) {
  site.AddFile("/pub/missing.txt", "12345");
  site.AddFile("/pub/smaller.txt", "12345");
  disk.AddFile(kLocal + "smaller.txt", "12", kListedDate);
  options.ResumeMode = 1;

  EXPECT_EQ(Sync(), 0);

  for (const char* name : {"missing.txt", "smaller.txt"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(disk.Content(kLocal + name), "12345");
    EXPECT_EQ(disk.StatCount(kLocal + name), 3);
  }
  EXPECT_THAT(Commands(), ::testing::Contains("REST 2"));
}

// Overwrite mode erases what the look before the download found; no pass follows.
TEST_F(SyncOnMemoryDiskTest, OverwriteErasesWhatTheLookBeforeFound) {
  site.AddFile("/pub/a.txt", "12345");
  disk.AddFile(kLocal + "a.txt", "123456789", kListedDate);
  options.OverwriteMode = kOn;

  EXPECT_EQ(Sync(), 0);

  EXPECT_EQ(disk.Content(kLocal + "a.txt"), "12345");
  EXPECT_EQ(disk.StatCount(kLocal + "a.txt"), 2);
}

}  // namespace
}  // namespace koru
