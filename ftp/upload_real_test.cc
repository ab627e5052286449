// Uploads to real FTP servers (vsftpd, pyftpdlib): the bytes stored are the bytes sent.
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ftp/control.h"
#include "ftp/session.h"
#include "ftp/upload.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/text.h"
#include "tests/fakes.h"
#include "tests/real_ftp_server.h"
#include "tests/scratch_dir.h"
#include "tests/upload_files.h"

namespace koru {
namespace {

namespace fs = std::filesystem;
using testing::Content;
using testing::LastReply;
using testing::Written;
using ::testing::IsEmpty;
using testing::FileContent;
using testing::FtpServerKind;
using testing::RealFtpServer;
using testing::ScratchDir;
using testing::WriteFile;

class RealUploadTest : public ::testing::TestWithParam<FtpServerKind> {
 protected:
  void SetUp() override {
    testing::StartOrSkip(GetParam(), &server_);
    if (!server_) return;
    env_.channel_timeout_ms = 5000;  // replies come at once; only a fault waits this long
  }

  testing::RecordingConsole console_;
  testing::FakeClock clock_;
  Options options_;
  RunSettings state_;
  Env env_{console_, clock_};
  koru::Session session{env_, options_, state_};
  std::unique_ptr<RealFtpServer> server_;
  ScratchDir local_;
};

TEST_P(RealUploadTest, StoresFilesByteForByte) {
  const std::vector<size_t> sizes = {0, 10000, 16384, 12 * 8192 + 345};
  const int32_t h = ftpConnect(session, server_->address(), "anonymous", "guest@example.org");
  ASSERT_GT(h, 0);

  for (size_t size : sizes) {
    const std::string name = "up" + std::to_string(size) + ".bin";
    EXPECT_EQ(ftpPutFile(session, kOn, "/pub/" + name, Written(local_, name, Content(size))), 1)
        << name << ": " << LastReply(session);
  }
  // Refused by the server: a directory that does not exist.
  EXPECT_EQ(ftpPutFile(session, kOn, "/missing/up.bin", Written(local_, "up.bin", Content(10000))),
            0);
  EXPECT_EQ(session.LastReplyCode / 100, 5) << LastReply(session);
  ftpQuit(session);

  EXPECT_THAT(console_.lines, IsEmpty());
  for (size_t size : sizes) {
    const std::string name = "up" + std::to_string(size) + ".bin";
    EXPECT_TRUE(FileContent(server_->root() + "/pub/" + name) == Content(size)) << name;
  }
  EXPECT_FALSE(fs::exists(server_->root() + "/missing"));
}

INSTANTIATE_TEST_SUITE_P(Upload, RealUploadTest,
                         ::testing::Values(FtpServerKind::kVsftpd, FtpServerKind::kPyftpdlib),
                         [](const auto& info) {
                           return info.param == FtpServerKind::kVsftpd ? "Vsftpd" : "Pyftpdlib";
                         });

}  // namespace
}  // namespace koru
