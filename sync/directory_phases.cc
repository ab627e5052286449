#include <utility>
#include <vector>

#include "ftp/commands.h"
#include "ftp/control.h"
#include "ftp/listing_transfer.h"
#include "ftp/session.h"
#include "listing/wildmatch.h"
#include "localfs/local_files.h"
#include "platform/local_file.h"
#include "sync/directory_sync.h"
#include "sync/engine_lock.h"
#include "sync/sync_engine.h"

namespace koru {
namespace {

// Keeps the lines of the entries whose names fit `mask`.
void KeepMatching(std::vector<std::string>& lines, const std::string& mask,
                  const SYSTEMTIME& today) {
  std::erase_if(lines, [&](const std::string& line) {
    LISTENTRY entry;
    return !PARSELISTLINE(line, entry, today) || !WILDMATCH(EntryFileName(entry), mask, 0);
  });
}

}  // namespace

bool DirectorySync::DirectoryPhase() {
  std::vector<std::string> lines;
  ListingRead read;
  for (;;) {
    OpenConnection(true);
    // A kept 4xx or 5xx reply also counts as a failed connection here.
    if (h_ < 1 || !Connected() || (!parallel_ && Sess().LastReplyCode / 100 > 3)) {
      if (!s_.AbortFlag) {
        PrintConnectionError();
        // The kept reply, then the system's text where no reply came.
        if (!parallel_ || borrowed_) {
          if (Sess().LastReplyCode > 0) {
            env_.TimedLine("  " + std::to_string(Sess().LastReplyCode) + " " +
                           Sess().LastReplyText);
          }
          if (!Sess().ConnectFailure.empty()) env_.TimedLine("  " + Sess().ConnectFailure);
        }
      }
      if (h_ >= 1) QuitIfConnected();
      if (parallel_) GiveBackConnection();
      // A directory its parent found is failed when it cannot be entered; the starting one is
      // told by the error line and the exit code.
      if (depth_ > 0 && !s_.AbortFlag) CountDirectoryNotEntered(remote_path_);
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
      if (parallel_) GiveBackConnection();
      return true;
    }
    Title("DIRLIST " + remote_path_);
    read = TakeListingOutcome(
        EngineLock::Without([&] { return ftpList(Sess(), remote_path_, "", lines); }));
    const bool lost = TryAgainAfterLoss(read.lost);
    QuitIfConnected();
    Title(o_.ProgramTitle);
    if (!lost) break;
  }
  if (ListingFailed("", read)) return true;
  const Listing listing = ParseListing(lines, env_.clock.Now());
  // Over several connections one listing serves the sub-directories and the files; otherwise
  // it is kept to count the files it found should the file phase not connect.
  if (parallel_ && mask_.empty()) {
    listed_lines_ = std::move(lines);
  } else {
    found_lines_ = std::move(lines);
  }
  FindClashes(listing);
  const std::vector<LISTENTRY> directories = DirectoryEntries(listing);
  const auto n = static_cast<int32_t>(directories.size());
  if (env_.verbose()) {
    env_.TimedLine(" * Found " + std::to_string(n) + " Director" + Plural(n, "y", "ies") + " in " +
                   remote_path_);
  }
  return VisitSubDirectories(directories);
}

bool DirectorySync::VisitSubDirectories(const std::vector<LISTENTRY>& directories) {
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
      env_.TimedLine(" * Warning: directory nesting too deep, not entered: " + remote_path_ + name +
                     "/");
      continue;
    }
    if (CannotFetch()) {
      if (o_.SubDirMode > 0) CountDirectoryNotEntered(remote_path_ + name + "/");
      continue;
    }
    if (!CreateLocalDirectory(local_dir_ + MappedName(name))) {
      CountDirectoryNotEntered(remote_path_ + name + "/");
      continue;
    }
    if (o_.SubDirMode > 0) {
      Recurse(name);
      if (s_.AbortFlag) break;
    }
  }
  return true;
}

bool DirectorySync::CreateLocalDirectory(const std::string& path) {
  const EntryKind kind = StatLocal(*env_.files, path).kind;
  if (kind == EntryKind::kDirectory) return true;
  if (kind == EntryKind::kMissing) {
    ++t_.SubDirsCreated;
    if (env_.verbose()) env_.TimedLine(" Creating local directory: " + path);
  }
  std::string why;
  if (MakeLocalDirectory(*env_.files, path, nullptr, &why)) return true;
  env_.TimedLine(" * Warning: Unable to create local directory " + path + " (" + why + ")");
  return false;
}

void DirectorySync::Recurse(const std::string& name) {
  if (env_.verbose()) env_.TimedLine(" * Recurse to directory " + name);
  // Over several connections a sub-directory gets a thread of its own while the run has one
  // to spare; otherwise it is worked on here, before this directory goes on.
  if (parallel_ && parallel_->TakeDirectoryThread()) {
    children_.Start([this, name] {
      {
        const EngineLock lock(parallel_->engine);
        SyncSubDirectoryHere(name);
      }
      parallel_->GiveBackDirectoryThread();
    });
    return;
  }
  SyncSubDirectoryHere(name);
}

void DirectorySync::SyncSubDirectoryHere(const std::string& name) {
  const int32_t sub_result =
      DirectorySync(env_, t_, server_, user_, password_, remote_path_ + name + "/",
                    local_dir_ + MappedName(name) + "/", mask_, false, depth_ + 1, parallel_)
          .Run();
  // A sub-directory that failed leaves the whole run failed, whatever its siblings do.
  if (sub_result != 0) result_ = 1;
}

void DirectorySync::FilePhase() {
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

DirectorySync::Pass DirectorySync::FilePass() {
  std::vector<std::string> lines;
  int32_t n = 0;
  if (listed_lines_) {
    lines = std::move(*listed_lines_);
    listed_lines_.reset();
    found_lines_.reset();
  } else {
    if ((step_ || !Connected()) && !Connect(true)) {
      CountFoundFilesNotTried();
      return Pass::kCallEnded;
    }
    ActivityTitle(" CD " + remote_path_);
    bool again = false;
    if (!ChangeToRemoteDirectory(&again)) {
      if (parallel_) GiveBackConnection();
      return again ? Pass::kAgain : Pass::kLast;
    }
    found_lines_.reset();
    ListingRead read = List(lines);
    if (MaskRefused(read)) read = ListAndMatchHere(lines);
    n = read.n;
    // The downloads need every connection of the run.
    if (parallel_) GiveBackConnection();
    if (TryAgainAfterLoss(read.lost)) return Pass::kAgain;
    if (ListingFailed(ListArgument(), read)) return Pass::kLast;
  }
  if (IsListOnly(mask_)) {
    PrintListing(lines, n);
    return Pass::kLast;
  }
  const Listing listing = ParseListing(lines, env_.clock.Now());
  PrintFileCount(EntryCount(listing));
  FindClashes(listing);
  if (!HandleEntries(listing)) return Pass::kCallEnded;
  if (t_.DiskFull) return Pass::kLast;
  NoteWhenMaskIsADirectory(listing);
  return Pass::kDone;
}

void DirectorySync::CountFoundFilesNotTried() {
  if (!found_lines_ || IsListOnly(mask_) || s_.AbortFlag) return;
  std::vector<std::string> lines = std::move(*found_lines_);
  found_lines_.reset();
  const SYSTEMTIME today = env_.clock.Now();
  if (!mask_.empty()) KeepMatching(lines, mask_, today);
  const Listing listing = ParseListing(lines, today);
  FindClashes(listing);
  HandleEntries(listing);
}

void DirectorySync::NoteWhenMaskIsADirectory(const Listing& listing) {
  if (mask_noted_ || mask_.empty() || HasWildcard(mask_) || IsListOnly(mask_)) return;
  for (const std::optional<LISTENTRY>& entry : listing) {
    if (entry && !entry->isDir && EntryFileName(*entry) == mask_) return;
  }
  if (parallel_) OpenConnection(false);
  if (!Connected()) {
    if (parallel_) GiveBackConnection();
    return;
  }
  mask_noted_ = true;
  const std::string path = remote_path_ + mask_;
  const bool is_directory = EngineLock::Without([&] { return ftpChangeDirExact(Sess(), path); });
  if (parallel_) GiveBackConnection();
  if (!is_directory) return;
  env_.TimedLine(" * Note: " + path + " is a directory; end the location with \"/\" to mirror it");
}

std::string DirectorySync::ListArgument() const {
  return IsListOnly(mask_) ? mask_.substr(1) : mask_;
}

DirectorySync::ListingRead DirectorySync::List(std::vector<std::string>& lines) {
  ActivityTitle(" LIST " + remote_path_ + mask_);
  const ListingRead read = TakeListingOutcome(
      EngineLock::Without([&] { return ftpList(Sess(), remote_path_, ListArgument(), lines); }));
  Title(o_.ProgramTitle);
  if (step_) ftpQuit(Sess());
  return read;
}

bool DirectorySync::MaskRefused(const ListingRead& read) const {
  return !step_ && !ListArgument().empty() && read.outcome.refused &&
         ftpReplyCode(read.outcome.reply) >= 500 && !s_.AbortFlag;
}

DirectorySync::ListingRead DirectorySync::ListAndMatchHere(std::vector<std::string>& lines) {
  if (t_.MasksMatchedHere++ == 0 && env_.verbose()) {
    env_.TimedLine(" * Note: the server does not match masks; matched here");
  }
  lines.clear();
  ListingRead read = TakeListingOutcome(
      EngineLock::Without([&] { return ftpList(Sess(), remote_path_, "", lines); }));
  KeepMatching(lines, ListArgument(), env_.clock.Now());
  read.n = static_cast<int32_t>(lines.size());
  return read;
}

void DirectorySync::PrintListing(const std::vector<std::string>& lines, int32_t n) {
  for (const std::string& line : lines) env_.Line(line);
  env_.Line(" " + std::to_string(n) + " Item" + Plural(n, "", "s") + " found");
}

void DirectorySync::PrintFileCount(int32_t n) {
  if (t_.FilesTransferred != 0 && !env_.verbose()) return;
  const std::string masked = HasWildcard(mask_) ? " " + mask_ : "";
  env_.TimedLine(" * Found " + std::to_string(n) + masked + " file" + Plural(n, "", "s") + " in " +
                 remote_path_);
}

}  // namespace koru
