// The real program against real FTP servers (vsftpd and pyftpdlib from Debian, started on a
// free loopback port): small remote trees, a fresh local directory for every run, and what the
// run printed and left on disk.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/local_file.h"
#include "platform/text.h"
#include "tests/child_process.h"
#include "tests/fake_ftp_server.h"
#include "tests/fake_ftp_tree.h"
#include "tests/local_dates.h"
#include "tests/real_ftp_server.h"

namespace koru {
namespace {

namespace fs = std::filesystem;
using testing::ChildResult;
using testing::Date;
using testing::DateToTheMinute;
using testing::StampDate;
using testing::FtpServerKind;
using testing::RealFtpServer;

// `size` bytes of every value, in an order that differs from file to file.
std::string Bytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + seed + i / 251) & 0xff);
  return bytes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

// Whether `text` at `at` fits `pattern`, in which "d" stands for a digit.
bool Fits(const std::string& text, size_t at, std::string_view pattern) {
  if (at + pattern.size() > text.size()) return false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = text[at + i];
    if (pattern[i] == 'd' ? (c < '0' || c > '9') : c != pattern[i]) return false;
  }
  return true;
}

// `text` without the title sequences a terminal gets (ESC ] 0 ; title BEL, and the title stack's
// ESC [ 22 ; 0 t and ESC [ 23 ; 0 t that keep the terminal's own title).
std::string WithoutTitles(std::string text) {
  for (size_t at = text.find("\x1b]0;"); at != std::string::npos; at = text.find("\x1b]0;", at)) {
    const size_t bell = text.find('\a', at);
    text.erase(at, bell == std::string::npos ? std::string::npos : bell + 1 - at);
  }
  for (const std::string_view stack : {"\x1b[22;0t", "\x1b[23;0t"}) {
    for (size_t at = text.find(stack); at != std::string::npos; at = text.find(stack, at)) {
      text.erase(at, stack.size());
    }
  }
  return text;
}

// The output with the times of day as TIME and the dates of the start line as DATE.
std::string WithoutClock(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    if (Fits(text, i, "dd:dd:dd")) {
      out += "TIME";
      i += 8;
    } else if (Fits(text, i, "dd-dd-dddd")) {
      out += "DATE";
      i += 10;
    } else {
      out += text[i++];
    }
  }
  return out;
}

// A date to the minute, three days ago: servers list it with its time of day.
SYSTEMTIME RecentDate() {
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  return testing::LocalMinuteOf(now - 3 * 86400);
}

// Numbers with at least `places` digits, zero first.
std::string Digits(int value, int places) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*d", places, value);
  return text;
}

// YYYY-MM-DD, as the download line shows the remote date.
std::string DayText(const SYSTEMTIME& t) {
  return Digits(t.wYear, 4) + "-" + Digits(t.wMonth, 2) + "-" + Digits(t.wDay, 2);
}

// What a tree holds: for each path below it, "dir" or the size, the date to the minute and
// a digest of the content.
std::map<std::string, std::string> TreeState(const std::string& top) {
  std::map<std::string, std::string> state;
  for (const auto& entry : fs::recursive_directory_iterator(top)) {
    const std::string path = entry.path().string();
    const std::string name = path.substr(top.size());
    if (entry.is_directory()) {
      state[name] = "dir";
      continue;
    }
    const std::string content = ReadFile(path);
    const SYSTEMTIME date = DateToTheMinute(path);
    state[name] = std::to_string(content.size()) + " " + DayText(date) + " " +
                  Digits(date.wHour, 2) + ":" + Digits(date.wMinute, 2) + " " +
                  std::to_string(std::hash<std::string>()(content));
  }
  return state;
}

class E2eFixture : public ::testing::Test {
 protected:
  E2eFixture() {
    std::string pattern = (fs::temp_directory_path() / "koru-e2e-XXXXXX").string();
    if (mkdtemp(pattern.data())) local_ = fs::canonical(pattern).string();
  }
  ~E2eFixture() override {
    std::error_code ignored;
    fs::remove_all(local_, ignored);
  }

  // Starts a server of `kind`, or skips the test when it is not installed.
  void StartServer(FtpServerKind kind, const testing::RealFtpServerOptions& options = {}) {
    testing::StartOrSkip(kind, &server_, options);
  }

  std::string Pub(const std::string& name) const { return server_->root() + "/pub/" + name; }
  std::string Local(const std::string& name) const { return local_ + "/" + name; }

  // A remote file below /pub/, dated `date`, that the server's users may change.
  void Remote(const std::string& name, const std::string& content, const SYSTEMTIME& date) {
    WriteFile(Pub(name), content);
    StampDate(Pub(name), date);
    server_->HandOver(server_->root() + "/pub");
  }

  // Runs the program in the local directory on /pub/ (or `path`) with `switches`.
  ChildResult Run(std::vector<std::string> switches, const std::string& path = "/pub/") {
    switches.insert(switches.begin(), server_->address() + path);
    ChildResult run = testing::RunProgram(KORU_BINARY, switches, local_);
    run.output = WithoutClock(run.output);
    ReplaceAll(run.output, server_->address(), "ADDR");
    ReplaceAll(run.output, local_, "LOCAL");
    return run;
  }

  // The banner and start lines of a run on `path` without option echo.
  static std::string Start(const std::string& path = "/pub/") {
    return "Koru (KORU 20080313)\nTIME DATE\n ftp://anonymous@ADDR\n R Path: " + path +
           "\n L Path: LOCAL\n";
  }

  // `count` files f0, f1, ... of 400,000 bytes on a vsftpd that serves 20,000 bytes a second,
  // and the program fetching them over four connections in a terminal.
  std::unique_ptr<testing::PtyChild> StartSlowParallelRun(int count) {
    testing::RealFtpServerOptions options;
    options.max_rate = 20000;
    StartServer(FtpServerKind::kVsftpd, options);
    for (int i = 0; i < count; ++i) {
      Remote("f" + std::to_string(i), Bytes(400000, i), RecentDate());
    }
    return std::make_unique<testing::PtyChild>(
        KORU_BINARY, std::vector<std::string>{server_->address() + "/pub/", "-P4"}, local_);
  }

  std::unique_ptr<RealFtpServer> server_;
  std::string local_;  // the directory the program runs in
};

// A server kind, listening on 127.0.0.1 or, reached through "[::1]:port", on ::1 only.
struct E2eServer {
  FtpServerKind kind;
  bool ipv6 = false;
};

// The -V line that tells the server's zone, learnt from the MDTM of `path`: vsftpd offers MDTM
// and no MLST, so a run learns its zone from the first file it lists with a time of day; a
// server that offers MLST gives exact dates and no such line.
std::string ServerTimeLine(FtpServerKind kind, const std::string& path) {
  if (kind != FtpServerKind::kVsftpd) return "";
  return "TIME * Server time: UTC+00:00 (from MDTM of " + path + ")\n";
}

class E2eTest : public E2eFixture, public ::testing::WithParamInterface<E2eServer> {
 protected:
  void SetUp() override {
    testing::RealFtpServerOptions options;
    options.ipv6 = GetParam().ipv6;
    StartServer(GetParam().kind, options);
  }
};

std::string ServerName(const ::testing::TestParamInfo<E2eServer>& info) {
  return testing::KindName(info.param.kind) + (info.param.ipv6 ? "Ipv6" : "");
}

TEST_P(E2eTest, EmptyDirectoryFillsAndTheSecondRunTransfersNothing) {
  const SYSTEMTIME recent = RecentDate();
  Remote("a.txt", "0123456789", recent);
  Remote("b.bin", Bytes(300000, 1), recent);
  Remote("old.txt", "old one", Date(2020, 3, 15, 12, 34));  // listed with its year only

  const ChildResult first = Run({});

  EXPECT_EQ(first.exit_code, 0);
  const std::string day = DayText(recent);
  EXPECT_EQ(first.output, Start() + "TIME * Found 3 files in /pub/\n"
                                    "TIME 10 " + day + " /pub/a.txt\n"
                                    "TIME 300000 " + day + " /pub/b.bin\n"
                                    "TIME 7 2020-03-15 /pub/old.txt\n"
                                    "TIME 3 files transferred.\n");
  EXPECT_EQ(ReadFile(Local("a.txt")), "0123456789");
  EXPECT_EQ(ReadFile(Local("b.bin")), Bytes(300000, 1));
  EXPECT_EQ(ReadFile(Local("old.txt")), "old one");
  EXPECT_EQ(DateToTheMinute(Local("a.txt")), recent);
  EXPECT_EQ(DateToTheMinute(Local("b.bin")), recent);
  // LIST shows the year alone, MLSD (all but vsftpd) the exact time.
  const bool exact = GetParam().kind != FtpServerKind::kVsftpd;
  EXPECT_EQ(DateToTheMinute(Local("old.txt")), exact ? Date(2020, 3, 15, 12, 34) : Date(2020, 3, 15));

  const ChildResult second = Run({});

  EXPECT_EQ(second.exit_code, 0);
  EXPECT_EQ(second.output,
            Start() + "TIME * Found 3 files in /pub/\nTIME * No more files to transfer.\n");
  EXPECT_EQ(DateToTheMinute(Local("b.bin")), recent);
}

// -R with equal dates: REST asks for the rest only, so the local prefix stays as it was.
TEST_P(E2eTest, SmallerLocalFileIsCompletedThroughRest) {
  const SYSTEMTIME recent = RecentDate();
  const std::string remote = Bytes(20000, 2);
  Remote("big.bin", remote, recent);
  const std::string prefix(5000, 'L');
  WriteFile(Local("big.bin"), prefix);
  StampDate(Local("big.bin"), recent);

  const ChildResult run = Run({"-R", "-V"});

  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(ReadFile(Local("big.bin")), prefix + remote.substr(5000));
  // vsftpd names the whole size in its 150 reply after REST, pyftpdlib names none: neither is
  // a lie about the bytes REST leaves.
  const std::string stamp = "TIME * Setting ./big.bin to DATE TIME\n";
  EXPECT_EQ(run.output,
            "Koru (KORU 20080313)\nDATE Options:\n           + Verbose mode enabled\n" +
                Start().substr(21) + "TIME * Connecting to ADDR\n" +
                ServerTimeLine(GetParam().kind, "/pub/big.bin") + "TIME * Found 1 file in /pub/\n" +
                "TIME 20000 " + DayText(recent) + " /pub/big.bin\n" + stamp +
                "TIME * Found 1 file in /pub/\nTIME 1 file transferred.\n");
}

TEST_P(E2eTest, MoveRemovesTheRemoteFilesOfVerifiedDownloads) {
  const SYSTEMTIME recent = RecentDate();
  Remote("a.txt", "aaa", recent);
  Remote("b.txt", "bbbb", recent);

  const ChildResult run = Run({"-M"});

  EXPECT_EQ(run.exit_code, 0);
  const std::string day = DayText(recent);
  EXPECT_EQ(run.output, Start() + "TIME * Found 2 files in /pub/\n"
                                  "TIME 3 " + day + " /pub/a.txt\n"
                                  "TIME * Removed remote file /pub/a.txt\n"
                                  "TIME 4 " + day + " /pub/b.txt\n"
                                  "TIME * Removed remote file /pub/b.txt\n"
                                  "TIME 2 files transferred.\n");
  EXPECT_FALSE(fs::exists(Pub("a.txt")));
  EXPECT_FALSE(fs::exists(Pub("b.txt")));
  EXPECT_EQ(ReadFile(Local("a.txt")), "aaa");
  EXPECT_EQ(ReadFile(Local("b.txt")), "bbbb");
}

// The local tree ends up equal to the remote one, directories, content and dates; a second
// run has nothing to do.
TEST_P(E2eTest, RecursionMirrorsATreeTwoLevelsDeepExactlyTwice) {
  const SYSTEMTIME recent = RecentDate();
  Remote("top.txt", "top", recent);
  Remote("a/a1.txt", Bytes(70000, 3), recent);
  Remote("a/deep/d.txt", "deep", recent);
  Remote("b/b1.txt", "b one", Date(2021, 7, 4));  // listed with its year only
  const std::string day = DayText(recent);

  const ChildResult first = Run({"-S"});

  EXPECT_EQ(first.exit_code, 0);
  EXPECT_EQ(first.output, Start() + "TIME * Found 1 file in /pub/a/deep/\n"
                                    "TIME 4 " + day + " /pub/a/deep/d.txt\n"
                                    "TIME 70000 " + day + " /pub/a/a1.txt\n"
                                    "TIME 5 2021-07-04 /pub/b/b1.txt\n"
                                    "TIME 3 " + day + " /pub/top.txt\n"
                                    "TIME 4 files transferred.\n"
                                    "TIME 3 subdirectories found.\n");
  const std::map<std::string, std::string> local = TreeState(local_);
  EXPECT_EQ(local, TreeState(server_->root() + "/pub"));

  const ChildResult second = Run({"-S"});

  EXPECT_EQ(second.exit_code, 0);
  EXPECT_EQ(second.output, Start() + "TIME * Found 1 file in /pub/a/deep/\n"
                                     "TIME * Found 2 files in /pub/a/\n"
                                     "TIME * Found 1 file in /pub/b/\n"
                                     "TIME * Found 3 files in /pub/\n"
                                     "TIME * No more files to transfer.\n");
  EXPECT_EQ(TreeState(local_), local);
}

INSTANTIATE_TEST_SUITE_P(Real, E2eTest,
                         ::testing::Values(E2eServer{FtpServerKind::kVsftpd},
                                           E2eServer{FtpServerKind::kPyftpdlib},
                                           E2eServer{FtpServerKind::kVsftpd, true},
                                           E2eServer{FtpServerKind::kPyftpdlib, true}),
                         ServerName);

// pure-ftpd, which serves anonymous users read-only: a tree arrives whole, dates and all.
TEST_F(E2eFixture, PureFtpdServesATreeToMirror) {
  StartServer(FtpServerKind::kPureFtpd);
  if (!server_) return;
  Remote("top.txt", "top", RecentDate());
  Remote("a/a1.txt", Bytes(70000, 3), RecentDate());
  Remote("a/old.txt", "old", Date(2021, 7, 4));  // listed with its year only

  const ChildResult run = Run({"-S"});

  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_THAT(run.output, ::testing::HasSubstr("TIME 3 files transferred.\n"));
  EXPECT_EQ(TreeState(local_), TreeState(server_->root() + "/pub"));
}

// The cases one server shows as well as another: vsftpd, which also globs a LIST mask.
class VsftpdE2eTest : public E2eFixture {
 protected:
  void SetUp() override { StartServer(FtpServerKind::kVsftpd); }
};

TEST_F(VsftpdE2eTest, LargerLocalFileIsLeftAloneAndDated) {
  const SYSTEMTIME recent = RecentDate();
  Remote("a.txt", "short", recent);
  WriteFile(Local("a.txt"), "longer local text");

  const ChildResult run = Run({});

  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output,
            Start() + "TIME * Found 1 file in /pub/\nTIME * No more files to transfer.\n");
  EXPECT_EQ(ReadFile(Local("a.txt")), "longer local text");
  EXPECT_EQ(DateToTheMinute(Local("a.txt")), recent);
}

// -O downloads every file again, complete or not, in exactly one pass (one count line).
TEST_F(VsftpdE2eTest, OverwriteDownloadsEverythingInOnePass) {
  const SYSTEMTIME recent = RecentDate();
  Remote("a.txt", "remote a", recent);
  Remote("b.txt", "remote b", recent);
  WriteFile(Local("a.txt"), "local a!");
  StampDate(Local("a.txt"), recent);

  const ChildResult run = Run({"-O", "-V"});

  EXPECT_EQ(run.exit_code, 0);
  const std::string day = DayText(recent);
  EXPECT_EQ(run.output,
            "Koru (KORU 20080313)\nDATE Options:\n"
            "           + Overwrite local files with downloads\n"
            "           + Verbose mode enabled\n" +
                Start().substr(21) +
                "TIME * Connecting to ADDR\n"
                "TIME * Server time: UTC+00:00 (from MDTM of /pub/a.txt)\n"
                "TIME * Found 2 files in /pub/\n"
                "TIME 8 " + day + " /pub/a.txt\n"
                "TIME * Overwrite mode enabled and local file exists, erasing.\n"
                "TIME * Setting ./a.txt to DATE TIME\n"
                "TIME 8 " + day + " /pub/b.txt\n"
                "TIME * Setting ./b.txt to DATE TIME\n"
                "TIME 2 files transferred.\n");
  EXPECT_EQ(ReadFile(Local("a.txt")), "remote a");
  EXPECT_EQ(ReadFile(Local("b.txt")), "remote b");
}

TEST_F(VsftpdE2eTest, MaskFetchesWhatTheServerMatchesAndListOnlyFetchesNothing) {
  const SYSTEMTIME recent = RecentDate();
  Remote("a.txt", "a", recent);
  Remote("b.txt", "b", recent);
  Remote("c.zip", "c", recent);

  const ChildResult list = Run({}, "/pub/=*.txt");

  EXPECT_EQ(list.exit_code, 0);
  const std::string head = Start("/pub/*.txt  (File List)");
  ASSERT_EQ(list.output.substr(0, head.size()), head);
  std::vector<std::string> lines;
  std::istringstream rest(list.output.substr(head.size()));
  for (std::string line; std::getline(rest, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u) << list.output;
  EXPECT_THAT(lines[0], ::testing::StartsWith("-rw-r--r--"));
  EXPECT_THAT(lines[0], ::testing::EndsWith(" a.txt"));
  EXPECT_THAT(lines[1], ::testing::EndsWith(" b.txt"));
  EXPECT_EQ(lines[2], " 2 Items found");
  EXPECT_EQ(lines[3], "TIME * No more files to transfer.");
  EXPECT_TRUE(fs::is_empty(local_));

  const ChildResult fetch = Run({}, "/pub/*.txt");

  EXPECT_EQ(fetch.exit_code, 0);
  const std::string day = DayText(recent);
  EXPECT_EQ(fetch.output, Start("/pub/*.txt") + "TIME * Found 2 *.txt files in /pub/\n"
                                                "TIME 1 " + day + " /pub/a.txt\n"
                                                "TIME 1 " + day + " /pub/b.txt\n"
                                                "TIME 2 files transferred.\n");
  EXPECT_FALSE(fs::exists(Local("c.zip")));
}

TEST_F(VsftpdE2eTest, UniqueNamesStoreUnderTheNextFreeNumber) {
  const SYSTEMTIME recent = RecentDate();
  Remote("x.zip", "remote x", recent);
  WriteFile(Local("x.zip"), "first");
  WriteFile(Local("x(1).zip"), "second");

  const ChildResult run = Run({"+M"});

  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, Start() + "TIME * Found 1 file in /pub/\n"
                                  "TIME 8 " + DayText(recent) + " /pub/x.zip\n"
                                  "TIME * Removed remote file /pub/x.zip\n"
                                  "TIME 1 file transferred.\n");
  EXPECT_EQ(ReadFile(Local("x(2).zip")), "remote x");
  EXPECT_EQ(ReadFile(Local("x.zip")), "first");
  EXPECT_EQ(ReadFile(Local("x(1).zip")), "second");
  EXPECT_FALSE(fs::exists(Pub("x.zip")));
}

// -T makes the first level of directories and fetches only the starting directory's files.
TEST_F(VsftpdE2eTest, CreationOnlyMakesTheFirstLevel) {
  const SYSTEMTIME recent = RecentDate();
  Remote("top.txt", "top", recent);
  Remote("a/a1.txt", "a1", recent);
  Remote("a/deep/d.txt", "deep", recent);

  const ChildResult run = Run({"-T"});

  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, Start() + "TIME * Found 2 files in /pub/\n"
                                  "TIME 3 " + DayText(recent) + " /pub/top.txt\n"
                                  "TIME 1 file transferred.\n"
                                  "TIME 1 subdirectory found.\n");
  EXPECT_TRUE(fs::is_directory(Local("a")));
  EXPECT_TRUE(fs::is_empty(Local("a")));
  EXPECT_EQ(ReadFile(Local("top.txt")), "top");
}

// -U creates the remote path on the server before it lists it.
TEST_F(VsftpdE2eTest, StepwiseVariantCreatesAMissingRemotePath) {
  const ChildResult run = Run({"-U", "-T", "-V"}, "/pub/new/deeper/");

  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output,
            "Koru (KORU 20080313)\nDATE Options:\n"
            "           + Sub-directory creation enabled\n"
            "           + Verbose mode enabled\n" +
                Start("/pub/new/deeper/").substr(21) +
                "TIME * Connecting to ADDR\n"
                "TIME * Found 0 Directories in /pub/new/deeper/\n"
                "TIME * Connecting to ADDR\n"
                "TIME * Found 0 files in /pub/new/deeper/\n"
                "TIME * No more files to transfer.\n");
  EXPECT_TRUE(fs::is_directory(Pub("new/deeper")));
}

// Esc typed in the terminal while the server keeps the first download waiting: the run stops
// at once, no file is fetched and nothing more is asked of the server, the totals still come,
// and the exit code is 1.
using E2eKeyTest = E2eFixture;

TEST_F(E2eKeyTest, EscStopsTheRunWhileTheServerKeepsItWaiting) {
  testing::FakeFtpTree tree;
  tree.AddFile("/pub/a.txt", "aaaaa");
  tree.AddFile("/pub/b.txt", "bbbbb");
  std::atomic<bool> esc_typed = false;
  // The first download's TYPE I is answered only once Esc is in the terminal's input (or
  // after 10 s, which the run must not need).
  tree.Intercept([&, held = false](const std::string& command,
                                   testing::FakeFtpSession& session) mutable {
    if (command != "TYPE I" || held) return false;
    held = true;
    for (int waited = 0; !esc_typed && waited < 10000; waited += 10) session.Pause(10);
    session.Pause(3000);
    return false;
  });
  testing::FakeFtpServer server;
  server.SetDefaultSession(tree.Script());

  testing::PtyChild child(KORU_BINARY, {server.address() + "/pub/"}, local_);
  child.ReadUntil(" 5 2001-03-05 /pub/a.txt");
  child.Type("\x1b");
  esc_typed = true;

  EXPECT_EQ(child.Wait(), 1);
  std::string output = WithoutClock(WithoutTitles(child.output()));
  ReplaceAll(output, "\r\n", "\n");
  EXPECT_EQ(output, "Koru (KORU 20080313)\nTIME DATE\n ftp://anonymous@" + server.address() +
                        "\n R Path: /pub/\n L Path: " + local_ +
                        "\nTIME * Found 2 files in /pub/\n"
                        "TIME 5 2001-03-05 /pub/a.txt\n"
                        "TIME ** User Abort **\n"
                        "TIME * No more files to transfer.\n");
  server.Stop();
  // Esc reaches the program while it waits for the reply to PASV or to TYPE I: no file is
  // asked for.
  EXPECT_THAT(server.commands().back(), ::testing::AnyOf("PASV", "TYPE I"));
  EXPECT_THAT(server.commands(), ::testing::Not(::testing::Contains("RETR /pub/a.txt")));
  EXPECT_FALSE(fs::exists(Local("a.txt")));
  EXPECT_FALSE(fs::exists(Local("b.txt")));
}


// SIGTERM (as cron's or timeout's) while the server keeps a reply back ends the run at once,
// with or without a terminal to read keys from.
TEST_F(E2eKeyTest, SigtermEndsTheRunWhileTheServerKeepsAReplyBack) {
  for (const bool terminal : {true, false}) {
    SCOPED_TRACE(terminal ? "terminal" : "no terminal");
    testing::FakeFtpTree tree;
    tree.AddFile("/pub/a.txt", "aaaaa");
    std::atomic<bool> held = false;
    tree.Intercept([&](const std::string& command, testing::FakeFtpSession& session) {
      if (command != "TYPE I") return false;
      held = true;
      session.Pause(10000);
      return false;
    });
    testing::FakeFtpServer server;
    server.SetDefaultSession(tree.Script());
    const std::string location = server.address() + "/pub/";
    const std::string directory = local_;
    testing::PtyChild child([location, directory, terminal] {
      if (!terminal) {
        const int null_fd = ::open("/dev/null", O_RDONLY);
        ::dup2(null_fd, STDIN_FILENO);
      }
      if (::chdir(directory.c_str()) != 0) _exit(126);
      ::execl(KORU_BINARY, KORU_BINARY, location.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    });
    for (int waited = 0; !held && waited < 5000; waited += 10) usleep(10000);
    ASSERT_TRUE(held);
    const auto sent = std::chrono::steady_clock::now();
    child.Signal(SIGTERM);

    EXPECT_EQ(child.Wait(5000), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(3));
    EXPECT_THAT(child.output(), ::testing::HasSubstr("** User Abort **"));
    server.Stop();
  }
}

// --- several connections at once (-P) ---

// The lines of a run, sorted, without those whose place or number depends on the order the
// files arrive in: the option echo, and the file counts of directories (shown until the first
// file has arrived).
std::vector<std::string> LinesInAnyOrder(const std::string& output) {
  std::vector<std::string> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("TIME * Found") || line.starts_with("           + ") ||
        line.find(" Options:") != std::string::npos) {
      continue;
    }
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

class ParallelE2eTest : public E2eTest {
 protected:
  // A tree with a big file among small ones, three levels deep.
  void MakeTree() {
    const SYSTEMTIME recent = RecentDate();
    Remote("big.bin", Bytes(3000000, 7), recent);
    for (int i = 0; i < 6; ++i) {
      Remote("f" + std::to_string(i) + ".txt", Bytes(1000 + i, i), recent);
      Remote("a/a" + std::to_string(i) + ".txt", Bytes(2000 + i, i + 10), Date(2021, 7, 4));
      Remote("b/c/c" + std::to_string(i) + ".bin", Bytes(40000 + i, i + 20), recent);
    }
  }

  void ClearLocal() {
    for (const auto& entry : fs::directory_iterator(local_)) fs::remove_all(entry.path());
  }
};

// The same tree, dates and totals as one connection gives, and the same lines in another
// order; a second run has nothing to do and lists each directory once.
TEST_P(ParallelE2eTest, TreeArrivesAsOverOneConnection) {
  MakeTree();
  const ChildResult one = Run({"-S"});
  ASSERT_EQ(one.exit_code, 0) << one.output;
  const std::map<std::string, std::string> expected = TreeState(local_);
  ASSERT_EQ(expected, TreeState(server_->root() + "/pub"));
  const ChildResult one_again = Run({"-S"});
  ClearLocal();

  const ChildResult four = Run({"-S", "-P4", "-V"});

  EXPECT_EQ(four.exit_code, 0) << four.output;
  EXPECT_THAT(four.output,
              ::testing::HasSubstr("           + Parallel transfers over 4 connections\n"));
  EXPECT_EQ(TreeState(local_), expected);
  std::vector<std::string> quiet_lines = LinesInAnyOrder(one.output);
  std::vector<std::string> four_lines = LinesInAnyOrder(four.output);
  // Verbose lines aside, the lines are those of one connection.
  std::erase_if(four_lines, [](const std::string& line) {
    return line.starts_with("TIME * Connecting") || line.starts_with("TIME * Recurse") ||
           line.starts_with("TIME Creating") || line.starts_with("TIME * Setting") ||
           line.starts_with("TIME * Note") || line.starts_with("TIME * Server time");
  });
  EXPECT_EQ(four_lines, quiet_lines);

  const ChildResult four_again = Run({"-S", "-P4"});
  EXPECT_EQ(four_again.exit_code, 0);
  EXPECT_EQ(LinesInAnyOrder(four_again.output), LinesInAnyOrder(one_again.output));
  EXPECT_THAT(four_again.output, ::testing::HasSubstr("TIME * No more files to transfer.\n"));
  EXPECT_EQ(TreeState(local_), expected);
}

TEST_P(ParallelE2eTest, MoveRemovesEveryVerifiedFile) {
  MakeTree();
  const std::map<std::string, std::string> remote = TreeState(server_->root() + "/pub");

  const ChildResult run = Run({"-S", "-M", "-P3"});

  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(TreeState(local_), remote);
  int removed = 0;
  for (size_t at = 0; (at = run.output.find("* Removed remote file", at)) != std::string::npos;
       ++at) {
    ++removed;
  }
  EXPECT_EQ(removed, 19) << run.output;
  EXPECT_FALSE(fs::exists(Pub("big.bin")));
  EXPECT_FALSE(fs::exists(Pub("b/c/c5.bin")));
}

INSTANTIATE_TEST_SUITE_P(Real, ParallelE2eTest,
                         ::testing::Values(E2eServer{FtpServerKind::kVsftpd},
                                           E2eServer{FtpServerKind::kPyftpdlib},
                                           E2eServer{FtpServerKind::kVsftpd, true}),
                         ServerName);

// --- fetching again what changed (-N) ---

class NewerE2eTest : public E2eTest {};

// Each local copy against the remote file it mirrors: what -N makes of it, and that a copy
// whose content is not fetched keeps its own date.
TEST_P(NewerE2eTest, ChangedFilesAreFetchedAgainWholeAndOthersLeftAlone) {
  const SYSTEMTIME recent = RecentDate();
  const SYSTEMTIME older = Date(2024, 5, 6, 7, 8);
  const struct {
    const char* name;
    std::string remote;
    SYSTEMTIME remote_date;
    std::string local;
    SYSTEMTIME local_date;
    bool fetched;
  } cases[] = {
      {"same.txt", "same text", recent, "same text", recent, false},
      {"same_day.txt", "day only", Date(2021, 7, 4), "day only", Date(2021, 7, 4, 15, 30), false},
      {"changed_same_size.txt", "new text!", recent, "old text!", older, true},
      {"redated.txt", "unchanged", recent, "unchanged", older, true},
      {"shrunk.txt", "short", recent, "a longer old copy", recent, true},
      {"grown.txt", "a longer new copy", recent, "a longer", older, true},
      {"missing.txt", "new file", recent, "", {}, true},
  };
  for (const auto& c : cases) {
    Remote(c.name, c.remote, c.remote_date);
    if (c.local_date.wYear == 0) continue;
    WriteFile(Local(c.name), c.local);
    StampDate(Local(c.name), c.local_date);
  }

  const ChildResult run = Run({"-N"});

  // Where the server lists with MLSD (all but vsftpd) a date is exact: a copy of the same day
  // but another time is another date.
  const bool exact = GetParam().kind != FtpServerKind::kVsftpd;
  EXPECT_EQ(run.exit_code, 0) << run.output;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool fetched = c.fetched || (exact && std::string(c.name) == "same_day.txt");
    EXPECT_EQ(ReadFile(Local(c.name)), c.remote);
    EXPECT_EQ(run.output.find(std::string("/pub/") + c.name + "\n") != std::string::npos,
              fetched);
    EXPECT_EQ(DateToTheMinute(Local(c.name)), fetched ? DateToTheMinute(Pub(c.name))
                                                      : c.local_date);
    EXPECT_FALSE(fs::exists(Local(std::string(c.name) + ";koru-part")));
  }
  EXPECT_THAT(run.output, ::testing::HasSubstr(exact ? "TIME 6 files transferred.\n"
                                                     : "TIME 5 files transferred.\n"));

  const ChildResult again = Run({"-N"});
  EXPECT_EQ(again.exit_code, 0);
  EXPECT_THAT(again.output, ::testing::HasSubstr("TIME * No more files to transfer.\n"));
}

// Without -N a changed file of the same size stays as it was (and takes the remote date); with
// -N a download that cannot be made leaves the old copy whole.
TEST_P(NewerE2eTest, AFailedFetchLeavesTheOldCopyWhole) {
  Remote("a.txt", "new text!", RecentDate());
  WriteFile(Local("a.txt"), "old text!");
  StampDate(Local("a.txt"), Date(2024, 5, 6, 7, 8));

  const ChildResult plain = Run({});
  EXPECT_EQ(ReadFile(Local("a.txt")), "old text!");
  StampDate(Local("a.txt"), Date(2024, 5, 6, 7, 8));
  ASSERT_EQ(::chmod(Pub("a.txt").c_str(), 0), 0);

  const ChildResult run = Run({"-N"});

  EXPECT_EQ(plain.exit_code, 0);
  EXPECT_EQ(run.exit_code, 1) << run.output;
  EXPECT_THAT(run.output, ::testing::HasSubstr("TIME 1 file failed.\n"));
  EXPECT_EQ(ReadFile(Local("a.txt")), "old text!");
  EXPECT_EQ(DateToTheMinute(Local("a.txt")), Date(2024, 5, 6, 7, 8));
  EXPECT_FALSE(fs::exists(Local("a.txt;koru-part")));
}

// -N with -R: a smaller copy of the same date is completed through REST, not fetched whole.
TEST_P(NewerE2eTest, ResumeRulesApplyToSmallerCopies) {
  const SYSTEMTIME recent = RecentDate();
  const std::string remote = Bytes(20000, 5);
  Remote("big.bin", remote, recent);
  WriteFile(Local("big.bin"), std::string(5000, 'L'));
  StampDate(Local("big.bin"), recent);

  const ChildResult run = Run({"-N", "-R", "+V"});

  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_THAT(run.output, ::testing::HasSubstr("REST 5000"));
  EXPECT_EQ(ReadFile(Local("big.bin")), std::string(5000, 'L') + remote.substr(5000));
}

INSTANTIATE_TEST_SUITE_P(Real, NewerE2eTest,
                         ::testing::Values(E2eServer{FtpServerKind::kVsftpd},
                                           E2eServer{FtpServerKind::kPyftpdlib}),
                         ServerName);

// A mask the server refuses with LIST (pyftpdlib answers 550) is matched here against the whole
// listing; a server that matches it (vsftpd) is left to do so. The files fetched and the names
// a listing only shows are the same either way.
TEST_P(E2eTest, AMaskHoldsWhetherOrNotTheServerMatchesIt) {
  const SYSTEMTIME recent = RecentDate();
  Remote("a.txt", "aaa", recent);
  Remote("b.txt", "bbbb", recent);
  Remote("c.bin", "ccccc", recent);
  Remote("d.txt.gz", "dd", recent);
  const bool server_matches = GetParam().kind == FtpServerKind::kVsftpd;
  const std::string note = "TIME * Note: the server does not match masks; matched here\n";

  const ChildResult listed = Run({"-V"}, "/pub/=*.txt");
  const ChildResult fetched = Run({"-V"}, "/pub/*.txt");

  EXPECT_EQ(listed.exit_code, 0) << listed.output;
  EXPECT_THAT(listed.output, ::testing::HasSubstr(" 2 Items found\n"));
  EXPECT_THAT(listed.output, ::testing::HasSubstr(" a.txt\n"));
  EXPECT_THAT(listed.output, ::testing::Not(::testing::HasSubstr("c.bin")));
  EXPECT_EQ(fetched.exit_code, 0) << fetched.output;
  EXPECT_THAT(fetched.output, ::testing::HasSubstr("TIME 2 files transferred.\n"));
  // Only a LIST carries the mask: a listing of the list-only form always is one, a listing to
  // fetch from is an MLSD (matched here, in silence) where the server offers it (all but vsftpd).
  EXPECT_EQ(listed.output.find(note) != std::string::npos, !server_matches) << listed.output;
  EXPECT_EQ(fetched.output.find(note), std::string::npos) << fetched.output;
  EXPECT_EQ(ReadFile(Local("b.txt")), "bbbb");
  EXPECT_FALSE(fs::exists(Local("c.bin")));
  EXPECT_FALSE(fs::exists(Local("d.txt.gz")));
}

// A server that takes two sessions per address: the further connections are given up, the
// run goes on with two and ends as it should.
TEST_F(E2eKeyTest, ParallelRunKeepsToTheSessionsTheServerAllows) {
  testing::RealFtpServerOptions options;
  options.max_per_ip = 2;
  StartServer(FtpServerKind::kVsftpd, options);
  for (int i = 0; i < 12; ++i) Remote("d/f" + std::to_string(i), Bytes(5000 + i, i), RecentDate());

  const ChildResult run = Run({"-S", "-P4", "-V"});

  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_THAT(run.output, ::testing::HasSubstr("TIME * Note: the server allows 2 connections\n"));
  EXPECT_THAT(run.output, ::testing::HasSubstr("TIME 12 files transferred.\n"));
  EXPECT_EQ(TreeState(local_), TreeState(server_->root() + "/pub"));
}

// A file the server will not send fails alone; the others arrive.
TEST_F(E2eKeyTest, ParallelRunCountsAnUnreadableFileAsFailed) {
  StartServer(FtpServerKind::kVsftpd);
  for (int i = 0; i < 5; ++i) Remote("f" + std::to_string(i), Bytes(3000 + i, i), RecentDate());
  ASSERT_EQ(::chmod(Pub("f2").c_str(), 0), 0);

  const ChildResult run = Run({"-P4"});

  EXPECT_EQ(run.exit_code, 1) << run.output;
  EXPECT_THAT(run.output, ::testing::HasSubstr("TIME * Warning: Unable to download /pub/f2 ("));
  EXPECT_THAT(run.output, ::testing::HasSubstr("TIME 4 files transferred.\n"));
  EXPECT_THAT(run.output, ::testing::HasSubstr("TIME 1 file failed.\n"));
  EXPECT_FALSE(fs::exists(Local("f2")));
  EXPECT_EQ(ReadFile(Local("f4")), Bytes(3004, 4));
}

// Esc in the terminal while four slow downloads run: every connection stops at once, the abort
// line comes once, nothing is complete, and the run ends with 1.
TEST_F(E2eKeyTest, EscStopsEveryConnectionOfAParallelRun) {
  const std::unique_ptr<testing::PtyChild> run = StartSlowParallelRun(6);
  testing::PtyChild& child = *run;
  child.ReadUntil("/pub/f3");
  child.ReadUntil("4 in flight");
  child.Type("\x1b");

  EXPECT_EQ(child.Wait(3000), 1);
  const std::string output = WithoutClock(WithoutTitles(child.output()));
  EXPECT_EQ(output.find("** User Abort **"), output.rfind("** User Abort **")) << output;
  EXPECT_THAT(output, ::testing::HasSubstr("** User Abort **"));
  EXPECT_THAT(output, ::testing::Not(::testing::HasSubstr("transferred")));
  for (int i = 0; i < 6; ++i) {
    const std::string path = Local("f" + std::to_string(i));
    EXPECT_TRUE(!fs::exists(path) || fs::file_size(path) < 400000) << path;
  }
}

// Tab while four slow downloads run: all four are left for this run (not failed, not fetched
// again in a later pass), and the run ends well. (The data stops at once; vsftpd, sleeping out
// its rate limit, answers each abandoned transfer only at its next write, within a few
// seconds.)
TEST_F(E2eKeyTest, TabAbandonsEveryDownloadInFlightOfAParallelRun) {
  const std::unique_ptr<testing::PtyChild> run = StartSlowParallelRun(4);
  testing::PtyChild& child = *run;
  child.ReadUntil("4 in flight");
  child.Type("\t");

  EXPECT_EQ(child.Wait(20000), 0);
  const std::string output = WithoutClock(WithoutTitles(child.output()));
  EXPECT_THAT(output, ::testing::HasSubstr("TIME * No more files to transfer."));
  EXPECT_THAT(output, ::testing::Not(::testing::HasSubstr("failed")));
  EXPECT_THAT(output, ::testing::Not(::testing::HasSubstr("User Abort")));
  for (int i = 0; i < 4; ++i) {
    const std::string path = Local("f" + std::to_string(i));
    EXPECT_TRUE(fs::exists(path) && fs::file_size(path) < 400000) << path;
    // The download's own line: " <size> <date> /pub/f0" (the size warning names it too).
    const std::regex line("[0-9]{4}-[0-9]{2}-[0-9]{2} /pub/f" + std::to_string(i) + "\r\n");
    const auto downloads = std::distance(
        std::sregex_iterator(output.begin(), output.end(), line), std::sregex_iterator());
    EXPECT_EQ(downloads, 1) << "fetched again: " << path;
  }
}

// One connection of the lean sequence: one login for the whole run, one listing per directory,
// TYPE only where it changes. The 7 sub-directories are listed on whichever connection is free:
// all arrive.
TEST_F(E2eKeyTest, LeanSequenceLogsInOnceAndListsEachDirectoryOnce) {
  testing::FakeFtpTree tree;
  tree.AddFile("/pub/a.txt", "aaaaa");
  tree.AddFile("/pub/b.txt", "bbbbb");
  tree.AddFile("/pub/sub/c.txt", "ccccc");
  tree.AddFile("/pub/sub/deep/d.txt", "ddddd");
  for (int i = 1; i <= 5; ++i) tree.AddFile("/pub/s" + std::to_string(i) + "/x.txt", "xx");
  testing::FakeFtpServer server;
  server.SetDefaultSession(tree.Script());

  ChildResult nothing_yet = testing::RunProgram(KORU_BINARY, {server.address() + "/pub/", "-S", "-P1"}, local_);
  EXPECT_EQ(nothing_yet.exit_code, 0) << nothing_yet.output;
  ChildResult again = testing::RunProgram(KORU_BINARY, {server.address() + "/pub/", "-S", "-P1"}, local_);
  EXPECT_EQ(again.exit_code, 0) << again.output;
  server.Stop();

  const std::vector<std::string> commands = server.commands();
  const auto count = [&](std::string_view prefix) {
    return std::count_if(commands.begin(), commands.end(),
                         [&](const std::string& c) { return c.starts_with(prefix); });
  };
  // Two runs: a login each; the fresh run lists each of the 8 directories twice (the pass that
  // downloaded is listed again), the no-op run once.
  EXPECT_EQ(count("USER"), 2);
  EXPECT_EQ(count("LIST"), 8 * 2 + 8);
  EXPECT_EQ(count("RETR"), 9);
  EXPECT_EQ(ReadFile(Local("s5/x.txt")), "xx");
  // TYPE only where it changes the connection's type.
  std::string type;
  for (const std::string& command : commands) {
    if (command.starts_with("USER")) type.clear();
    if (!command.starts_with("TYPE ")) continue;
    EXPECT_NE(command, type) << "TYPE sent again without a change";
    type = command;
  }
  EXPECT_EQ(ReadFile(Local("sub/deep/d.txt")), "ddddd");
}

}  // namespace
}  // namespace koru
