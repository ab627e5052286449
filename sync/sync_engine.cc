#include "sync/sync_engine.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <string_view>
#include <vector>

#include "ftp/commands.h"
#include "ftp/control.h"
#include "ftp/download.h"
#include "ftp/listing_transfer.h"
#include "ftp/session.h"
#include "listing/list_parser.h"
#include "listing/wildmatch.h"
#include "localfs/local_files.h"
#include "platform/local_file.h"
#include "sync/connection_pool.h"
#include "sync/engine_lock.h"
#include "sync/local_file_policy.h"
#include "sync/local_name.h"
#include "sync/parallel_run.h"

namespace koru {
namespace {

// Tries of one file in one run before it is left as failed.
constexpr int32_t kMaxDownloadTries = 3;

std::string Plural(int32_t n, const char* one, const char* many) { return n == 1 ? one : many; }

bool HasWildcard(const std::string& mask) { return mask.find_first_of("?*") != std::string::npos; }

bool IsListOnly(const std::string& mask) { return !mask.empty() && mask[0] == '='; }

// Names a listing may give that must never become a local path: "." and ".." stand for
// directories that are no entries of their own, a separator leads elsewhere, and a NUL byte
// would cut the path short.
bool IsUnsafeName(const std::string& name) {
  static constexpr std::string_view kSeparators("/\\\0", 3);
  return name.empty() || name == "." || name == ".." ||
         name.find_first_of(kSeparators) != std::string::npos;
}

// What tells one listed file from another between the passes of one call.
std::string EntryKey(const LISTENTRY& entry, const std::string& name) {
  return name + '\n' + std::to_string(entry.size) + ' ' + std::to_string(entry.year) + '-' +
         std::to_string(entry.month) + '-' + std::to_string(entry.day) + ' ' +
         std::to_string(entry.hour) + ':' + std::to_string(entry.minute);
}

// Every line of a listing, read once: the entry it gives, or nothing (a server's notice, a
// total).
using Listing = std::vector<std::optional<LISTENTRY>>;

// One engine call for one directory. `step_variant` selects the connect-per-step behaviour of
// the starting directory under -U; `depth` counts the levels below the starting directory.
class DirectorySync {
 public:
  DirectorySync(Env& env, RunTotals& totals, const std::string& server, const std::string& user,
                const std::string& password, const std::string& remotePath,
                const std::string& localDir, const std::string& mask, bool step_variant, int depth,
                ParallelRun* parallel = nullptr)
      : env_(env),
        s_(env.state),
        o_(env.options),
        t_(totals),
        server_(server),
        user_(user),
        password_(password),
        remote_path_(remotePath),
        local_dir_(localDir),
        mask_(mask),
        step_(step_variant),
        depth_(depth),
        parallel_(parallel) {}

  int32_t Run() {
    if (o_.SubDirMode == 0 || DirectoryPhase()) FilePhase();
    if (parallel_) {
      EngineLock::Without([&] {
        for (std::thread& child : children_) child.join();
      });
      GiveBackConnection();
    }
    // The user's stop ends every directory it reaches as a failure, also when it was noticed
    // inside a transfer or a listing rather than by the test between entries.
    if (s_.AbortFlag) result_ = 1;
    return result_;
  }

 private:
  // --- connections, titles, abort ---

  void Title(const std::string& text) { env_.Title(text, kTitleLength); }
  void ActivityTitle(const std::string& activity) { Title(o_.ProgramTitle + activity); }

  // The connection this thread works on: the call's own, or the one it has borrowed from the
  // run's connections.
  Session& Sess() const { return borrowed_ ? borrowed_->session() : session_; }

  bool Connected() const { return Sess().ConnectedFlag == kOn; }

  void QuitIfConnected() {
    if (parallel_) {
      GiveBackConnection();
    } else if (Connected()) {
      ftpQuit(Sess());
    }
  }

  // The connecting line (in verbose mode, where `with_line`), the title and the login.
  void OpenConnection(bool with_line) {
    if (parallel_) {
      BorrowConnection();
      h_ = Connected() ? Sess().h : -1;
      return;
    }
    if (with_line && env_.verbose()) env_.TimedLine(" * Connecting to " + server_);
    ActivityTitle(" Connecting to " + server_);
    h_ = ftpConnect(Sess(), server_, user_, password_);
  }

  // --- several connections at once ---

  // A connection of the run for this thread, logged in where it can be: one that was lost is
  // logged in again.
  void BorrowConnection() {
    if (!borrowed_) {
      borrowed_ = EngineLock::Without([&] { return parallel_->pool.Acquire(); });
    } else if (!Connected()) {
      EngineLock::Without([&] { parallel_->pool.LogInAgain(*borrowed_); });
    }
  }

  void GiveBackConnection() { borrowed_.reset(); }

  // Hands the download to a connection of its own; false once a download found no connection.
  bool DownloadOnAnyConnection(const FileToFetch& file, const std::string& key,
                               const LocalTarget& target) {
    if (no_connection_) return false;
    auto lease = EngineLock::Without([&] { return parallel_->pool.Acquire(); });
    ++parallel_->files_known;
    downloads_.emplace_back([this, lease = std::move(lease), file, key, target]() mutable {
      const EngineLock lock(parallel_->engine);
      lease->console().ForgetEarlierTabs();
      borrowed_ = std::move(lease);
      ++parallel_->files_in_flight;
      if (!DownloadWithTries(file, key, target)) no_connection_ = true;
      --parallel_->files_in_flight;
      ++parallel_->files_done;
      GiveBackConnection();
    });
    return true;
  }

  void WaitForDownloads() {
    EngineLock::Without([&] {
      for (std::thread& download : downloads_) download.join();
    });
    downloads_.clear();
  }

  void PrintConnectionError() { env_.TimedLine(" ERROR: Unable to open connection to server."); }

  // The line after the connection error that says why: the system's text or the server's
  // silence when no reply came, else the refusing reply.
  void PrintConnectionReason() {
    if (!Sess().ConnectFailure.empty()) {
      env_.TimedLine("  " + Sess().ConnectFailure);
    } else if (Sess().LastReplyCode >= 100) {  // a server's reply, not a local failure's number
      env_.TimedLine("  " + std::to_string(Sess().LastReplyCode) + " " + Sess().LastReplyText);
    }
  }

  // Logs in; false (after the error line, unless the user has stopped the run) on failure.
  bool Connect(bool with_line) {
    OpenConnection(with_line);
    if (h_ >= 1) return true;
    if (!s_.AbortFlag) {
      PrintConnectionError();
      PrintConnectionReason();
    }
    result_ = 1;
    return false;
  }

  // The abort test between entries: AbortFlag, or Esc waiting (other keys are dropped).
  bool AbortRequested() { return s_.AbortFlag || env_.PollKey() == kKeyEsc; }

  void PrintAbort() { PrintUserAbort(env_); }

  void EndByAbort() {
    s_.AbortFlag = kOn;
    result_ = 1;
  }

  // --- failures the run must not pass over ---

  // Whether the connection of the last command was lost (no reply, closed, or 421) rather than
  // the command refused.
  bool ConnectionWasLost() const {
    return Sess().ReplyLine == kConnectionLostReply || ftpReplyCode(Sess().ReplyLine) == 421;
  }

  // After work was cut by a lost connection: true when it is to be tried again over a new
  // connection, at most kMaxDownloadTries times for this directory.
  bool TryAgainAfterLoss() {
    if (s_.AbortFlag || !ConnectionWasLost() || lost_tries_ + 1 >= kMaxDownloadTries) return false;
    ++lost_tries_;
    return true;
  }

  // Changes to remote_path_; a refusal is reported once per directory and fails the run. Given
  // `again`, a change cut by a lost connection is left unreported for another try (true
  // in `again`).
  bool ChangeToRemoteDirectory(bool* again = nullptr) {
    if (EngineLock::Without([&] { return ftpChangeDirExact(Sess(), remote_path_); })) return true;
    if (s_.AbortFlag) return false;
    if (again && TryAgainAfterLoss()) {
      *again = true;
      return false;
    }
    if (!change_dir_reported_) {
      env_.TimedLine(" * Warning: Unable to change to remote directory " + remote_path_ + " (" +
                     Sess().ReplyLine + ")");
      change_dir_reported_ = true;
    }
    t_.FailedDirectories.insert(remote_path_);
    result_ = 1;
    return false;
  }

  // True (after the warning, failing the run) when the listing just read was refused or is
  // incomplete.
  bool ListingFailed(const std::string& argument) {
    if (!Sess().LastTransfer.failed || s_.AbortFlag) return false;
    env_.TimedLine(" * Warning: Unable to list remote directory " + remote_path_ + argument + " (" +
                   Sess().LastTransfer.reply + ")");
    t_.FailedDirectories.insert(remote_path_);
    result_ = 1;
    return true;
  }

  // --- directory phase ---

  // False when the call ends here (failed connection, remote path not creatable, abort).
  bool DirectoryPhase() {
    std::vector<std::string> lines;
    for (;;) {
      OpenConnection(true);
      // A kept 4xx or 5xx reply also counts as a failed connection here.
      if (h_ < 1 || !Connected() || (!parallel_ && Sess().LastReplyCode / 100 > 3)) {
        if (h_ >= 1) QuitIfConnected();
        if (!s_.AbortFlag) {
          PrintConnectionError();
          // The kept reply, then the system's text where no reply came.
          if (Sess().LastReplyCode > 0) {
            env_.TimedLine("  " + std::to_string(Sess().LastReplyCode) + " " +
                           Sess().LastReplyText);
          }
          if (!Sess().ConnectFailure.empty()) env_.TimedLine("  " + Sess().ConnectFailure);
        }
        result_ = 1;
        return false;
      }
      if (step_ && !ftpMakeDirTree(Sess(), remote_path_)) {
        result_ = 1;
        ftpQuit(Sess());
        return false;
      }
      ActivityTitle(" CD " + remote_path_);
      bool again = false;
      if (!ChangeToRemoteDirectory(&again)) {
        if (again) continue;
        if (step_) ftpQuit(Sess());
        return true;
      }
      lines.clear();
      Title("DIRLIST " + remote_path_);
      EngineLock::Without([&] { return ftpList(Sess(), remote_path_, "", lines); });
      const bool lost = Sess().LastTransfer.failed && TryAgainAfterLoss();
      QuitIfConnected();
      Title(o_.ProgramTitle);
      if (!lost) break;
    }
    if (ListingFailed("")) return true;
    // Over several connections one listing serves the sub-directories and the files.
    if (parallel_ && mask_.empty()) listed_lines_ = lines;
    const Listing listing = ParseListing(lines);
    FindClashes(listing);
    const std::vector<LISTENTRY> directories = DirectoryEntries(listing);
    const auto n = static_cast<int32_t>(directories.size());
    if (env_.verbose()) {
      env_.TimedLine(" * Found " + std::to_string(n) + " Director" + Plural(n, "y", "ies") +
                     " in " + remote_path_);
    }
    return VisitSubDirectories(directories);
  }

  bool VisitSubDirectories(const std::vector<LISTENTRY>& directories) {
    for (const LISTENTRY& entry : directories) {
      if (AbortRequested()) {
        if (!step_) QuitIfConnected();
        PrintAbort();
        EndByAbort();
        return false;
      }
      // A directory's name is used exactly as listed, blanks at its ends included.
      const std::string& name = entry.name;
      if (IsUnsafeName(name) || SkippedByClash(name, true)) continue;
      if (depth_ >= kMaxDirectoryDepth) {
        env_.TimedLine(" * Warning: directory nesting too deep, not entered: " + remote_path_ +
                       name + "/");
        continue;
      }
      CreateLocalDirectory(local_dir_ + MappedName(name));
      if (o_.SubDirMode > 0) {
        Recurse(name);
        if (s_.AbortFlag) break;
      }
    }
    return true;
  }

  // A directory that cannot be made, or a file standing where it goes, is named with the
  // system's reason; its files then fail one by one, each with its own.
  void CreateLocalDirectory(const std::string& path) {
    const EntryKind kind = StatLocal(*env_.files, path).kind;
    if (kind == EntryKind::kDirectory) return;
    if (kind == EntryKind::kMissing) {
      ++t_.SubDirsCreated;
      if (env_.verbose()) env_.TimedLine(" Creating local directory: " + path);
    }
    std::string why;
    if (MakeLocalDirectory(*env_.files, path, nullptr, &why)) return;
    env_.TimedLine(" * Warning: Unable to create local directory " + path + " (" + why + ")");
  }

  void Recurse(const std::string& name) {
    if (env_.verbose()) env_.TimedLine(" * Recurse to directory " + name);
    if (parallel_) {
      children_.emplace_back([this, name] {
        const EngineLock lock(parallel_->engine);
        const int32_t sub_result =
            DirectorySync(env_, t_, server_, user_, password_, remote_path_ + name + "/",
                          local_dir_ + MappedName(name) + "/", mask_, false, depth_ + 1, parallel_)
                .Run();
        if (sub_result != 0) result_ = 1;
      });
      return;
    }
    const int32_t sub_result =
        DirectorySync(env_, t_, server_, user_, password_, remote_path_ + name + "/",
                      local_dir_ + MappedName(name) + "/", mask_, false, depth_ + 1)
            .Run();
    // A sub-directory that failed leaves the whole run failed, whatever its siblings do.
    if (sub_result != 0) result_ = 1;
  }

  // --- file phase ---

  void FilePhase() {
    for (;;) {
      pass_transfers_ = 0;
      switch (FilePass()) {
        case Pass::kCallEnded:
          return;
        case Pass::kAgain:
          continue;
        case Pass::kLast:
          break;
        case Pass::kDone:
          if (!o_.OverwriteMode && pass_transfers_ > 0) continue;
          break;
      }
      QuitIfConnected();
      return;
    }
  }

  enum class Pass {
    kDone,       // every entry handled: another pass follows when this one verified a download
    kLast,       // no further pass (a refusal, or a listing only shown)
    kAgain,      // cut by a lost connection before its entries: tried again
    kCallEnded,  // no connection, or the user's stop
  };

  Pass FilePass() {
    std::vector<std::string> lines;
    int32_t n = 0;
    if (listed_lines_) {
      lines = std::move(*listed_lines_);
      listed_lines_.reset();
    } else {
      if ((step_ || !Connected()) && !Connect(true)) return Pass::kCallEnded;
      ActivityTitle(" CD " + remote_path_);
      bool again = false;
      if (!ChangeToRemoteDirectory(&again)) return again ? Pass::kAgain : Pass::kLast;
      n = List(lines);
      if (MaskRefused()) n = ListAndMatchHere(lines);
      // The downloads need every connection of the run.
      if (parallel_) GiveBackConnection();
      if (listing_lost_ && TryAgainAfterLoss()) return Pass::kAgain;
      if (ListingFailed(ListArgument())) return Pass::kLast;
    }
    if (IsListOnly(mask_)) {
      PrintListing(lines, n);
      return Pass::kLast;
    }
    const Listing listing = ParseListing(lines);
    PrintFileCount(EntryCount(listing));
    FindClashes(listing);
    if (!HandleEntries(listing)) return Pass::kCallEnded;
    NoteWhenMaskIsADirectory(listing);
    return Pass::kDone;
  }

  // A location without "/" at its end names a file. When no listed file has that name and the
  // name is a directory on the server (whose listing came in its place), the user most likely
  // meant to mirror that directory: said once, after what the run made of it.
  void NoteWhenMaskIsADirectory(const Listing& listing) {
    if (mask_noted_ || mask_.empty() || HasWildcard(mask_) || IsListOnly(mask_)) return;
    if (parallel_) OpenConnection(false);
    if (!Connected()) return;
    for (const std::optional<LISTENTRY>& entry : listing) {
      if (entry && !entry->isDir && EntryFileName(*entry) == mask_) return;
    }
    mask_noted_ = true;
    const std::string path = remote_path_ + mask_;
    if (!EngineLock::Without([&] { return ftpChangeDirExact(Sess(), path); })) return;
    env_.TimedLine(" * Note: " + path +
                   " is a directory; end the location with \"/\" to mirror it");
  }

  std::string ListArgument() const { return IsListOnly(mask_) ? mask_.substr(1) : mask_; }

  int32_t List(std::vector<std::string>& lines) {
    ActivityTitle(" LIST " + remote_path_ + mask_);
    const int32_t n =
        EngineLock::Without([&] { return ftpList(Sess(), remote_path_, ListArgument(), lines); });
    listing_lost_ = Sess().LastTransfer.failed && ConnectionWasLost();
    Title(o_.ProgramTitle);
    if (step_) ftpQuit(Sess());
    return n;
  }

  // A server that refuses LIST with a mask (5xx) is asked for the whole listing, and the mask
  // matched here. The step-by-step variant keeps its one listing per connection.
  bool MaskRefused() const {
    return !step_ && !ListArgument().empty() && Sess().LastTransfer.refused &&
           ftpReplyCode(Sess().LastTransfer.reply) >= 500 && !s_.AbortFlag;
  }

  // The whole listing, cut down to the lines of entries whose names fit the mask.
  int32_t ListAndMatchHere(std::vector<std::string>& lines) {
    if (t_.MasksMatchedHere++ == 0 && env_.verbose()) {
      env_.TimedLine(" * Note: the server does not match masks; matched here");
    }
    lines.clear();
    EngineLock::Without([&] { return ftpList(Sess(), remote_path_, "", lines); });
    listing_lost_ = Sess().LastTransfer.failed && ConnectionWasLost();
    const std::string mask = ListArgument();
    const SYSTEMTIME today = env_.clock.Now();
    std::erase_if(lines, [&](const std::string& line) {
      LISTENTRY entry;
      return !PARSELISTLINE(line, entry, today) || !WILDMATCH(EntryFileName(entry), mask, 0);
    });
    return static_cast<int32_t>(lines.size());
  }

  // Lines that give an entry: a server's own error text among the lines is no file.
  static int32_t EntryCount(const Listing& listing) {
    return static_cast<int32_t>(
        std::count_if(listing.begin(), listing.end(), [](const auto& entry) { return entry; }));
  }

  void PrintListing(const std::vector<std::string>& lines, int32_t n) {
    for (const std::string& line : lines) env_.Line(line);
    env_.Line(" " + std::to_string(n) + " Item" + Plural(n, "", "s") + " found");
  }

  void PrintFileCount(int32_t n) {
    if (t_.FilesTransferred != 0 && !env_.verbose()) return;
    const std::string masked = HasWildcard(mask_) ? " " + mask_ : "";
    env_.TimedLine(" * Found " + std::to_string(n) + masked + " file" + Plural(n, "", "s") +
                   " in " + remote_path_);
  }

  // False when the call has ended (user abort, or no connection for a download).
  // Each listed line, an entry or not, is a point where the user's stop is looked for.
  bool HandleEntries(const Listing& listing) {
    const bool go_on = HandleEntriesInOrder(listing);
    if (!parallel_) return go_on;
    WaitForDownloads();
    return go_on && !no_connection_;
  }

  bool HandleEntriesInOrder(const Listing& listing) {
    for (const std::optional<LISTENTRY>& entry : listing) {
      if (AbortRequested()) {
        PrintAbort();
        if (!step_) QuitIfConnected();
        EndByAbort();
        return false;
      }
      if (entry && !entry->isDir && !HandleEntry(*entry)) return false;
    }
    return true;
  }

  // False when a download found no connection.
  bool HandleEntry(LISTENTRY entry) {
    const std::string name = EntryFileName(entry);
    if (IsUnsafeName(name)) {
      if (name != "." && name != ".." && FirstWarning(remote_path_ + name)) {
        env_.TimedLine(" * Warning: Unsafe file name skipped: " + name);
      }
      return true;
    }
    if (SkippedByClash(name, false) || abandoned_.count(remote_path_ + name)) return true;
    const std::string remote = remote_path_ + name;
    if (entry.isLink) {
      const LinkSize link = ResolveLinkSize(entry, remote);
      if (link != LinkSize::kResolved) return link == LinkSize::kSkipped;
    }
    const std::string local_path = local_dir_ + LocalName(name);
    const LocalCopy copy = MirrorFilePolicy(env_).Assess(local_path, entry.size, ListedTime(entry));
    if (copy == LocalCopy::kComplete) return true;
    // A file this call has fetched and verified is not fetched again while the listing shows it
    // unchanged: a server whose listed size differs from what it sends, or a refused DELE
    // under +M, would otherwise make the passes repeat without end.
    if (verified_.count(EntryKey(entry, name))) return true;
    const LocalTarget target{local_path,
                             copy == LocalCopy::kFetchWhole ? PartFileOf(local_path) : ""};
    return Download({remote, entry.size, ListedTime(entry)}, EntryKey(entry, name), target);
  }

  enum class LinkSize { kResolved, kSkipped, kNoConnection };

  // A link is listed with the size of the link itself; what counts is the size of the file it
  // leads to, which SIZE tells. A link to anything else (a directory, nothing, a server without
  // SIZE) is skipped.
  LinkSize ResolveLinkSize(LISTENTRY& entry, const std::string& remote) {
    if ((step_ || !Connected()) && !Connect(false)) return LinkSize::kNoConnection;
    const int64_t size = EngineLock::Without([&] {
      ftpTypeBinary(Sess());
      return ftpFileSize(Sess(), remote);
    });
    if (step_) ftpQuit(Sess());
    const std::string reply = Sess().ReplyLine;
    if (parallel_) GiveBackConnection();
    if (size < 0) {
      if (env_.verbose()) env_.TimedLine(" * Skipping link " + remote + " (" + reply + ")");
      return LinkSize::kSkipped;
    }
    entry.size = size;
    return LinkSize::kResolved;
  }

  // --- local names ---

  NameCharset Charset() const { return step_ ? NameCharset::kStepVariant : NameCharset::kStandard; }

  std::string MappedName(const std::string& name) const { return MapLocalName(name, Charset()); }

  // Every line of a listing read once.
  Listing ParseListing(const std::vector<std::string>& lines) const {
    const SYSTEMTIME today = env_.clock.Now();
    Listing listing;
    listing.reserve(lines.size());
    for (const std::string& line : lines) {
      LISTENTRY entry;
      listing.push_back(PARSELISTLINE(line, entry, today) ? std::optional(entry) : std::nullopt);
    }
    return listing;
  }

  // The entries of a listing that are directories.
  static std::vector<LISTENTRY> DirectoryEntries(const Listing& listing) {
    std::vector<LISTENTRY> directories;
    for (const std::optional<LISTENTRY>& entry : listing) {
      if (entry && entry->isDir) directories.push_back(*entry);
    }
    return directories;
  }

  // Decides, before any entry of a listing is handled, which entries lose their local name to
  // an earlier entry of the same listing: two remote files must never become one local file.
  void FindClashes(const Listing& listing) {
    std::vector<ListedName> entries;
    for (const std::optional<LISTENTRY>& entry : listing) {
      if (!entry) continue;
      ListedName listed{entry->isDir ? entry->name : EntryFileName(*entry), entry->isDir != 0};
      if (!IsUnsafeName(listed.name)) entries.push_back(std::move(listed));
    }
    clashes_ = FindLocalNameClashes(entries, Charset());
  }

  // True when `name` lost its local name to an earlier entry: it is never downloaded, deleted
  // or entered, and counts as failed. The warning comes once a run.
  bool SkippedByClash(const std::string& name, bool is_directory) {
    const auto clash = clashes_.find(name);
    if (clash == clashes_.end()) return false;
    const std::string remote = remote_path_ + name + (is_directory ? "/" : "");
    if (FirstWarning(remote)) {
      const ListedName& first = clash->second.first;
      env_.TimedLine(" * Warning: Local name clash, skipped: " + remote + " (" +
                     clash->second.local + " is the local name of " + remote_path_ + first.name +
                     (first.is_directory ? "/" : "") + ")");
    }
    if (is_directory) {
      t_.FailedDirectories.insert(remote);
    } else {
      t_.FailedDownloads[remote] = kMaxDownloadTries;
    }
    result_ = 1;
    return true;
  }

  // True the first time a warning about `remote` comes up in this call, whatever the pass.
  bool FirstWarning(const std::string& remote) { return warned_.insert(remote).second; }

  std::string LocalName(const std::string& name) {
    return ChooseLocalName(
        name, o_.UniqueNames && o_.MoveMode, Charset(),
        [&](const std::string& candidate) {
          return PlainLocalFileExists(*env_.files, local_dir_ + candidate);
        });
  }

  // The date and time a listing gives an entry, as a local time.
  static SYSTEMTIME ListedTime(const LISTENTRY& entry) {
    SYSTEMTIME t;
    t.wYear = static_cast<uint16_t>(entry.year);
    t.wMonth = static_cast<uint16_t>(entry.month);
    t.wDay = static_cast<uint16_t>(entry.day);
    t.wDayOfWeek = static_cast<uint16_t>(
        DAYOFWEEK(ZeroPad(entry.year, 4) + ZeroPad(entry.month, 2) + ZeroPad(entry.day, 2)));
    t.wHour = static_cast<uint16_t>(entry.hour);
    t.wMinute = static_cast<uint16_t>(entry.minute);
    t.wSecond = 0;
    t.wMilliseconds = 0;
    return t;
  }

  // A download cut by a lost connection is tried again at once over a new one, within the
  // tries a file has in a run.
  // `key` tells the file from others of the listing between passes (EntryKey).
  bool Download(const FileToFetch& file, const std::string& key, const LocalTarget& target) {
    if (parallel_) return DownloadOnAnyConnection(file, key, target);
    return DownloadWithTries(file, key, target);
  }

  bool DownloadWithTries(const FileToFetch& file, const std::string& key,
                         const LocalTarget& target) {
    for (int32_t tries = 1;; ++tries) {
      const Fetch fetch = TryDownload(file, key, target);
      if (fetch != Fetch::kLost || tries >= kMaxDownloadTries) return fetch != Fetch::kNoConnection;
    }
  }

  enum class Fetch { kDone, kLost, kNoConnection };

  Fetch TryDownload(const FileToFetch& file, const std::string& key, const LocalTarget& target) {
    const std::string& local_path = target.download();
    const std::string& remote = file.path;
    const int64_t size = file.listed_size;
    if (TriesUsedUp(remote)) return Fetch::kDone;
    const SYSTEMTIME& date = file.listed_time;
    env_.TimedLine(" " + std::to_string(size) + " " + ZeroPad(date.wYear, 4) + "-" +
                   ZeroPad(date.wMonth, 2) + "-" + ZeroPad(date.wDay, 2) + " " + remote);
    if ((step_ || !Connected()) && !Connect(false)) return Fetch::kNoConnection;
    if (!o_.OverwriteMode && FILEEXISTS(*env_.files, local_path) > size) {
      env_.TimedLine(" * Warning: remote file is smaller than local file. Skipping transfer.");
      if (step_) ftpQuit(Sess());
      return Fetch::kDone;
    }
    const bool fetch = size > 0 || step_;
    // A part file left by an earlier try is no copy to resume: the file comes whole.
    if (!target.part.empty()) DeleteLocalFile(*env_.files, target.part);
    DownloadResult result;
    if (fetch) {
      MirrorFilePolicy policy(Sess().env);
      result = EngineLock::Without([&] { return DownloadFile(Sess(), file, local_path, policy); });
      ReportRefusal(remote, result.outcome);
    } else {
      LocalFile empty(*env_.files);
      if (!empty.Open(Sess().env.pool, target.file, LocalFile::Mode::kReadWriteEmpty)) {
        WarnLocalFileError(env_, target.file, empty.ErrorText());
      }
    }
    Title(o_.ProgramTitle);
    const bool verified = result.expected_total > 0 &&
                          PlainLocalFileExists(*env_.files, local_path) &&
                          Verify(result, size, target, remote);
    bool lost = false;
    if (verified) {
      verified_.insert(key);
      t_.FailedDownloads.erase(remote);
    } else if (fetch) {
      CountFailure(size, remote, result.outcome);
      lost = !s_.AbortFlag && !result.outcome.user_cut && ConnectionWasLost();
    }
    if (step_) QuitIfConnected();
    return lost ? Fetch::kLost : Fetch::kDone;
  }

  void ReportRefusal(const std::string& remote, const TransferOutcome& outcome) {
    if (!outcome.refused || s_.AbortFlag) return;
    env_.TimedLine(" * Warning: Unable to download " + remote + " (" + outcome.reply + ")");
  }

  // A file that was tried and did not arrive whole counts as failed, unless the user cut the
  // transfer short (a file that is empty on the server and arrived empty has not failed).
  void CountFailure(int64_t listed_size, const std::string& remote,
                    const TransferOutcome& outcome) {
    if (s_.AbortFlag) return;
    // Tab leaves the file for this run: no later pass fetches it again.
    if (outcome.user_cut) {
      abandoned_.insert(remote);
      return;
    }
    if (listed_size > 0 || outcome.failed) ++t_.FailedDownloads[remote];
  }

  // A file that failed this often in this run is not tried again.
  bool TriesUsedUp(const std::string& remote) const {
    const auto it = t_.FailedDownloads.find(remote);
    return it != t_.FailedDownloads.end() && it->second >= kMaxDownloadTries;
  }

  // The size check after a download, with the count and the DELE of a verified one.
  bool Verify(const DownloadResult& result, int64_t listed_size, const LocalTarget& target,
              const std::string& remote) {
    const int64_t expected = result.expected_total;
    const int64_t actual = FILEEXISTS(*env_.files, target.download());
    if (actual != expected) {
      env_.TimedLine(" * Warning: Local file size does not match remote (" +
                     std::to_string(actual) + "/" + std::to_string(expected) + ")");
      PrintNotErased();
      // The old copy stays whole; what came of the new one goes.
      if (!target.part.empty()) DeleteLocalFile(*env_.files, target.part);
      return false;
    }
    if (!MirrorFilePolicy(env_).KeepPart(target)) return false;
    ++pass_transfers_;
    ++t_.FilesTransferred;
    if (!o_.MoveMode) return true;
    if (!ArrivedWhole(actual, result.outcome, listed_size)) {
      PrintNotErased();
      return true;
    }
    ActivityTitle(" DELE " + remote);
    if (EngineLock::Without([&] { return ftpRemoveFile(Sess(), remote); })) {
      env_.TimedLine(" * Removed remote file " + remote);
    } else {
      env_.TimedLine(" * Warning: Unable to delete remote file as requested.");
      env_.TimedLine(" * Not deleted: " + remote + " (" + Sess().ReplyLine + ")");
      t_.UndeletedFiles.insert(remote);
    }
    Title(o_.ProgramTitle);
    return true;
  }

  void PrintNotErased() {
    if (!o_.MoveMode) return;
    env_.TimedLine(" * Remote file was not erased as requested by move option switch.");
  }

  // Only a file the server confirms it sent in full (226 or 250) and that has the listed size
  // may be deleted on the server: one that grew after it was listed, or whose transfer the
  // server announced short, is still there to be fetched whole.
  static bool ArrivedWhole(int64_t actual, const TransferOutcome& outcome, int64_t listed_size) {
    const int32_t final_code = ftpReplyCode(outcome.reply);
    if (final_code != 226 && final_code != 250) return false;
    if (outcome.server_had_more) return false;
    return listed_size <= 0 || actual == listed_size;
  }

  Env& env_;
  RunSettings& s_;
  const Options& o_;
  RunTotals& t_;
  const std::string& server_;
  const std::string& user_;
  const std::string& password_;
  const std::string& remote_path_;
  const std::string& local_dir_;
  const std::string& mask_;
  const bool step_;
  const int depth_;
  mutable Session session_{env_};  // the connection of this call, closed when the call ends
  ParallelRun* const parallel_;    // the run's connections, when it has several at once
  // The connection this thread has borrowed from the run's (each thread its own).
  static thread_local std::unique_ptr<ConnectionPool::Lease> borrowed_;
  std::optional<std::vector<std::string>> listed_lines_;  // a listing the file pass is to use
  std::vector<std::thread> children_;   // sub-directories worked on at once
  std::vector<std::thread> downloads_;  // downloads of the current pass
  bool no_connection_ = false;          // a download of this call found no connection
  int h_ = -1;             // what the latest connect gave: the channel, or -1 / 0
  int32_t result_ = 0;
  int32_t pass_transfers_ = 0;
  bool change_dir_reported_ = false;
  bool mask_noted_ = false;    // the mask was looked at as a directory's name
  bool listing_lost_ = false;  // the latest listing of the file phase was cut by a lost connection
  int32_t lost_tries_ = 0;     // directory work tried again after a lost connection
  std::set<std::string> verified_;   // EntryKey of every file this call verified
  std::set<std::string> abandoned_;  // remote paths of files the user skipped with Tab
  std::set<std::string> warned_;     // remote paths already warned about in this call
  std::map<std::string, LocalNameClash> clashes_;  // of the latest listing, by remote name
};

thread_local std::unique_ptr<ConnectionPool::Lease> DirectorySync::borrowed_;

}  // namespace

int32_t SyncSubDirectoryInParallel(Env& env, RunTotals& totals, ParallelRun& run,
                                   const std::string& server, const std::string& user,
                                   const std::string& password, const std::string& remotePath,
                                   const std::string& localDir, const std::string& mask) {
  return DirectorySync(env, totals, server, user, password, remotePath, localDir, mask, false, 0,
                       &run)
      .Run();
}

void PrintUserAbort(Env& env) {
  if (env.state.AbortReported.exchange(kOn)) return;
  env.TimedLine(" ** User Abort **");
}

int32_t SyncSubDirectory(Env& env, RunTotals& totals, const std::string& server,
                         const std::string& user, const std::string& password,
                         const std::string& remotePath, const std::string& localDir,
                         const std::string& mask) {
  return DirectorySync(env, totals, server, user, password, remotePath, localDir, mask, false, 0)
      .Run();
}

int32_t SyncDirectory(Env& env, RunTotals& totals, const std::string& server,
                      const std::string& user, const std::string& password,
                      const std::string& remotePath, const std::string& localDir,
                      const std::string& mask) {
  return DirectorySync(env, totals, server, user, password, remotePath, localDir, mask, true, 0)
      .Run();
}

}  // namespace koru
