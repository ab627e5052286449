#include "tests/end_to_end.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string_view>
#include <system_error>

#include "run/env.h"
#include "app/startup.h"
#include "tests/fakes.h"
#include "tests/scratch_dir.h"

namespace koru::testing {
namespace {

namespace fs = std::filesystem;

constexpr int kShortTimeoutMs = 300;
constexpr std::string_view kDirectory = "/pub/";
constexpr char kDate[] = "Mar 15  1999";

std::string ListingLine(const RemoteFile& file) {
  char head[80];
  std::snprintf(head, sizeof head, "-rw-r--r--    1 ftp      ftp      %10zu ", file.content.size());
  return head + std::string(kDate) + " " + file.name;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

// The process's working directory is `directory` while this lives.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& directory) : previous_(fs::current_path()) {
    fs::current_path(directory);
  }
  ~WorkingDirectory() {
    std::error_code ignored;
    fs::current_path(previous_, ignored);
  }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  fs::path previous_;
};

}  // namespace

std::string Normalised(std::string text, const std::string& address,
                       const std::string& directory) {
  ReplaceAll(text, directory, "DIR");
  ReplaceAll(text, address, "SERVER");
  text = std::regex_replace(text, std::regex(R"(\d\d:\d\d:\d\d)"), "TIME");
  return std::regex_replace(text, std::regex(R"(\d\d-\d\d-\d\d\d\d)"), "DATE");
}

ChildResult RunKoruInThisProcess(const std::vector<std::string>& args,
                                 const std::string& directory, int channel_timeout_ms) {
  RecordingConsole console;
  FakeClock clock;
  Env env(console, clock);
  env.channel_timeout_ms = channel_timeout_ms;
  std::string command_line;
  for (const std::string& arg : args) command_line += (command_line.empty() ? "" : " ") + arg;
  ChildResult result;
  {
    const WorkingDirectory in(directory);
    result.exit_code = KoruMain(env, command_line, directory);
  }
  for (const std::string& line : console.lines) result.output += line + "\n";
  return result;
}

std::string FileBytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + (i * 7 + size) % 26);
  return bytes;
}

// ---- The site --------------------------------------------------------------------------------

FakeFtpSite::FakeFtpSite(std::vector<RemoteFile> files, SiteFault fault)
    : files_(std::move(files)), fault_(fault) {
  tree_.AddDirectory("/pub");
  for (const RemoteFile& file : files_) {
    tree_.AddFile(std::string(kDirectory) + file.name, FakeFile{.content = file.content,
                                                               .date = kDate});
  }
  if (fault_ == SiteFault::kJunkInListing) {
    std::vector<std::string> lines;
    for (const RemoteFile& file : files_) lines.push_back(ListingLine(file));
    lines.insert(lines.begin() + 1, {"Server notice: downloads are logged",
                                     "-rw-r--r--    1 ftp      ftp             5 Mar 15"});
    tree_.SetListing("/pub", lines);
  }
  tree_.Intercept(
      [this](const std::string& command, FakeFtpSession& s) { return Intercept(command, s); });
  SessionScript script = tree_.Script();
  if (fault_ == SiteFault::kSilentGreeting) {
    script.on_connect = {[this](FakeFtpSession&) { FallSilentAt(SiteFault::kSilentGreeting); }};
  }
  script.on_connect.push_back(
      [this](FakeFtpSession& s) { CloseAt(SiteFault::kCloseAfterGreeting, s); });
  server_.SetDefaultSession(std::move(script));
}

std::vector<std::string> FakeFtpSite::Commands() {
  server_.Stop();
  return server_.commands();
}

bool FakeFtpSite::Due(SiteFault fault) {
  if (fault != fault_ || failed_) return false;
  failed_ = true;
  return true;
}

bool FakeFtpSite::CloseAt(SiteFault fault, FakeFtpSession& s) {
  if (!Due(fault)) return false;
  s.Close();
  return true;
}

bool FakeFtpSite::FallSilentAt(SiteFault fault) {
  if (!Due(fault)) return false;
  silent_ = true;
  return true;
}

bool FakeFtpSite::Intercept(const std::string& command, FakeFtpSession& s) {
  if (silent_) return true;
  const std::string verb = Verb(command);
  if (verb == "USER") return CloseAt(SiteFault::kCloseAtUser, s);
  if (verb == "PASS") {
    return CloseAt(SiteFault::kCloseAtPass, s) || FallSilentAt(SiteFault::kSilentAtPass);
  }
  if (verb == "CWD") return CloseAt(SiteFault::kCloseAtCwd, s);
  if (verb == "PASV") return InterceptPassive(s);
  if (verb == "LIST" && fault_ == SiteFault::kCloseAfterList150 && !failed_) {
    s.AcceptData();
    s.Reply("150 Here comes the directory listing.");
    return CloseAt(SiteFault::kCloseAfterList150, s);
  }
  if (verb == "RETR") return InterceptRetrieve(Argument(command), s);
  return false;
}

bool FakeFtpSite::InterceptPassive(FakeFtpSession& s) {
  if (CloseAt(SiteFault::kCloseAtPasv, s)) return true;
  if (++passive_replies_ != 2) return false;
  if (Due(SiteFault::kPasvToClosedPort)) {
    s.Reply("227 Entering Passive Mode (127,0,0,1,0,1).");  // port 1: nobody listens
    return true;
  }
  if (Due(SiteFault::kPasvRefused)) {
    s.Reply("425 Cannot open data connection.");
    return true;
  }
  return false;
}

bool FakeFtpSite::InterceptRetrieve(const std::string& path, FakeFtpSession& s) {
  if (FallSilentAt(SiteFault::kSilentAtRetr)) return true;
  if (Due(SiteFault::kRetrRefused)) {
    s.Reply("550 Failed to open file.");
    return true;
  }
  const bool breaks_off =
      fault_ == SiteFault::kCloseAfterRetr150 || fault_ == SiteFault::kCloseBefore226 ||
      fault_ == SiteFault::kCloseMidData || fault_ == SiteFault::kResetMidData ||
      fault_ == SiteFault::kSilentMidData;
  const std::string name = path.substr(kDirectory.size());
  const auto file = std::find_if(files_.begin(), files_.end(),
                                 [&](const RemoteFile& f) { return f.name == name; });
  if (!breaks_off || failed_ || file == files_.end()) return false;
  const std::string_view content = file->content;
  s.AcceptData();
  s.Reply("150 Opening BINARY mode data connection for " + name + " (" +
          std::to_string(content.size()) + " bytes).");
  if (CloseAt(SiteFault::kCloseAfterRetr150, s)) return true;
  if (Due(SiteFault::kCloseBefore226)) {
    s.SendData(content);
    s.CloseData();
    s.Close();
    return true;
  }
  s.SendData(content.substr(0, kCutAt));
  if (Due(SiteFault::kResetMidData)) {
    s.ResetData();
    s.Reply("426 Connection reset by peer; transfer aborted.");
  } else if (!CloseAt(SiteFault::kCloseMidData, s)) {
    FallSilentAt(SiteFault::kSilentMidData);
  }
  return true;
}

// ---- Local side and runs ---------------------------------------------------------------------

namespace {

// The program for runs as "nobody": the build may lie where that user cannot go (a clone in
// root's home, or below a directory of mode 0700), so those runs use a copy in a directory of
// its own under the temporary directory, open to every user, removed with the test process.
const std::string& ProgramForUnprivilegedRuns() {
  static const ScratchDir dir;
  static const std::string program = [] {
    const std::string copy = dir / "koru";
    std::error_code error;
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec,
                    error);
    fs::copy_file(KORU_BINARY, copy, fs::copy_options::overwrite_existing, error);
    return error ? std::string(KORU_BINARY) : copy;
  }();
  return program;
}

}  // namespace

ChildResult RunKoru(const FakeFtpSite& site, const std::string& directory,
                    const RunOptions& options) {
  std::vector<std::string> args = {site.Location()};
  args.insert(args.end(), options.switches.begin(), options.switches.end());
  ChildResult run =
      options.in_process
          ? RunKoruInThisProcess(args, directory, kShortTimeoutMs)
          : RunProgram(options.unprivileged ? ProgramForUnprivilegedRuns() : KORU_BINARY, args,
                       ChildOptions{directory, options.file_size_limit, options.unprivileged});
  run.output = Normalised(run.output, site.address(), directory);
  return run;
}

void ExpectNextRunCompletes(const std::vector<RemoteFile>& files, const std::string& directory,
                            const std::vector<std::string>& restarts) {
  FakeFtpSite site(files);
  const ChildResult run = RunKoru(site, directory, RunOptions{.switches = {"-R"}});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.errors, "");
  std::vector<std::string> sent;
  for (const std::string& command : site.Commands()) {
    if (Verb(command) == "REST") sent.push_back(command);
  }
  EXPECT_EQ(sent, restarts);
  std::map<std::string, std::string> complete;
  for (const RemoteFile& file : files) complete[file.name] = "complete";
  EXPECT_EQ(DiskState(directory, files), complete);
}

void ExpectOutcome(const ChildResult& run, FakeFtpSite& site, const std::string& directory,
                   const std::vector<RemoteFile>& files, const Outcome& outcome) {
  std::string output =
      "Koru (KORU 20080313)\n"
      "TIME DATE\n"
      " ftp://anonymous@SERVER\n"
      " R Path: /pub/\n"
      " L Path: DIR\n";
  for (const std::string& line : outcome.lines) output += line + "\n";
  EXPECT_EQ(run.output, output);
  EXPECT_EQ(run.exit_code, outcome.exit_code);
  EXPECT_EQ(run.errors, "");
  // The run asks what the server offers once, after its first login; this site offers nothing
  // (FEAT is refused), so every other command is the documented sequence's.
  std::vector<std::string> commands = site.Commands();
  EXPECT_LE(std::count(commands.begin(), commands.end(), "FEAT"), 1);
  std::erase(commands, "FEAT");
  EXPECT_EQ(commands, outcome.commands);
  EXPECT_EQ(DiskState(directory, files), outcome.disk);
}

std::map<std::string, std::string> DiskState(const std::string& directory,
                                             const std::vector<RemoteFile>& remote) {
  std::map<std::string, std::string> state;
  std::error_code error;
  for (fs::recursive_directory_iterator it(directory, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = fs::relative(it->path(), directory).string();
    if (it->is_directory()) {
      state[name + "/"] = "directory";
      continue;
    }
    const std::string content = FileContent(it->path().string());
    const auto same_name = std::find_if(remote.begin(), remote.end(),
                                        [&](const RemoteFile& f) { return f.name == name; });
    if (same_name != remote.end() && same_name->content == content) {
      state[name] = "complete";
    } else if (same_name != remote.end() && !content.empty() &&
               same_name->content.starts_with(content)) {
      state[name] = "first " + std::to_string(content.size()) + " bytes";
    } else if (content.size() > 64) {
      state[name] = std::to_string(content.size()) + " other bytes";
    } else {
      state[name] = "\"" + content + "\"";
    }
  }
  return state;
}

std::vector<std::string> Login() { return {"USER anonymous", "PASS guest"}; }

std::vector<std::string> ListPub() { return {"CWD /pub", "PASV", "TYPE A", "LIST"}; }

std::vector<std::string> Get(const std::string& name) {
  return {"PASV", "TYPE I", "RETR /pub/" + name};
}

std::vector<std::string> Joined(const std::vector<std::vector<std::string>>& parts) {
  std::vector<std::string> all;
  for (const std::vector<std::string>& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

}  // namespace koru::testing
