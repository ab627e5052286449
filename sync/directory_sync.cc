#include "sync/directory_sync.h"

#include <cstdio>
#include <cstdlib>

#include "ftp/commands.h"
#include "ftp/control.h"
#include "ftp/session.h"
#include "sync/engine_lock.h"
#include "sync/sync_engine.h"

namespace koru {

DirectorySync::DirectorySync(Env& env, RunTotals& totals, const std::string& server,
                             const std::string& user, const std::string& password,
                             const std::string& remotePath, const std::string& localDir,
                             const std::string& mask, bool step_variant, int depth,
                             ParallelRun* parallel)
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
      session_(parallel ? nullptr : std::make_unique<Session>(env)),
      parallel_(parallel) {}

int32_t DirectorySync::Run() {
  if (o_.SubDirMode == 0 || DirectoryPhase()) FilePhase();
  if (parallel_) {
    // No thread waits for others while it holds a connection they may need.
    GiveBackConnection();
    EngineLock::Without([&] { children_.Wait(); });
  }
  // The user's stop ends every directory it reaches as a failure, also when it was noticed
  // inside a transfer or a listing rather than by the test between entries.
  if (s_.AbortFlag) result_ = 1;
  return result_;
}

void DirectorySync::Title(const std::string& text) { env_.Title(text, kTitleLength); }

void DirectorySync::ActivityTitle(const std::string& activity) {
  Title(o_.ProgramTitle + activity);
}

Session& DirectorySync::Sess() const {
  if (borrowed_) return borrowed_->session();
  if (!session_) {
    std::fputs("koru: the engine read a connection it does not hold\n", stderr);
    std::abort();
  }
  return *session_;
}

bool DirectorySync::Connected() const {
  if (parallel_ && !borrowed_) return false;
  return Sess().ConnectedFlag == kOn;
}

void DirectorySync::QuitIfConnected() {
  if (parallel_) {
    GiveBackConnection();
  } else if (Connected()) {
    ftpQuit(Sess());
  }
}

void DirectorySync::OpenConnection(bool with_line) {
  if (parallel_) {
    BorrowConnection();
    h_ = Connected() ? Sess().h : -1;
    return;
  }
  if (with_line && env_.verbose()) env_.TimedLine(" * Connecting to " + server_);
  ActivityTitle(" Connecting to " + server_);
  h_ = ftpConnect(Sess(), server_, user_, password_);
}

void DirectorySync::BorrowConnection() {
  ConnectionPool& pool = parallel_->pool;
  if (borrowed_ && !Connected()) {
    const bool kept = EngineLock::Without([&] { return pool.LogInAgain(*borrowed_); });
    if (!kept) borrowed_.reset();
  }
  if (!borrowed_) borrowed_ = EngineLock::Without([&] { return pool.Acquire(); });
}

void DirectorySync::GiveBackConnection() { borrowed_.reset(); }

void DirectorySync::PrintConnectionError() {
  env_.TimedLine(" ERROR: Unable to open connection to server.");
}

void DirectorySync::PrintConnectionReason() {
  if (parallel_ && !borrowed_) return;  // no connection could be had: none to tell why
  if (!Sess().ConnectFailure.empty()) {
    env_.TimedLine("  " + Sess().ConnectFailure);
  } else if (Sess().LastReplyCode >= 100) {  // a server's reply, not a local failure's number
    env_.TimedLine("  " + std::to_string(Sess().LastReplyCode) + " " + Sess().LastReplyText);
  }
}

bool DirectorySync::Connect(bool with_line) {
  OpenConnection(with_line);
  if (h_ >= 1) return true;
  if (!s_.AbortFlag) {
    PrintConnectionError();
    PrintConnectionReason();
  }
  no_connection_ = true;
  result_ = 1;
  return false;
}

bool DirectorySync::AbortRequested() { return s_.AbortFlag || env_.PollKey() == kKeyEsc; }

void DirectorySync::PrintAbort() { PrintUserAbort(env_); }

void DirectorySync::EndByAbort() {
  s_.AbortFlag = kOn;
  result_ = 1;
}

bool DirectorySync::ConnectionWasLost() const {
  return Sess().ReplyLine == kConnectionLostReply || ftpReplyCode(Sess().ReplyLine) == 421;
}

bool DirectorySync::TryAgainAfterLoss(bool lost) {
  if (s_.AbortFlag || !lost || lost_tries_ + 1 >= kMaxDownloadTries) return false;
  ++lost_tries_;
  return true;
}

bool DirectorySync::ChangeToRemoteDirectory(bool* again) {
  if (EngineLock::Without([&] { return ftpChangeDirExact(Sess(), remote_path_); })) return true;
  if (s_.AbortFlag) return false;
  if (again && TryAgainAfterLoss(ConnectionWasLost())) {
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

DirectorySync::ListingRead DirectorySync::TakeListingOutcome(int32_t n) const {
  const TransferOutcome& outcome = Sess().LastTransfer;
  return {n, outcome, outcome.failed && ConnectionWasLost()};
}

bool DirectorySync::ListingFailed(const std::string& argument, const ListingRead& read) {
  if (!read.outcome.failed || s_.AbortFlag) return false;
  env_.TimedLine(" * Warning: Unable to list remote directory " + remote_path_ + argument + " (" +
                 read.outcome.reply + ")");
  t_.FailedDirectories.insert(remote_path_);
  result_ = 1;
  return true;
}

bool DirectorySync::CannotFetch() const { return no_connection_ || t_.DiskFull; }

void DirectorySync::CountNotTried(const std::string& remote) {
  if (s_.AbortFlag) return;  // the user's stop fails the run, not the files it left
  t_.FailedDownloads[remote] = kMaxDownloadTries;
  result_ = 1;
}

void DirectorySync::CountDirectoryNotEntered(const std::string& remote_directory) {
  if (s_.AbortFlag) return;
  t_.FailedDirectories.insert(remote_directory);
  result_ = 1;
}

thread_local std::unique_ptr<ConnectionPool::Lease> DirectorySync::borrowed_;

}  // namespace koru
