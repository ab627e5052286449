#include "localfs/local_files.h"
#include "sync/directory_mirror.h"
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
  const std::string name = EntryFileName(entry);
  if (IsUnsafeName(name)) {
    if (name != "." && name != ".." && FirstWarning(remote_path_ + name)) {
      env().TimedLine(" * Warning: Unsafe file name skipped: " + name);
    }
    co_return;
  }
  if (SkippedByClash(name, false) || abandoned_.count(remote_path_ + name)) co_return;
  const std::string remote = remote_path_ + name;
  if (entry.isLink) {
    if (CannotFetch()) {
      CountNotTried(remote);
      co_return;
    }
    const LinkSize link = co_await ResolveLinkSize(entry, remote);
    if (link == LinkSize::kNoConnection) CountNotTried(remote);
    if (link != LinkSize::kResolved) co_return;
  }
  const std::string local_path = local_dir_ + LocalName(name);
  MirrorFilePolicy policy(env());
  const LocalCopy copy = policy.Assess(local_path, entry.size, ListedTime(entry), OriginOf(remote));
  if (copy == LocalCopy::kClash) {
    SkipForClash(remote, false, local_path.substr(local_dir_.size()),
                 OriginPath(policy.SeenOrigin()));
    co_return;
  }
  if (copy == LocalCopy::kCompleteToDelete) {
    std::string key = EntryKey(entry, name);
    co_await DeleteCompleteCopy(remote, key);
    co_return;
  }
  if (copy == LocalCopy::kComplete) co_return;
  // A file this call has fetched and verified is not fetched again while the listing shows it
  // unchanged: a server whose listed size differs from what it sends, or a refused DELE
  // under +M, would otherwise make the passes repeat without end.
  if (verified_.count(EntryKey(entry, name))) co_return;
  if (CannotFetch()) {
    CountNotTried(remote);
    co_return;
  }
  // A part file starts afresh, whatever an earlier run left of it.
  const bool whole = copy == LocalCopy::kFetchWhole;
  LocalTarget target{local_path, whole ? PartFileOf(local_path) : "",
                     whole ? LocalEntry{} : policy.Seen()};
  FileToFetch file{remote, entry.size, ListedTime(entry)};
  std::string key = EntryKey(entry, name);
  co_await Download(file, key, target);
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
    if (env().verbose()) env().TimedLine(" * Skipping link " + remote + " (" + sized.reply + ")");
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

std::string DirectoryMirror::LocalName(const std::string& name) {
  const bool unique = options().UniqueNames && options().MoveMode;
  std::string local =
      ChooseLocalName(name, unique, Charset(), [&](const std::string& candidate) {
        return handed_out_.count(candidate) ||
               PlainLocalFileExists(*env().files, local_dir_ + candidate);
      });
  if (unique) handed_out_.insert(local);
  return local;
}

}  // namespace koru
