#include "ftp/commands.h"
#include "ftp/control.h"
#include "ftp/session.h"
#include "localfs/local_files.h"
#include "platform/local_file.h"
#include "sync/directory_sync.h"
#include "sync/engine_lock.h"

namespace koru {

bool DirectorySync::Download(const FileToFetch& file, const std::string& key,
                             const LocalTarget& target) {
  if (parallel_) return DownloadOnAnyConnection(file, key, target);
  return DownloadWithTries(file, key, target);
}

bool DirectorySync::DownloadOnAnyConnection(const FileToFetch& file, const std::string& key,
                                            const LocalTarget& target) {
  // No thread waits for a connection while it holds one.
  GiveBackConnection();
  if (!CannotFetch()) {
    borrowed_ = EngineLock::Without([&] { return parallel_->pool.Acquire(); });
    // The first connection that cannot log in again ends this directory's downloads, as the
    // one connection of a run without -P would.
    if (!Connected() && !s_.AbortFlag) {
      PrintConnectionError();
      PrintConnectionReason();
      no_connection_ = true;
    }
  }
  if (!Connected()) {
    GiveBackConnection();
    CountNotTried(file.path);
    return false;
  }
  auto lease = std::move(borrowed_);
  ++parallel_->files_known;
  downloads_.Start([this, lease = std::move(lease), file, key, target]() mutable {
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

void DirectorySync::WaitForDownloads() {
  GiveBackConnection();
  EngineLock::Without([&] { downloads_.Wait(); });
}

bool DirectorySync::DownloadWithTries(const FileToFetch& file, const std::string& key,
                                      const LocalTarget& target) {
  for (int32_t tries = 1;; ++tries) {
    // A try after a lost connection finds what the lost one left (a part file starts afresh).
    const LocalEntry before = tries == 1 || !target.part.empty()
                                  ? target.seen
                                  : StatLocal(*env_.files, target.download());
    const Fetch fetch = TryDownload(file, key, target, before);
    if (fetch != Fetch::kLost || tries >= kMaxDownloadTries) return fetch != Fetch::kNoConnection;
  }
}

DirectorySync::Fetch DirectorySync::TryDownload(const FileToFetch& file, const std::string& key,
                                                const LocalTarget& target,
                                                const LocalEntry& before) {
  const std::string& local_path = target.download();
  const std::string& remote = file.path;
  const int64_t size = file.listed_size;
  if (TriesUsedUp(remote)) return Fetch::kDone;
  if (CannotFetch()) {
    CountNotTried(remote);
    return Fetch::kNoConnection;
  }
  const SYSTEMTIME& date = file.listed_time;
  env_.TimedLine(" " + std::to_string(size) + " " + ZeroPad(date.wYear, 4) + "-" +
                 ZeroPad(date.wMonth, 2) + "-" + ZeroPad(date.wDay, 2) + " " + remote);
  if ((step_ || !Connected()) && !Connect(false)) {
    CountNotTried(remote);
    return Fetch::kNoConnection;
  }
  if (!o_.OverwriteMode && before.kind != EntryKind::kMissing && before.size > size) {
    env_.TimedLine(" * Warning: remote file is smaller than local file. Skipping transfer.");
    if (step_) ftpQuit(Sess());
    return Fetch::kDone;
  }
  const bool fetch = size > 0 || step_;
  // A part file left by an earlier try is no copy to resume: the file comes whole.
  if (!target.part.empty()) DeleteLocalFile(*env_.files, target.part);
  DownloadResult result;
  MirrorFilePolicy policy(env_, before);
  policy.RecordsOrigin(OriginOf(remote));
  if (fetch) {
    result = EngineLock::Without([&] { return DownloadFile(Sess(), file, local_path, policy); });
    ReportRefusal(remote, result.outcome);
  } else {
    LocalFile empty(*env_.files);
    if (!empty.Open(Sess().env.pool, target.file, LocalFile::Mode::kReadWriteEmpty)) {
      WarnLocalFileError(env_, target.file, empty.LastError().text);
    } else {
      policy.Opened(target.file);
    }
  }
  Title(o_.ProgramTitle);
  if (result.local_error.number == kErrDiskFull) {
    StopOnFullDisk(local_path, result.local_error);
    if (!target.part.empty()) DeleteLocalFile(*env_.files, target.part);
    CountNotTried(remote);
    if (step_) QuitIfConnected();
    return Fetch::kDone;
  }
  const LocalEntry& after = policy.After();
  const bool verified = result.expected_total > 0 && after.kind == EntryKind::kRegular &&
                        Verify(result, size, target, remote, after.size);
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

void DirectorySync::ReportRefusal(const std::string& remote, const TransferOutcome& outcome) {
  if (!outcome.refused || s_.AbortFlag) return;
  env_.TimedLine(" * Warning: Unable to download " + remote + " (" + outcome.reply + ")");
}

void DirectorySync::CountFailure(int64_t listed_size, const std::string& remote,
                                 const TransferOutcome& outcome) {
  if (s_.AbortFlag) return;
  // Tab leaves the file for this run: no later pass fetches it again.
  if (outcome.user_cut) {
    abandoned_.insert(remote);
    return;
  }
  if (listed_size > 0 || outcome.failed) ++t_.FailedDownloads[remote];
}

void DirectorySync::StopOnFullDisk(const std::string& local_path, const SystemError& error) {
  if (t_.DiskFull) return;
  t_.DiskFull = true;
  env_.TimedLine(" ERROR: Local disk full: " + local_path + " (" + error.text + ")");
}

bool DirectorySync::TriesUsedUp(const std::string& remote) const {
  const auto it = t_.FailedDownloads.find(remote);
  return it != t_.FailedDownloads.end() && it->second >= kMaxDownloadTries;
}

bool DirectorySync::Verify(const DownloadResult& result, int64_t listed_size,
                           const LocalTarget& target, const std::string& remote, int64_t actual) {
  const int64_t expected = result.expected_total;
  if (actual != expected) {
    env_.TimedLine(" * Warning: Local file size does not match remote (" + std::to_string(actual) +
                   "/" + std::to_string(expected) + ")");
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
  DeleteRemoteFile(remote);
  return true;
}

void DirectorySync::DeleteRemoteFile(const std::string& remote) {
  ActivityTitle(" DELE " + remote);
  if (EngineLock::Without([&] { return ftpRemoveFile(Sess(), remote); })) {
    env_.TimedLine(" * Removed remote file " + remote);
  } else {
    env_.TimedLine(" * Warning: Unable to delete remote file as requested.");
    env_.TimedLine(" * Not deleted: " + remote + " (" + Sess().ReplyLine + ")");
    t_.UndeletedFiles.insert(remote);
  }
  Title(o_.ProgramTitle);
}

void DirectorySync::PrintNotErased() {
  if (!o_.MoveMode) return;
  env_.TimedLine(" * Remote file was not erased as requested by move option switch.");
}

bool DirectorySync::ArrivedWhole(int64_t actual, const TransferOutcome& outcome,
                                 int64_t listed_size) {
  const int32_t final_code = ftpReplyCode(outcome.reply);
  if (final_code != 226 && final_code != 250) return false;
  if (outcome.server_had_more) return false;
  return listed_size <= 0 || actual == listed_size;
}

}  // namespace koru
