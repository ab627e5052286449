#include "tests/memory_ftp_server.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fnmatch.h>
#include <utility>

#include "listing/list_parser.h"
#include "listing/remote_time.h"
#include "platform/channels.h"
#include "tests/fake_ftp_server.h"
#include "tests/remote_paths.h"

namespace koru::testing {
namespace {

// How long a client may wait in real time for what the server will never bring. A wait that
// anything in a sound run ends takes no time at all.
constexpr auto kGuard = std::chrono::seconds(5);
// How often a wait looks whether the client's user asked to stop.
constexpr auto kStopCheck = std::chrono::milliseconds(5);

constexpr const char* kListedDate = "Mar  5  2001";

std::string ListingLine(bool directory, int64_t size, const std::string& date,
                        const std::string& name) {
  char head[96];
  std::snprintf(head, sizeof head, "%s   %d owner    group    %8lld ",
                directory ? "drwxr-xr-x" : "-rw-r--r--", directory ? 2 : 1,
                static_cast<long long>(size));
  return head + date + " " + name + "\r\n";
}

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The date columns of a LIST line for the wall-clock time `wall` (seconds, the server's zone).
std::string ListedDate(int64_t wall, const SYSTEMTIME& today) {
  const CivilTime time = SecondsToCivil(wall);
  const int64_t tomorrow = CivilToSeconds({today.wYear, today.wMonth, today.wDay + 1, 0, 0, 0});
  const bool recent = wall < tomorrow && wall >= tomorrow - int64_t{183} * 86400;
  char date[32];
  if (recent) {
    std::snprintf(date, sizeof date, "%s %2d %02d:%02d", kMonths[time.month - 1], time.day,
                  time.hour, time.minute);
  } else {
    std::snprintf(date, sizeof date, "%s %2d  %4d", kMonths[time.month - 1], time.day, time.year);
  }
  return date;
}

// The wall-clock time (seconds) of the date columns `date` as a LIST line shows them.
int64_t WallTimeOf(const std::string& date, const SYSTEMTIME& today) {
  LISTENTRY entry;
  if (!PARSELISTLINE("-rw-r--r--   1 owner    group    0 " + date + " x", entry, today)) return 0;
  return CivilToSeconds({entry.year, entry.month, entry.day, entry.hour, entry.minute, 0});
}

// An RFC 3659 time-val of `utc`.
std::string TimeVal(int64_t utc) {
  const CivilTime t = SecondsToCivil(utc);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Takes up to `max` bytes of `bytes` into `buffer`; the end once nothing is left and `ended`.
int64_t Take(std::string& bytes, bool ended, char* buffer, size_t max) {
  if (bytes.empty()) return ended ? Connection::kClosed : Connection::kNothingYet;
  const size_t n = std::min(max, bytes.size());
  std::memcpy(buffer, bytes.data(), n);
  bytes.erase(0, n);
  return static_cast<int64_t>(n);
}

}  // namespace

struct MemoryFtpServer::DataEnd {
  std::string bytes;
  bool complete = false;  // all the data is in `bytes`: the end follows it
  bool download = false;  // counted among the downloads in progress
  bool refuses = false;   // the connect to it is refused
  bool scripted = false;  // a script sends the data: until it ends, no more comes by itself
  std::string reply_when_closed;  // the final reply, once the client has closed it
  Session* session = nullptr;     // whose final reply that is
};

struct MemoryFtpServer::Session {
  size_t index = 0;
  bool refused = false;
  bool client_gone = false;
  std::string from_client;  // the start of a command line
  std::string to_client;
  bool ended = false;  // the server has closed its side
  std::string cwd = "/";
  int64_t restart = 0;
  std::shared_ptr<DataEnd> data;  // announced by the latest PASV
  std::vector<std::string> commands;
  // Of the command before the one being answered, TYPE aside (a client may send TYPE between
  // a CWD and its listing's PASV, or not).
  std::string previous_verb;
  bool silent = false;  // until the next command
  std::vector<std::pair<int64_t, std::string>> later;  // replies due on the clock, in order
  // Commands that came while a reply was still due: a server answers in order, so they are
  // answered once it has gone out.
  std::vector<std::string> held;
};

class MemoryFtpServer::ControlConnection : public Connection {
 public:
  ControlConnection(MemoryFtpServer& server, std::shared_ptr<Session> session,
                    std::function<bool()> stop_pending)
      : server_(server), session_(std::move(session)), stop_pending_(std::move(stop_pending)) {}
  ~ControlConnection() override {
    const std::lock_guard lock(server_.mutex_);
    server_.ClientClosed(*session_);
  }

  int64_t SendSome(std::string_view bytes) override {
    const std::lock_guard lock(server_.mutex_);
    Session& s = *session_;
    s.from_client.append(bytes);
    for (size_t end = s.from_client.find("\r\n"); end != std::string::npos;
         end = s.from_client.find("\r\n")) {
      const std::string command = s.from_client.substr(0, end);
      s.from_client.erase(0, end + 2);
      if (!s.later.empty() || !s.held.empty()) {
        s.held.push_back(command);
      } else {
        server_.AnswerCommand(s, command);
      }
    }
    server_.changed_.notify_all();
    return static_cast<int64_t>(bytes.size());
  }

  int64_t ReceiveSome(char* buffer, size_t max) override {
    const std::lock_guard lock(server_.mutex_);
    return Take(session_->to_client, session_->ended, buffer, max);
  }

  bool Wait(bool for_sending, int timeout_ms) override {
    if (for_sending) return true;
    Session* s = session_.get();
    MemoryFtpServer* server = &server_;
    return server_.WaitUntil(
        [s] { return !s->to_client.empty() || s->ended; }, timeout_ms, stop_pending_,
        [s] { return s->silent || !s->later.empty(); },
        [server, s](int ms) { return server->PassOn(s, ms); });
  }

  void ShutDown() override {}
  std::string PeerAddress() const override { return "127.0.0.1"; }

 private:
  MemoryFtpServer& server_;
  std::shared_ptr<Session> session_;
  std::function<bool()> stop_pending_;
};

class MemoryFtpServer::DataConnection : public Connection {
 public:
  DataConnection(MemoryFtpServer& server, std::shared_ptr<DataEnd> end,
                 std::function<bool()> stop_pending)
      : server_(server), end_(std::move(end)), stop_pending_(std::move(stop_pending)) {}
  ~DataConnection() override {
    const std::lock_guard lock(server_.mutex_);
    server_.DataClosed(*end_);
  }

  int64_t SendSome(std::string_view bytes) override { return static_cast<int64_t>(bytes.size()); }

  int64_t ReceiveSome(char* buffer, size_t max) override {
    const std::lock_guard lock(server_.mutex_);
    if (server_.silent_) return kNothingYet;
    return Take(end_->bytes, end_->complete, buffer, max);
  }

  bool Wait(bool for_sending, int timeout_ms) override {
    if (for_sending) return true;
    DataEnd* end = end_.get();
    const bool& silent = server_.silent_;
    return server_.WaitUntil(
        [end, &silent] { return !silent && (!end->bytes.empty() || end->complete); }, timeout_ms,
        stop_pending_, [end] { return end->scripted; });
  }

  void ShutDown() override {}
  std::string PeerAddress() const override { return "127.0.0.1"; }

 private:
  MemoryFtpServer& server_;
  std::shared_ptr<DataEnd> end_;
  std::function<bool()> stop_pending_;
};

MemoryFtpServer::MemoryFtpServer(FakeClock& clock, int round_trip_ms)
    : clock_(clock), round_trip_ms_(round_trip_ms) {
  // Only the round trips make time pass.
  clock.follows_real_time = false;
}

MemoryFtpServer::~MemoryFtpServer() = default;

void MemoryFtpServer::AddFile(const std::string& path, std::string content) {
  AddFile(path, FakeFile{.content = std::move(content)});
}

void MemoryFtpServer::AddFile(const std::string& path, FakeFile file) {
  AddDirectory(Parent(path));
  const std::lock_guard lock(mutex_);
  nodes_[path] = Node{false, std::move(file)};
}

void MemoryFtpServer::SetListing(const std::string& directory, std::vector<std::string> lines) {
  const std::lock_guard lock(mutex_);
  listings_[directory] = std::move(lines);
}

void MemoryFtpServer::SetRoundTrip(int ms) {
  const std::lock_guard lock(mutex_);
  round_trip_ms_ = ms;
}

void MemoryFtpServer::Intercept(Script script) {
  const std::lock_guard lock(mutex_);
  script_ = std::move(script);
}

void MemoryFtpServer::AddDirectory(const std::string& path) {
  if (path == "/") return;
  AddDirectory(Parent(path));
  const std::lock_guard lock(mutex_);
  nodes_[path].directory = true;
}

void MemoryFtpServer::LimitSessions(int sessions) {
  const std::lock_guard lock(mutex_);
  session_limit_ = sessions;
}

void MemoryFtpServer::HoldDownloadsUntil(int downloads) {
  const std::lock_guard lock(mutex_);
  hold_downloads_ = downloads;
}

void MemoryFtpServer::FailCommand(const std::string& verb, const std::string& path,
                                  const std::string& reply) {
  const std::lock_guard lock(mutex_);
  failed_commands_[{verb, path}] = reply;
}

void MemoryFtpServer::RefuseDataIn(const std::string& directory) {
  const std::lock_guard lock(mutex_);
  data_refused_in_.push_back(directory);
}

void MemoryFtpServer::CutListingOf(const std::string& directory, size_t bytes, int times) {
  const std::lock_guard lock(mutex_);
  cut_listings_[directory] = Cut{bytes, times};
}

void MemoryFtpServer::RefuseLoginsAfter(int logins) {
  const std::lock_guard lock(mutex_);
  login_limit_ = logins;
}

void MemoryFtpServer::OnReply(std::function<bool(const std::string& line)> replied) {
  const std::lock_guard lock(mutex_);
  on_reply_ = std::move(replied);
}

void MemoryFtpServer::TimeOutAfter(const std::string& command) {
  const std::lock_guard lock(mutex_);
  time_out_after_ = command;
}

void MemoryFtpServer::CloseSessionAtRetrOf(const std::string& path) {
  const std::lock_guard lock(mutex_);
  close_at_retr_of_ = path;
}

void MemoryFtpServer::GoAwayAfter(int downloads) {
  const std::lock_guard lock(mutex_);
  go_away_after_ = downloads;
}

std::unique_ptr<Connection> MemoryFtpServer::Connect(const std::vector<std::string>&, int port,
                                                     SystemError* failure,
                                                     const std::function<bool()>& stop_pending,
                                                     int timeout_ms) {
  const std::lock_guard lock(mutex_);
  if (gone_) {
    *failure = {SystemError::Facility::kChannel, kErrSocket, ""};
    return nullptr;
  }
  if (std::find(nowhere_ports_.begin(), nowhere_ports_.end(), port) != nowhere_ports_.end()) {
    clock_.SkipWait(timeout_ms);
    *failure = {SystemError::Facility::kChannel, kErrTimeout, ""};
    return nullptr;
  }
  if (port == kControlPort) {
    auto session = std::make_shared<Session>();
    if (session_limit_ > 0 && open_sessions_ >= session_limit_) {
      ++counts_.refused;
      session->refused = true;
      Reply(*session, "421 Too many connections");
      session->ended = true;
      if (hold_downloads_ > 0) hold_downloads_ = std::min(hold_downloads_, open_sessions_);
      ReleaseHeldDownloadsWhenEnough();
    } else {
      session->index = sessions_.size();
      sessions_.push_back(session);
      ++counts_.sessions;
      counts_.most_sessions = std::max(counts_.most_sessions, ++open_sessions_);
      Reply(*session, "220 Memory FTP server ready.");
    }
    return std::make_unique<ControlConnection>(*this, std::move(session), stop_pending);
  }
  const auto announced = passive_ports_.find(port);
  if (announced == passive_ports_.end()) {
    *failure = {SystemError::Facility::kChannel, kErrSocket, "Connection refused"};
    return nullptr;
  }
  auto end = std::move(announced->second);
  passive_ports_.erase(announced);
  if (end->refuses) {
    *failure = {SystemError::Facility::kChannel, kErrSocket, ""};
    return nullptr;
  }
  return std::make_unique<DataConnection>(*this, std::move(end), stop_pending);
}

void MemoryFtpServer::Offer(Extensions extensions) {
  const std::lock_guard lock(mutex_);
  extensions_ = std::move(extensions);
}

std::vector<std::string> MemoryFtpServer::ModernFeatures() {
  return {"MDTM", "SIZE", "MLST type*;size*;sizd*;modify*;", "UTF8", "REST STREAM"};
}

void MemoryFtpServer::SetServerZone(int minutes) {
  const std::lock_guard lock(mutex_);
  zone_minutes_ = minutes;
}

void MemoryFtpServer::SetFileTime(const std::string& path, int64_t utc_seconds) {
  const std::lock_guard lock(mutex_);
  const auto it = nodes_.find(path);
  if (it != nodes_.end()) it->second.utc = utc_seconds;
}

void MemoryFtpServer::SetMlsdListing(const std::string& directory,
                                     std::vector<std::string> lines) {
  const std::lock_guard lock(mutex_);
  mlsd_listings_[directory] = std::move(lines);
}

MemoryFtpServer::Counts MemoryFtpServer::counts() const {
  const std::lock_guard lock(mutex_);
  Counts counts = counts_;
  counts.open_sessions = open_sessions_;
  return counts;
}

std::vector<std::vector<std::string>> MemoryFtpServer::commands() const {
  const std::lock_guard lock(mutex_);
  std::vector<std::vector<std::string>> all;
  for (const auto& session : sessions_) all.push_back(session->commands);
  return all;
}

bool MemoryFtpServer::HasFile(const std::string& path) const {
  const std::lock_guard lock(mutex_);
  const auto it = nodes_.find(path);
  return it != nodes_.end() && !it->second.directory;
}

bool MemoryFtpServer::HasDirectory(const std::string& path) const {
  const std::lock_guard lock(mutex_);
  return IsDirectory(path);
}

void MemoryFtpServer::Reply(Session& session, const std::string& line) {
  session.to_client += line + "\r\n";
  if (on_reply_ && on_reply_(line)) silent_ = true;
  clock_.SkipWait(round_trip_ms_);
}

void MemoryFtpServer::Answer(Session& session, const std::string& command) {
  session.previous_verb.clear();
  for (auto c = session.commands.rbegin(); c != session.commands.rend(); ++c) {
    if (Verb(*c) == "TYPE") continue;
    session.previous_verb = Verb(*c);
    break;
  }
  session.commands.push_back(command);
  const std::string verb = Verb(command);
  const std::string argument = Argument(command);
  session.silent = false;
  if (silent_) return;
  MemorySession scripted(*this, session);
  if (script_ && script_(command, scripted)) return;
  const bool in_cwd = verb == "LIST" || (verb == "MLSD" && argument.empty());
  const std::string path = in_cwd ? session.cwd : Resolve(session.cwd, argument);
  if (Failed(session, verb, path)) return;
  if (verb == "USER") {
    Reply(session, "331 Password required.");
  } else if (verb == "PASS") {
    Login(session);
  } else if (verb == "TYPE" || verb == "NOOP") {
    Reply(session, "200 OK.");
  } else if (verb == "CWD") {
    ChangeDirectory(session, argument);
  } else if (verb == "PWD") {
    Reply(session, "257 \"" + session.cwd + "\" is the current directory.");
  } else if (verb == "PASV") {
    Passive(session);
  } else if (verb == "LIST") {
    List(session, argument);
  } else if (verb == "REST") {
    session.restart = std::stoll(argument);
    Reply(session, "350 Restarting at " + argument + ".");
  } else if (verb == "RETR") {
    Retrieve(session, argument);
  } else if (verb == "SIZE") {
    Size(session, argument);
  } else if (verb == "DELE") {
    Delete(session, argument);
  } else if (verb == "MKD") {
    MakeDirectory(session, argument);
  } else if (verb == "FEAT") {
    Features(session);
  } else if (verb == "MLSD") {
    MachineList(session, path);
  } else if (verb == "MDTM") {
    ModificationTime(session, path);
  } else if (verb == "OPTS") {
    Options(session, argument);
  } else if (verb == "QUIT") {
    Reply(session, "221 Goodbye.");
    session.ended = true;
  } else {
    Reply(session, "502 Command not implemented.");
  }
}

bool MemoryFtpServer::Failed(Session& session, const std::string& verb,
                             const std::string& path) {
  const auto failed = failed_commands_.find({verb, path});
  if (failed != failed_commands_.end()) {
    Reply(session, failed->second);
    return true;
  }
  if (verb != "RETR") return false;
  ++counts_.retrs;
  if (go_away_after_ >= 0 && counts_.retrs > go_away_after_) {
    GoAway();
    return true;
  }
  if (!close_at_retr_of_.empty() && path == close_at_retr_of_) {
    close_at_retr_of_.clear();
    EndSession(session);
    login_limit_ = counts_.logins;
    return true;
  }
  return false;
}

void MemoryFtpServer::Login(Session& session) {
  ++counts_.logins;
  if (login_limit_ >= 0 && counts_.logins > login_limit_) {
    ++counts_.refused_logins;
    Reply(session, "530 Login incorrect.");
    return;
  }
  Reply(session, "230 Logged in.");
}

void MemoryFtpServer::EndSession(Session& session) {
  session.ended = true;
  if (session.data) session.data->complete = true;
}

void MemoryFtpServer::GoAway() {
  gone_ = true;
  for (const auto& session : sessions_) EndSession(*session);
  for (auto& [port, end] : passive_ports_) end->refuses = true;
}

void MemoryFtpServer::Passive(Session& session) {
  const int port = next_port_++;
  session.data = std::make_shared<DataEnd>();
  session.data->refuses = session.previous_verb == "CWD" &&
                         std::find(data_refused_in_.begin(), data_refused_in_.end(),
                                   session.cwd) != data_refused_in_.end();
  passive_ports_[port] = session.data;
  Reply(session, "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," +
                     std::to_string(port % 256) + ").");
}

void MemoryFtpServer::ChangeDirectory(Session& session, const std::string& path) {
  const std::string target = Resolve(session.cwd, path);
  if (target.empty() || !IsDirectory(target)) {
    Reply(session, "550 Failed to change directory.");
    return;
  }
  session.cwd = target;
  Reply(session, "250 Directory successfully changed.");
}

void MemoryFtpServer::List(Session& session, const std::string& mask) {
  const std::string opening = "150 Here comes the directory listing.";
  const auto cut = cut_listings_.find(session.cwd);
  if (cut == cut_listings_.end() || cut->second.times == 0 || !session.data) {
    Transfer(session, ListingOf(session.cwd, mask), opening);
    return;
  }
  --cut->second.times;
  const std::shared_ptr<DataEnd> end = std::move(session.data);
  end->bytes = ListingOf(session.cwd).substr(0, cut->second.bytes);
  end->complete = true;
  Reply(session, opening);
  session.ended = true;
}

void MemoryFtpServer::Retrieve(Session& session, const std::string& path) {
  const std::string target = Resolve(session.cwd, path);
  const auto it = nodes_.find(target);
  if (it == nodes_.end() || it->second.directory || !session.data) {
    Reply(session, "550 Failed to open file.");
    return;
  }
  const FakeFile& file = it->second.file;
  const std::string& content = file.content;
  const size_t from = std::min<size_t>(session.restart, content.size());
  session.restart = 0;
  session.data->download = true;
  counts_.most_downloads = std::max(counts_.most_downloads, ++downloads_now_);
  const int64_t announced =
      file.announced_size == -1 ? static_cast<int64_t>(content.size()) : file.announced_size;
  std::string opening = "150 Opening BINARY mode data connection for " + BaseName(target);
  if (announced != kNoAnnouncedSize) opening += " (" + std::to_string(announced) + " bytes)";
  opening += ".";
  if (hold_downloads_ == 0) {
    Transfer(session, content.substr(from), opening);
    return;
  }
  held_.push_back([this, &session, data = content.substr(from), opening] {
    Transfer(session, data, opening);
  });
  ReleaseHeldDownloadsWhenEnough();
}

void MemoryFtpServer::ReleaseHeldDownloadsWhenEnough() {
  if (hold_downloads_ > 0 && static_cast<int>(held_.size()) >= hold_downloads_) {
    ReleaseHeldDownloads();
  }
}

void MemoryFtpServer::ReleaseHeldDownloads() {
  hold_downloads_ = 0;
  for (const auto& deliver : held_) deliver();
  held_.clear();
  changed_.notify_all();
}

void MemoryFtpServer::Size(Session& session, const std::string& path) {
  const auto it = nodes_.find(Resolve(session.cwd, path));
  if (it == nodes_.end() || it->second.directory) {
    Reply(session, "550 Could not get file size.");
    return;
  }
  Reply(session, "213 " + std::to_string(it->second.file.content.size()));
}

void MemoryFtpServer::Delete(Session& session, const std::string& path) {
  const auto it = nodes_.find(Resolve(session.cwd, path));
  if (it == nodes_.end() || it->second.directory || it->second.file.refuse_delete) {
    Reply(session, "550 Delete operation failed.");
    return;
  }
  nodes_.erase(it);
  Reply(session, "250 Delete operation successful.");
}

void MemoryFtpServer::MakeDirectory(Session& session, const std::string& path) {
  const std::string target = Resolve(session.cwd, path);
  if (target.empty() || nodes_.count(target) || !IsDirectory(Parent(target))) {
    Reply(session, "550 Create directory operation failed.");
    return;
  }
  nodes_[target].directory = true;
  Reply(session, "257 \"" + target + "\" created");
}

void MemoryFtpServer::Features(Session& session) {
  if (!extensions_.features) {
    Reply(session, extensions_.feat_refusal);
    return;
  }
  Reply(session, "211-Features:");
  for (const std::string& feature : *extensions_.features) Reply(session, " " + feature);
  Reply(session, "211 End");
}

void MemoryFtpServer::MachineList(Session& session, const std::string& path) {
  if (!extensions_.mlsd) {
    Reply(session, extensions_.mlsd_refusal);
  } else if (!IsDirectory(path)) {
    Reply(session, "550 No such directory.");
  } else {
    Transfer(session, MachineListingOf(path), "150 Opening ASCII mode data connection for MLSD.");
  }
}

void MemoryFtpServer::ModificationTime(Session& session, const std::string& path) {
  const auto it = nodes_.find(path);
  if (!extensions_.mdtm) {
    Reply(session, extensions_.mdtm_refusal);
  } else if (it == nodes_.end() || it->second.directory) {
    Reply(session, "550 Could not get file modification time.");
  } else {
    Reply(session, "213 " + TimeVal(UtcTimeOf(it->second)));
  }
}

void MemoryFtpServer::Options(Session& session, const std::string& option) {
  if (extensions_.utf8 && Upper(option) == "UTF8 ON") {
    Reply(session, "200 Always in UTF8 mode.");
  } else {
    Reply(session, extensions_.utf8_refusal);
  }
}

int64_t MemoryFtpServer::UtcTimeOf(const Node& node) const {
  if (node.utc) return *node.utc;
  const std::string& date = node.directory ? kListedDate : node.file.date;
  return WallTimeOf(date, clock_.Now()) - int64_t{zone_minutes_} * 60;
}

std::string MemoryFtpServer::ListedDateOf(const Node& node) const {
  if (node.utc) return ListedDate(*node.utc + int64_t{zone_minutes_} * 60, clock_.Now());
  return node.directory ? kListedDate : node.file.date;
}

std::string MemoryFtpServer::MachineListingOf(const std::string& directory) const {
  std::string listing;
  const auto raw = mlsd_listings_.find(directory);
  if (raw != mlsd_listings_.end()) {
    for (const std::string& line : raw->second) listing += line + "\r\n";
    return listing;
  }
  const Node directory_node{true};
  const std::string directory_time = TimeVal(UtcTimeOf(directory_node));
  listing += "type=cdir;sizd=512;modify=" + directory_time + "; .\r\n";
  listing += "type=pdir;sizd=512;modify=" + directory_time + "; ..\r\n";
  for (const auto& [path, node] : nodes_) {
    if (Parent(path) != directory) continue;
    const FakeFile& f = node.file;
    const std::string facts =
        node.directory ? "type=dir;sizd=512;"
                       : "type=file;size=" +
                             std::to_string(f.listed_size >= 0
                                                ? f.listed_size
                                                : static_cast<int64_t>(f.content.size())) +
                             ";";
    listing += facts + "modify=" + TimeVal(UtcTimeOf(node)) + "; " + BaseName(path) + "\r\n";
  }
  return listing;
}

void MemoryFtpServer::Transfer(Session& session, std::string data, const std::string& opening) {
  const std::shared_ptr<DataEnd> end = std::move(session.data);
  if (!end) {
    Reply(session, "425 Use PASV first.");
    return;
  }
  end->bytes = std::move(data);
  end->complete = true;
  Reply(session, opening);
  Reply(session, "226 Transfer complete.");
}

bool MemoryFtpServer::WaitUntil(const std::function<bool()>& ready, int timeout_ms,
                                const std::function<bool()>& stop_pending,
                                const std::function<bool()>& quiet,
                                const std::function<bool(int timeout_ms)>& pass) {
  std::unique_lock lock(mutex_);
  // A wait of no time only looks.
  if (timeout_ms <= 0) return ready();
  if (quiet && !ready() && quiet()) {
    if (stop_pending && stop_pending()) return false;
    return pass ? pass(timeout_ms) : PassOn(nullptr, timeout_ms);
  }
  // After one stall every wait that is not ready passes at once: the client's time-outs run
  // out on the clock and the test ends without waiting them out.
  const auto guard = counts_.stalled_waits > 0 ? std::chrono::seconds(0) : kGuard;
  const auto until = std::chrono::steady_clock::now() + guard;
  for (;;) {
    if (ready()) return true;
    // A stop, like a signal, ends the wait on a socket without its time-out passing.
    if (stop_pending && stop_pending()) return false;
    if (std::chrono::steady_clock::now() >= until) break;
    changed_.wait_for(lock, kStopCheck);
  }
  ++counts_.stalled_waits;
  ReleaseHeldDownloads();
  clock_.SkipWait(timeout_ms);
  return ready();
}

void MemoryFtpServer::AnswerCommand(Session& session, const std::string& command) {
  if (!session.ended) Answer(session, command);
  if (!session.ended && command == time_out_after_) {
    Reply(session, "421 Timeout.");
    EndSession(session);
  }
}

bool MemoryFtpServer::PassOn(Session* session, int timeout_ms) {
  if (session && !session->later.empty()) {
    const auto& [due, line] = session->later.front();
    const int64_t wait = std::max<int64_t>(0, due - clock_.MonotonicMs());
    if (timeout_ms < 0 || wait <= timeout_ms) {
      clock_.SkipWait(static_cast<int>(wait));
      session->to_client += line + "\r\n";
      session->later.erase(session->later.begin());
      while (session->later.empty() && !session->held.empty()) {
        const std::string command = std::move(session->held.front());
        session->held.erase(session->held.begin());
        AnswerCommand(*session, command);
      }
      return true;
    }
  }
  if (timeout_ms > 0) clock_.SkipWait(timeout_ms);
  return false;
}

void MemoryFtpServer::ClientClosed(Session& session) {
  if (!session.refused && !session.client_gone) --open_sessions_;
  session.client_gone = true;
}

void MemoryFtpServer::DataClosed(DataEnd& end) {
  if (end.download) --downloads_now_;
  end.download = false;
  if (!end.reply_when_closed.empty() && end.session && !end.session->ended) {
    Reply(*end.session, end.reply_when_closed);
    end.reply_when_closed.clear();
    changed_.notify_all();
  }
}

bool MemoryFtpServer::IsDirectory(const std::string& path) const {
  if (path == "/") return true;
  const auto it = nodes_.find(path);
  return it != nodes_.end() && it->second.directory;
}

std::string MemoryFtpServer::ListingOf(const std::string& directory,
                                       const std::string& mask) const {
  std::string listing;
  const auto raw = listings_.find(directory);
  if (raw != listings_.end()) {
    for (const std::string& line : raw->second) listing += line + "\r\n";
    return listing;
  }
  for (const auto& [path, node] : nodes_) {
    if (Parent(path) != directory) continue;
    const std::string name = BaseName(path);
    if (!mask.empty() && fnmatch(mask.c_str(), name.c_str(), 0) != 0) continue;
    const FakeFile& f = node.file;
    const int64_t size = node.directory         ? 512
                         : f.listed_size >= 0 ? f.listed_size
                                              : static_cast<int64_t>(f.content.size());
    listing += ListingLine(node.directory, size, ListedDateOf(node), name);
  }
  return listing;
}

void MemorySession::Reply(const std::string& line) { server_.Reply(session_, line); }

void MemorySession::SendData(const std::string& bytes) {
  if (!session_.data) return;
  session_.data->scripted = true;
  session_.data->bytes += bytes;
}

void MemorySession::CloseData() {
  if (!session_.data) return;
  session_.data->complete = true;
  session_.data.reset();
}

void MemorySession::ReplyWhenDataClosed(const std::string& line) {
  if (!session_.data) return;
  session_.data->scripted = true;
  session_.data->session = &session_;
  session_.data->reply_when_closed = line;
  session_.data.reset();
}

void MemorySession::ReplyAfter(int ms, const std::string& line) {
  session_.later.emplace_back(server_.clock_.MonotonicMs() + ms, line);
}

void MemorySession::FallSilent() { session_.silent = true; }

void MemorySession::Close() { server_.EndSession(session_); }

std::string MemorySession::PassiveToNowhere() {
  const int port = server_.next_port_++;
  server_.nowhere_ports_.push_back(port);
  return "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," +
         std::to_string(port % 256) + ").";
}

void MemorySession::AddFile(const std::string& path, const std::string& content) {
  for (std::string dir = Parent(path); dir != "/"; dir = Parent(dir)) {
    server_.nodes_[dir].directory = true;
  }
  server_.nodes_[path] = MemoryFtpServer::Node{false, FakeFile{.content = content}};
}

size_t MemorySession::index() const { return session_.index; }

}  // namespace koru::testing
