#include "sync/worker.h"

#include "ftp/commands.h"
#include "ftp/control.h"
#include "ftp/listing_transfer.h"
#include "platform/local_file.h"

namespace koru {

Worker::Worker(Env& env, const Login& login, int number)
    : env_(env), login_(login), number_(number), session_(env) {}

StepReport Worker::Run(const Step& step) {
  if (entry_ != Entry::kByStep && step.kind != StepKind::kQuit) {
    DropIfClosedWhileIdle();
    if (session_.ConnectedFlag != kOn) {
      const BusyServer busy =
          entry_ == Entry::kWaitOutBusy ? BusyServer::kWaitOut : BusyServer::kGiveUp;
      StepReport login = LogIn(true, busy);
      if (login.ok && logged_in_hook_) logged_in_hook_();
      if (!login.ok || step.kind == StepKind::kLogIn) return login;
    } else if (step.kind == StepKind::kLogIn) {
      return Ended({.ok = true});
    }
  }
  switch (step.kind) {
    case StepKind::kLogIn:
      return LogIn(step.with_line, BusyServer::kWaitOut);
    case StepKind::kQuit:
      return Quit();
    case StepKind::kList:
      return List(step);
    case StepKind::kChangeDir:
      return ChangeDir(step.path);
    case StepKind::kMakeDirTree:
      return MakeDirTree(step.path);
    case StepKind::kFileSize:
      return FileSize(step.path);
    case StepKind::kDownload:
      return Download(step);
    case StepKind::kDelete:
      return Delete(step.path);
  }
  return Ended({});
}

void Worker::DropIfClosedWhileIdle() {
  if (session_.ConnectedFlag != kOn) return;
  if (env_.channels.IsOpen(session_.h) && !env_.channels.HasInput(session_.h)) return;
  session_.CloseChannel();
  session_.ConnectedFlag = kOff;
}

StepReport Worker::LogIn(bool with_line, BusyServer busy) {
  if (with_line && env_.verbose()) env_.TimedLine(" * Connecting to " + login_.server);
  env_.Title(env_.options.ProgramTitle + " Connecting to " + login_.server, kTitleLength);
  const int channel = ftpConnect(session_, login_.server, login_.user, login_.password, busy);
  StepReport report;
  report.ok = channel >= 1 && session_.ConnectedFlag == kOn;
  report.kept_code = session_.LastReplyCode;
  report.kept_text = session_.LastReplyText;
  report.failure = session_.ConnectFailure;
  report.reply = session_.ReplyLine;
  report.server_said_no = !report.ok && session_.ConnectFailure.empty();
  report.login_failed = !report.ok;
  if (!report.ok && channel >= 1 && busy == BusyServer::kGiveUp) session_.CloseChannel();
  return Ended(std::move(report));
}

StepReport Worker::Quit() {
  // A QUIT to a connection the server has already closed would only wait for nothing.
  if (entry_ != Entry::kByStep) DropIfClosedWhileIdle();
  if (session_.ConnectedFlag == kOn) ftpQuit(session_);
  return Ended({.ok = true});
}

StepReport Worker::List(const Step& step) {
  if (step.change_dir) {
    StepReport cd = ChangeDir(step.path);
    if (!cd.ok) {
      cd.dir_refused = true;
      return cd;
    }
  }
  if (!step.list_title.empty()) Title(step.list_title);
  StepReport report;
  ftpList(session_, step.path, step.argument, report.lines);
  report.outcome = session_.LastTransfer;
  report.ok = !report.outcome.failed;
  report.reply = session_.ReplyLine;
  report.lost = report.outcome.failed && Lost();
  return Ended(std::move(report));
}

StepReport Worker::ChangeDir(const std::string& path) {
  Title(env_.options.ProgramTitle + " CD " + path);
  StepReport report;
  report.ok = ftpChangeDirExact(session_, path) != 0;
  report.reply = session_.ReplyLine;
  report.lost = !report.ok && Lost();
  return Ended(std::move(report));
}

StepReport Worker::MakeDirTree(const std::string& path) {
  return Ended({.ok = ftpMakeDirTree(session_, path) != 0, .reply = session_.ReplyLine});
}

StepReport Worker::FileSize(const std::string& path) {
  ftpTypeBinary(session_);
  StepReport report;
  report.size = ftpFileSize(session_, path);
  report.ok = report.size >= 0;
  report.reply = session_.ReplyLine;
  return Ended(std::move(report));
}

StepReport Worker::Download(const Step& step) {
  const LocalTarget& target = step.target;
  // A part file left by an earlier try is no copy to resume: the file comes whole.
  if (!target.part.empty()) DeleteLocalFile(*env_.files, target.part);
  MirrorFilePolicy policy(env_, step.before);
  policy.RecordsOrigin(step.origin);
  StepReport report;
  if (step.fetch) {
    report.download = DownloadFile(session_, step.file, target.download(), policy);
    report.outcome = report.download.outcome;
    report.reply = session_.ReplyLine;
    report.lost = Lost();
  } else {
    LocalFile empty(*env_.files);
    if (!empty.Open(env_.pool, target.file, LocalFile::Mode::kReadWriteEmpty)) {
      WarnLocalFileError(env_, target.file, empty.LastError().text);
    } else {
      policy.Opened(target.file);
    }
  }
  report.after = policy.After();
  Title(env_.options.ProgramTitle);
  return Ended(std::move(report));
}

StepReport Worker::Delete(const std::string& path) {
  StepReport report;
  report.ok = ftpRemoveFile(session_, path) != 0;
  report.reply = session_.ReplyLine;
  return Ended(std::move(report));
}

StepReport Worker::Ended(StepReport report) const {
  report.connected = session_.ConnectedFlag == kOn;
  report.worker = number_;
  return report;
}

bool Worker::Lost() const {
  return session_.ReplyLine == kConnectionLostReply || ftpReplyCode(session_.ReplyLine) == 421;
}

void Worker::Title(const std::string& text) { env_.Title(text, kTitleLength); }

}  // namespace koru
