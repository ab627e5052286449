#include "ftp/download.h"
#include "sync/local_file_policy.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/control.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "localfs/local_files.h"
#include "tests/ftp_fixture.h"
#include "tests/local_dates.h"
#include "tests/memory_transport.h"
#include "tests/scratch_dir.h"

namespace koru {
namespace {

// A download with the mirror's local-file rules (erase, resume, date).
int64_t FetchAsMirror(Session& session, const FileToFetch& remote, const std::string& local) {
  MirrorFilePolicy policy(session.env, session.options);
  return ftpGetFile(session, remote, local, policy);
}

using ::testing::ElementsAre;
using testing::CommandHandler;
using testing::FakeFtpSession;
using testing::FileContent;
using testing::FtpFixture;
using testing::ScratchDir;
using testing::Session;
using testing::Verb;
using testing::WriteFile;

// ---- The count a 150 reply announces ---------------------------------------------------------

TEST(AnnouncedCount, IsTheNumberAfterTheFirstParenthesisBehindTheRemoteName) {
  struct Case {
    const char* reply;
    const char* remote;
    int64_t count;
  };
  const std::vector<Case> cases = {
      {"150 Opening BINARY mode data connection for a.txt (1234 bytes).", "a.txt", 1234},
      {"150 Opening BINARY mode data connection for big (4294967296 bytes).", "big",
       4294967296},
      {"150 File status okay; about to open data connection.", "a.txt", kNoCount},
      {"125 Data connection already open; transfer starting.", "a.txt", kNoCount},
      {"150 Only an opening ( here", "a.txt", kNoCount},
      {"150 Opening (12.9 bytes)", "a.txt", 12},       // rounded down
      // Only a number, alone or with "bytes", announces a count.
      {"150 Opening (about 12 bytes)", "a.txt", kNoCount},
      {"125 Opening data connection (binary mode).", "a.txt", kNoCount},
      {"150 Opening (1234)", "a.txt", 1234},
      {"150 Opening ( 1234 BYTES )", "a.txt", 1234},
      {"150 Opening (12 files)", "a.txt", kNoCount},
      {"150 Opening (12 bytes left)", "a.txt", kNoCount},
      {"150 Opening ()", "a.txt", kNoCount},
      {"150 Odd ) 77 ( way round", "a.txt", 77},       // either parenthesis opens
      {"150 Opening (5 bytes) for x (6 bytes)", "a.txt", 5},
      // A name with parentheses: only what follows it in the reply counts.
      {"150 Opening BINARY mode data connection for /pub/copy (2).txt (3000 bytes).",
       "/pub/copy (2).txt", 3000},
      {"150 OPENING BINARY MODE DATA CONNECTION FOR /PUB/COPY (2).TXT (3000 BYTES).",
       "/pub/copy (2).txt", 3000},
      // ... or what follows its last part, when the reply names the file alone.
      {"150 Opening BINARY mode data connection for copy (2).txt (3000 bytes).",
       "/pub/copy (2).txt", 3000},
      {"150 Opening BINARY mode data connection for copy (2).txt.", "/pub/copy (2).txt",
       kNoCount},
      // A name the reply does not repeat leaves the whole reply.
      {"150 Opening data connection (77 bytes).", "/pub/x (1)", 77},
      {"150 Opening data connection for x (1).", "/pub/x (1)", kNoCount},
  };
  for (const Case& c : cases) EXPECT_EQ(AnnouncedCount(c.reply, c.remote), c.count) << c.reply;
}

// ---- Downloads from the fake server ----------------------------------------------------------

// Bytes of every value, line ends among them, none repeating in step with the block size.
std::string Pattern(size_t count, uint64_t from = 0) {
  std::string bytes(count, '\0');
  for (size_t i = 0; i < count; ++i) {
    const uint64_t at = from + i;
    bytes[i] = static_cast<char>(at * 131 + at / 8191 + (at >> 32));
  }
  return bytes;
}

const SYSTEMTIME kRemoteTime = testing::Date(1999, 3, 15, 14, 5);

// The server side of a download.
struct RemoteFile {
  std::string content = Pattern(20000);
  std::optional<std::string> pasv_reply = std::nullopt;  // none: a passive listener is offered
  std::string rest_reply = "350 Restart position accepted.";
  std::string retr_reply = "150 Opening BINARY mode data connection for /pub/a.txt (20000 bytes).";
  int64_t sent = -1;         // bytes sent from the restart offset; -1: up to the end
  bool keep_open = false;    // the data connection stays open until the client closes it
  std::optional<std::string> final_reply = "226 Transfer complete.";
};

void Retrieve(const RemoteFile& file, size_t offset, FakeFtpSession& s) {
  if (file.retr_reply[0] != '1') {
    s.Reply(file.retr_reply);
    return;
  }
  if (!s.AcceptData()) return;
  std::string_view data = std::string_view(file.content).substr(std::min(offset, file.content.size()));
  if (file.sent >= 0) data = data.substr(0, static_cast<size_t>(file.sent));
  // The data goes out before the reply: once the client has read the reply, every block it
  // asks for is there in full, so the blocks it reads do not depend on timing.
  s.SendData(data);
  if (!file.keep_open) s.CloseData();
  s.Reply(file.retr_reply);
  if (file.keep_open) {
    s.ReceiveData();  // until the client closes
    s.CloseData();
  }
  if (file.final_reply) s.Reply(*file.final_reply);
}

CommandHandler ServeDownload(RemoteFile file) {
  return [file, offset = size_t{0}](const std::string& command, FakeFtpSession& s) mutable {
    const std::string verb = Verb(command);
    if (verb == "PASV") {
      s.Reply(file.pasv_reply ? *file.pasv_reply : s.Passive());
    } else if (verb == "TYPE") {
      s.Reply("200 Switching to Binary mode.");
    } else if (verb == "REST") {
      s.Reply(file.rest_reply);
      if (file.rest_reply.rfind("350", 0) == 0) offset = std::stoull(testing::Argument(command));
    } else if (verb == "RETR") {
      Retrieve(file, offset, s);
    } else {
      testing::DefaultHandler(command, s);
    }
  };
}

enum class Dated { kRemote, kOther };

// Makes writes beyond `bytes` fail (EFBIG rather than a signal) while it lives; -1 does nothing.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(int64_t bytes) : active_(bytes >= 0) {
    if (!active_) return;
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &old_limit_);
    rlimit limit = old_limit_;
    limit.rlim_cur = static_cast<rlim_t>(bytes);
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    if (!active_) return;
    setrlimit(RLIMIT_FSIZE, &old_limit_);
    std::signal(SIGXFSZ, old_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  bool active_;
  rlimit old_limit_{};
  void (*old_handler_)(int) = SIG_DFL;
};

struct DownloadCase {
  const char* name;
  // Before the call:
  std::optional<std::string> local = std::nullopt;  // the local file; none: there is none
  bool local_dated_remote = false;   // it carries the remote date (to the minute)
  bool local_is_directory = false;
  int32_t verbose = 1;
  int32_t overwrite = 0;
  int32_t resume = 0;
  int32_t block_delay = 0;
  int32_t no_status_line = 0;
  int32_t abort = 0;
  int64_t file_size_limit = -1;  // the largest file this process may write; -1: no limit
  int64_t listed = 20000;  // the listed size
  bool date_known = true;  // the listed date is kRemoteTime, else all zero
  std::string remote = "/pub/a.txt";
  std::string local_name = "a.txt";
  RemoteFile server = {};
  std::deque<int> keys = {};
  // What must come of it:
  std::vector<std::string> commands = {};
  int64_t result = 0;
  std::optional<std::string> file = std::nullopt;  // the local file's content; none: no local file
  Dated dated = Dated::kRemote;
  std::vector<std::string> shown = {};  // the whole console
  std::vector<std::string> titles = {};
  std::vector<int> sleeps = {};
  int32_t last_code = 227;   // the PASV reply's code unless a higher one was recorded
  std::string last_text = "";  // checked when not empty
  int32_t no_status_line_after = 0;
  int32_t abort_after = 0;
  std::optional<int32_t> block_delay_after = std::nullopt;  // none: unchanged
};

void PrintTo(const DownloadCase& c, std::ostream* os) { *os << c.name; }

class DownloadTest : public FtpFixture, public ::testing::WithParamInterface<DownloadCase> {
 protected:
  // The console with the reply to PASV shown as "<227>" and the scratch directory as "<dir>".
  std::vector<std::string> Console() const {
    std::vector<std::string> lines = console.lines;
    for (std::string& line : lines) {
      if (line.rfind("227 Entering Passive Mode (127,0,0,1,", 0) == 0) line = "<227>";
      const size_t at = line.find(dir_.path());
      if (at != std::string::npos) line.replace(at, dir_.path().size(), "<dir>");
    }
    return lines;
  }

  ScratchDir dir_;
};

TEST_P(DownloadTest, Downloads) {
  const DownloadCase& c = GetParam();
  const std::string local = dir_ / c.local_name;
  if (c.local) WriteFile(local, *c.local);
  if (c.local_dated_remote) testing::StampDate(local, kRemoteTime);
  if (c.local_is_directory) std::filesystem::create_directory(local);
  OpenControl(Session({}, {}, ServeDownload(c.server)));
  RunSettings& s = state;
  options.VerboseLevel = c.verbose;
  options.OverwriteMode = c.overwrite;
  options.ResumeMode = c.resume;
  s.BlockDelay = c.block_delay;
  session.NoStatusLine = c.no_status_line;
  s.AbortFlag = c.abort;
  const FileToFetch file{c.remote, c.listed, c.date_known ? kRemoteTime : SYSTEMTIME{}};
  console.keys = c.keys;

  {
    FileSizeLimit limit(c.file_size_limit);
    EXPECT_EQ(FetchAsMirror(session, file, local), c.result);
  }

  EXPECT_EQ(ServerCommands(), c.commands);
  if (c.file) {
    const std::string content = FileContent(local);
    EXPECT_EQ(content.size(), c.file->size());
    EXPECT_TRUE(content == *c.file) << "the local file's content differs";
    EXPECT_EQ(testing::DateToTheMinute(local) == kRemoteTime, c.dated == Dated::kRemote);
  } else {
    EXPECT_FALSE(PlainLocalFileExists(local));
  }
  EXPECT_EQ(Console(), c.shown);
  EXPECT_EQ(console.titles, c.titles);
  EXPECT_EQ(clock.sleeps, c.sleeps);
  EXPECT_EQ(session.LastReplyCode, c.last_code);
  if (!c.last_text.empty()) {
    EXPECT_EQ(session.LastReplyText, c.last_text);
  }
  EXPECT_EQ(session.NoStatusLine, c.no_status_line_after);
  EXPECT_EQ(s.AbortFlag, c.abort_after);
  EXPECT_EQ(s.BlockDelay, c.block_delay_after.value_or(c.block_delay));
  EXPECT_FALSE(session.pool.InUse(2));  // the data connection and the local file are closed
  EXPECT_FALSE(session.pool.InUse(3));
}

const std::vector<std::string> kGet = {"PASV", "TYPE I", "RETR /pub/a.txt"};
const std::vector<std::string> kGetAfterRest = {"PASV", "TYPE I", "REST 1000", "RETR /pub/a.txt"};
const std::vector<std::string> kOpen = {"PASV", "<227>", "TYPE I",
                                        "200 Switching to Binary mode."};
const std::vector<std::string> kRest = {"REST 1000", "350 Restart position accepted."};
const std::string k20000 = "150 Opening BINARY mode data connection for /pub/a.txt (20000 bytes).";
const std::vector<std::string> kFinal = {"** Waiting for server to send status line.",
                                         "226 Transfer complete."};
const std::string kZeroRead = "09:05:03 ** Read_data_block returned zero bytes. Ending transfer.";
const std::string kTitle = "KORU 20080313";

std::vector<std::string> Retr(const std::string& reply, const std::string& remote = "/pub/a.txt") {
  return {"RETR " + remote, reply, "* Received 125 or 150, starting transfer."};
}
std::vector<std::string> Stamped(const std::string& name = "a.txt") {
  return {"09:05:03 * Setting <dir>/" + name + " to 03-15-1999 14:05:00"};
}
std::vector<std::string> Waited(const std::string& reply) {
  return {"** Waiting for server to send status line.", reply};
}
std::vector<std::string> Join(std::vector<std::vector<std::string>> parts) {
  std::vector<std::string> joined;
  for (const auto& part : parts) joined.insert(joined.end(), part.begin(), part.end());
  return joined;
}
std::string Local(size_t count) { return std::string(count, 'L'); }
// The remote file of `size` bytes with the first `present` replaced by the local bytes.
std::string Resumed(size_t present, size_t size) {
  return Local(present) + Pattern(size).substr(present);
}

INSTANTIATE_TEST_SUITE_P(
    Downloads, DownloadTest,
    ::testing::Values(
        DownloadCase{.name = "NewFile",
                     .commands = kGet,
                     .result = 20000,
                     .file = Pattern(20000),
                     .shown = Join({kOpen, Retr(k20000), kFinal, Stamped()}),
                     .titles = {kTitle}},
        // A 125 reply whose parentheses hold no count: the listed size stands.
        DownloadCase{.name = "ReplyWithoutCountKeepsTheListedSize",
                     .server = {.retr_reply = "125 Opening data connection (binary mode)."},
                     .commands = kGet,
                     .result = 20000,
                     .file = Pattern(20000),
                     .shown = Join({kOpen, Retr("125 Opening data connection (binary mode)."),
                                    kFinal, Stamped()}),
                     .titles = {kTitle}},
        DownloadCase{.name = "EmptyLocalFileIsNeverResumed",
                     .local = "",
                     .local_dated_remote = true,
                     .resume = 1,
                     .commands = kGet,
                     .result = 20000,
                     .file = Pattern(20000),
                     .shown = Join({kOpen, Retr(k20000), kFinal, Stamped()}),
                     .titles = {kTitle}},
        // -R with dates that agree; 8 KiB blocks (a delay is set) whose titles start at the
        // share already present.
        DownloadCase{
            .name = "ResumeWhenDatesAgree",
            .local = Local(10000),
            .local_dated_remote = true,
            .resume = -1,
            .block_delay = 10,
            .listed = 30000,
            .server = {.content = Pattern(30000),
                       .retr_reply = "150 Opening BINARY mode data connection for /pub/a.txt "
                                     "(20000 bytes)."},
            .commands = {"PASV", "TYPE I", "REST 10000", "RETR /pub/a.txt"},
            .result = 30000,
            .file = Resumed(10000, 30000),
            .shown = Join({kOpen, {"REST 10000", "350 Restart position accepted."},
                           Retr("150 Opening BINARY mode data connection for /pub/a.txt "
                                "(20000 bytes)."),
                           kFinal, Stamped()}),
            .titles = {"61% Received, 11,808 bytes remain", "88% Received, 3,616 bytes remain",
                       kTitle},
            .sleeps = {10, 10}},
        // -R with dates that differ: no REST, and the old bytes do not survive.
        DownloadCase{.name = "NoResumeWhenDatesDiffer",
                     .local = Local(50000),
                     .resume = -1,
                     .commands = kGet,
                     .result = 20000,
                     .file = Pattern(20000),
                     .shown = Join({kOpen, Retr(k20000), kFinal, Stamped()}),
                     .titles = {kTitle}},
        DownloadCase{.name = "NoResumeWithoutResumeMode",
                     .local = Local(1000),
                     .local_dated_remote = true,
                     .verbose = 0,
                     .commands = kGet,
                     .result = 20000,
                     .file = Pattern(20000),
                     .titles = {kTitle}},
        // +R resumes whatever the dates; the server's count of the whole file is cut down to
        // what the listing leaves after the bytes present, without a word: many servers name
        // the whole file on a resumed transfer.
        DownloadCase{
            .name = "WholeFileCountAfterRest",
            .local = Local(1000),
            .verbose = -1,
            .resume = 1,
            .listed = 5000,
            .server = {.content = Pattern(5000),
                       .retr_reply = "150 Opening BINARY mode data connection for /pub/a.txt "
                                     "(5000 bytes)."},
            .commands = kGetAfterRest,
            .result = 5000,
            .file = Resumed(1000, 5000),
            .shown = Stamped(),
            .titles = {kTitle}},
        // A count that is neither the whole file nor what REST leaves is a lie.
        DownloadCase{
            .name = "ServerLiedAboutRestBytes",
            .local = Local(1000),
            .verbose = -1,
            .resume = 1,
            .listed = 5000,
            .server = {.content = Pattern(5000),
                       .retr_reply = "150 Opening BINARY mode data connection for /pub/a.txt "
                                     "(4500 bytes)."},
            .commands = kGetAfterRest,
            .result = 5000,
            .file = Resumed(1000, 5000),
            .shown = Join({{"09:05:03 Server lied about REST bytes. Adjusting to 4000 bytes."},
                           Stamped()}),
            .titles = {kTitle}},
        // Without REST a count larger than listed is cut down to the listing, without a word.
        DownloadCase{
            .name = "LargerCountWithoutRest",
            .verbose = -1,
            .listed = 5000,
            .server = {.content = Pattern(5000),
                       .retr_reply = "150 Opening BINARY mode data connection for /pub/a.txt "
                                     "(6000 bytes)."},
            .commands = kGet,
            .result = 5000,
            .file = Pattern(5000),
            .shown = Stamped(),
            .titles = {kTitle}},
        DownloadCase{
            .name = "RestRefused",
            .local = Local(1000),
            .resume = 1,
            .server = {.rest_reply = "502 REST not implemented."},
            .commands = kGetAfterRest,
            .result = 20000,
            .file = Pattern(20000),
            .shown = Join({kOpen,
                           {"REST 1000", "502 REST not implemented.",
                            "09:05:03 * Server does not support download resume."},
                           Retr(k20000), kFinal, Stamped()}),
            .titles = {kTitle}},
        DownloadCase{.name = "OverwriteErases",
                     .local = Local(50000),
                     .local_dated_remote = true,
                     .overwrite = kOn,
                     .resume = 1,
                     .commands = kGet,
                     .result = 20000,
                     .file = Pattern(20000),
                     .shown = Join({{"PASV", "<227>",
                                     "09:05:03 * Overwrite mode enabled and local file exists, "
                                     "erasing."},
                                    {"TYPE I", "200 Switching to Binary mode."},
                                    Retr(k20000), kFinal, Stamped()}),
                     .titles = {kTitle}},
        // The "(2)" of the name is no byte count: with no listed size, the count can only come
        // from behind the name.
        DownloadCase{
            .name = "NameWithParentheses",
            .listed = 0,
            .remote = "/pub/copy (2).txt",
            .local_name = "copy (2).txt",
            .server = {.content = Pattern(3000),
                       .retr_reply = "150 Opening BINARY mode data connection for "
                                     "/pub/copy (2).txt (3000 bytes)."},
            .commands = {"PASV", "TYPE I", "RETR /pub/copy (2).txt"},
            .result = 3000,
            .file = Pattern(3000),
            .shown = Join({kOpen,
                           Retr("150 Opening BINARY mode data connection for /pub/copy (2).txt "
                                "(3000 bytes).",
                                "/pub/copy (2).txt"),
                           kFinal, Stamped("copy (2).txt")}),
            .titles = {kTitle}},
        DownloadCase{
            .name = "ReplyNamesTheFileWithoutItsPath",
            .verbose = 0,
            .listed = 0,
            .remote = "/pub/copy (2).txt",
            .local_name = "copy (2).txt",
            .server = {.content = Pattern(3000),
                       .retr_reply = "150 Opening BINARY mode data connection for copy (2).txt "
                                     "(3000 bytes)."},
            .commands = {"PASV", "TYPE I", "RETR /pub/copy (2).txt"},
            .result = 3000,
            .file = Pattern(3000),
            .titles = {kTitle}},
        DownloadCase{.name = "ListedSizeWhenTheReplyHasNone",
                     .verbose = 0,
                     .server = {.retr_reply = "125 Data connection already open."},
                     .commands = kGet,
                     .result = 20000,
                     .file = Pattern(20000),
                     .titles = {kTitle}},
        // No size anywhere: read to the end, and a result no file size can equal.
        DownloadCase{
            .name = "NoSizeAnywhere",
            .listed = 0,
            .server = {.retr_reply = "125 Data connection already open."},
            .commands = kGet,
            .result = -1,
            .file = Pattern(20000),
            .shown = Join({kOpen, Retr("125 Data connection already open."), {kZeroRead}, kFinal,
                           Stamped()}),
            .titles = {"Received 20,000 bytes", kTitle}},
        DownloadCase{
            .name = "EarlyClose",
            .server = {.sent = 12000, .final_reply = "426 Connection closed; transfer aborted."},
            .commands = kGet,
            .result = 20000,
            .file = Pattern(12000),
            .shown = Join({kOpen, Retr(k20000), {kZeroRead},
                           Waited("426 Connection closed; transfer aborted."), Stamped()}),
            .titles = {"60% Received, 8,000 bytes remain", kTitle},
            .last_code = 426,
            .last_text = "Connection closed; transfer aborted."},
        // A last block longer than what was still expected is written whole, the same in
        // large steps as in 8 KiB blocks.
        DownloadCase{.name = "LongerFinalBlock",
                     .server = {.content = Pattern(24000)},
                     .commands = kGet,
                     .result = 20000,
                     .file = Pattern(24000),
                     .shown = Join({kOpen, Retr(k20000), kFinal, Stamped()}),
                     .titles = {kTitle}},
        DownloadCase{.name = "LongerFinalBlockIn8KiBBlocks",
                     .block_delay = 1,
                     .server = {.content = Pattern(24000)},
                     .commands = kGet,
                     .result = 20000,
                     .file = Pattern(24000),
                     .shown = Join({kOpen, Retr(k20000), kFinal, Stamped()}),
                     .titles = {"41% Received, 11,808 bytes remain",
                                "82% Received, 3,616 bytes remain", kTitle},
                     .sleeps = {1, 1}},
        // The server keeps the data connection open until the client closes it, and only
        // then sends its final reply.
        DownloadCase{.name = "ExpectedCountReachedWithoutWaitingForTheClose",
                     .server = {.keep_open = true},
                     .commands = kGet,
                     .result = 20000,
                     .file = Pattern(20000),
                     .shown = Join({kOpen, Retr(k20000), kFinal, Stamped()}),
                     .titles = {kTitle}},
        DownloadCase{
            .name = "TabAbandonsTheFile",
            .server = {.sent = 1000,
                       .keep_open = true,
                       .final_reply = "426 Failure writing network stream."},
            .keys = {kKeyTab},
            .commands = kGet,
            .result = 20000,
            .file = Pattern(1000),
            .shown = Join({kOpen, Retr(k20000), Waited("426 Failure writing network stream."),
                           Stamped()}),
            .titles = {"5% Received, 19,000 bytes remain", "User abort file - closing connection",
                       kTitle},
            .last_code = 426},
        DownloadCase{
            .name = "EscAbortsTheRun",
            .server = {.sent = 1000,
                       .keep_open = true,
                       .final_reply = "426 Failure writing network stream."},
            .keys = {kKeyEsc},
            .commands = kGet,
            .result = 20000,
            .file = Pattern(1000),
            .shown = Join({kOpen, Retr(k20000), Stamped()}),
            .titles = {"5% Received, 19,000 bytes remain", "User abort - closing connection",
                       kTitle},
            .abort_after = kOn},
        // 8 KiB blocks; each key acts after a block and waits the new delay once more.
        DownloadCase{
            .name = "KeysChangeTheDelay",
            .block_delay = 100,
            .listed = 49152,
            .server = {.content = Pattern(49152),
                       .retr_reply = "150 Opening BINARY mode data connection for /pub/a.txt "
                                     "(49152 bytes)."},
            .keys = {'+', '-', '-', '_', '='},
            .commands = kGet,
            .result = 49152,
            .file = Pattern(49152),
            .shown = Join({kOpen,
                           Retr("150 Opening BINARY mode data connection for /pub/a.txt "
                                "(49152 bytes)."),
                           {"09:05:03 * Delay = 200ms", "09:05:03 * Delay = 100ms",
                            "09:05:03 * Delay = 0ms",
                            "09:05:03 * Delay disabled, full speed transfer.",
                            "09:05:03 * Delay = 100ms"},
                           kFinal, Stamped()}),
            .titles = {"17% Received, 40,960 bytes remain", "Delay = 200ms",
                       "33% Received, 32,768 bytes remain", "Delay = 100ms",
                       "50% Received, 24,576 bytes remain", "Delay = 0ms",
                       "67% Received, 16,384 bytes remain",
                       "Delay disabled, full speed transfer.",
                       "83% Received, 8,192 bytes remain", "Delay = 100ms", kTitle},
            .sleeps = {100, 200, 200, 100, 100, 100},
            .block_delay_after = 100},
        // Without a delay the first step takes all that is there in one read and one title;
        // "+" then sets a delay that stays.
        DownloadCase{
            .name = "PlusFromFullSpeed",
            .listed = 40000,
            .server = {.content = Pattern(40000),
                       .retr_reply = "150 Opening BINARY mode data connection for /pub/a.txt "
                                     "(40000 bytes).",
                       .sent = 30000,
                       .keep_open = true,
                       .final_reply = "426 Transfer aborted."},
            .keys = {'+'},
            .commands = kGet,
            .result = 40000,
            .file = Pattern(30000),
            .shown = Join({kOpen,
                           Retr("150 Opening BINARY mode data connection for /pub/a.txt "
                                "(40000 bytes)."),
                           {"09:05:03 * Delay = 100ms", kZeroRead},
                           Waited("426 Transfer aborted."), Stamped()}),
            .titles = {"75% Received, 10,000 bytes remain", "Delay = 100ms", kTitle},
            .sleeps = {100},
            .last_code = 426,
            .block_delay_after = 100},
        // The second block cannot be stored whole: the transfer ends there, without reading
        // on (the server keeps the connection open), and the file stays short.
        DownloadCase{
            .name = "FailingLocalWriteEndsTheTransfer",
            .verbose = 0,
            .block_delay = 1,
            .file_size_limit = 10000,
            .listed = 30000,
            .server = {.content = Pattern(30000),
                       .retr_reply = "150 Opening BINARY mode data connection for /pub/a.txt "
                                     "(30000 bytes).",
                       .sent = 20000,
                       .keep_open = true},
            .commands = kGet,
            .result = 30000,
            .file = Pattern(10000),
            .shown = {"09:05:03 * Warning: Local file error: <dir>/a.txt (File too large)"},
            .titles = {"27% Received, 21,808 bytes remain", kTitle},
            .sleeps = {1}},
        DownloadCase{.name = "UnknownRemoteDate",
                     .date_known = false,
                     .commands = kGet,
                     .result = 20000,
                     .file = Pattern(20000),
                     .dated = Dated::kOther,
                     .shown = Join({kOpen, Retr(k20000), kFinal,
                                    {"09:05:03 * We do not know the remote file date and time."}}),
                     .titles = {kTitle}},
        DownloadCase{
            .name = "RetrRefused",
            .server = {.retr_reply = "550 Failed to open file."},
            .commands = kGet,
            .result = 0,
            .shown = Join({kOpen,
                           {"RETR /pub/a.txt", "550 Failed to open file.",
                            "* Did not receive 125 or 150 level message, aborting transfer."}}),
            .last_code = 550,
            .last_text = "Failed to open file."},
        // The partial file stays, dated like the remote file.
        DownloadCase{
            .name = "RetrRefusedAfterRest",
            .local = Local(1000),
            .resume = 1,
            .server = {.retr_reply = "550 Failed to open file."},
            .commands = kGetAfterRest,
            .result = 0,
            .file = Local(1000),
            .shown = Join({kOpen, kRest,
                           {"RETR /pub/a.txt", "550 Failed to open file.",
                            "* Did not receive 125 or 150 level message, aborting transfer."},
                           Stamped()}),
            .last_code = 550},
        DownloadCase{.name = "NoDataConnection",
                     .local = Local(1000),
                     .resume = 1,
                     .server = {.pasv_reply = "425 Cannot open passive connection."},
                     .commands = {"PASV"},
                     .result = 0,
                     .file = Local(1000),
                     .dated = Dated::kOther,
                     .shown = {"PASV", "425 Cannot open passive connection.",
                               "09:05:03 425 Cannot open passive connection."},
                     .last_code = 425},
        DownloadCase{.name = "LocalFileCannotBeOpened",
                     .local_is_directory = true,
                     .commands = {"PASV"},
                     .result = 0,
                     .shown = {"PASV", "<227>", "09:05:03 070 Local File Open Error",
                               "09:05:03 * Warning: Local file error: <dir>/a.txt (Is a "
                               "directory)"}},
        // No final reply within the time-out: no later transfer waits for one.
        DownloadCase{.name = "NoFinalReply",
                     .server = {.final_reply = std::nullopt},
                     .commands = kGet,
                     .result = 20000,
                     .file = Pattern(20000),
                     .shown = Join({kOpen, Retr(k20000), Waited(""), Stamped()}),
                     .titles = {kTitle},
                     .no_status_line_after = kOn},
        DownloadCase{.name = "NoStatusLineAlreadySet",
                     .no_status_line = kOn,
                     .commands = kGet,
                     .result = 20000,
                     .file = Pattern(20000),
                     .shown = Join({kOpen, Retr(k20000), Stamped()}),
                     .titles = {kTitle},
                     .no_status_line_after = kOn},
        DownloadCase{.name = "AlreadyAborted",
                     .abort = kOn,
                     .commands = {},
                     .result = 0,
                     .last_code = 0,
                     .abort_after = kOn}),
    [](const ::testing::TestParamInfo<DownloadCase>& info) { return info.param.name; });

// ---- Beyond 2 GiB ----------------------------------------------------------------------------

// A resumed download whose offset, counts and result lie beyond 2 GiB: a sparse local file of
// 2 GiB + 1 MiB, of which the last 4 KiB are marked, and a server that streams only the 3 MiB
// after REST (and, like vsftpd, names the whole size in its 150 reply).
// ---- What a download tells -------------------------------------------------------------------

struct DownloadOutcomeCase {
  const char* name;
  RemoteFile server;
  bool failed;
  std::string reply;
  bool lost;  // and then no longer logged in
};

void PrintTo(const DownloadOutcomeCase& c, std::ostream* os) { *os << c.name; }

class DownloadOutcomeTest : public FtpFixture,
                            public ::testing::WithParamInterface<DownloadOutcomeCase> {
 protected:
  ScratchDir dir_;
};

// On a logged-in connection the download tells the reply that ended it and whether the
// connection was lost on the way.
TEST_P(DownloadOutcomeTest, TellsTheReplyAndWhetherTheConnectionWasLost) {
  const DownloadOutcomeCase& c = GetParam();
  OpenControl(Session({}, {}, ServeDownload(c.server)));
  session.ConnectedFlag = kOn;
  MirrorFilePolicy policy(env, options);

  const DownloadResult result = DownloadFile(
      session, {"/pub/a.txt", 20000, kRemoteTime}, dir_.path() + "/a.txt", policy);

  EXPECT_EQ(result.outcome.failed, c.failed);
  EXPECT_EQ(result.reply, c.reply);
  EXPECT_EQ(result.lost, c.lost);
  EXPECT_EQ(result.logged_in, !c.lost);
  EXPECT_EQ(session.ReplyLine, c.reply);
  ServerCommands();
}

INSTANTIATE_TEST_SUITE_P(
    Download, DownloadOutcomeTest,
    ::testing::Values(
        DownloadOutcomeCase{"Whole", {}, false, "226 Transfer complete.", false},
        DownloadOutcomeCase{"Refused", {.retr_reply = "550 Permission denied."}, true,
                            "550 Permission denied.", false},
        DownloadOutcomeCase{"RefusedByAClosingServer", {.retr_reply = "421 Timeout."}, true,
                            "421 Timeout.", true},
        DownloadOutcomeCase{"Cut", {.sent = 100, .final_reply = "426 Transfer aborted."}, true,
                            "426 Transfer aborted.", false},
        DownloadOutcomeCase{"CutByAClosingServer", {.sent = 100, .final_reply = "421 Timeout."},
                            true, "421 Timeout.", true},
        DownloadOutcomeCase{"NoFinalReply", {.final_reply = std::nullopt}, true,
                            "000 Connection lost", true}),
    [](const ::testing::TestParamInfo<DownloadOutcomeCase>& info) { return info.param.name; });

TEST_F(FtpFixture, ResumesAFileBeyond2GiB) {
  // 3 MiB of pattern take a while to make under ThreadSanitizer on a busy machine: the data
  // connection waits longer than the fixture's short time-out.
  env.channel_timeout_ms = 10000;
  constexpr uint64_t kPresent = (uint64_t{2} << 30) + (1 << 20);
  constexpr uint64_t kTail = 3 << 20;
  constexpr uint64_t kSize = kPresent + kTail;
  const std::string marker = Pattern(4096, 77);
  ScratchDir dir;
  const std::string local = dir / "big.bin";
  {
    const int fd = ::open(local.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, kPresent), 0);
    ASSERT_EQ(::pwrite(fd, marker.data(), marker.size(), kPresent - marker.size()),
              static_cast<ssize_t>(marker.size()));
    ::close(fd);
  }
  const std::string announced = "150 Opening BINARY mode data connection for /pub/big.bin (" +
                                std::to_string(kSize) + " bytes).";
  OpenControl(Session(
      {}, {}, [&, offset = uint64_t{0}](const std::string& command, FakeFtpSession& s) mutable {
        const std::string verb = Verb(command);
        if (verb == "PASV") {
          s.Reply(s.Passive());
        } else if (verb == "TYPE") {
          s.Reply("200 Switching to Binary mode.");
        } else if (verb == "REST") {
          offset = std::stoull(testing::Argument(command));
          s.Reply("350 Restart position accepted.");
        } else if (verb == "RETR" && offset < kPresent) {
          s.Reply("550 Not resumed where the test expects.");  // spares 2 GiB of pattern
        } else if (verb == "RETR" && s.AcceptData()) {
          s.Reply(announced);
          s.SendData(Pattern(kSize - offset, offset));
          s.CloseData();
          s.Reply("226 Transfer complete.");
        }
      }));
  options.VerboseLevel = -1;
  options.ResumeMode = 1;
  EXPECT_EQ(FetchAsMirror(session, {"/pub/big.bin", kSize, kRemoteTime}, local),
            static_cast<int64_t>(kSize));

  EXPECT_THAT(ServerCommands(),
              ElementsAre("PASV", "TYPE I", "REST 2148532224", "RETR /pub/big.bin"));
  EXPECT_THAT(console.lines,
              ElementsAre("09:05:03 * Setting " + local + " to 03-15-1999 14:05:00"));
  EXPECT_EQ(FILEEXISTS(local), static_cast<int64_t>(kSize));
  const int fd = ::open(local.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::string end(marker.size() + kTail, '\0');
  EXPECT_EQ(::pread(fd, end.data(), end.size(), kPresent - marker.size()),
            static_cast<ssize_t>(end.size()));
  char hole = 1;
  EXPECT_EQ(::pread(fd, &hole, 1, kPresent / 2), 1);
  ::close(fd);
  EXPECT_TRUE(end == marker + Pattern(kTail, kPresent)) << "the bytes around the offset differ";
  EXPECT_EQ(hole, 0);
  EXPECT_EQ(testing::DateToTheMinute(local), kRemoteTime);
}

// ---- The user's stop while the server is silent ----------------------------------------------

// A console whose user asks to stop (Esc) once a download has shown its progress.
class StoppingConsole : public testing::RecordingConsole {
 public:
  bool StopPending() override { return !stopped && !titles.empty(); }
  int PollKey() override {
    if (!StopPending()) return RecordingConsole::PollKey();
    stopped = true;
    return kKeyEsc;
  }
  bool stopped = false;
};

// A server for one download of /pub/a.txt (20000 bytes announced): `send` serves the data
// connection once the 150 reply is out.
CommandHandler ServeA(std::function<void(FakeFtpSession&)> send) {
  return [send](const std::string& command, FakeFtpSession& s) {
    const std::string verb = Verb(command);
    if (verb == "PASV") {
      s.Reply(s.Passive());
    } else if (verb == "RETR" && s.AcceptData()) {
      s.Reply("150 Opening BINARY mode data connection for /pub/a.txt (20000 bytes).");
      send(s);
    } else {
      s.Reply("200 Okay.");
    }
  };
}

// Part of the file arrives, then the server sends and answers nothing: Esc ends the download
// at once, not after the channel time-out, and no final reply is awaited.
TEST(StopWhileSilent, EndsADownloadAtOnce) {
  StoppingConsole console;
  testing::FakeClock clock;
  Options options;
  RunSettings state;
  Env env(console, clock);
  env.channel_timeout_ms = 20000;
  testing::FakeFtpServer server;
  server.AddSession(Session({}, {}, ServeA([](FakeFtpSession& s) {
                              s.SendData(Pattern(5000));
                              s.Pause(30000);  // silent, with the data connection open
                            })));
  koru::Session session(env, options, state);
  ASSERT_TRUE(session.channels.Open(1, "127.0.0.1", server.port(), env.channel_timeout_ms));
  session.h = 1;
  ScratchDir dir;
  const auto start = std::chrono::steady_clock::now();

  EXPECT_EQ(FetchAsMirror(session, {"/pub/a.txt", 20000, {}}, dir / "a.txt"), 20000);

  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(state.AbortFlag, kOn);
  EXPECT_TRUE(session.LastTransfer.user_cut);
  EXPECT_EQ(FileContent(dir / "a.txt"), Pattern(5000));
  server.Stop();
}

// A stop that seemed pending but held no Esc (an arrow key's sequence starts like one): the
// download goes on and ends whole.
class FalseStopConsole : public testing::RecordingConsole {
 public:
  bool StopPending() override {
    if (titles.empty() || seen) return false;
    seen = true;
    return true;
  }
  bool seen = false;
};

TEST(StopWhileSilent, AWaitWithoutEscGoesOn) {
  FalseStopConsole console;
  testing::FakeClock clock;
  Options options;
  RunSettings state;
  Env env(console, clock);
  env.channel_timeout_ms = 5000;
  testing::FakeFtpServer server;
  server.AddSession(Session({}, {}, ServeA([](FakeFtpSession& s) {
                              s.SendDataWithPause(Pattern(5000), 300, Pattern(15000, 5000));
                              s.CloseData();
                              s.Reply("226 Transfer complete.");
                            })));
  koru::Session session(env, options, state);
  ASSERT_TRUE(session.channels.Open(1, "127.0.0.1", server.port(), env.channel_timeout_ms));
  session.h = 1;
  ScratchDir dir;
  EXPECT_EQ(FetchAsMirror(session, {"/pub/a.txt", 20000, {}}, dir / "a.txt"), 20000);

  EXPECT_TRUE(console.seen);
  EXPECT_EQ(state.AbortFlag, kOff);
  EXPECT_FALSE(session.LastTransfer.user_cut);
  EXPECT_EQ(FileContent(dir / "a.txt"), Pattern(20000));
  server.Stop();
}

// ---- The status line --------------------------------------------------------------------------

// A download of 50 blocks of /pub/big.bin over scripted connections with a delay of 100 ms after
// each block: only the delays move the clock, so every status line is exact.
class DownloadStatusTest : public ::testing::Test {
 protected:
  static constexpr int64_t kSize = 50 * 8192;

  DownloadStatusTest() {
    console.status_line = true;
    state.BlockDelay = 100;
    control.Send(
        "227 Entering Passive Mode (127,0,0,1,4,1).\r\n200 Binary.\r\n"
        "150 Opening BINARY mode data connection for /pub/big.bin (409600 bytes).\r\n"
        "226 Done.\r\n");
    transport.Expect().Send(Pattern(kSize)).Close();
    EXPECT_TRUE(session.channels.Open(1, "127.0.0.1", 21, 10000));
  }

  int64_t Download() { return FetchAsMirror(session, {"/pub/big.bin", kSize, {}}, dir / "big.bin"); }

  testing::RecordingConsole console;
  testing::FakeClock clock;
  testing::MemoryTransport transport{clock};
  testing::MemoryPeer& control = transport.Expect();
  Options options;
  RunSettings state;
  Env env{console, clock, transport};
  koru::Session session{env, options, state, 1};
  ScratchDir dir;
};

TEST_F(DownloadStatusTest, ShowsProgressRateAndTimeLeftTenTimesASecondAndEndsErased) {
  EXPECT_EQ(Download(), kSize);
  // Block n arrives at (n - 1) * 100 ms; the line appears at 200 ms and follows every block up
  // to the 49th, at 4,800 ms; the 50th ends the transfer.
  ASSERT_EQ(console.statuses.size(), 47u);
  // The first block came at once, so the rate starts high ...
  EXPECT_EQ(console.statuses.front(),
            "/pub/big.bin  6%  24,576 / 409,600  120 KiB/s  0:04  delay 100 ms");
  EXPECT_EQ(console.statuses[10],
            "/pub/big.bin  26%  106,496 / 409,600  86.7 KiB/s  0:04  delay 100 ms");
  // ... and the last three seconds show what the delay allows: 8,192 bytes per 100 ms.
  EXPECT_EQ(console.statuses.back(),
            "/pub/big.bin  98%  401,408 / 409,600  80.0 KiB/s  0:01  delay 100 ms");
  EXPECT_FALSE(console.status_shown);
  EXPECT_EQ(FileContent(dir / "big.bin"), Pattern(kSize));
}

TEST_F(DownloadStatusTest, ADelayChangeShowsAtOnce) {
  console.keys = {kNoKey, '+'};
  EXPECT_EQ(Download(), kSize);
  // "+" after the second block, at 200 ms: drawn before the longer wait begins.
  ASSERT_FALSE(console.statuses.empty());
  EXPECT_EQ(console.statuses.front(),
            "/pub/big.bin  4%  16,384 / 409,600  80.0 KiB/s  0:05  delay 200 ms");
  EXPECT_EQ(console.titles[2], "Delay = 200ms");
  EXPECT_FALSE(console.status_shown);
}

TEST_F(DownloadStatusTest, EscLeavesTheLineErased) {
  console.keys = {kNoKey, kNoKey, kNoKey, kNoKey, kKeyEsc};
  EXPECT_EQ(Download(), kSize);
  EXPECT_EQ(state.AbortFlag, kOn);
  EXPECT_EQ(console.statuses.size(), 3u);
  EXPECT_FALSE(console.status_shown);
}

// The delay after a block is cut short by the key that arrives during it, however long the
// delay: the key acts at once, and what it sets lasts.
TEST_F(DownloadStatusTest, AKeyCutsTheDelayShort) {
  constexpr int32_t kLongest = 2147483647;
  struct Case {
    const char* what;
    int32_t delay;
    std::deque<testing::RecordingConsole::ArrivingKey> keys;
    std::vector<int> sleeps;  // what was waited before each key
    int32_t delay_after;
    int32_t abort_after;
  };
  const std::vector<Case> cases = {
      {"Esc", 5000, {{300, kKeyEsc}}, {300}, 5000, kOn},
      {"Tab", kLongest, {{300, kKeyTab}}, {300}, kLongest, kOff},
      {"+ at the longest delay, then Esc", kLongest, {{300, '+'}, {500, kKeyEsc}}, {300, 200},
       kLongest, kOn},
      {"-, then Esc", kLongest, {{300, '-'}, {450, kKeyEsc}}, {300, 150}, kLongest - 100, kOn},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::RecordingConsole console;
    testing::FakeClock clock;
    testing::MemoryTransport transport{clock};
    testing::MemoryPeer& control = transport.Expect();
    control.Send(
        "227 Entering Passive Mode (127,0,0,1,4,1).\r\n200 Binary.\r\n"
        "150 Opening BINARY mode data connection for /pub/big.bin (409600 bytes).\r\n"
        "226 Done.\r\n");
    transport.Expect().Send(Pattern(kSize)).Close();
    Options options;
    RunSettings state;
    Env env{console, clock, transport};
    koru::Session session{env, options, state};
    ASSERT_TRUE(session.channels.Open(1, "127.0.0.1", 21, 10000));
    session.h = 1;
    state.BlockDelay = c.delay;
    console.arriving_keys = c.keys;

    EXPECT_EQ(FetchAsMirror(session, {"/pub/big.bin", kSize, {}}, dir / "big.bin"), kSize);

    EXPECT_EQ(clock.sleeps, c.sleeps);
    EXPECT_TRUE(session.LastTransfer.user_cut);
    EXPECT_EQ(state.BlockDelay, c.delay_after);
    EXPECT_EQ(state.AbortFlag, c.abort_after);
  }
}

}  // namespace
}  // namespace koru
