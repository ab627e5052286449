// The status line as a user sees it: the real program in a pseudo-terminal downloading from real
// FTP servers (vsftpd and pyftpdlib), slowed down with -D100 (8,192 bytes every 100 ms), what it
// wrote fed to a screen model and compared with the documented console lines.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "tests/child_process.h"
#include "tests/end_to_end.h"
#include "tests/local_dates.h"
#include "tests/real_ftp_server.h"
#include "tests/scratch_dir.h"
#include "tests/screen_model.h"

namespace koru {
namespace {

using testing::FtpServerKind;
using testing::PtyChild;
using testing::RealFtpServer;
using testing::ScreenModel;

constexpr int kColumns = 100;  // the width PtyChild's terminal starts with
constexpr int kRows = 24;
constexpr int64_t kSize = 24 * 8192;  // 2.4 s at -D100

// The status line of big.bin while it comes, with -D`delay`.
std::regex StatusPattern(int delay) {
  return std::regex(R"(/pub/big\.bin  (\d+)%  ([\d,]+) / 196,608  ([\d.]+) KiB/s  )"
                    R"((\d:\d\d|--:--)  delay )" +
                    std::to_string(delay) + " ms");
}

int64_t WithoutCommas(std::string digits) {
  std::erase(digits, ',');
  return std::stoll(digits);
}

class StatusLineE2eTest : public ::testing::TestWithParam<FtpServerKind> {
 protected:
  void SetUp() override {
    testing::StartOrSkip(GetParam(), &server_);
    if (!server_) return;
    const std::string remote = server_->root() + "/pub/big.bin";
    testing::WriteFile(remote, std::string(kSize, 'k'));
    testing::StampDate(remote, testing::Date(2001, 3, 5, 12, 0));
    server_->HandOver(server_->root() + "/pub");
  }

  // Starts the program on /pub/ with -D100 in a terminal with TERM=xterm; its standard error
  // goes to `errors_fd` when that is not -1.
  void Start(int errors_fd = -1) {
    const std::string location = server_->address() + "/pub/";
    const std::string directory = local_.path();
    child_ = std::make_unique<PtyChild>([location, directory, errors_fd] {
      setenv("TERM", "xterm", 1);
      if (errors_fd >= 0) dup2(errors_fd, STDERR_FILENO);
      if (chdir(directory.c_str()) != 0) _exit(126);
      execl(KORU_BINARY, KORU_BINARY, location.c_str(), "-D100", static_cast<char*>(nullptr));
      _exit(127);
    });
  }

  // Waits for the first status line of the download.
  void AwaitStatus() {
    ASSERT_NE(child_->ReadUntil("delay 100 ms\x1b[K").find("delay 100 ms\x1b[K"), std::string::npos)
        << child_->output();
  }

  // Everything the program has written so far, read while it stands still.
  const std::string& Snapshot() {
    child_->Signal(SIGSTOP);
    child_->ReadUntilQuiet();
    return child_->output();
  }

  // The documented lines of a run that fetches big.bin, times as TIME.
  std::vector<std::string> Documented() const {
    return {"Koru (KORU 20080313)",
            "TIME DATE",
            " ftp://anonymous@SERVER",
            " R Path: /pub/",
            " L Path: DIR",
            "TIME * Found 1 file in /pub/",
            "TIME 196608 2001-03-05 /pub/big.bin",
            "TIME 1 file transferred."};
  }

  std::vector<std::string> Normalised(std::vector<std::string> lines) const {
    for (std::string& line : lines) {
      line = testing::Normalised(line, server_->address(), local_.path());
      // How far a stopped download came varies.
      line = std::regex_replace(line, std::regex(R"(\(\d+/196608\))"), "(N/196608)");
    }
    return lines;
  }

  // The status line on the cursor's row is plausible for a transfer at up to 80 KiB/s.
  void ExpectPlausibleStatus(const std::string& row) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(row, m, StatusPattern(100))) << row;
    const int64_t present = WithoutCommas(m[2]);
    EXPECT_GT(present, 0);
    EXPECT_LT(present, kSize);
    EXPECT_EQ(std::stoll(m[1]), std::llround(100.0 * present / kSize)) << row;
    const double rate = std::stod(m[3]);
    EXPECT_GT(rate, 10.0) << row;
    EXPECT_LE(rate, 120.0) << row;  // the first block comes without a delay
  }

  std::unique_ptr<RealFtpServer> server_;
  testing::ScratchDir local_;
  std::unique_ptr<PtyChild> child_;
};

std::string ServerName(const ::testing::TestParamInfo<FtpServerKind>& info) {
  return testing::KindName(info.param);
}

TEST_P(StatusLineE2eTest, ThrottledDownloadShowsItsProgressAndLeavesOnlyTheDocumentedLines) {
  Start();
  AwaitStatus();
  child_->ReadFor(800);
  {
    ScreenModel screen(kColumns, kRows);
    screen.Feed(Snapshot());
    ExpectPlausibleStatus(screen.CursorRow());
    std::vector<std::string> above = Normalised(screen.Lines());
    above.pop_back();  // the status line
    std::vector<std::string> so_far = Documented();
    so_far.pop_back();  // the totals come later
    EXPECT_EQ(above, so_far);
    EXPECT_EQ(screen.wraps(), 0);
  }
  child_->Signal(SIGCONT);

  EXPECT_EQ(child_->Wait(), 0);
  ScreenModel screen(kColumns, kRows);
  screen.Feed(child_->output());
  EXPECT_EQ(Normalised(screen.Lines()), Documented());
  EXPECT_EQ(screen.CursorRow(), "");
  EXPECT_EQ(screen.wraps(), 0);
  EXPECT_EQ(screen.unknown(), "");
  EXPECT_EQ(testing::FileContent(local_ / "big.bin"), std::string(kSize, 'k'));
}

TEST_P(StatusLineE2eTest, AResizeMidTransferRedrawsTheLineWithinTheNewWidth) {
  constexpr int kNarrow = 50;
  Start();
  AwaitStatus();
  const size_t resized_at = Snapshot().size();
  child_->Resize(kRows, kNarrow);
  child_->Signal(SIGCONT);
  child_->ReadFor(500);

  const auto screen_of = [&](const std::string& output) {
    auto screen = std::make_unique<ScreenModel>(kColumns, kRows);
    screen->Feed(std::string_view(output).substr(0, resized_at));
    screen->Resize(kNarrow);
    screen->Feed(std::string_view(output).substr(resized_at));
    return screen;
  };
  {
    const auto screen = screen_of(Snapshot());
    const std::string row = screen->CursorRow();
    EXPECT_TRUE(std::regex_match(row, std::regex(R"(/pub/big\.bin  \d+%  [\d.]+ KiB/s  )"
                                                 R"((\d:\d\d|--:--)  delay 100 ms)")))
        << row;
    EXPECT_LT(row.size(), static_cast<size_t>(kNarrow));
    EXPECT_EQ(screen->wraps(), 0);
  }
  child_->Signal(SIGCONT);

  EXPECT_EQ(child_->Wait(), 0);
  const auto screen = screen_of(child_->output());
  EXPECT_EQ(Normalised(screen->Lines()), Documented());
  EXPECT_EQ(screen->CursorRow(), "");
  EXPECT_EQ(screen->wraps(), 0);
}

// Esc, Ctrl-C and a second Ctrl-C mid-transfer: the status line is gone and the cursor stands
// at the start of an empty row. (A second Ctrl-C ends the process at once, so whatever lines
// the first one's abort has printed by then are all there is.)
TEST_P(StatusLineE2eTest, StoppingMidTransferLeavesACleanLine) {
  struct Case {
    const char* what;
    std::function<void(PtyChild&)> stop;
    int exit_code;
    std::vector<std::string> last_lines;
  };
  const std::vector<std::string> aborted = {
      "TIME * Warning: Local file size does not match remote (N/196608)",
      "TIME ** User Abort **", "TIME * No more files to transfer."};
  const std::vector<Case> cases = {
      {"Esc", [](PtyChild& c) { c.Type("\x1b"); }, 1, aborted},
      {"Ctrl-C", [](PtyChild& c) { c.Signal(SIGINT); }, 1, aborted},
      {"a second Ctrl-C",
       [](PtyChild& c) {
         // The first one's abort is quick; the program is held while both arrive, so the
         // second comes while the first is still being handled (a second SIGINT sent to a
         // held process would merge with the first: SIGTERM counts as one as well).
         c.Signal(SIGSTOP);
         c.Signal(SIGINT);
         c.Signal(SIGTERM);
         c.Signal(SIGCONT);
       },
       130,
       {}},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(local_ / "big.bin");
    Start();
    AwaitStatus();
    c.stop(*child_);
    EXPECT_EQ(child_->Wait(), c.exit_code) << c.what;
    ScreenModel screen(kColumns, kRows);
    screen.Feed(child_->output());
    std::vector<std::string> expected = Documented();
    expected.pop_back();
    std::vector<std::string> lines = Normalised(screen.Lines());
    if (c.exit_code == 130 && lines.size() > expected.size()) lines.resize(expected.size());
    expected.insert(expected.end(), c.last_lines.begin(), c.last_lines.end());
    EXPECT_EQ(lines, expected) << c.what;
    EXPECT_EQ(screen.CursorRow(), "") << c.what;
    EXPECT_EQ(screen.wraps(), 0) << c.what;
  }
}

TEST_P(StatusLineE2eTest, PlusShowsTheNewDelayAtOnce) {
  Start();
  AwaitStatus();
  child_->Type("+");
  const std::string& out = child_->ReadUntil("delay 200 ms\x1b[K", 1000);
  EXPECT_NE(out.find("delay 200 ms\x1b[K"), std::string::npos) << out;
  child_->Type("\x1b");
  EXPECT_EQ(child_->Wait(), 1);
  ScreenModel screen(kColumns, kRows);
  screen.Feed(child_->output());
  EXPECT_EQ(screen.CursorRow(), "");
  EXPECT_EQ(screen.wraps(), 0);
}

// Standard error in a file: not one byte of a status line there, and the terminal gets exactly
// the documented lines.
TEST_P(StatusLineE2eTest, StandardErrorInAFileGetsNothing) {
  char errors[] = "/tmp/koru-status-errors.XXXXXX";
  const int errors_fd = mkstemp(errors);
  ASSERT_GE(errors_fd, 0);
  Start(errors_fd);
  EXPECT_EQ(child_->Wait(), 0);
  EXPECT_EQ(lseek(errors_fd, 0, SEEK_END), 0);
  close(errors_fd);
  unlink(errors);
  // The titles, and the title stack that keeps the terminal's own, go to the terminal as well;
  // nothing else but the lines may.
  const std::string out = std::regex_replace(
      child_->output(), std::regex("\x1b\\]0;[^\a]*\a|\x1b\\[2[23];0t"), "");
  std::vector<std::string> lines;
  for (size_t at = 0; at < out.size();) {
    const size_t end = out.find("\r\n", at);
    ASSERT_NE(end, std::string::npos) << out;
    lines.push_back(out.substr(at, end - at));
    EXPECT_EQ(lines.back().find_first_of("\r\x1b"), std::string::npos) << lines.back();
    at = end + 2;
  }
  EXPECT_EQ(Normalised(lines), Documented());
}

INSTANTIATE_TEST_SUITE_P(Real, StatusLineE2eTest,
                         ::testing::Values(FtpServerKind::kVsftpd, FtpServerKind::kPyftpdlib),
                         ServerName);

}  // namespace
}  // namespace koru
