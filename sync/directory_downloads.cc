#include "ftp/control.h"
#include "localfs/local_files.h"
#include "platform/local_file.h"
#include "sync/directory_mirror.h"

namespace koru {

Task<void> DirectoryMirror::Download(const FileToFetch& file, const std::string& key,
                                     const LocalTarget& target) {
  if (s_.policy().overlap) {
    co_await s_.RoomForDownload();
    downloads_.Start(DownloadWithTries(file, key, target));
  } else {
    co_await DownloadWithTries(file, key, target);
  }
}

Task<void> DirectoryMirror::DownloadWithTries(FileToFetch file, std::string key,
                                              LocalTarget target) {
  for (int32_t tries = 1;; ++tries) {
    // A try after a lost connection finds what the lost one left (a part file starts afresh).
    const LocalEntry before = tries == 1 || !target.part.empty()
                                  ? target.seen
                                  : StatLocal(*env().files, target.download());
    const Fetch fetch = co_await TryDownload(file, key, target, before);
    if (fetch != Fetch::kLost || tries >= kMaxDownloadTries) co_return;
  }
}

Task<DirectoryMirror::Fetch> DirectoryMirror::TryDownload(const FileToFetch& file,
                                                          const std::string& key,
                                                          const LocalTarget& target,
                                                          const LocalEntry& before) {
  const std::string& local_path = target.download();
  const std::string& remote = file.path;
  const int64_t size = file.listed_size;
  if (TriesUsedUp(remote)) co_return Fetch::kDone;
  if (CannotFetch()) {
    CountNotTried(remote);
    co_return Fetch::kNoConnection;
  }
  // Nothing more of a file is said once the user has stopped the run.
  if (Aborted()) co_return Fetch::kDone;
  const SYSTEMTIME& date = file.listed_time;
  env().TimedLine(" " + std::to_string(size) + " " + ZeroPad(date.wYear, 4) + "-" +
                  ZeroPad(date.wMonth, 2) + "-" + ZeroPad(date.wDay, 2) + " " + remote);
  const bool logged_in = co_await LogInWhereNeeded(false);
  if (!logged_in) {
    CountNotTried(remote);
    co_return Fetch::kNoConnection;
  }
  if (!options().OverwriteMode && before.kind != EntryKind::kMissing && before.size > size) {
    env().TimedLine(" * Warning: remote file is smaller than local file. Skipping transfer.");
    co_await QuitAfterStep();
    co_return Fetch::kDone;
  }
  const bool fetch = size > 0 || step_;
  Step download{.kind = StepKind::kDownload,
                .file = file,
                .target = target,
                .before = before,
                .origin = OriginOf(remote),
                .fetch = fetch};
  const StepReport fetched = co_await Do(std::move(download));
  if (fetched.no_connection) {
    NoConnection(fetched);
    CountNotTried(remote);
    co_return Fetch::kNoConnection;
  }
  const DownloadResult& result = fetched.download;
  if (fetch) ReportRefusal(remote, result.outcome);
  if (result.local_error.number == kErrDiskFull) {
    StopOnFullDisk(local_path, result.local_error);
    if (!target.part.empty()) DeleteLocalFile(*env().files, target.part);
    CountNotTried(remote);
    co_await QuitAfterStep();
    co_return Fetch::kDone;
  }
  const LocalEntry& after = fetched.after;
  bool verified = result.expected_total > 0 && after.kind == EntryKind::kRegular;
  if (verified) verified = co_await Verify(result, size, target, remote, after.size);
  bool lost = false;
  if (verified) {
    verified_.insert(key);
    totals().FailedDownloads.erase(remote);
  } else if (fetch) {
    CountFailure(size, remote, result.outcome);
    lost = !Aborted() && !result.outcome.user_cut && fetched.lost;
  }
  co_await QuitAfterStep();
  co_return lost ? Fetch::kLost : Fetch::kDone;
}

void DirectoryMirror::ReportRefusal(const std::string& remote, const TransferOutcome& outcome) {
  if (!outcome.refused || Aborted()) return;
  env().TimedLine(" * Warning: Unable to download " + remote + " (" + outcome.reply + ")");
}

void DirectoryMirror::CountFailure(int64_t listed_size, const std::string& remote,
                                   const TransferOutcome& outcome) {
  if (Aborted()) return;
  // Tab leaves the file for this run: no later pass fetches it again.
  if (outcome.user_cut) {
    abandoned_.insert(remote);
    return;
  }
  if (listed_size > 0 || outcome.failed) ++totals().FailedDownloads[remote];
}

void DirectoryMirror::StopOnFullDisk(const std::string& local_path, const SystemError& error) {
  if (totals().DiskFull) return;
  totals().DiskFull = true;
  env().TimedLine(" ERROR: Local disk full: " + local_path + " (" + error.text + ")");
}

bool DirectoryMirror::TriesUsedUp(const std::string& remote) {
  const auto it = totals().FailedDownloads.find(remote);
  return it != totals().FailedDownloads.end() && it->second >= kMaxDownloadTries;
}

Task<bool> DirectoryMirror::Verify(const DownloadResult& result, int64_t listed_size,
                                   const LocalTarget& target, const std::string& remote,
                                   int64_t actual) {
  const int64_t expected = result.expected_total;
  if (actual != expected) {
    // Over several connections the lines of other files come between: the warning names its.
    const std::string which = s_.policy().overlap ? ": " + remote : "";
    env().TimedLine(" * Warning: Local file size does not match remote (" +
                    std::to_string(actual) + "/" + std::to_string(expected) + ")" + which);
    PrintNotErased();
    // The old copy stays whole; what came of the new one goes.
    if (!target.part.empty()) DeleteLocalFile(*env().files, target.part);
    co_return false;
  }
  if (!MirrorFilePolicy(env(), options()).KeepPart(target)) co_return false;
  ++pass_transfers_;
  ++totals().FilesTransferred;
  if (!options().MoveMode) co_return true;
  if (!ArrivedWhole(actual, result.outcome, listed_size)) {
    PrintNotErased();
    co_return true;
  }
  co_await DeleteRemoteFile(remote);
  co_return true;
}

Task<void> DirectoryMirror::DeleteRemoteFile(const std::string& remote) {
  ActivityTitle(" DELE " + remote);
  Step dele{.kind = StepKind::kDelete, .path = remote};
  const StepReport deleted = co_await Do(std::move(dele));
  if (deleted.ok) {
    env().TimedLine(" * Removed remote file " + remote);
  } else if (deleted.no_connection) {
    NoConnection(deleted);
    if (!Aborted()) totals().UndeletedFiles.insert(remote);
  } else {
    env().TimedLine(" * Warning: Unable to delete remote file as requested.");
    env().TimedLine(" * Not deleted: " + remote + " (" + deleted.reply + ")");
    totals().UndeletedFiles.insert(remote);
  }
  Title(options().ProgramTitle);
}

void DirectoryMirror::PrintNotErased() {
  if (!options().MoveMode) return;
  env().TimedLine(" * Remote file was not erased as requested by move option switch.");
}

bool DirectoryMirror::ArrivedWhole(int64_t actual, const TransferOutcome& outcome,
                                   int64_t listed_size) {
  const int32_t final_code = ftpReplyCode(outcome.reply);
  if (final_code != 226 && final_code != 250) return false;
  if (outcome.server_had_more) return false;
  return listed_size <= 0 || actual == listed_size;
}

}  // namespace koru
