#include "sync/directory_mirror.h"

#include <utility>

#include "ftp/control.h"

namespace koru {

DirectoryMirror::DirectoryMirror(Scheduler& scheduler, std::string remotePath,
                                 std::string localDir, const std::string& mask,
                                 bool step_variant, int depth)
    : s_(scheduler),
      remote_path_(std::move(remotePath)),
      local_dir_(std::move(localDir)),
      mask_(mask),
      step_(step_variant),
      depth_(depth) {}

Task<int32_t> DirectoryMirror::Run() {
  bool files = options().SubDirMode == 0;
  if (!files) files = co_await DirectoryPhase();
  if (files) co_await FilePhase();
  co_await children_.AllEnded();
  // The user's stop ends every directory it reaches as a failure, also when it was noticed
  // inside a transfer or a listing rather than by the test between entries.
  if (Aborted()) result_ = 1;
  co_return result_;
}

// Over several connections the title is the run's: the scheduler keeps it.
void DirectoryMirror::Title(const std::string& text) {
  if (!s_.policy().overlap) env().Title(text, kTitleLength);
}

void DirectoryMirror::ActivityTitle(const std::string& activity) {
  Title(options().ProgramTitle + activity);
}

bool DirectoryMirror::NeedsLogin() const {
  return s_.policy().logins_by_step && (step_ || !connected_);
}

Task<void> DirectoryMirror::QuitIfConnected() {
  if (!s_.policy().logins_by_step || !connected_) co_return;
  Step quit{.kind = StepKind::kQuit};
  co_await Do(std::move(quit));
}

Task<void> DirectoryMirror::QuitAfterStep() {
  if (step_) co_await QuitIfConnected();
}

Task<bool> DirectoryMirror::Connect(bool with_line) {
  Step step{.kind = StepKind::kLogIn, .with_line = with_line};
  const StepReport login = co_await Do(std::move(step));
  if (login.ok) co_return true;
  NoConnection(login);
  co_return false;
}

Task<bool> DirectoryMirror::LogInWhereNeeded(bool with_line) {
  if (!NeedsLogin()) co_return true;
  const bool logged_in = co_await Connect(with_line);
  co_return logged_in;
}

void DirectoryMirror::NoConnection(const StepReport& report) {
  if (!Aborted()) PrintConnectionError(report, false);
  no_connection_ = true;
  result_ = 1;
}

// The reason after the error line: the kept reply first where `kept_reply_first` (a login
// answered 4xx or 5xx), else the system's text or the server's silence where no reply came, or
// the refusing reply.
// The lines go out as one piece: no other connection's line comes between them.
void DirectoryMirror::PrintConnectionError(const StepReport& report, bool kept_reply_first) {
  const std::string time = env().Time();
  std::vector<std::string> lines{time + " ERROR: Unable to open connection to server."};
  const std::string kept = time + "  " + std::to_string(report.kept_code) + " " + report.kept_text;
  const std::string failure = time + "  " + report.failure;
  if (kept_reply_first) {
    if (report.kept_code > 0) lines.push_back(kept);
    if (!report.failure.empty()) lines.push_back(failure);
  } else if (!report.failure.empty()) {
    lines.push_back(failure);
  } else if (report.kept_code >= 100) {  // a server's reply, not a local failure's number
    lines.push_back(kept);
  }
  env().console.WriteLines(lines);
}

void DirectoryMirror::EndByAbort() {
  s_.state().AbortFlag = kOn;
  result_ = 1;
}

bool DirectoryMirror::TryAgainAfterLoss(bool lost) {
  if (Aborted() || !lost || lost_tries_ + 1 >= kMaxDownloadTries) return false;
  ++lost_tries_;
  return true;
}

void DirectoryMirror::ChangeDirFailed(const StepReport& report, bool* again) {
  *again = false;
  if (Aborted()) return;
  if (TryAgainAfterLoss(report.lost)) {
    *again = true;
    return;
  }
  if (!change_dir_reported_) {
    env().TimedLine(" * Warning: Unable to change to remote directory " + remote_path_ + " (" +
                    report.reply + ")");
    change_dir_reported_ = true;
  }
  totals().FailedDirectories.insert(remote_path_);
  result_ = 1;
}

DirectoryMirror::ListingRead DirectoryMirror::ReadOf(const StepReport& report) {
  return {static_cast<int32_t>(report.lines.size()), report.outcome, report.lost};
}

bool DirectoryMirror::ListingFailed(const std::string& argument, const ListingRead& read) {
  if (!read.outcome.failed || Aborted()) return false;
  env().TimedLine(" * Warning: Unable to list remote directory " + remote_path_ + argument +
                  " (" + read.outcome.reply + ")");
  totals().FailedDirectories.insert(remote_path_);
  result_ = 1;
  return true;
}

void DirectoryMirror::CountNotTried(const std::string& remote) {
  if (Aborted()) return;  // the user's stop fails the run, not the files it left
  totals().FailedDownloads[remote] = kMaxDownloadTries;
  result_ = 1;
}

void DirectoryMirror::CountDirectoryNotEntered(const std::string& remote_directory) {
  if (Aborted()) return;
  totals().FailedDirectories.insert(remote_directory);
  result_ = 1;
}

}  // namespace koru
