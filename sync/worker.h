#ifndef KORU_SYNC_WORKER_H_
#define KORU_SYNC_WORKER_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ftp/commands.h"
#include "ftp/ftp_session.h"
#include "ftp/listing_transfer.h"
#include "ftp/session.h"
#include "run/env.h"
#include "sync/step.h"

namespace koru {

// Where a run logs in: the server text and the login of the location.
struct Login {
  std::string server;
  std::string user;
  std::string password;
};

// One control connection of a run and what belongs to it alone (its session, channel, transfer
// type and TLS state), running one step at a time and telling what happened in the step's
// report. A worker is used by one thread at a time; the engine never reads its session.
class Worker {
 public:
  // `env`: the run's services as this connection sees them; `state`: the run's state.
  Worker(Env& env, const Options& options, RunSettings& state, const Login& login, int number);

  // How a worker that is not logged in when a step comes behaves: the engine logs it in with
  // kLogIn steps, or the worker logs itself in first (waiting out a busy server or not).
  enum class Entry { kByStep, kWaitOutBusy, kGiveUpOnBusy };
  void SetEntry(Entry entry) { entry_ = entry; }
  // Called on the worker's thread as soon as it has logged itself in, before the step goes on.
  void OnLoggedIn(std::function<void()> hook) { logged_in_hook_ = std::move(hook); }

  StepReport Run(const Step& step);

  Env& env() { return env_; }
  Session& session() { return session_; }
  int number() const { return number_; }

 private:
  StepReport LogIn(bool with_line, BusyServer busy);
  StepReport Quit();
  StepReport List(const Step& step);
  StepReport ListingReport(ListingOutcome listing) const;
  // MLSD of the step's directory, its lines matched against the step's mask here. None when it
  // is to be listed with LIST after all: MLSD refused, or a line of it that does not read (said
  // once per directory in verbose mode).
  std::optional<StepReport> ListByMlsd(const Step& step);
  // The run's one probe of the server's zone: MDTM of the first file of `lines` (a LIST of
  // `directory`) that shows a time of day, where no probe has been made yet.
  void ProbeZone(const std::string& directory, const std::vector<std::string>& lines);
  StepReport ChangeDir(const std::string& path);
  StepReport MakeDirTree(const std::string& path);
  StepReport FileSize(const std::string& path);
  StepReport Download(const Step& step);
  StepReport Delete(const std::string& path);
  // The step's report with the connection's state after it (`logged_in`) and this worker.
  StepReport Ended(StepReport report, bool logged_in) const;
  // The report of a step that was one command: what it came to.
  StepReport Ended(CommandOutcome command) const;
  void Title(const std::string& text);

  Env& env_;
  const Login& login_;
  const int number_;
  Session session_;
  Entry entry_ = Entry::kByStep;
  std::function<void()> logged_in_hook_;
};

}  // namespace koru

#endif  // KORU_SYNC_WORKER_H_
