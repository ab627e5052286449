// The real program against three real FTP servers from Debian (vsftpd, pyftpdlib and proftpd,
// each started on a free loopback port) on the trees a new user meets: files at the server's
// root, a mistyped path, entries the server may not read, links, names with blanks and odd
// characters, a mask, moving, and a session that stops answering in the middle of a file.
// Each case must hold on every server; where the servers word their refusals differently, the
// table of servers holds the reply lines, which KORU shows as they came.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/child_process.h"
#include "tests/end_to_end.h"
#include "tests/local_dates.h"
#include "tests/real_ftp_server.h"
#include "tests/scratch_dir.h"

namespace koru::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::Each;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

// How one server kind words what it refuses. "{}" stands for the path in the command.
struct Server {
  FtpServerKind kind;
  std::string missing_directory;  // CWD to a directory that does not exist
  std::string locked_directory;   // CWD to a directory of mode 000 that belongs to root
  std::string unreadable_file;    // RETR of a file of mode 000 that belongs to root
  std::string link_to_directory;  // SIZE of a link to a directory
  std::string dangling_link;      // SIZE of a link that leads nowhere
  // LIST with a mask ("*.txt"); empty where the server lists the files that match.
  std::string mask_refused;
};

void PrintTo(const Server& server, std::ostream* os) { *os << KindName(server.kind); }

const Server kServers[] = {
    {FtpServerKind::kVsftpd, "550 Failed to change directory.", "550 Failed to change directory.",
     "550 Failed to open file.", "550 Could not get file size.", "550 Could not get file size.",
     ""},
    // pyftpdlib takes a LIST argument for one path: a mask names no file, so it is refused.
    {FtpServerKind::kPyftpdlib, "550 No such file or directory.", "550 Permission denied.",
     "550 Permission denied.", "550 {} is not retrievable.", "550 {} is not retrievable.",
     "550 No such file or directory."},
    {FtpServerKind::kProftpd, "550 {}: No such file or directory", "550 {}: Permission denied",
     "550 {}: Permission denied", "550 {}: not a regular file", "550 {}: No such file or directory",
     ""},
};

// `reply` with the path of the command in place of "{}".
std::string Reply(std::string reply, const std::string& path) {
  const size_t at = reply.find("{}");
  if (at != std::string::npos) reply.replace(at, 2, path);
  return reply;
}

// Every remote file is dated noon on 1 June 2021: listed with its year, shown as this day.
const SYSTEMTIME kRemoteDate = Date(2021, 6, 1, 12, 0);
constexpr char kRemoteDay[] = "2021-06-01";

// The console line of a download: size, remote date, remote path and name.
std::string Download(size_t size, const std::string& path) {
  return "TIME " + std::to_string(size) + " " + kRemoteDay + " " + path;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

int Count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

// Short content as itself in quotes, longer as its size and a digest.
std::string Describe(const std::string& content) {
  if (content.size() <= 40) return "\"" + content + "\"";
  return std::to_string(content.size()) + " bytes #" +
         std::to_string(std::hash<std::string>()(content));
}

// Everything below `top` by relative name: "directory", "link to <target>" or the described
// content of a file.
std::map<std::string, std::string> Tree(const std::string& top) {
  std::map<std::string, std::string> tree;
  std::error_code error;
  for (fs::recursive_directory_iterator it(top, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().lexically_relative(top).string();
    const fs::file_status status = it->symlink_status();
    if (fs::is_symlink(status)) {
      tree[name] = "link to " + fs::read_symlink(it->path()).string();
    } else if (fs::is_directory(status)) {
      tree[name + "/"] = "directory";
    } else {
      tree[name] = Describe(FileContent(it->path().string()));
    }
  }
  return tree;
}

// `size` bytes of every value, in an order that differs with the size.
std::string Bytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + size + i / 251) & 0xff);
  return bytes;
}

class RealServerFaultsTest : public ::testing::TestWithParam<Server> {
 protected:
  void SetUp() override {
    fs::create_directory(local_);
    StartServer({});
  }

  void StartServer(const RealFtpServerOptions& options) {
    testing::StartOrSkip(GetParam().kind, &server_, options);
  }

  // Whether each session is a process of its own, which a test can stop or end alone.
  bool SessionsAreProcesses() const { return GetParam().kind != FtpServerKind::kPyftpdlib; }

  // A server slow enough (256 KiB/s) that a file of 512 KiB is still on its way when its
  // session is stopped: in two seconds as a whole.
  void StartSlowServer() {
    RealFtpServerOptions slow;
    slow.max_rate = 256 * 1024;
    StartServer(slow);
  }

  std::string Served(const std::string& name) const { return server_->root() + "/" + name; }

  // A file below the served root, dated kRemoteDate. Below "pub" it becomes the anonymous
  // user's with Serve().
  void File(const std::string& name, const std::string& content) {
    fs::create_directories(fs::path(Served(name)).parent_path());
    WriteFile(Served(name), content);
    StampDate(Served(name), kRemoteDate);
  }

  // A symbolic link to `target`, itself dated kRemoteDate.
  void Link(const std::string& name, const std::string& target) {
    fs::create_directories(fs::path(Served(name)).parent_path());
    fs::create_symlink(target, Served(name));
    const int64_t seconds = testing::EpochOfLocal(kRemoteDate);
    const timeval times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
    ASSERT_EQ(::lutimes(Served(name).c_str(), times), 0);
  }

  // A file or directory the server cannot read: mode 000, root's. Takes effect with Serve().
  void Locked(const std::string& name) { locked_.push_back(Served(name)); }

  // Hands "pub" to the server's users, all but what is locked.
  void Serve() {
    server_->HandOver(Served("pub"));
    for (const std::string& path : locked_) {
      ASSERT_EQ(::lchown(path.c_str(), 0, 0), 0) << path;
      ASSERT_EQ(::chmod(path.c_str(), 0), 0) << path;
    }
  }

  // Runs the binary in the local directory on `path` of the server, with `switches`.
  ChildResult Run(const std::string& path, std::vector<std::string> switches = {}) {
    switches.insert(switches.begin(), server_->address() + path);
    ChildResult run = RunProgram(KORU_BINARY, switches, local_);
    run.output = Normalised(run.output, server_->address(), local_);
    EXPECT_EQ(run.errors, "");
    return run;
  }

  // The banner and start lines of a quiet run on `path`.
  static std::string Start(const std::string& path) {
    return "Koru (KORU 20080313)\nTIME DATE\n ftp://anonymous@SERVER\n R Path: " + path +
           "\n L Path: DIR\n";
  }

  void ClearLocal() {
    fs::remove_all(local_);
    fs::create_directory(local_);
  }

  // What the run left locally, and that it left nothing beside the local directory.
  std::map<std::string, std::string> LocalTree() {
    std::vector<std::string> beside;
    for (const auto& entry : fs::directory_iterator(scratch_.path())) {
      beside.push_back(entry.path().filename().string());
    }
    EXPECT_THAT(beside, ::testing::ElementsAre("local"));
    return Tree(local_);
  }

  ScratchDir scratch_;
  const std::string local_ = scratch_ / "local";  // the directory the program runs in
  std::unique_ptr<RealFtpServer> server_;
  std::vector<std::string> locked_;
};

// "host/" and "host/file" name the root directory, which vsftpd and proftpd enter only with
// "CWD /" (they refuse CWD with an empty argument, 550 and 501); pyftpdlib takes an empty
// argument for the login directory.
TEST_P(RealServerFaultsTest, RootDirectoryServesItsFilesForTheDirectoryAndForAName) {
  File("top.txt", "top");
  File("top2.bin", Bytes(30000));
  Serve();

  const ChildResult whole = Run("/");

  EXPECT_EQ(whole.exit_code, 0);
  // "pub" is listed with the files.
  EXPECT_EQ(whole.output, Start("/") + "TIME * Found 3 files in /\n" + Download(3, "/top.txt") +
                              "\n" + Download(30000, "/top2.bin") +
                              "\nTIME 2 files transferred.\n");
  EXPECT_EQ(LocalTree(), (std::map<std::string, std::string>{
                             {"top.txt", "\"top\""}, {"top2.bin", Describe(Bytes(30000))}}));

  ClearLocal();
  const ChildResult one = Run("/top2.bin");

  EXPECT_EQ(one.exit_code, 0);
  EXPECT_EQ(one.output, Start("/top2.bin") + "TIME * Found 1 file in /\n" +
                            Download(30000, "/top2.bin") + "\nTIME 1 file transferred.\n");
  EXPECT_EQ(LocalTree(),
            (std::map<std::string, std::string>{{"top2.bin", Describe(Bytes(30000))}}));
}

// A mistyped path is reported with the server's reply, once, also where -S tries it in both
// phases; the run fails but still ends with its totals.
TEST_P(RealServerFaultsTest, MistypedPathIsReportedWithTheServersReply) {
  File("pub/a.txt", "a");
  Serve();
  const std::string warning = "TIME * Warning: Unable to change to remote directory /nosuch/ (" +
                              Reply(GetParam().missing_directory, "/nosuch") + ")";

  const ChildResult plain = Run("/nosuch/");

  EXPECT_EQ(plain.exit_code, 1);
  EXPECT_EQ(plain.output, Start("/nosuch/") + warning +
                              "\nTIME * No more files to transfer.\nTIME 1 directory failed.\n");

  const ChildResult recursive = Run("/nosuch/", {"-S"});

  EXPECT_EQ(recursive.exit_code, 1);
  const std::vector<std::string> lines = Lines(recursive.output);
  EXPECT_EQ(Count(lines, warning), 1) << recursive.output;
  EXPECT_THAT(lines, Contains("TIME * No more files to transfer."));
  EXPECT_THAT(LocalTree(), IsEmpty());
}

// A location that names a directory without "/" at its end is taken for a file name: the
// run fails as it must, and a note says how to mirror the directory instead. A name that is
// neither gets no note (whether the servers count it as a mask without a match or refuse it).
TEST_P(RealServerFaultsTest, DirectoryNamedWithoutSlashGetsANote) {
  File("pub/docs/a.txt", "a");
  Serve();
  const std::string note =
      "TIME * Note: /pub/docs is a directory; end the location with \"/\" to mirror it";

  // As a LIST reads it (-L): a server asked for "LIST docs" lists what is inside.
  const ChildResult directory = Run("/pub/docs", {"-L"});

  EXPECT_EQ(directory.exit_code, 1) << directory.output;
  const std::vector<std::string> lines = Lines(directory.output);
  EXPECT_EQ(Count(lines, note), 1) << directory.output;

  const ChildResult missing = Run("/pub/nosuch");

  EXPECT_THAT(Lines(missing.output), Each(Not(HasSubstr("Note:")))) << missing.output;
  EXPECT_THAT(LocalTree(), IsEmpty());
}

// A file and a directory the server may not read, in a -S tree: each is reported with the
// server's reply, the failed file is counted after the totals (tried again in a later pass
// at most three times in all), the run fails, and everything else arrives.
TEST_P(RealServerFaultsTest, UnreadableFileAndDirectoryFailTheRunAndTheRestArrives) {
  File("pub/a.txt", "a text");
  File("pub/secret.bin", "secret");
  File("pub/locked/l.txt", "behind a lock");
  File("pub/open/o.txt", "o text");
  Locked("pub/secret.bin");
  Locked("pub/locked");
  Serve();

  const ChildResult run = Run("/pub/", {"-S"});

  EXPECT_EQ(run.exit_code, 1);
  const std::vector<std::string> lines = Lines(run.output);
  EXPECT_EQ(Count(lines, "TIME * Warning: Unable to change to remote directory /pub/locked/ (" +
                             Reply(GetParam().locked_directory, "/pub/locked") + ")"),
            1)
      << run.output;
  const std::string refused = "TIME * Warning: Unable to download /pub/secret.bin (" +
                              Reply(GetParam().unreadable_file, "/pub/secret.bin") + ")";
  EXPECT_THAT(Count(lines, refused), AllOf(::testing::Ge(1), ::testing::Le(3))) << run.output;
  EXPECT_THAT(lines, Contains("TIME 2 files transferred."));
  EXPECT_THAT(lines, Contains("TIME 2 subdirectories found."));
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "TIME 1 file failed.");
  EXPECT_EQ(lines.back(), "TIME 1 directory failed.");
  std::map<std::string, std::string> local = LocalTree();
  local.erase("locked/");  // made before the server refused it, or not: either is right
  EXPECT_EQ(local,
            (std::map<std::string, std::string>{
                {"a.txt", "\"a text\""}, {"open/", "directory"}, {"open/o.txt", "\"o text\""}}));
}

// A link is listed with the length of its target's name as its size. A link to a file arrives
// whole, by the size the server gives for it, and is complete on the next run; a link to a
// directory and a link to nothing are skipped (shown in verbose mode only), not failed.
TEST_P(RealServerFaultsTest, LinkToAFileArrivesWholeAndOtherLinksAreSkipped) {
  const std::string big = Bytes(5'000'000);
  File("data/big.bin", big);  // outside "pub": only the link leads to it
  Link("pub/big-link.bin", "../data/big.bin");
  Link("pub/dir-link", "../data");
  Link("pub/dangling", "nowhere");
  Serve();

  // Links as a LIST shows them (-L): an MLSD listing leaves out what the server cannot follow.
  const ChildResult first = Run("/pub/", {"-V", "-L"});

  EXPECT_EQ(first.exit_code, 0);
  const std::vector<std::string> lines = Lines(first.output);
  EXPECT_EQ(Count(lines, Download(5'000'000, "/pub/big-link.bin")), 1) << first.output;
  const std::string skip_directory = "TIME * Skipping link /pub/dir-link (" +
                                     Reply(GetParam().link_to_directory, "/pub/dir-link") + ")";
  const std::string skip_dangling = "TIME * Skipping link /pub/dangling (" +
                                    Reply(GetParam().dangling_link, "/pub/dangling") + ")";
  EXPECT_THAT(lines, Contains(skip_directory));
  EXPECT_THAT(lines, Contains(skip_dangling));
  EXPECT_THAT(lines, Each(AllOf(Not(HasSubstr("Warning")), Not(HasSubstr("failed")))));
  EXPECT_THAT(lines, Contains("TIME 1 file transferred."));
  EXPECT_EQ(LocalTree(), (std::map<std::string, std::string>{{"big-link.bin", Describe(big)}}));
  const auto arrived = fs::last_write_time(local_ + "/big-link.bin");

  const ChildResult second = Run("/pub/", {"-L"});

  EXPECT_EQ(second.exit_code, 0);
  EXPECT_THAT(second.output, EndsWith("\nTIME * No more files to transfer.\n"));
  EXPECT_THAT(Lines(second.output),
              Each(AllOf(Not(StartsWith("TIME 5000000 ")), Not(HasSubstr("Skipping")))));
  EXPECT_EQ(LocalTree(), (std::map<std::string, std::string>{{"big-link.bin", Describe(big)}}));
  EXPECT_EQ(fs::last_write_time(local_ + "/big-link.bin"), arrived);
}

// Names keep their blanks, a month word and an arrow; a name with a backslash is reported and
// never written, here or beside the local directory.
TEST_P(RealServerFaultsTest, NamesWithBlanksMonthWordsAndArrowsArriveUnderTheirOwnNames) {
  const std::map<std::string, std::string> files = {{"notes Jan 2024.txt", "notes"},
                                                    {" leading.txt", "leading"},
                                                    {"trailing.txt ", "trailing"},
                                                    {"a -> b.txt", "arrow"}};
  for (const auto& [name, content] : files) File("pub/" + name, content);
  File("pub/back\\slash.txt", "backslash");
  Serve();

  const ChildResult run = Run("/pub/");

  EXPECT_EQ(run.exit_code, 0);
  const std::vector<std::string> lines = Lines(run.output);
  for (const auto& [name, content] : files) {
    EXPECT_EQ(Count(lines, Download(content.size(), "/pub/" + name)), 1) << "'" << name << "'\n"
                                                                         << run.output;
  }
  // Once, though the second pass lists it again.
  EXPECT_EQ(Count(lines, "TIME * Warning: Unsafe file name skipped: back\\slash.txt"), 1)
      << run.output;
  EXPECT_THAT(lines, Contains("TIME 4 files transferred."));
  EXPECT_THAT(lines, Each(Not(HasSubstr("failed"))));
  // The remote name is asked for whole; locally ">" becomes "_", as in every local name.
  std::map<std::string, std::string> expected;
  for (const auto& [name, content] : files) {
    expected[name == "a -> b.txt" ? "a -_ b.txt" : name] = "\"" + content + "\"";
  }
  EXPECT_EQ(LocalTree(), expected);
}

// A mask goes to the server with LIST. A server that expands it serves the matching files; a
// server that refuses it is asked for the whole listing and the mask is matched here, so the
// same files arrive either way (never "Found 0 files", never a silent refusal).
TEST_P(RealServerFaultsTest, MaskIsExpandedThereOrHere) {
  File("pub/a.txt", "a");
  File("pub/b.txt", "b");
  File("pub/c.zip", "c");
  Serve();

  const ChildResult run = Run("/pub/*.txt");

  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, Start("/pub/*.txt") + "TIME * Found 2 *.txt files in /pub/\n" +
                            Download(1, "/pub/a.txt") + "\n" + Download(1, "/pub/b.txt") +
                            "\nTIME 2 files transferred.\n");
  EXPECT_EQ(LocalTree(),
            (std::map<std::string, std::string>{{"a.txt", "\"a\""}, {"b.txt", "\"b\""}}));
  // The mask goes to the server with a LIST (-L; an MLSD listing is matched here in silence).
  const ChildResult verbose = Run("/pub/*.txt", {"-V", "-L"});
  EXPECT_EQ(verbose.output.find("* Note: the server does not match masks; matched here") !=
                std::string::npos,
            !GetParam().mask_refused.empty())
      << verbose.output;
}

// -M deletes exactly what arrived whole: the server keeps a file it would not send and a link
// that leads nowhere; a link to a file goes once its target's bytes are in (the target, outside
// the directory, stays).
TEST_P(RealServerFaultsTest, MoveLeavesOnTheServerExactlyWhatDidNotArriveWhole) {
  const std::string target = Bytes(200'000);
  File("pub/a.txt", "a text");
  File("pub/b.bin", Bytes(100'000));
  File("pub/secret.bin", "secret");
  Locked("pub/secret.bin");
  Link("pub/dangling", "nowhere");
  File("data/target.bin", target);
  Link("pub/link.bin", "../data/target.bin");
  Serve();

  const ChildResult run = Run("/pub/", {"-M"});

  EXPECT_EQ(run.exit_code, 1);
  const std::vector<std::string> lines = Lines(run.output);
  for (const char* name : {"a.txt", "b.bin", "link.bin"}) {
    EXPECT_EQ(Count(lines, "TIME * Removed remote file /pub/" + std::string(name)), 1)
        << name << "\n"
        << run.output;
  }
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "TIME 1 file failed.");
  EXPECT_EQ(Tree(Served("pub")),
            (std::map<std::string, std::string>{{"dangling", "link to nowhere"},
                                                {"secret.bin", "\"secret\""}}));
  EXPECT_EQ(FileContent(Served("data/target.bin")), target);
  EXPECT_EQ(LocalTree(), (std::map<std::string, std::string>{{"a.txt", "\"a text\""},
                                                             {"b.bin", Describe(Bytes(100'000))},
                                                             {"link.bin", Describe(target)}}));
}

// -M in a directory the login may read but not change: every file arrives, each refused
// delete is named with the server's reply, the files stay on the server, and the run fails
// with the count of files not deleted.
TEST_P(RealServerFaultsTest, MoveWhoseDeleteIsRefusedSaysSoAndFails) {
  File("pub/ro/a.txt", "a text");
  File("pub/ro/b.txt", "b text");
  Serve();
  // Root's and read-only: the files can be fetched but not deleted.
  ASSERT_EQ(::lchown(Served("pub/ro").c_str(), 0, 0), 0);
  ASSERT_EQ(::chmod(Served("pub/ro").c_str(), 0555), 0);

  const ChildResult run = Run("/pub/ro/", {"-M"});

  EXPECT_EQ(run.exit_code, 1);
  const std::vector<std::string> lines = Lines(run.output);
  for (const char* name : {"a.txt", "b.txt"}) {
    const std::string remote = "/pub/ro/" + std::string(name);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& line) {
                              return line.starts_with("TIME * Not deleted: " + remote + " (5");
                            }),
              1)
        << run.output;
  }
  EXPECT_EQ(Count(lines, "TIME * Warning: Unable to delete remote file as requested."), 2);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "TIME 2 remote files not deleted.");
  EXPECT_EQ(Tree(Served("pub/ro")), (std::map<std::string, std::string>{
                                        {"a.txt", "\"a text\""}, {"b.txt", "\"b text\""}}));
  EXPECT_EQ(LocalTree(), (std::map<std::string, std::string>{{"a.txt", "\"a text\""},
                                                             {"b.txt", "\"b text\""}}));
}

// Names that map to one local name: the first listed keeps it, every later one is skipped,
// never downloaded, deleted or entered, and fails the run; a second run chooses alike.
// Directory names keep blanks at their ends and are mapped like file names.
TEST_P(RealServerFaultsTest, LocalNameClashesLoseNothingAndOddDirectoryNamesArrive) {
  const std::map<std::string, std::string> clashing = {
      {"x:1.txt", "colon"}, {"x;1.txt", "semicolon"}, {"q|r.txt", "bar"},
      {"q?r.txt", "question"}, {"q>r.txt", "greater"}};
  for (const auto& [name, content] : clashing) File("pub/" + name, content);
  File("pub/ lead dir/l.txt", "lead");
  File("pub/trail dir /t.txt", "trail");
  File("pub/d -> e/f.txt", "arrow dir");
  Serve();

  // Which entry keeps a name follows the server's listing order; a second run chooses alike,
  // and so does a third into an empty directory under -M.
  std::vector<std::string> first_warnings;
  for (int run_number = 0; run_number < 3; ++run_number) {
    if (run_number == 2) ClearLocal();
    const ChildResult run =
        Run("/pub/", run_number < 2 ? std::vector<std::string>{"-S"}
                                    : std::vector<std::string>{"-S", "-M"});

    EXPECT_EQ(run.exit_code, 1) << run.output;
    std::vector<std::string> warnings;
    for (const std::string& line : Lines(run.output)) {
      if (line.starts_with("TIME * Warning: Local name clash, skipped: /pub/")) {
        warnings.push_back(line);
      }
    }
    EXPECT_EQ(warnings.size(), 3u) << run.output;
    if (run_number == 0) first_warnings = warnings;
    EXPECT_EQ(warnings, first_warnings);
    const std::vector<std::string> lines = Lines(run.output);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "TIME 3 files failed.") << run.output;
  }
  // Of each group one arrived and left the server; the others are still there, untouched.
  const std::map<std::string, std::string> remote = Tree(Served("pub"));
  const std::map<std::string, std::string> local = LocalTree();
  for (const auto& [local_name, group] :
       std::map<std::string, std::vector<std::string>>{{"x_1.txt", {"x:1.txt", "x;1.txt"}},
                                                       {"q_r.txt", {"q|r.txt", "q?r.txt", "q>r.txt"}}}) {
    ASSERT_EQ(local.count(local_name), 1u) << local_name;
    int left_on_server = 0;
    for (const std::string& name : group) {
      if (remote.count(name)) {
        ++left_on_server;
        EXPECT_EQ(remote.at(name), Describe(clashing.at(name)));
      } else {
        EXPECT_EQ(local.at(local_name), Describe(clashing.at(name))) << name;
      }
    }
    EXPECT_EQ(left_on_server, static_cast<int>(group.size()) - 1) << local_name;
  }
  for (const auto& [name, content] :
       std::map<std::string, std::string>{{" lead dir/l.txt", "lead"},
                                          {"trail dir /t.txt", "trail"},
                                          {"d -_ e/f.txt", "arrow dir"}}) {
    ASSERT_EQ(local.count(name), 1u) << name;
    EXPECT_EQ(local.at(name), Describe(content));
  }
}

// The origin a file records, read the way another program would.
std::string OriginOf(const std::string& path) {
  char value[1024];
  const ssize_t size = ::getxattr(path.c_str(), "user.xdg.origin.url", value, sizeof value);
  return size < 0 ? "" : std::string(value, static_cast<size_t>(size));
}

// Two -M runs over names that map to one local name: the first moves one of them and skips
// the other for the clash. The second no longer sees the clash in the listing, but the local
// file records that it came from the moved one: the other is skipped again with the warning,
// stays on the server, and the local file keeps the moved one's bytes.
TEST_P(RealServerFaultsTest, MoveNeverTakesAnotherNamesFileForACopy) {
  const std::map<std::string, std::string> content = {{"a>b.txt", "greater"},
                                                      {"a_b.txt", "underscore, longer"}};
  for (const auto& [name, bytes] : content) File("pub/" + name, bytes);
  Serve();

  const ChildResult first = Run("/pub/", {"-M"});

  EXPECT_EQ(first.exit_code, 1) << first.output;
  const std::map<std::string, std::string> left = Tree(Served("pub"));
  ASSERT_EQ(left.size(), 1u) << first.output;
  const std::string kept = left.begin()->first;
  const std::string moved = kept == "a_b.txt" ? "a>b.txt" : "a_b.txt";
  EXPECT_EQ(OriginOf(local_ + "/a_b.txt"), "ftp://" + server_->address() + "/pub/" + moved);

  const ChildResult second = Run("/pub/", {"-M"});

  EXPECT_EQ(second.exit_code, 1) << second.output;
  const std::vector<std::string> lines = Lines(second.output);
  EXPECT_EQ(Count(lines, "TIME * Warning: Local name clash, skipped: /pub/" + kept +
                             " (a_b.txt is the local name of /pub/" + moved + ")"),
            1)
      << second.output;
  EXPECT_EQ(Tree(Served("pub")), left);
  EXPECT_EQ(LocalTree(), (std::map<std::string, std::string>{
                             {"a_b.txt", Describe(content.at(moved))}}));
}

// A run without -M records where each file came from; a -M run after it takes the complete
// copies for verified downloads, as if an earlier -M run had stopped before its deletes, and
// deletes the files on the server without fetching them again.
TEST_P(RealServerFaultsTest, MoveDeletesWhatAnEarlierRunFetchedWhole) {
  File("pub/one.txt", "first file");
  File("pub/two.bin", Bytes(70'000));
  Serve();
  ASSERT_EQ(Run("/pub/").exit_code, 0);
  EXPECT_EQ(OriginOf(local_ + "/one.txt"), "ftp://" + server_->address() + "/pub/one.txt");

  const ChildResult run = Run("/pub/", {"-M"});

  EXPECT_EQ(run.exit_code, 0) << run.output;
  const std::vector<std::string> lines = Lines(run.output);
  for (const char* name : {"one.txt", "two.bin"}) {
    EXPECT_EQ(Count(lines, "TIME * Removed remote file /pub/" + std::string(name)), 1)
        << run.output;
  }
  EXPECT_THAT(lines, Each(Not(HasSubstr(" 2021-06-01 /pub/")))) << run.output;  // none fetched
  EXPECT_TRUE(Tree(Served("pub")).empty());
  EXPECT_EQ(LocalTree(),
            (std::map<std::string, std::string>{{"one.txt", "\"first file\""},
                                                {"two.bin", Describe(Bytes(70'000))}}));
}

// Each argument is one word: a location with blanks names that directory, a password with a
// blank logs in (pyftpdlib serves a named user).
TEST_P(RealServerFaultsTest, QuotedLocationAndPasswordWithBlanksStayWhole) {
  File("pub/Jan 2024 dir/j.txt", "january");
  File("pub/Jan", "not this");
  Serve();

  const ChildResult run = Run("/pub/Jan 2024 dir/");

  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_THAT(Lines(run.output), Contains(" R Path: /pub/Jan 2024 dir/"));
  EXPECT_EQ(LocalTree(), (std::map<std::string, std::string>{{"j.txt", "\"january\""}}));

  if (GetParam().kind != FtpServerKind::kPyftpdlib) return;
  server_.reset();
  StartServer({.user = "bob", .password = "two words"});
  ASSERT_TRUE(server_);
  File("pub/p.txt", "password");
  Serve();
  ClearLocal();
  const std::string location = "bob:two words@" + server_->address() + "/pub/";
  const ChildResult named = RunProgram(KORU_BINARY, {location}, local_);

  EXPECT_EQ(named.exit_code, 0) << named.output;
  EXPECT_EQ(LocalTree(), (std::map<std::string, std::string>{{"p.txt", "\"password\""}}));
}

// vsftpd allowing one session per address still counts the session KORU has just ended with
// QUIT: the next connect's 421 is tried again at once, so a tree of five directories arrives
// without a single busy-server wait.
TEST_P(RealServerFaultsTest, OneSessionPerAddressCostsNoBusyWait) {
  if (GetParam().kind != FtpServerKind::kVsftpd) GTEST_SKIP() << "a vsftpd setting";
  server_.reset();
  StartServer({.max_per_ip = 1});
  ASSERT_TRUE(server_);
  for (const char* dir : {"a", "b", "c", "d", "e"}) {
    File(std::string("pub/") + dir + "/f.txt", dir);
  }
  Serve();

  const ChildResult run = Run("/pub/", {"-S"});

  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_THAT(Lines(run.output), Each(Not(HasSubstr("Pausing for busy server")))) << run.output;
  EXPECT_THAT(Lines(run.output), Contains("TIME 5 files transferred."));
}

// A connection or login that fails says why, on the line after the error: the server's
// refusal, or the system's text where no reply came.
TEST_P(RealServerFaultsTest, FailedConnectionsAndLoginsSayWhy) {
  File("pub/a.txt", "a");
  Serve();
  auto reason = [&](const ChildResult& run) {
    const std::vector<std::string> lines = Lines(Normalised(run.output, "", local_));
    const auto error =
        std::find(lines.begin(), lines.end(), "TIME ERROR: Unable to open connection to server.");
    return error == lines.end() || error + 1 == lines.end() ? std::string("<none>")
                                                            : *(error + 1);
  };

  // A user the server does not know: refused at USER (vsftpd) or at PASS (the others).
  const ChildResult stranger =
      RunProgram(KORU_BINARY, {"nosuchuser:wrong@" + server_->address() + "/pub/"}, local_);
  EXPECT_EQ(stranger.exit_code, 1);
  EXPECT_THAT(reason(stranger), StartsWith("TIME  530 ")) << stranger.output;
  EXPECT_THAT(stranger.output, Not(HasSubstr("did not request a password")));

  const ChildResult refused = RunProgram(KORU_BINARY, {"127.0.0.1:1/pub/"}, local_);
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(Normalised(refused.output, "", local_).find("TIME  Connection refused\n") !=
                std::string::npos,
            true)
      << refused.output;

  const ChildResult unknown = RunProgram(KORU_BINARY, {"nosuchhost.invalid/pub/"}, local_);
  EXPECT_EQ(unknown.exit_code, 1);
  EXPECT_THAT(Lines(Normalised(unknown.output, "", local_)),
              Contains(::testing::AnyOf("TIME  Name or service not known",
                                        "TIME  Temporary failure in name resolution",
                                        "TIME  No address associated with hostname")))
      << unknown.output;
}

// Sends SIGSTOP to the processes given, and SIGCONT to them when it goes.
class StoppedProcesses {
 public:
  StoppedProcesses() = default;
  ~StoppedProcesses() {
    for (pid_t pid : pids_) ::kill(pid, SIGCONT);
  }
  StoppedProcesses(const StoppedProcesses&) = delete;
  StoppedProcesses& operator=(const StoppedProcesses&) = delete;

  void Stop(const std::vector<pid_t>& pids) {
    for (pid_t pid : pids) {
      if (::kill(pid, SIGSTOP) == 0) pids_.push_back(pid);
    }
  }
  bool empty() const { return pids_.empty(); }

 private:
  std::vector<pid_t> pids_;
};

// The server's session falls silent in the middle of the first file of a directory (its
// processes stopped; the server still accepts connections): after one channel time-out and
// the short wait for a final reply the connection is dropped and made anew, and the rest of
// the tree arrives. The cut file is either fetched whole in the pass that follows (the other
// files' arrival brings one) or left cut and counted as failed, and the exit code says which.
// Run in this process for a channel time-out of one second (the binary's is 60 s).
TEST_P(RealServerFaultsTest, StalledSessionIsDroppedAndTheRestArrivesThroughANewOne) {
  if (!SessionsAreProcesses()) {
    GTEST_SKIP() << "pyftpdlib serves every session in its one process: stopping a session "
                    "stops the server";
  }
  StartSlowServer();
  const std::string first = Bytes(512 * 1024);
  File("pub/a/a1.bin", first);
  File("pub/a/a2.txt", "two");
  File("pub/a/a3.txt", "three");
  File("pub/z/z.txt", "zed");
  Serve();
  constexpr int kChannelTimeoutMs = 1000;

  StoppedProcesses stopped;
  std::atomic<bool> done = false;
  std::chrono::steady_clock::time_point stopped_at;
  std::thread watcher([&] {
    const std::string partial = local_ + "/a/a1.bin";
    while (!done) {
      std::error_code error;
      const uintmax_t size = fs::file_size(partial, error);
      if (!error && size >= 64 * 1024) {
        stopped_at = std::chrono::steady_clock::now();
        stopped.Stop(server_->SessionProcesses());
        return;
      }
      std::this_thread::sleep_for(2ms);
    }
  });
  ChildResult run =
      RunKoruInThisProcess({server_->address() + "/pub/", "-S"}, local_, kChannelTimeoutMs);
  const auto ended_at = std::chrono::steady_clock::now();
  done = true;
  watcher.join();
  ASSERT_FALSE(stopped.empty()) << "the first file was never seen half-way\n" << run.output;
  run.output = Normalised(run.output, server_->address(), local_);

  // One channel time-out, at most five seconds for the final reply, two for the first file
  // once more and two for the rest.
  EXPECT_LT(ended_at - stopped_at, std::chrono::milliseconds(kChannelTimeoutMs) + 5s + 2s + 2s);
  const std::vector<std::string> lines = Lines(run.output);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) {
                            return line.starts_with("TIME * Warning: Connection lost (");
                          }),
            1)
      << run.output;
  ASSERT_FALSE(lines.empty());
  std::map<std::string, std::string> local = LocalTree();
  const std::string kept = FileContent(local_ + "/a/a1.bin");
  if (kept == first) {
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_THAT(lines, Each(Not(HasSubstr("failed")))) << run.output;
  } else {
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(lines.back(), "TIME 1 file failed.");
    EXPECT_TRUE(first.starts_with(kept)) << "the cut file holds other bytes";
  }
  local.erase("a/a1.bin");
  EXPECT_EQ(local, (std::map<std::string, std::string>{{"a/", "directory"},
                                                       {"a/a2.txt", "\"two\""},
                                                       {"a/a3.txt", "\"three\""},
                                                       {"z/", "directory"},
                                                       {"z/z.txt", "\"zed\""}}));
}

// The server's session is killed in the middle of the only file of a directory (its processes
// ended, the connections closed): the cut file is fetched again at once over a new connection,
// in the same run, flat and under -S alike, though no other download of that directory brings
// another pass, and the run ends complete. The lost connection is named before anything is
// said about the cut file's size.
TEST_P(RealServerFaultsTest, KilledSessionsFileIsFetchedAgainInTheSameRun) {
  if (!SessionsAreProcesses()) {
    GTEST_SKIP() << "pyftpdlib serves every session in its one process: ending a session "
                    "ends the server";
  }
  StartSlowServer();
  const std::string first = Bytes(512 * 1024);
  File("pub/a/a1.bin", first);
  File("pub/z.txt", "zed");
  Serve();

  for (const std::vector<std::string>& switches :
       {std::vector<std::string>{}, std::vector<std::string>{"-S"}}) {
    SCOPED_TRACE(switches.empty() ? "flat" : "-S");
    ClearLocal();
    const bool tree = !switches.empty();
    const std::string partial = local_ + (tree ? "/a/a1.bin" : "/a1.bin");
    std::atomic<bool> done = false;
    std::atomic<bool> killed = false;
    std::thread killer([&] {
      while (!done) {
        std::error_code error;
        if (fs::file_size(partial, error) >= 64 * 1024 && !error) {
          for (const pid_t session : server_->SessionProcesses()) ::kill(session, SIGKILL);
          killed = true;
          return;
        }
        std::this_thread::sleep_for(2ms);
      }
    });
    std::vector<std::string> args = {server_->address() + (tree ? "/pub/" : "/pub/a/")};
    args.insert(args.end(), switches.begin(), switches.end());
    ChildResult run = RunKoruInThisProcess(args, local_, 5000);
    done = true;
    killer.join();
    ASSERT_TRUE(killed) << "the first file was never seen half-way\n" << run.output;
    run.output = Normalised(run.output, server_->address(), local_);

    EXPECT_EQ(run.exit_code, 0) << run.output;
    const std::vector<std::string> lines = Lines(run.output);
    const auto lost = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
      return line.starts_with("TIME * Warning: Connection lost (");
    });
    ASSERT_NE(lost, lines.end()) << run.output;
    EXPECT_EQ(std::find_if(lines.begin(), lost,
                           [](const std::string& line) {
                             return line.find("size does not match") != std::string::npos;
                           }),
              lost)
        << run.output;
    EXPECT_THAT(lines, Each(Not(HasSubstr("failed")))) << run.output;
    const std::string prefix = tree ? "a/" : "";
    std::map<std::string, std::string> expected;
    if (tree) {
      expected["a/"] = "directory";
      expected["z.txt"] = "\"zed\"";
    }
    std::map<std::string, std::string> local = LocalTree();
    EXPECT_EQ(FileContent(local_ + "/" + prefix + "a1.bin"), first);
    local.erase(prefix + "a1.bin");
    EXPECT_EQ(local, expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Real, RealServerFaultsTest, ::testing::ValuesIn(kServers),
                         [](const ::testing::TestParamInfo<Server>& info) {
                           return KindName(info.param.kind);
                         });

}  // namespace
}  // namespace koru::testing
