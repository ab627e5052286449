// Listings and downloads against real FTP servers (vsftpd and pyftpdlib) started on 127.0.0.1.

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "ftp/commands.h"
#include "ftp/control.h"
#include "ftp/download.h"
#include "ftp/listing_transfer.h"
#include "ftp/session.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "listing/list_parser.h"
#include "localfs/local_files.h"
#include "sync/local_file_policy.h"
#include "tests/fakes.h"
#include "tests/real_ftp_server.h"
#include "tests/scratch_dir.h"

namespace koru {
namespace {

// A download with the mirror's local-file rules (erase, resume, date).
int64_t FetchAsMirror(Session& session, const FileToFetch& remote, const std::string& local) {
  MirrorFilePolicy policy(session.env, session.options);
  return ftpGetFile(session, remote, local, policy);
}

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;
using testing::FileContent;
using testing::FtpServerKind;
using testing::RealFtpServer;
using testing::ScratchDir;
using testing::WriteFile;

constexpr time_t kRemoteMtime = 981201600;  // 2001-02-03 12:00:00 UTC
constexpr size_t kFileSize = 1000000;

std::string Content() {
  std::string bytes(kFileSize, '\0');
  for (size_t i = 0; i < kFileSize; ++i) bytes[i] = static_cast<char>(i * 131 + i / 8191);
  return bytes;
}

class RealTransferTest : public ::testing::TestWithParam<FtpServerKind> {
 protected:
  RealTransferTest() {
    env_.channel_timeout_ms = 5000;  // replies come at once; only a fault would wait
    options_.ProgramTitle = "KORU 20080313";
    clock_.now = PosixClock().Now();  // the listings show this year's dates by time of day
  }

  void SetUp() override {
    testing::StartOrSkip(GetParam(), &server_);
    if (!server_) return;
    const std::string pub = server_->root() + "/pub/";
    WriteFile(pub + "a.txt", Content());
    WriteFile(pub + "name with spaces.bin", "abc");
    fs::create_directory(pub + "sub");
    for (const char* name : {"a.txt", "name with spaces.bin", "sub"}) {
      const timespec times[2] = {{kRemoteMtime, 0}, {kRemoteMtime, 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, (pub + name).c_str(), times, 0), 0);
      server_->HandOver(pub + name);
    }
    h_ = ftpConnect(session, server_->address(), "anonymous", "guest@example.org");
    ASSERT_GT(h_, 0);
    ASSERT_EQ(ftpChangeDir(session, "/pub/"), 1);
  }

  void TearDown() override {
    if (h_ > 0) ftpQuit(session);
  }

  // The day of the month the server shows for kRemoteMtime: vsftpd as configured here lists
  // local times, pyftpdlib universal ones.
  int RemoteDay() const {
    tm fields{};
    if (GetParam() == FtpServerKind::kVsftpd) {
      localtime_r(&kRemoteMtime, &fields);
    } else {
      gmtime_r(&kRemoteMtime, &fields);
    }
    return fields.tm_mday;
  }

  // The entries of a listing by name.
  std::map<std::string, LISTENTRY> Parse(const std::vector<std::string>& lines) {
    std::map<std::string, LISTENTRY> entries;
    for (const std::string& line : lines) {
      LISTENTRY entry;
      EXPECT_EQ(PARSELISTLINE(line, entry, clock_.Now()), -1) << line;
      entries[std::string(TrimBlanks(entry.name))] = entry;
    }
    return entries;
  }

  // What the synchronisation engine hands a download of the entry.
  static FileToFetch AboutToDownload(const std::string& path, const LISTENTRY& entry) {
    FileToFetch file{path, entry.size, {}};
    SYSTEMTIME& t = file.listed_time;
    t.wYear = static_cast<uint16_t>(entry.year);
    t.wMonth = static_cast<uint16_t>(entry.month);
    t.wDay = static_cast<uint16_t>(entry.day);
    t.wHour = static_cast<uint16_t>(entry.hour);
    t.wMinute = static_cast<uint16_t>(entry.minute);
    return file;
  }

  testing::RecordingConsole console_;
  testing::FakeClock clock_;
  Options options_;
  RunSettings state_;
  Env env_{console_, clock_};
  koru::Session session{env_, options_, state_};
  std::unique_ptr<RealFtpServer> server_;
  int32_t h_ = 0;
};

TEST_P(RealTransferTest, ListsAndParsesTheDirectory) {
  std::vector<std::string> lines;
  EXPECT_EQ(ftpList(session, "/pub/", "", lines), 3);
  const std::map<std::string, LISTENTRY> entries = Parse(lines);
  ASSERT_EQ(entries.size(), 3u);
  for (const auto& [name, size, is_dir] :
       std::vector<std::tuple<std::string, int64_t, int16_t>>{
           {"a.txt", kFileSize, 0}, {"name with spaces.bin", 3, 0}, {"sub", -1, 1}}) {
    ASSERT_TRUE(entries.count(name)) << name;
    const LISTENTRY& entry = entries.at(name);
    if (size >= 0) {
      EXPECT_EQ(entry.size, size) << name;
    }
    EXPECT_EQ(entry.isDir, is_dir) << name;
    EXPECT_EQ(entry.year, 2001) << name;
    EXPECT_EQ(entry.month, 2) << name;
    EXPECT_EQ(entry.day, RemoteDay()) << name;
  }

  std::vector<std::string> names;
  EXPECT_EQ(ftpListDirs(session, "/pub/", names), 1);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(Parse(names).begin()->first, "sub");
  EXPECT_EQ(session.NoStatusLine, 0);  // both servers send their final replies
  EXPECT_THAT(console_.lines, IsEmpty());
}

// vsftpd applies the mask; pyftpdlib refuses it, and the control connection stays in step.
TEST_P(RealTransferTest, ListsWithAMask) {
  std::vector<std::string> lines;
  const int32_t n = ftpList(session, "/pub/", "*.txt", lines);
  if (GetParam() == FtpServerKind::kVsftpd) {
    EXPECT_EQ(n, 1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Parse(lines).begin()->first, "a.txt");
  } else {
    EXPECT_EQ(n, 0);
    EXPECT_EQ(session.LastReplyCode, 550);
  }
  EXPECT_EQ(ftpPwd(session), "/pub");
  EXPECT_EQ(session.NoStatusLine, 0);
}

TEST_P(RealTransferTest, DownloadsResumesAndStamps) {
  std::vector<std::string> lines;
  ftpList(session, "/pub/", "", lines);
  const FileToFetch file = AboutToDownload("/pub/a.txt", Parse(lines).at("a.txt"));
  ScratchDir dir;
  const std::string local = dir / "a.txt";
  const std::string content = Content();

  EXPECT_EQ(FetchAsMirror(session, file, local), static_cast<int64_t>(kFileSize));
  EXPECT_TRUE(FileContent(local) == content);
  SYSTEMTIME date;
  GETFILEDATE(local, date);
  EXPECT_EQ(FORMATFILEDATE(date), FORMATFILEDATE(file.listed_time));
  EXPECT_EQ(session.NoStatusLine, 0);
  EXPECT_THAT(console_.lines, IsEmpty());

  // A partial file: resumed at its size. vsftpd names the whole size again after REST.
  fs::resize_file(local, 400000);
  options_.ResumeMode = 1;
  options_.VerboseLevel = 1;
  EXPECT_EQ(FetchAsMirror(session, file, local), static_cast<int64_t>(kFileSize));
  EXPECT_TRUE(FileContent(local) == content);
  GETFILEDATE(local, date);
  EXPECT_EQ(FORMATFILEDATE(date), FORMATFILEDATE(file.listed_time));
  EXPECT_THAT(console_.lines, Contains("REST 400000"));
  EXPECT_THAT(console_.lines, Contains(StartsWith("350 ")));
  EXPECT_THAT(console_.lines, Contains(StartsWith("226 ")));
  const std::string lied =
      env_.Time() + " Server lied about REST bytes. Adjusting to 600000 bytes.";
  // vsftpd names the whole file after REST, pyftpdlib nothing: no lie either way.
  EXPECT_THAT(console_.lines, Not(Contains(lied)));
  EXPECT_EQ(session.NoStatusLine, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Real, RealTransferTest,
    ::testing::Values(FtpServerKind::kVsftpd, FtpServerKind::kPyftpdlib),
    [](const ::testing::TestParamInfo<FtpServerKind>& info) {
      return info.param == FtpServerKind::kVsftpd ? "Vsftpd" : "Pyftpdlib";
    });

}  // namespace
}  // namespace koru
