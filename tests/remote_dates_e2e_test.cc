// Remote dates through the real program and real servers, the server and the program each in a
// zone of its own: what MLSD (proftpd, pure-ftpd) and LIST with MDTM (vsftpd listing in UTC)
// give the local files, what later runs make of them, and -L, which reads the listing alone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/child_process.h"
#include "tests/real_ftp_server.h"
#include "tests/scratch_dir.h"

namespace koru {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::ChildResult;
using testing::FileContent;
using testing::FtpServerKind;
using testing::RealFtpServer;
using testing::ScratchDir;

// The server's zone, UTC+05:30, and the program's, UTC-03:00 (POSIX rules invert the sign).
constexpr char kServerZone[] = "XXX-05:30";
constexpr int64_t kServerOffset = 5 * 3600 + 30 * 60;
constexpr char kKoruZone[] = "YYY+03";
constexpr int64_t kKoruOffset = -3 * 3600;

constexpr char kNothingToDo[] = "TIME * No more files to transfer.\n";

// A moment three days ago at 42 seconds past the minute: recent enough for every listing to
// show its time of day, and with seconds a listing cannot show.
int64_t RecentSeconds() {
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  const int64_t then = now - 3 * 86400;
  return then - then % 60 + 42;
}

int64_t ToTheMinute(int64_t seconds) { return seconds - seconds % 60; }

// The last-write time of `path` in seconds since the epoch; -1 when it has none.
int64_t Mtime(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return -1;
  return static_cast<int64_t>(info.st_mtim.tv_sec);
}

void SetMtime(const std::string& path, int64_t seconds) {
  const timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// `text` with every time of day hh:mm:ss as TIME.
std::string WithoutClock(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const bool time = i + 8 <= text.size() && text[i + 2] == ':' && text[i + 5] == ':' &&
                      std::isdigit(static_cast<unsigned char>(text[i])) &&
                      std::isdigit(static_cast<unsigned char>(text[i + 7]));
    out += time ? "TIME" : std::string(1, text[i]);
    i += time ? 8 : 1;
  }
  return out;
}

// Runs KORU in `directory` with TZ set to `zone` and `args`; never returns.
[[noreturn]] void ExecKoruIn(const char* zone, const std::vector<std::string>& args) {
  ::setenv("TZ", zone, 1);
  std::vector<char*> argv = {const_cast<char*>(KORU_BINARY)};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  ::execv(KORU_BINARY, argv.data());
  ::_exit(127);
}

// A server as these tests use it.
struct DatedServer {
  const char* name;
  FtpServerKind kind;
  bool utc_times;          // vsftpd: listings and MDTM in UTC (its own default)
  bool exact;              // MLSD: dates to the second; otherwise to the minute
  int64_t listing_offset;  // the zone of the wall times its LIST shows, seconds east of UTC
};

const DatedServer kProftpd{"Proftpd", FtpServerKind::kProftpd, false, true, kServerOffset};
const DatedServer kPureFtpd{"PureFtpd", FtpServerKind::kPureFtpd, false, true, kServerOffset};
const DatedServer kVsftpdUtc{"VsftpdUtc", FtpServerKind::kVsftpd, true, false, 0};

std::string ServerName(const ::testing::TestParamInfo<DatedServer>& info) {
  return info.param.name;
}

// Two files on the server, each with a date of its own, and a local directory to mirror them.
class RemoteDatesTest : public ::testing::TestWithParam<DatedServer> {
 protected:
  void SetUp() override {
    testing::RealFtpServerOptions options;
    options.tz = kServerZone;
    options.utc_times = GetParam().utc_times;
    testing::StartOrSkip(GetParam().kind, &server_, options);
    if (!server_) return;
    Remote("a.txt", "alpha text", a_date_);
    Remote("b.bin", std::string(3000, 'b'), b_date_);
  }

  std::string Pub(const std::string& name) const { return server_->root() + "/pub/" + name; }
  std::string Local(const std::string& name) const { return local_ / name; }

  void Remote(const std::string& name, const std::string& content, int64_t mtime) {
    fs::create_directories(fs::path(Pub(name)).parent_path());
    testing::WriteFile(Pub(name), content);
    SetMtime(Pub(name), mtime);
    server_->HandOver(server_->root() + "/pub");
  }

  // Runs the program on /pub/ in the local directory, in its own zone, with `switches`; the
  // output with the times of day as TIME.
  ChildResult Run(const std::vector<std::string>& switches) {
    std::vector<std::string> args = {server_->address() + "/pub/"};
    args.insert(args.end(), switches.begin(), switches.end());
    ChildResult run = testing::RunInChild([&] { ExecKoruIn(kKoruZone, args); },
                                          {.directory = local_.path()});
    EXPECT_FALSE(testing::HasSanitizerReport(run.errors)) << run.errors;
    run.output = WithoutClock(run.output);
    return run;
  }

  // The date a file gets from the server: to the second from MLSD, to the minute otherwise.
  int64_t Expected(int64_t remote) const {
    return GetParam().exact ? remote : ToTheMinute(remote);
  }
  // The date a file gets from the listing alone: its wall time read as the program's local time.
  int64_t ListingReadAsLocal(int64_t remote) const {
    return ToTheMinute(remote) + GetParam().listing_offset - kKoruOffset;
  }

  static bool Fetched(const ChildResult& run, const std::string& name) {
    return run.output.find(" /pub/" + name + "\n") != std::string::npos;
  }

  const int64_t a_date_ = RecentSeconds();
  const int64_t b_date_ = RecentSeconds() - 86400 + 7;
  std::unique_ptr<RealFtpServer> server_;
  ScratchDir local_;
};

TEST_P(RemoteDatesTest, MirroredFilesTakeTheRemoteDatesAndASecondRunChangesNothing) {
  if (!server_) return;

  const ChildResult first = Run({"-V"});

  ASSERT_EQ(first.exit_code, 0) << first.output;
  EXPECT_THAT(first.output, HasSubstr("TIME 2 files transferred.\n"));
  EXPECT_EQ(FileContent(Local("a.txt")), "alpha text");
  EXPECT_EQ(Mtime(Local("a.txt")), Expected(a_date_));
  EXPECT_EQ(Mtime(Local("b.bin")), Expected(b_date_));
  EXPECT_THAT(first.output, Not(HasSubstr("Listed with LIST")));
  if (GetParam().exact) {
    EXPECT_THAT(first.output, Not(HasSubstr("Server time:")));
  } else {
    EXPECT_THAT(first.output, HasSubstr("TIME * Server time: UTC+00:00 (from MDTM of /pub/"));
  }

  const ChildResult second = Run({});

  EXPECT_EQ(second.exit_code, 0);
  EXPECT_THAT(second.output, HasSubstr(kNothingToDo));
  EXPECT_FALSE(Fetched(second, "a.txt") || Fetched(second, "b.bin")) << second.output;
  EXPECT_EQ(Mtime(Local("a.txt")), Expected(a_date_));
  EXPECT_EQ(Mtime(Local("b.bin")), Expected(b_date_));
}

// -L: the old reading, and a mirror made with it is re-dated once by a run without it.
TEST_P(RemoteDatesTest, ListingDatesOnlyReadTheWallTimeAsLocalAndALaterRunReDatesOnce) {
  if (!server_) return;

  const ChildResult listed = Run({"-L", "-V"});

  ASSERT_EQ(listed.exit_code, 0) << listed.output;
  EXPECT_THAT(listed.output, HasSubstr("+ Dates from the listing only (no FEAT, MLSD or MDTM)\n"));
  EXPECT_THAT(listed.output, Not(HasSubstr("Server time:")));
  EXPECT_EQ(Mtime(Local("a.txt")), ListingReadAsLocal(a_date_));
  EXPECT_EQ(Mtime(Local("b.bin")), ListingReadAsLocal(b_date_));
  const ChildResult listed_again = Run({"-L"});
  EXPECT_THAT(listed_again.output, HasSubstr(kNothingToDo));
  EXPECT_EQ(Mtime(Local("a.txt")), ListingReadAsLocal(a_date_));

  const ChildResult redated = Run({});

  EXPECT_EQ(redated.exit_code, 0);
  EXPECT_FALSE(Fetched(redated, "a.txt") || Fetched(redated, "b.bin")) << redated.output;
  EXPECT_EQ(Mtime(Local("a.txt")), Expected(a_date_));
  EXPECT_EQ(Mtime(Local("b.bin")), Expected(b_date_));
  const ChildResult after = Run({});
  EXPECT_THAT(after.output, HasSubstr(kNothingToDo));
  EXPECT_EQ(Mtime(Local("a.txt")), Expected(a_date_));
}

// Under -N a copy whose stamp came from the listing alone differs from the server's date: it is
// fetched again, once.
TEST_P(RemoteDatesTest, NewerFetchesAListingDatedMirrorAgainOnce) {
  if (!server_) return;
  ASSERT_EQ(Run({"-L"}).exit_code, 0);
  // Other bytes of the same size and date: only a new fetch brings the remote ones back.
  const int64_t listed = Mtime(Local("a.txt"));
  testing::WriteFile(Local("a.txt"), "alpha TEXT");
  SetMtime(Local("a.txt"), listed);

  const ChildResult newer = Run({"-N"});

  EXPECT_EQ(newer.exit_code, 0) << newer.output;
  EXPECT_TRUE(Fetched(newer, "a.txt") && Fetched(newer, "b.bin")) << newer.output;
  EXPECT_EQ(FileContent(Local("a.txt")), "alpha text");
  EXPECT_EQ(Mtime(Local("a.txt")), Expected(a_date_));
  EXPECT_EQ(Mtime(Local("b.bin")), Expected(b_date_));
  const ChildResult again = Run({"-N"});
  EXPECT_THAT(again.output, HasSubstr(kNothingToDo));
  EXPECT_FALSE(Fetched(again, "a.txt") || Fetched(again, "b.bin")) << again.output;
}

INSTANTIATE_TEST_SUITE_P(Real, RemoteDatesTest,
                         ::testing::Values(kProftpd, kPureFtpd, kVsftpdUtc), ServerName);

// What only dates to the second show: a change of the same size within the same minute.
class ExactRemoteDatesTest : public RemoteDatesTest {};

TEST_P(ExactRemoteDatesTest, NewerFetchesASameSizeChangeWithinTheSameMinute) {
  if (!server_) return;
  ASSERT_EQ(Run({}).exit_code, 0);
  ASSERT_EQ(Mtime(Local("a.txt")), a_date_);
  Remote("a.txt", "ALPHA TEXT", a_date_ + 5);  // still the same minute

  const ChildResult plain = Run({});
  EXPECT_EQ(FileContent(Local("a.txt")), "alpha text");  // without -N only re-dated
  EXPECT_EQ(Mtime(Local("a.txt")), a_date_ + 5);
  SetMtime(Local("a.txt"), a_date_);
  const ChildResult newer = Run({"-N"});

  EXPECT_EQ(plain.exit_code, 0);
  EXPECT_FALSE(Fetched(plain, "a.txt")) << plain.output;
  EXPECT_EQ(newer.exit_code, 0) << newer.output;
  EXPECT_TRUE(Fetched(newer, "a.txt")) << newer.output;
  EXPECT_FALSE(Fetched(newer, "b.bin")) << newer.output;
  EXPECT_EQ(FileContent(Local("a.txt")), "ALPHA TEXT");
  EXPECT_EQ(Mtime(Local("a.txt")), a_date_ + 5);
  EXPECT_THAT(Run({"-N"}).output, HasSubstr(kNothingToDo));
}

INSTANTIATE_TEST_SUITE_P(Real, ExactRemoteDatesTest, ::testing::Values(kProftpd, kPureFtpd),
                         ServerName);

}  // namespace
}  // namespace koru
