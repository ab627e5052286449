#include "sync/worker.h"

#include <algorithm>
#include <utility>

#include "ftp/commands.h"
#include "ftp/control.h"
#include "ftp/listing_transfer.h"
#include "listing/mlsd_parser.h"
#include "listing/remote_time.h"
#include "listing/wildmatch.h"
#include "platform/local_file.h"

namespace koru {

Worker::Worker(Env& env, const Options& options, RunSettings& state, const Login& login, int number)
    : env_(env), login_(login), number_(number), session_(env, options, state) {}

StepReport Worker::Run(const Step& step) {
  if (entry_ != Entry::kByStep && step.kind != StepKind::kQuit) {
    if (!DropIfClosedWhileIdle(session_)) {
      const BusyServer busy =
          entry_ == Entry::kWaitOutBusy ? BusyServer::kWaitOut : BusyServer::kGiveUp;
      StepReport login = LogIn(true, busy);
      if (login.ok && logged_in_hook_) logged_in_hook_();
      if (!login.ok || step.kind == StepKind::kLogIn) return login;
    } else if (step.kind == StepKind::kLogIn) {
      return Ended({.ok = true}, true);
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
  return Ended({}, session_.logged_in());
}

StepReport Worker::LogIn(bool with_line, BusyServer busy) {
  if (with_line && session_.verbose()) env_.TimedLine(" * Connecting to " + login_.server);
  env_.Title(session_.options.ProgramTitle + " Connecting to " + login_.server, kTitleLength);
  LoginOutcome login =
      ConnectAndLogIn(session_, login_.server, login_.user, login_.password, busy);
  StepReport report;
  report.ok = login.channel >= 1 && login.logged_in;
  report.kept_code = login.kept_code;
  report.kept_text = std::move(login.kept_text);
  report.server_said_no = !report.ok && login.failure.empty();
  report.failure = std::move(login.failure);
  report.reply = std::move(login.reply);
  report.login_failed = !report.ok;
  if (!report.ok && login.channel >= 1 && busy == BusyServer::kGiveUp) session_.CloseChannel();
  return Ended(std::move(report), login.logged_in);
}

StepReport Worker::Quit() {
  // A QUIT to a connection the server has already closed would only wait for nothing.
  const bool logged_in =
      entry_ != Entry::kByStep ? DropIfClosedWhileIdle(session_) : session_.logged_in();
  if (logged_in) ftpQuit(session_);
  // QUIT, answered or not, ends the connection.
  return Ended({.ok = true}, false);
}

StepReport Worker::List(const Step& step) {
  if (step.change_dir) {
    Title(session_.options.ProgramTitle + " CD " + step.path);
    StepReport cd = Ended(ChangeDirForListing(session_, step.path));
    if (cd.ok && !cd.connected && entry_ != Entry::kByStep) {
      // The server left what was sent with the CWD unanswered and the connection went
      // quietly: a new one sends each command alone.
      StepReport login = LogIn(true, BusyServer::kGiveUp);
      if (!login.ok) return login;
      cd = ChangeDir(step.path);
    }
    if (!cd.ok) {
      cd.dir_refused = true;
      return cd;
    }
  }
  if (!step.list_title.empty()) Title(step.list_title);
  RemoteFacts* facts = step.exact_dates ? session_.remote_facts : nullptr;
  const ServerFeatures offered = facts ? facts->Features() : ServerFeatures{};
  if (offered.mlst) {
    std::optional<StepReport> mlsd = ListByMlsd(step);
    if (mlsd) return std::move(*mlsd);
  }
  StepReport report = ListingReport(ListDirectory(session_, step.path, step.argument));
  if (!facts) return report;
  if (report.ok && offered.mdtm && !offered.mlst && !facts->Zone()) {
    ProbeZone(step.path, report.lines);
    report.connected = session_.logged_in();
  }
  report.form.zone_minutes = facts->Zone();
  return report;
}

StepReport Worker::ListingReport(ListingOutcome listing) const {
  StepReport report;
  report.lines = std::move(listing.lines);
  report.outcome = std::move(listing.transfer);
  report.ok = !report.outcome.failed;
  report.reply = std::move(listing.reply);
  report.lost = listing.lost;
  return Ended(std::move(report), listing.logged_in);
}

namespace {

// Puts the lines of an MLSD listing in the order of their names, the order a Unix LIST shows
// them (MLSD comes in the order the server keeps its directory). False, the lines left as they
// are, when a line does not read. Each line is read once.
bool SortByName(std::vector<std::string>& lines) {
  std::vector<std::pair<std::string, std::string>> named;
  named.reserve(lines.size());
  for (std::string& line : lines) {
    std::optional<MlsdEntry> entry = ParseMlsdLine(line);
    if (!entry) return false;
    named.emplace_back(std::move(entry->name), std::string());
  }
  for (size_t i = 0; i < lines.size(); ++i) named[i].second = std::move(lines[i]);
  std::stable_sort(named.begin(), named.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t i = 0; i < lines.size(); ++i) lines[i] = std::move(named[i].second);
  return true;
}

}  // namespace

std::optional<StepReport> Worker::ListByMlsd(const Step& step) {
  ListingOutcome listing = ListDirectory(session_, step.path, "", "MLSD");
  const TransferOutcome& outcome = listing.transfer;
  std::string why;
  if (outcome.refused && !listing.lost && listing.logged_in && !session_.state.AbortFlag &&
      ftpReplyCode(outcome.reply) >= 400) {
    why = "MLSD refused (" + outcome.reply + ")";
  } else if (!outcome.failed && !SortByName(listing.lines)) {
    why = "MLSD unreadable";
  } else {
    StepReport report = ListingReport(std::move(listing));
    report.form.mlsd = true;
    if (!step.argument.empty()) {
      const SYSTEMTIME today = env_.clock.Now();
      std::erase_if(report.lines, [&](const std::string& line) {
        const std::optional<LISTENTRY> entry = ParseListedLine(line, today, report.form);
        return !entry || !WILDMATCH(EntryFileName(*entry), step.argument, 0);
      });
    }
    return report;
  }
  if (session_.verbose() && session_.remote_facts->FirstFallbackOf(step.path)) {
    env_.TimedLine(" * Listed with LIST: " + why);
  }
  return std::nullopt;
}

void Worker::ProbeZone(const std::string& directory, const std::vector<std::string>& lines) {
  RemoteFacts& facts = *session_.remote_facts;
  const SYSTEMTIME today = env_.clock.Now();
  for (const std::string& line : lines) {
    LISTENTRY entry;
    if (!PARSELISTLINE(line, entry, today) || entry.isDir || entry.isLink ||
        !ListLineShowsTime(line, today)) {
      continue;
    }
    // One probe a run: a refused or unreadable answer leaves the listed times as they read.
    if (!facts.ClaimZoneProbe()) return;
    const std::string path = directory + EntryFileName(entry);
    ftpSendCommand(session_, "MDTM " + path);
    const std::optional<int64_t> utc = ParseMdtmReply(ftpGetShownReply(session_));
    const std::optional<int32_t> zone = utc ? ServerZoneMinutes(entry, *utc) : std::nullopt;
    if (!zone) return;
    facts.SetZone(*zone);
    if (session_.verbose()) {
      env_.TimedLine(" * Server time: " + ZoneText(*zone) + " (from MDTM of " + path + ")");
    }
    return;
  }
}

StepReport Worker::ChangeDir(const std::string& path) {
  Title(session_.options.ProgramTitle + " CD " + path);
  return Ended(ChangeDirExactly(session_, path));
}

StepReport Worker::MakeDirTree(const std::string& path) {
  return Ended(EnsureDirTree(session_, path));
}

StepReport Worker::FileSize(const std::string& path) {
  ftpTypeBinary(session_);
  const SizeOutcome size = RemoteFileSize(session_, path);
  StepReport report = Ended(size);
  report.size = size.size;
  return report;
}

StepReport Worker::Download(const Step& step) {
  const LocalTarget& target = step.target;
  // A part file left by an earlier try is no copy to resume: the file comes whole.
  if (!target.part.empty()) DeleteLocalFile(*env_.files, target.part);
  MirrorFilePolicy policy(env_, session_.options, step.before);
  policy.ComparesToTheSecond(step.file.exact_time);
  policy.RecordsOrigin(step.origin);
  StepReport report;
  bool logged_in = session_.logged_in();
  if (step.fetch) {
    report.download = DownloadFile(session_, step.file, target.download(), policy);
    report.outcome = report.download.outcome;
    report.reply = report.download.reply;
    report.lost = report.download.lost;
    logged_in = report.download.logged_in;
  } else {
    LocalFile empty(*env_.files);
    if (!empty.Open(session_.pool, target.file, LocalFile::Mode::kReadWriteEmpty)) {
      WarnLocalFileError(env_, target.file, empty.LastError().text);
    } else {
      policy.Opened(target.file);
    }
  }
  report.after = policy.After();
  Title(session_.options.ProgramTitle);
  return Ended(std::move(report), logged_in);
}

StepReport Worker::Delete(const std::string& path) { return Ended(RemoveFile(session_, path)); }

StepReport Worker::Ended(CommandOutcome command) const {
  return Ended({.ok = command.ok, .lost = command.lost, .reply = std::move(command.reply)},
               command.logged_in);
}

StepReport Worker::Ended(StepReport report, bool logged_in) const {
  report.connected = logged_in;
  report.worker = number_;
  return report;
}

void Worker::Title(const std::string& text) { env_.Title(text, kTitleLength); }

}  // namespace koru
