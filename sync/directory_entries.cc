#include "localfs/local_files.h"
#include "sync/directory_mirror.h"
#include "sync/mirror_plan.h"
#include "sync/origin.h"

namespace koru {

Task<bool> DirectoryMirror::HandleEntries(const Listing& listing) {
  const bool go_on = co_await HandleEntriesInOrder(listing);
  co_await downloads_.AllEnded();
  co_return go_on && !no_connection_;
}

Task<bool> DirectoryMirror::HandleEntriesInOrder(const Listing& listing) {
  for (const std::optional<LISTENTRY>& entry : listing) {
    if (s_.AbortRequested()) {
      s_.PrintAbort();
      if (!step_) co_await QuitIfConnected();
      EndByAbort();
      co_return false;
    }
    // Once the run cannot fetch, the rest of the listing is still looked at: complete files
    // are dated, and every file that needed fetching counts as failed.
    if (entry && !entry->isDir) co_await HandleEntry(*entry);
  }
  co_return true;
}

Task<void> DirectoryMirror::HandleEntry(const LISTENTRY& listed) {
  LISTENTRY entry = listed;
  const MirrorRules rules = Rules();
  const LocalDirectoryView local(*env().files, local_dir_);
  EntryStep step = PlanEntry(entry, false, rules, Memory(), local);
  if (step.action == EntryAction::kResolveLinkSize) {
    if (CannotFetch()) {
      CountNotTried(step.remote);
      co_return;
    }
    const LinkSize link = co_await ResolveLinkSize(entry, step.remote);
    if (link == LinkSize::kNoConnection) CountNotTried(step.remote);
    if (link != LinkSize::kResolved) co_return;
    step = PlanEntry(entry, true, rules, Memory(), local);
  }
  if (SettledHere(step)) co_return;
  if (step.action == EntryAction::kCompleteToDelete) {
    co_await DeleteCompleteCopy(step.remote, step.key);
    co_return;
  }
  if (CannotFetch()) {
    CountNotTried(step.remote);
    co_return;
  }
  const LocalTarget target = step.TargetIn(local_dir_);
  const FileToFetch file{step.remote, step.size, step.listed_time, step.exact_time};
  co_await Download(file, step.key, target);
}

bool DirectoryMirror::SettledHere(const EntryStep& step) {
  if (step.hands_out_name) handed_out_.insert(step.local_name);
  if (step.redate) {
    MirrorFilePolicy(env(), options())
        .Redate(local_dir_ + step.local_name, step.seen.modified_seconds, step.listed_time);
  }
  switch (step.action) {
    case EntryAction::kSkipUnsafe:
      if (step.warn && FirstWarning(step.remote)) {
        env().TimedLine(" * Warning: Unsafe file name skipped: " + step.name);
      }
      return true;
    case EntryAction::kSkipClash:
    case EntryAction::kClashWithOrigin:
      SkipForClash(step.remote, false, step.local_name, step.owner);
      return true;
    case EntryAction::kSkipAbandoned:
    case EntryAction::kComplete:
    case EntryAction::kSkipVerified:
      return true;
    case EntryAction::kResolveLinkSize:
    case EntryAction::kCompleteToDelete:
    case EntryAction::kFetch:
    case EntryAction::kFetchWhole:
      break;
  }
  return false;
}

MirrorRules DirectoryMirror::Rules() {
  return MirrorRules{.copy = CopyRules::Of(options()),
                     .unique_names = options().UniqueNames && options().MoveMode,
                     .charset = Charset(),
                     .security = options().Security,
                     .server = s_.login().server};
}

DirectoryMemory DirectoryMirror::Memory() const {
  return DirectoryMemory{.remote_path = remote_path_,
                         .verified = verified_,
                         .abandoned = abandoned_,
                         .warned = warned_,
                         .handed_out = handed_out_,
                         .clashes = clashes_};
}

Task<DirectoryMirror::LinkSize> DirectoryMirror::ResolveLinkSize(LISTENTRY& entry,
                                                                 const std::string& remote) {
  const bool logged_in = co_await LogInWhereNeeded(false);
  if (!logged_in) co_return LinkSize::kNoConnection;
  Step size{.kind = StepKind::kFileSize, .path = remote};
  const StepReport sized = co_await Do(std::move(size));
  co_await QuitAfterStep();
  if (sized.no_connection) {
    NoConnection(sized);
    co_return LinkSize::kNoConnection;
  }
  if (sized.size < 0) {
    if (options().verbose()) {
      env().TimedLine(" * Skipping link " + remote + " (" + sized.reply + ")");
    }
    co_return LinkSize::kSkipped;
  }
  entry.size = sized.size;
  co_return LinkSize::kResolved;
}

NameCharset DirectoryMirror::Charset() const {
  return step_ ? NameCharset::kStepVariant : NameCharset::kStandard;
}

std::string DirectoryMirror::MappedName(const std::string& name) const {
  return MapLocalName(name, Charset());
}

void DirectoryMirror::FindClashes(const Listing& listing) {
  std::vector<ListedName> entries;
  for (const std::optional<LISTENTRY>& entry : listing) {
    if (!entry) continue;
    ListedName listed{entry->isDir ? entry->name : EntryFileName(*entry), entry->isDir != 0};
    if (!IsUnsafeName(listed.name)) entries.push_back(std::move(listed));
  }
  clashes_ = FindLocalNameClashes(entries, Charset());
}

bool DirectoryMirror::SkippedByClash(const std::string& name, bool is_directory) {
  const auto clash = clashes_.find(name);
  if (clash == clashes_.end()) return false;
  const ListedName& first = clash->second.first;
  SkipForClash(remote_path_ + name + (is_directory ? "/" : ""), is_directory,
               clash->second.local, remote_path_ + first.name + (first.is_directory ? "/" : ""));
  return true;
}

void DirectoryMirror::SkipForClash(const std::string& remote, bool is_directory,
                                   const std::string& local_name, const std::string& owner) {
  if (FirstWarning(remote)) {
    env().TimedLine(" * Warning: Local name clash, skipped: " + remote + " (" + local_name +
                    " is the local name of " + owner + ")");
  }
  if (is_directory) {
    totals().FailedDirectories.insert(remote);
  } else {
    totals().FailedDownloads[remote] = kMaxDownloadTries;
  }
  result_ = 1;
}

std::string DirectoryMirror::OriginOf(const std::string& remote) {
  return OriginUrl(options().Security, s_.login().server, remote);
}

Task<void> DirectoryMirror::DeleteCompleteCopy(const std::string& remote,
                                               const std::string& key) {
  if (!verified_.insert(key).second) co_return;
  // Once the run cannot go on, the DELE is not tried: the file stays, counted as not deleted.
  if (CannotFetch()) {
    if (!Aborted()) totals().UndeletedFiles.insert(remote);
    co_return;
  }
  const bool logged_in = co_await LogInWhereNeeded(false);
  if (!logged_in) co_return;
  co_await DeleteRemoteFile(remote);
  co_await QuitAfterStep();
}

bool DirectoryMirror::FirstWarning(const std::string& remote) {
  return warned_.insert(remote).second;
}

}  // namespace koru
