// Job control as a user meets it: an interactive shell on a pseudo-terminal runs the real
// program against vsftpd, slowed down with -D100, and the test types Ctrl-Z, fg, bg and "&".
// Also the per-block delay cut short by Esc and SIGTERM however long it is.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/child_process.h"
#include "tests/end_to_end.h"
#include "tests/real_ftp_server.h"
#include "tests/scratch_dir.h"

namespace koru {
namespace {

using testing::FtpServerKind;
using testing::PtyChild;
using testing::RealFtpServer;

constexpr int64_t kSize = 40 * 8192;  // 4 s at -D100
constexpr char kStatus[] = "delay 100 ms\x1b[K";
constexpr unsigned kLineMode = ICANON | ECHO;

class JobControlE2eTest : public ::testing::TestWithParam<FtpServerKind> {
 protected:
  void SetUp() override {
    testing::StartOrSkip(GetParam(), &server_);
    if (!server_) return;
    testing::WriteFile(server_->root() + "/pub/big.bin", std::string(kSize, 'j'));
    server_->HandOver(server_->root() + "/pub");
  }

  // An interactive shell without line editing (it leaves the terminal mode alone), in the
  // scratch directory.
  void StartShell() {
    const std::string directory = local_.path();
    child_ = std::make_unique<PtyChild>([directory] {
      setenv("TERM", "xterm", 1);
      setenv("PS1", "$ ", 1);
      if (chdir(directory.c_str()) != 0) _exit(126);
      execl("/bin/bash", "bash", "--norc", "--noprofile", "--noediting", "-i",
            static_cast<char*>(nullptr));
      _exit(127);
    });
  }

  std::string Download(const std::string& delay = "-D100") const {
    return std::string(KORU_BINARY) + " " + server_->address() + "/pub/ " + delay;
  }

  // Types `command` and a line end into the shell.
  void Run(const std::string& command) { child_->Type(command + "\n"); }

  // True when `text` appears in what the terminal shows after position `from`.
  bool Shows(const std::string& text, size_t from = 0, int timeout_ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (child_->output().find(text, from) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      child_->ReadFor(50);
    }
    return true;
  }

  // Waits until every job has ended and the shell reads commands again.
  void AwaitShell() {
    Run("wait; echo END$((6 * 7))");
    ASSERT_TRUE(Shows("END42", 0, 15000)) << child_->output();
  }

  int64_t LocalSize() const {
    std::error_code error;
    const auto size = std::filesystem::file_size(local_ / "big.bin", error);
    return error ? 0 : static_cast<int64_t>(size);
  }

  // True once the local file holds more than `size` bytes, within `timeout_ms`; the terminal
  // is read meanwhile.
  bool GrowsBeyond(int64_t size, int timeout_ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (LocalSize() <= size) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      child_->ReadFor(20);
    }
    return true;
  }

  std::unique_ptr<RealFtpServer> server_;
  testing::ScratchDir local_;
  std::unique_ptr<PtyChild> child_;
};

TEST_P(JobControlE2eTest, CtrlZThenFgGoesOnWithKeysAndGivesTheModeBack) {
  if (!server_) return;
  StartShell();
  Run(Download());
  ASSERT_TRUE(Shows(kStatus)) << child_->output();
  EXPECT_EQ(child_->LocalModes() & kLineMode, 0u) << "key mode while it runs";

  child_->Type("\x1a");
  ASSERT_TRUE(Shows("Stopped")) << child_->output();
  EXPECT_EQ(child_->LocalModes() & kLineMode, kLineMode) << "line mode while stopped";
  const int64_t stopped_at = LocalSize();

  const size_t fg_at = child_->output().size();
  Run("fg");
  ASSERT_TRUE(Shows(kStatus, fg_at)) << "the status line comes back: " << child_->output();
  EXPECT_TRUE(GrowsBeyond(stopped_at)) << "the download goes on after fg";
  EXPECT_EQ(child_->LocalModes() & kLineMode, 0u) << "key mode again after fg";

  child_->Type("\x1b");
  EXPECT_TRUE(Shows("** User Abort **", fg_at, 3000)) << "Esc is read after fg";
  AwaitShell();
  EXPECT_EQ(child_->output().find("^["), std::string::npos) << child_->output();
  EXPECT_EQ(child_->LocalModes() & kLineMode, kLineMode) << "line mode after the run";
}

// In the background the download runs to its end, its lines on the terminal, with neither a
// stop for terminal access nor a status line or title.
TEST_P(JobControlE2eTest, InTheBackgroundTheDownloadFinishes) {
  struct Case {
    const char* what;
    std::function<void()> send_to_background;
  };
  const std::vector<Case> cases = {
      {"started with &", [this] { Run(Download() + " &"); }},
      {"bg after Ctrl-Z",
       [this] {
         Run(Download());
         ASSERT_TRUE(Shows(kStatus)) << child_->output();
         child_->Type("\x1a");
         ASSERT_TRUE(Shows("Stopped")) << child_->output();
         Run("bg");
       }},
  };
  if (!server_) return;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(local_ / "big.bin");
    StartShell();
    c.send_to_background();
    const size_t background_at = child_->output().size();
    AwaitShell();
    const std::string after = child_->output().substr(background_at);
    EXPECT_NE(after.find("1 file transferred."), std::string::npos) << after;
    EXPECT_EQ(after.find("Stopped"), std::string::npos) << after;
    EXPECT_EQ(after.find(kStatus), std::string::npos) << "no status line: " << after;
    EXPECT_EQ(after.find("\x1b]0;"), std::string::npos) << "no title: " << after;
    for (const char* title_stack : {"\x1b[22;0t", "\x1b[23;0t"}) {
      EXPECT_EQ(after.find(title_stack), std::string::npos) << "no title stack: " << after;
    }
    EXPECT_EQ(LocalSize(), kSize);
    EXPECT_EQ(child_->LocalModes() & kLineMode, kLineMode);
  }
}

// The delay after a block is cut short: the run ends well before the delay would have.
TEST_P(JobControlE2eTest, EscAndSigtermCutTheDelayShort) {
  if (!server_) return;
  struct Case {
    const char* delay;
    std::function<void(PtyChild&)> stop;
  };
  const std::vector<Case> cases = {
      {"-D5000", [](PtyChild& c) { c.Type("\x1b"); }},
      {"-D99999999999999", [](PtyChild& c) { c.Signal(SIGTERM); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.delay);
    std::filesystem::remove(local_ / "big.bin");
    const std::vector<std::string> args = {server_->address() + "/pub/", c.delay};
    child_ = std::make_unique<PtyChild>(KORU_BINARY, args, local_.path());
    ASSERT_TRUE(Shows("/pub/big.bin")) << child_->output();
    // The first block is written: the first delay follows it.
    ASSERT_TRUE(GrowsBeyond(0)) << child_->output();
    c.stop(*child_);
    EXPECT_EQ(child_->Wait(3000), 1) << child_->output();
    EXPECT_NE(child_->output().find("** User Abort **"), std::string::npos) << child_->output();
  }
}

INSTANTIATE_TEST_SUITE_P(Real, JobControlE2eTest,
                         ::testing::Values(FtpServerKind::kVsftpd, FtpServerKind::kPyftpdlib),
                         [](const auto& info) { return testing::KindName(info.param); });

}  // namespace
}  // namespace koru
