#ifndef KORU_SYNC_DIRECTORY_MIRROR_H_
#define KORU_SYNC_DIRECTORY_MIRROR_H_

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "listing/list_parser.h"
#include "run/env.h"
#include "sync/listed_entry.h"
#include "sync/local_file_policy.h"
#include "sync/local_name.h"
#include "sync/mirror_plan.h"
#include "sync/run_totals.h"
#include "sync/scheduler.h"
#include "sync/step.h"
#include "sync/task.h"

namespace koru {

// No co_await here has a temporary of a class with a destructor in its expression (an argument
// built in place, a step): the compiler this is built with copies those into the coroutine's
// frame byte for byte and destroys them twice. Such arguments are named objects, and a
// coroutine that is awaited takes them by reference; one that runs beside its caller
// (TaskGroup::Start) takes them by value, outside any co_await. Nor is a co_await ever part of
// a condition: its result is named first (the same compiler resumes such a coroutine at a point
// it does not have).
//
// The mirror of one directory: its directory phase (the listing its sub-directories come
// from), its sub-directories, and the passes of its file phase. It runs as tasks of the run's
// scheduler, on the scheduler's thread; each step on the server is a step of a worker, whose
// report tells it what happened. The connection policy decides which connection a step runs
// on and whether sub-directories and downloads wait for one another. `step_variant`: the
// connect-per-step behaviour of the starting directory under -U; `depth` counts the levels
// below the starting directory.
class DirectoryMirror {
 public:
  DirectoryMirror(Scheduler& scheduler, std::string remotePath, std::string localDir,
                  const std::string& mask, bool step_variant, int depth);

  Task<int32_t> Run();

 private:
  // --- connections, titles, abort, failures the run must not pass over (directory_mirror.cc)

  Env& env() { return s_.env(); }
  const Options& options() { return s_.options(); }
  RunTotals& totals() { return s_.totals(); }
  bool Aborted() { return s_.state().AbortFlag != 0; }

  void Title(const std::string& text);
  void ActivityTitle(const std::string& activity);

  // Whether a step needs a login of its own first: over one connection, when none is open or
  // the step-by-step variant connects for each step. Over several, workers log themselves in.
  bool NeedsLogin() const;

  // Runs `step`; the connection's state is taken from its report.
  class StepDone : public Scheduler::StepAwaiter {
   public:
    StepDone(DirectoryMirror& mirror, Step step)
        : Scheduler::StepAwaiter(mirror.s_, std::move(step)), mirror_(mirror) {}
    StepReport await_resume() {
      StepReport report = Scheduler::StepAwaiter::await_resume();
      mirror_.connected_ = report.connected;
      return report;
    }

   private:
    DirectoryMirror& mirror_;
  };
  StepDone Do(Step step) { return StepDone(*this, std::move(step)); }

  Task<void> QuitIfConnected();
  Task<void> QuitAfterStep();

  // Logs in; false (after the error line, unless the user has stopped the run) on failure.
  Task<bool> Connect(bool with_line);
  // Logs in where the step needs it (NeedsLogin); false when that failed.
  Task<bool> LogInWhereNeeded(bool with_line);

  // A step that found no connection: the error line and the reason, the directory's downloads
  // end, and the run fails.
  void NoConnection(const StepReport& report);
  void PrintConnectionError(const StepReport& report, bool kept_reply_first);

  void EndByAbort();

  // After work was cut (`lost`: by a lost connection): true when it is to be tried again over
  // a new connection, at most kMaxDownloadTries times for this directory.
  bool TryAgainAfterLoss(bool lost);

  // A CWD that failed (`report`); reported once per directory, and the run fails. Given
  // `again`, one cut by a lost connection is left unreported for another try (true in
  // `again`).
  void ChangeDirFailed(const StepReport& report, bool* again);

  // How a listing ended.
  struct ListingRead {
    int32_t n = 0;  // lines stored
    TransferOutcome outcome;
    bool lost = false;  // cut by a lost connection
  };
  static ListingRead ReadOf(const StepReport& report);

  // True (after the warning, failing the run) when `read` was refused or is incomplete.
  bool ListingFailed(const std::string& argument, const ListingRead& read);

  // The run cannot go on fetching: no connection could be had, or the local disk is full.
  bool CannotFetch() { return no_connection_ || totals().DiskFull; }
  // A file that needed fetching but was not tried because the run could not go on: failed.
  void CountNotTried(const std::string& remote);
  // A directory that was found but is not entered: failed.
  void CountDirectoryNotEntered(const std::string& remote_directory);

  // --- directory phase, file phase, listing (directory_phases.cc) ---

  // False when the call ends here (failed connection, remote path not creatable, abort).
  Task<bool> DirectoryPhase();
  Task<bool> VisitSubDirectories(const std::vector<LISTENTRY>& directories);

  // A directory that cannot be made, or a file standing where it goes, is named with the
  // system's reason: false, and it is not entered.
  bool CreateLocalDirectory(const std::string& path);

  Task<void> Recurse(const std::string& name);
  Task<void> SyncSubDirectoryHere(std::string name);
  Task<void> FilePhase();

  enum class Pass {
    kDone,       // every entry handled: another pass follows when this one verified a download
    kLast,       // no further pass (a refusal, or a listing only shown)
    kAgain,      // cut by a lost connection before its entries: tried again
    kCallEnded,  // no connection, or the user's stop
  };
  Task<Pass> FilePass();

  // When the file phase cannot connect, the files the directory phase listed that needed
  // fetching count as failed: they were found and never tried.
  Task<void> CountFoundFilesNotTried();

  // A location without "/" at its end names a file. When no listed file has that name and the
  // name is a directory on the server (whose listing came in its place), the user most likely
  // meant to mirror that directory: said once, after what the run made of it.
  Task<void> NoteWhenMaskIsADirectory(const Listing& listing);

  std::string ListArgument() const;
  Step ListStep(bool change_dir, std::string argument, std::string title) const;

  // A server that refuses LIST with a mask (5xx) is asked for the whole listing, and the mask
  // matched here. The step-by-step variant keeps its one listing per connection.
  bool MaskRefused(const ListingRead& read);

  // The whole listing, cut down to the lines of entries whose names fit the mask.
  // `form`: how the lines are read.
  Task<ListingRead> ListAndMatchHere(std::vector<std::string>& lines, ListingForm& form);

  void PrintListing(const std::vector<std::string>& lines, int32_t n);
  void PrintFileCount(int32_t n);

  // --- entries, links, local names (directory_entries.cc) ---

  // False when the call has ended (user abort, or no connection for a download).
  // Each listed line, an entry or not, is a point where the user's stop is looked for.
  Task<bool> HandleEntries(const Listing& listing);
  Task<bool> HandleEntriesInOrder(const Listing& listing);
  // Plans the listed file (PlanEntry) and carries out the step.
  Task<void> HandleEntry(const LISTENTRY& listed);
  // Carries out what of `step` needs no server: its local name taken, the local file dated,
  // a skip said and counted. True when nothing more is to be done for the entry.
  bool SettledHere(const EntryStep& step);
  MirrorRules Rules();
  DirectoryMemory Memory() const;

  enum class LinkSize { kResolved, kSkipped, kNoConnection };

  // A link is listed with the size of the link itself; what counts is the size of the file it
  // leads to, which SIZE tells. A link to anything else (a directory, nothing, a server without
  // SIZE) is skipped.
  Task<LinkSize> ResolveLinkSize(LISTENTRY& entry, const std::string& remote);

  NameCharset Charset() const;
  std::string MappedName(const std::string& name) const;

  // Decides, before any entry of a listing is handled, which entries lose their local name to
  // an earlier entry of the same listing: two remote files must never become one local file.
  void FindClashes(const Listing& listing);

  // True when `name` lost its local name to an earlier entry: it is never downloaded, deleted
  // or entered, and counts as failed. The warning comes once a run.
  bool SkippedByClash(const std::string& name, bool is_directory);

  // `remote` is skipped because `local_name` is the local name of `owner` (an earlier entry,
  // or the remote file a local file records as its origin): the clash warning (once a call)
  // and the file or directory counts as failed.
  void SkipForClash(const std::string& remote, bool is_directory, const std::string& local_name,
                    const std::string& owner);

  // True the first time a warning about `remote` comes up in this call, whatever the pass.
  bool FirstWarning(const std::string& remote);

  // --- downloads, tries, verification (directory_downloads.cc) ---

  // Fetches a file, trying again at once over a new connection when one is lost, within the
  // tries a file has in a run. `key` tells the file from others of the listing between passes
  // (EntryKey). Over several connections it goes on beside the rest of the listing.
  Task<void> Download(const FileToFetch& file, const std::string& key,
                      const LocalTarget& target);
  Task<void> DownloadWithTries(FileToFetch file, std::string key, LocalTarget target);

  enum class Fetch { kDone, kLost, kNoConnection };

  // `before`: what stands at the target's download path.
  Task<Fetch> TryDownload(const FileToFetch& file, const std::string& key,
                          const LocalTarget& target, const LocalEntry& before);
  void ReportRefusal(const std::string& remote, const TransferOutcome& outcome);

  // A file that was tried and did not arrive whole counts as failed, unless the user cut the
  // transfer short (a file that is empty on the server and arrived empty has not failed).
  void CountFailure(int64_t listed_size, const std::string& remote, const TransferOutcome& outcome);

  // A file that failed this often in this run is not tried again.
  bool TriesUsedUp(const std::string& remote);

  // A download that found the local disk full ends every download of the run: said once.
  void StopOnFullDisk(const std::string& local_path, const SystemError& error);

  // The size check after a download, with the count and the DELE of a verified one.
  // `actual`: the size of the local file the download left.
  Task<bool> Verify(const DownloadResult& result, int64_t listed_size, const LocalTarget& target,
                    const std::string& remote, int64_t actual);

  void PrintNotErased();

  // DELE of a file whose local copy is verified, with its lines; a refusal is counted.
  Task<void> DeleteRemoteFile(const std::string& remote);

  // --- what a local file records of its origin (directory_entries.cc) ---

  // The origin URL of the remote file `remote` of this run.
  std::string OriginOf(const std::string& remote);
  // -M: the local copy of `remote` is complete and came from it; the remote file is deleted.
  // Once the run cannot go on, the file counts as not deleted.
  Task<void> DeleteCompleteCopy(const std::string& remote, const std::string& key);

  // Only a file the server confirms it sent in full (226 or 250) and that has the listed size
  // may be deleted on the server: one that grew after it was listed, or whose transfer the
  // server announced short, is still there to be fetched whole.
  static bool ArrivedWhole(int64_t actual, const TransferOutcome& outcome, int64_t listed_size);

  Scheduler& s_;
  const std::string remote_path_;
  const std::string local_dir_;
  const std::string& mask_;
  const bool step_;
  const int depth_;
  bool connected_ = false;  // over one connection: it is logged in
  std::optional<std::vector<std::string>> listed_lines_;  // a listing the file pass is to use
  // The directory phase's listing, until a file pass has read one of its own.
  std::optional<std::vector<std::string>> found_lines_;
  ListingForm found_form_;  // how the directory phase's listing is read
  TaskGroup children_;   // sub-directories worked on beside this one
  TaskGroup downloads_;  // downloads of the current pass
  bool no_connection_ = false;  // a download of this call found no connection
  int32_t result_ = 0;
  int32_t pass_transfers_ = 0;
  bool change_dir_reported_ = false;
  bool mask_noted_ = false;    // the mask was looked at as a directory's name
  int32_t lost_tries_ = 0;     // directory work tried again after a lost connection
  std::set<std::string> verified_;   // EntryKey of every file this call verified
  std::set<std::string> abandoned_;  // remote paths of files the user skipped with Tab
  std::set<std::string> warned_;     // remote paths already warned about in this call
  // Local names this call has handed to downloads (+M): taken from then on, whether or not the
  // download has made its file yet.
  std::set<std::string> handed_out_;
  std::map<std::string, LocalNameClash> clashes_;  // of the latest listing, by remote name
};

}  // namespace koru

#endif  // KORU_SYNC_DIRECTORY_MIRROR_H_
