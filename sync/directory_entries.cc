#include "ftp/commands.h"
#include "localfs/local_files.h"
#include "sync/directory_sync.h"
#include "sync/engine_lock.h"
#include "sync/origin.h"

namespace koru {

bool DirectorySync::HandleEntries(const Listing& listing) {
  const bool go_on = HandleEntriesInOrder(listing);
  if (parallel_) WaitForDownloads();
  return go_on && !no_connection_;
}

bool DirectorySync::HandleEntriesInOrder(const Listing& listing) {
  for (const std::optional<LISTENTRY>& entry : listing) {
    if (AbortRequested()) {
      PrintAbort();
      if (!step_) QuitIfConnected();
      EndByAbort();
      return false;
    }
    // Once the run cannot fetch, the rest of the listing is still looked at: complete files
    // are dated, and every file that needed fetching counts as failed.
    if (entry && !entry->isDir) HandleEntry(*entry);
  }
  return true;
}

bool DirectorySync::HandleEntry(LISTENTRY entry) {
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
    if (CannotFetch()) {
      CountNotTried(remote);
      return false;
    }
    const LinkSize link = ResolveLinkSize(entry, remote);
    if (link == LinkSize::kNoConnection) CountNotTried(remote);
    if (link != LinkSize::kResolved) return link == LinkSize::kSkipped;
  }
  const std::string local_path = local_dir_ + LocalName(name);
  MirrorFilePolicy policy(env_);
  const LocalCopy copy = policy.Assess(local_path, entry.size, ListedTime(entry), OriginOf(remote));
  if (copy == LocalCopy::kClash) {
    SkipForClash(remote, false, local_path.substr(local_dir_.size()),
                 OriginPath(policy.SeenOrigin()));
    return true;
  }
  if (copy == LocalCopy::kCompleteToDelete) {
    return DeleteCompleteCopy(remote, EntryKey(entry, name));
  }
  if (copy == LocalCopy::kComplete) return true;
  // A file this call has fetched and verified is not fetched again while the listing shows it
  // unchanged: a server whose listed size differs from what it sends, or a refused DELE
  // under +M, would otherwise make the passes repeat without end.
  if (verified_.count(EntryKey(entry, name))) return true;
  if (CannotFetch()) {
    CountNotTried(remote);
    return false;
  }
  // A part file starts afresh, whatever an earlier run left of it.
  const bool whole = copy == LocalCopy::kFetchWhole;
  const LocalTarget target{local_path, whole ? PartFileOf(local_path) : "",
                           whole ? LocalEntry{} : policy.Seen()};
  return Download({remote, entry.size, ListedTime(entry)}, EntryKey(entry, name), target);
}

DirectorySync::LinkSize DirectorySync::ResolveLinkSize(LISTENTRY& entry,
                                                       const std::string& remote) {
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

NameCharset DirectorySync::Charset() const {
  return step_ ? NameCharset::kStepVariant : NameCharset::kStandard;
}

std::string DirectorySync::MappedName(const std::string& name) const {
  return MapLocalName(name, Charset());
}

void DirectorySync::FindClashes(const Listing& listing) {
  std::vector<ListedName> entries;
  for (const std::optional<LISTENTRY>& entry : listing) {
    if (!entry) continue;
    ListedName listed{entry->isDir ? entry->name : EntryFileName(*entry), entry->isDir != 0};
    if (!IsUnsafeName(listed.name)) entries.push_back(std::move(listed));
  }
  clashes_ = FindLocalNameClashes(entries, Charset());
}

bool DirectorySync::SkippedByClash(const std::string& name, bool is_directory) {
  const auto clash = clashes_.find(name);
  if (clash == clashes_.end()) return false;
  const ListedName& first = clash->second.first;
  SkipForClash(remote_path_ + name + (is_directory ? "/" : ""), is_directory,
               clash->second.local, remote_path_ + first.name + (first.is_directory ? "/" : ""));
  return true;
}

void DirectorySync::SkipForClash(const std::string& remote, bool is_directory,
                                 const std::string& local_name, const std::string& owner) {
  if (FirstWarning(remote)) {
    env_.TimedLine(" * Warning: Local name clash, skipped: " + remote + " (" + local_name +
                   " is the local name of " + owner + ")");
  }
  if (is_directory) {
    t_.FailedDirectories.insert(remote);
  } else {
    t_.FailedDownloads[remote] = kMaxDownloadTries;
  }
  result_ = 1;
}

std::string DirectorySync::OriginOf(const std::string& remote) const {
  return OriginUrl(o_.Security, server_, remote);
}

bool DirectorySync::DeleteCompleteCopy(const std::string& remote, const std::string& key) {
  if (!verified_.insert(key).second) return true;
  // Once the run cannot go on, the DELE is not tried: the file stays, counted as not deleted.
  if (CannotFetch()) {
    if (!s_.AbortFlag) t_.UndeletedFiles.insert(remote);
    return false;
  }
  if ((step_ || !Connected()) && !Connect(false)) return false;
  DeleteRemoteFile(remote);
  if (step_) ftpQuit(Sess());
  if (parallel_) GiveBackConnection();
  return true;
}

bool DirectorySync::FirstWarning(const std::string& remote) {
  return warned_.insert(remote).second;
}

std::string DirectorySync::LocalName(const std::string& name) {
  const bool unique = o_.UniqueNames && o_.MoveMode;
  std::string local =
      ChooseLocalName(name, unique, Charset(), [&](const std::string& candidate) {
        return handed_out_.count(candidate) ||
               PlainLocalFileExists(*env_.files, local_dir_ + candidate);
      });
  if (unique) handed_out_.insert(local);
  return local;
}

}  // namespace koru
