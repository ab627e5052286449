#include <memory>
#include <utility>
#include <vector>

#include "ftp/control.h"
#include "listing/wildmatch.h"
#include "platform/local_file.h"
#include "localfs/local_files.h"
#include "sync/directory_mirror.h"
#include "sync/sync_engine.h"

namespace koru {
namespace {

// Keeps the lines of the entries whose names fit `mask`.
void KeepMatching(std::vector<std::string>& lines, const std::string& mask,
                  const SYSTEMTIME& today, const ListingForm& form) {
  std::erase_if(lines, [&](const std::string& line) {
    const std::optional<LISTENTRY> entry = ParseListedLine(line, today, form);
    return !entry || !WILDMATCH(EntryFileName(*entry), mask, 0);
  });
}

}  // namespace

Step DirectoryMirror::ListStep(bool change_dir, std::string argument, std::string title) const {
  return Step{.kind = StepKind::kList,
              .path = remote_path_,
              .argument = std::move(argument),
              .change_dir = change_dir,
              .list_title = std::move(title),
              .exact_dates = !IsListOnly(mask_)};
}

Task<bool> DirectoryMirror::DirectoryPhase() {
  StepReport listed;
  for (;;) {
    if (s_.policy().logins_by_step) {
      Step step{.kind = StepKind::kLogIn, .with_line = true};
      const StepReport login = co_await Do(std::move(step));
      // A kept 4xx or 5xx reply also counts as a failed connection here.
      if (!login.ok || login.kept_code / 100 > 3) {
        if (!Aborted()) PrintConnectionError(login, true);
        co_await QuitIfConnected();
        // A directory its parent found is failed when it cannot be entered; the starting one
        // is told by the error line and the exit code.
        if (depth_ > 0) CountDirectoryNotEntered(remote_path_);
        result_ = 1;
        co_return false;
      }
      if (step_) {
        Step make{.kind = StepKind::kMakeDirTree, .path = remote_path_};
        const StepReport made = co_await Do(std::move(make));
        if (!made.ok) {
          result_ = 1;
          co_await QuitIfConnected();
          co_return false;
        }
      }
    }
    Step list = ListStep(true, "", "DIRLIST " + remote_path_);
    listed = co_await Do(std::move(list));
    if (listed.no_connection) {
      if (!Aborted()) PrintConnectionError(listed, true);
      if (depth_ > 0) CountDirectoryNotEntered(remote_path_);
      result_ = 1;
      co_return false;
    }
    if (listed.dir_refused) {
      bool again = false;
      ChangeDirFailed(listed, &again);
      if (again) continue;
      co_await QuitAfterStep();
      co_return true;
    }
    const bool again = TryAgainAfterLoss(listed.lost);
    co_await QuitIfConnected();
    Title(options().ProgramTitle);
    if (!again) break;
  }
  if (ListingFailed("", ReadOf(listed))) co_return true;
  std::vector<std::string> lines = std::move(listed.lines);
  const Listing listing = ParseListing(lines, env().clock.Now(), listed.form);
  // Where one listing serves the sub-directories and the files it is kept for the file phase;
  // otherwise to count the files it found should the file phase not connect.
  if (s_.policy().one_listing && mask_.empty()) {
    listed_lines_ = std::move(lines);
  } else {
    found_lines_ = std::move(lines);
  }
  found_form_ = listed.form;
  FindClashes(listing);
  const std::vector<LISTENTRY> directories = DirectoryEntries(listing);
  const auto n = static_cast<int32_t>(directories.size());
  if (options().verbose()) {
    env().TimedLine(" * Found " + std::to_string(n) + " Director" + Plural(n, "y", "ies") +
                    " in " + remote_path_);
  }
  co_return co_await VisitSubDirectories(directories);
}

Task<bool> DirectoryMirror::VisitSubDirectories(const std::vector<LISTENTRY>& directories) {
  for (const LISTENTRY& entry : directories) {
    if (s_.AbortRequested()) {
      if (!step_) co_await QuitIfConnected();
      s_.PrintAbort();
      EndByAbort();
      co_return false;
    }
    // A directory's name is used exactly as listed, blanks at its ends included.
    const std::string& name = entry.name;
    if (IsUnsafeName(name) || SkippedByClash(name, true)) continue;
    if (depth_ >= kMaxDirectoryDepth) {
      env().TimedLine(" * Warning: directory nesting too deep, not entered: " + remote_path_ +
                      name + "/");
      continue;
    }
    if (CannotFetch()) {
      if (options().SubDirMode > 0) CountDirectoryNotEntered(remote_path_ + name + "/");
      continue;
    }
    if (!CreateLocalDirectory(local_dir_ + MappedName(name))) {
      CountDirectoryNotEntered(remote_path_ + name + "/");
      continue;
    }
    if (options().SubDirMode > 0) {
      co_await Recurse(name);
      if (Aborted()) break;
    }
  }
  co_return true;
}

bool DirectoryMirror::CreateLocalDirectory(const std::string& path) {
  const EntryKind kind = StatLocal(*env().files, path).kind;
  if (kind == EntryKind::kDirectory) return true;
  if (kind == EntryKind::kMissing) {
    ++totals().SubDirsCreated;
    if (options().verbose()) env().TimedLine(" Creating local directory: " + path);
  }
  std::string why;
  if (MakeLocalDirectory(*env().files, path, nullptr, &why)) return true;
  env().TimedLine(" * Warning: Unable to create local directory " + path + " (" + why + ")");
  return false;
}

Task<void> DirectoryMirror::Recurse(const std::string& name) {
  if (options().verbose()) env().TimedLine(" * Recurse to directory " + name);
  // Over several connections a sub-directory goes on beside this one; otherwise it is worked
  // on here, before this directory goes on.
  if (s_.policy().overlap) {
    children_.Start(SyncSubDirectoryHere(name));
  } else {
    co_await SyncSubDirectoryHere(name);
  }
}

Task<void> DirectoryMirror::SyncSubDirectoryHere(std::string name) {
  DirectoryMirror sub(s_, remote_path_ + name + "/", local_dir_ + MappedName(name) + "/", mask_,
                      false, depth_ + 1);
  const int32_t sub_result = co_await sub.Run();
  // A sub-directory that failed leaves the whole run failed, whatever its siblings do.
  if (sub_result != 0) result_ = 1;
}

Task<void> DirectoryMirror::FilePhase() {
  for (;;) {
    pass_transfers_ = 0;
    const Pass pass = co_await FilePass();
    if (pass == Pass::kCallEnded) co_return;
    if (pass == Pass::kAgain) continue;
    if (pass == Pass::kDone && !options().OverwriteMode && pass_transfers_ > 0) continue;
    co_await QuitIfConnected();
    co_return;
  }
}

Task<DirectoryMirror::Pass> DirectoryMirror::FilePass() {
  std::vector<std::string> lines;
  ListingForm form = found_form_;
  int32_t n = 0;
  if (listed_lines_) {
    lines = std::move(*listed_lines_);
    listed_lines_.reset();
    found_lines_.reset();
  } else {
    const bool logged_in = co_await LogInWhereNeeded(true);
    if (!logged_in) {
      co_await CountFoundFilesNotTried();
      co_return Pass::kCallEnded;
    }
    Step list = ListStep(true, ListArgument(), options().ProgramTitle + " LIST " + remote_path_ +
                                                   mask_);
    StepReport listed = co_await Do(std::move(list));
    if (listed.no_connection) {
      NoConnection(listed);
      co_await CountFoundFilesNotTried();
      co_return Pass::kCallEnded;
    }
    if (listed.dir_refused) {
      bool again = false;
      ChangeDirFailed(listed, &again);
      co_return again ? Pass::kAgain : Pass::kLast;
    }
    Title(options().ProgramTitle);
    found_lines_.reset();
    co_await QuitAfterStep();
    ListingRead read = ReadOf(listed);
    lines = std::move(listed.lines);
    form = listed.form;
    if (MaskRefused(read)) {
      read = co_await ListAndMatchHere(lines, form);
      // Over several connections none may be left for the whole listing: said like the first.
      if (no_connection_) co_return Pass::kCallEnded;
    }
    n = read.n;
    if (TryAgainAfterLoss(read.lost)) co_return Pass::kAgain;
    if (ListingFailed(ListArgument(), read)) co_return Pass::kLast;
  }
  if (IsListOnly(mask_)) {
    PrintListing(lines, n);
    co_return Pass::kLast;
  }
  const Listing listing = ParseListing(lines, env().clock.Now(), form);
  PrintFileCount(EntryCount(listing));
  FindClashes(listing);
  const bool go_on = co_await HandleEntries(listing);
  if (!go_on) co_return Pass::kCallEnded;
  if (totals().DiskFull) co_return Pass::kLast;
  co_await NoteWhenMaskIsADirectory(listing);
  co_return Pass::kDone;
}

Task<void> DirectoryMirror::CountFoundFilesNotTried() {
  if (!found_lines_ || IsListOnly(mask_) || Aborted()) co_return;
  std::vector<std::string> lines = std::move(*found_lines_);
  found_lines_.reset();
  const SYSTEMTIME today = env().clock.Now();
  if (!mask_.empty()) KeepMatching(lines, mask_, today, found_form_);
  const Listing listing = ParseListing(lines, today, found_form_);
  FindClashes(listing);
  co_await HandleEntries(listing);
}

Task<void> DirectoryMirror::NoteWhenMaskIsADirectory(const Listing& listing) {
  if (mask_noted_ || mask_.empty() || HasWildcard(mask_) || IsListOnly(mask_)) co_return;
  for (const std::optional<LISTENTRY>& entry : listing) {
    if (entry && !entry->isDir && EntryFileName(*entry) == mask_) co_return;
  }
  if (s_.policy().logins_by_step && !connected_) co_return;
  mask_noted_ = true;
  const std::string path = remote_path_ + mask_;
  Step cd{.kind = StepKind::kChangeDir, .path = path};
  const StepReport changed = co_await Do(std::move(cd));
  if (!changed.ok) co_return;
  env().TimedLine(" * Note: " + path +
                  " is a directory; end the location with \"/\" to mirror it");
}

std::string DirectoryMirror::ListArgument() const {
  return IsListOnly(mask_) ? mask_.substr(1) : mask_;
}

bool DirectoryMirror::MaskRefused(const ListingRead& read) {
  return !step_ && !ListArgument().empty() && read.outcome.refused &&
         ftpReplyCode(read.outcome.reply) >= 500 && !Aborted();
}

Task<DirectoryMirror::ListingRead> DirectoryMirror::ListAndMatchHere(
    std::vector<std::string>& lines, ListingForm& form) {
  if (totals().MasksMatchedHere++ == 0 && options().verbose()) {
    env().TimedLine(" * Note: the server does not match masks; matched here");
  }
  // Over several connections the listing may come on another connection than the refusal:
  // it changes to the directory first.
  Step list = ListStep(s_.policy().overlap, "", "");
  StepReport listed = co_await Do(std::move(list));
  if (listed.no_connection) NoConnection(listed);
  ListingRead read = ReadOf(listed);
  lines = std::move(listed.lines);
  form = listed.form;
  KeepMatching(lines, ListArgument(), env().clock.Now(), form);
  read.n = static_cast<int32_t>(lines.size());
  co_return read;
}

void DirectoryMirror::PrintListing(const std::vector<std::string>& lines, int32_t n) {
  for (const std::string& line : lines) env().Line(line);
  env().Line(" " + std::to_string(n) + " Item" + Plural(n, "", "s") + " found");
}

void DirectoryMirror::PrintFileCount(int32_t n) {
  if (totals().FilesTransferred != 0 && !options().verbose()) return;
  const std::string masked = HasWildcard(mask_) ? " " + mask_ : "";
  env().TimedLine(" * Found " + std::to_string(n) + masked + " file" + Plural(n, "", "s") +
                  " in " + remote_path_);
}

}  // namespace koru
