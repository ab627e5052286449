// A local disk that fails during a run, end to end: the run goes on with the next file, what was
// already downloaded stays whole, and a download that failed is neither counted nor deleted on
// the server under -M.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/end_to_end.h"
#include "tests/scratch_dir.h"

namespace koru::testing {
namespace {

// One byte more than a single file name may hold.
const std::string kLongName = std::string(252, 'a') + ".txt";

const RemoteFile kA{"a.bin", FileBytes(20000)};
const RemoteFile kB{"b.txt", FileBytes(300)};
const RemoteFile kC{"c.txt", FileBytes(100)};  // already downloaded in every row
const RemoteFile kLong{kLongName, FileBytes(300)};

const std::string kFoundThree = "TIME * Found 3 files in /pub/";
const std::string kGetA = "TIME 20000 1999-03-15 /pub/a.bin";
const std::string kGetB = "TIME 300 1999-03-15 /pub/b.txt";
const std::string kGetLong = "TIME 300 1999-03-15 /pub/" + kLongName;
const std::string kRemovedB = "TIME * Removed remote file /pub/b.txt";
const std::string kOneTransferred = "TIME 1 file transferred.";
const std::string kTruncatedA =
    "TIME * Warning: Local file size does not match remote (10000/20000)";
const std::string kNotErased =
    "TIME * Remote file was not erased as requested by move option switch.";
const std::string kAccessDenied = "TIME 070 Local File Open Error";
const std::string kBadFileName = "TIME 052 Local File Open Error";
// The warning that names the local file and the system's reason.
std::string LocalError(const std::string& name, const std::string& why) {
  return "TIME * Warning: Local file error: ./" + name + " (" + why + ")";
}
const std::string kTooLargeA = LocalError("a.bin", "File too large");

struct DiskCase {
  const char* name;
  std::vector<std::string> switches;
  std::vector<RemoteFile> remote;
  std::map<std::string, std::string> local;  // set up before the run; "x/" is a directory
  int64_t file_size_limit;                    // -1: none
  bool read_only;                             // the directory is not writable for the run
  Outcome outcome;
  bool completes_later;                       // a later run with -R completes the directory
  std::vector<std::string> restarts;          // and sends these REST commands
};

void PrintTo(const DiskCase& c, std::ostream* os) { *os << c.name; }

class LocalDiskFailureTest : public ::testing::TestWithParam<DiskCase> {};

TEST_P(LocalDiskFailureTest, RunGoesOnAndKeepsWhatIsDone) {
  const DiskCase& c = GetParam();
  ScratchDir dir;
  for (const auto& [name, content] : c.local) {
    if (name.ends_with("/")) {
      std::filesystem::create_directory(dir / name);
    } else {
      WriteFile(dir / name, content);
    }
  }
  FakeFtpSite site(c.remote);
  if (c.read_only) chmod(dir.path().c_str(), 0555);

  const ChildResult run = RunKoru(site, dir.path(),
                                  RunOptions{.switches = c.switches,
                                             .file_size_limit = c.file_size_limit,
                                             .unprivileged = c.read_only});
  chmod(dir.path().c_str(), 0700);

  ExpectOutcome(run, site, dir.path(), c.remote, c.outcome);
  if (c.completes_later) ExpectNextRunCompletes(c.remote, dir.path(), c.restarts);
}

// A file that did not arrive whole is named in the totals and fails the run.
const std::string kOneFailed = "TIME 1 file failed.";

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, LocalDiskFailureTest,
    ::testing::Values(
        // The disk fills up: the file holds what could be written, and each pass tries again.
        DiskCase{"DiskFillsUp", {"-M"}, {kA, kB, kC}, {{"c.txt", kC.content}}, 10000, false,
                 {{kFoundThree, kGetA, kTooLargeA, kTruncatedA, kNotErased, kGetB, kRemovedB, kGetA,
                   kTooLargeA, kTruncatedA, kNotErased, kOneTransferred, kOneFailed},
                  1,
                  Joined({Login(), ListPub(), Get("a.bin"), Get("b.txt"), {"DELE /pub/b.txt"},
                          ListPub(), Get("a.bin"), {"QUIT"}}),
                  {{"a.bin", "first 10000 bytes"}, {"b.txt", "complete"}, {"c.txt", "complete"}}},
                 true, {"REST 10000"}},
        // A resumed file keeps its bytes when the disk fills up behind them.
        DiskCase{"DiskFillsUpWhileResuming", {"+R", "-M"}, {kA, kB, kC},
                 {{"a.bin", kA.content.substr(0, 8000)}, {"c.txt", kC.content}}, 10000, false,
                 {{kFoundThree, kGetA, kTooLargeA, kTruncatedA, kNotErased, kGetB, kRemovedB, kGetA,
                   kTooLargeA, kTruncatedA, kNotErased, kOneTransferred, kOneFailed},
                  1,
                  Joined({Login(), ListPub(), {"PASV", "TYPE I", "REST 8000", "RETR /pub/a.bin"},
                          Get("b.txt"), {"DELE /pub/b.txt"}, ListPub(),
                          {"PASV", "TYPE I", "REST 10000", "RETR /pub/a.bin"}, {"QUIT"}}),
                  {{"a.bin", "first 10000 bytes"}, {"b.txt", "complete"}, {"c.txt", "complete"}}},
                 true, {"REST 10000"}},
        DiskCase{"DirectoryNotWritable", {"-M"}, {kA, kB, kC}, {{"c.txt", kC.content}}, -1, true,
                 {{kFoundThree, kGetA, kAccessDenied, LocalError("a.bin", "Permission denied"),
                   kGetB, kAccessDenied, LocalError("b.txt", "Permission denied"),
                   // Another user's complete file cannot take the remote date.
                   LocalError("c.txt", "Operation not permitted"),
                   "TIME * No more files to transfer.", "TIME 2 files failed."},
                  1, Joined({Login(), ListPub(), {"PASV", "PASV", "QUIT"}}),
                  {{"c.txt", "complete"}}},
                 true, {}},
        DiskCase{"NameTooLong", {"-M"}, {kLong, kB, kC}, {{"c.txt", kC.content}}, -1, false,
                 {{kFoundThree, kGetLong, kBadFileName, LocalError(kLongName, "File name too long"),
                   kGetB, kRemovedB, kGetLong, kBadFileName,
                   LocalError(kLongName, "File name too long"), kOneTransferred, kOneFailed},
                  1,
                  Joined({Login(), ListPub(), {"PASV"}, Get("b.txt"), {"DELE /pub/b.txt"},
                          ListPub(), {"PASV", "QUIT"}}),
                  {{"b.txt", "complete"}, {"c.txt", "complete"}}},
                 false, {}},
        // The directory and what it holds stay untouched.
        DiskCase{"LocalNameIsADirectory", {"-M"}, {kA, kB, kC},
                 {{"a.bin/", ""}, {"a.bin/keep.txt", "keep"}, {"c.txt", kC.content}}, -1, false,
                 {{kFoundThree, kGetA, kAccessDenied, LocalError("a.bin", "Is a directory"), kGetB,
                   kRemovedB, kGetA, kAccessDenied, LocalError("a.bin", "Is a directory"),
                   kOneTransferred, kOneFailed},
                  1,
                  Joined({Login(), ListPub(), {"PASV"}, Get("b.txt"), {"DELE /pub/b.txt"},
                          ListPub(), {"PASV", "QUIT"}}),
                  {{"a.bin/", "directory"},
                   {"a.bin/keep.txt", "\"keep\""},
                   {"b.txt", "complete"},
                   {"c.txt", "complete"}}},
                 false, {}}),
    [](const ::testing::TestParamInfo<DiskCase>& info) { return info.param.name; });

// A file system of `size` bytes of its own at `path`, for one test: a disk that really fills up.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& path, const std::string& size) : path_(path) {
    const std::string options = "size=" + size;
    mounted_ = mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
    if (!mounted_) error_ = std::strerror(errno);
  }
  ~SmallFileSystem() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  }
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }

 private:
  std::string path_;
  bool mounted_ = false;
  std::string error_;
};

std::vector<std::string> OutputLines(const std::string& output) {
  std::vector<std::string> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A disk of 64 KiB takes the first of three 40,000-byte files: the file that finds it full
// says so in one line, nothing more is tried (no warning for each file left), the files not
// fetched count as failed, and the run fails.
TEST(FullDiskTest, AFullDiskIsSaidOnceAndEndsTheDownloads) {
  ScratchDir dir;
  const std::string small = dir / "small";
  std::filesystem::create_directory(small);
  SmallFileSystem disk(small, "64k");
  if (!disk.mounted()) GTEST_SKIP() << "no file system can be mounted here: " << disk.error();
  const std::vector<RemoteFile> remote = {{"a.bin", FileBytes(40000)},
                                          {"b.bin", FileBytes(40000)},
                                          {"c.bin", FileBytes(40000)}};
  FakeFtpSite site(remote);

  const ChildResult run = RunKoru(site, small, RunOptions{});
  const std::vector<std::string> commands = site.Commands();

  using ::testing::Contains;
  using ::testing::Not;
  const std::vector<std::string> lines = OutputLines(run.output);
  EXPECT_EQ(run.exit_code, 1) << run.output;
  EXPECT_THAT(lines, Contains("TIME ERROR: Local disk full: ./b.bin (No space left on device)"))
      << run.output;
  EXPECT_THAT(lines, Not(Contains(LocalError("b.bin", "No space left on device"))));
  EXPECT_THAT(lines, Not(Contains("TIME 40000 1999-03-15 /pub/c.bin"))) << run.output;
  EXPECT_THAT(commands, Not(Contains("RETR /pub/c.bin")));
  EXPECT_THAT(lines, Contains("TIME 2 files failed.")) << run.output;
  EXPECT_EQ(DiskState(small, remote)["a.bin"], "complete");
}

}  // namespace
}  // namespace koru::testing
