#ifndef KORU_SYNC_DIRECTORY_SYNC_H_
#define KORU_SYNC_DIRECTORY_SYNC_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ftp/download.h"
#include "ftp/session.h"
#include "listing/list_parser.h"
#include "run/env.h"
#include "sync/connection_pool.h"
#include "sync/listed_entry.h"
#include "sync/local_file_policy.h"
#include "sync/local_name.h"
#include "sync/parallel_run.h"
#include "sync/run_totals.h"
#include "sync/thread_group.h"

namespace koru {

// Tries of one file in one run before it is left as failed.
inline constexpr int32_t kMaxDownloadTries = 3;

// One engine call for one directory. `step_variant` selects the connect-per-step behaviour of
// the starting directory under -U; `depth` counts the levels below the starting directory.
class DirectorySync {
 public:
  DirectorySync(Env& env, RunTotals& totals, const std::string& server, const std::string& user,
                const std::string& password, const std::string& remotePath,
                const std::string& localDir, const std::string& mask, bool step_variant, int depth,
                ParallelRun* parallel = nullptr);

  int32_t Run();

 private:
  // --- connections, titles, abort, failures the run must not pass over (directory_sync.cc) ---

  void Title(const std::string& text);
  void ActivityTitle(const std::string& activity);

  // The connection this thread works on: the call's own, or the one it has borrowed from the
  // run's connections. Over several connections a thread that holds none has none to read:
  // asking for one then ends the program (a reply read there would be another thread's).
  Session& Sess() const;

  bool Connected() const;
  void QuitIfConnected();

  // The connecting line (in verbose mode, where `with_line`), the title and the login.
  void OpenConnection(bool with_line);

  // A connection of the run for this thread, logged in where it can be: one that was lost is
  // logged in again; a further one the server no longer lets in is given up for another. None
  // once the user has stopped the run or no connection can come back.
  void BorrowConnection();

  void GiveBackConnection();
  void PrintConnectionError();

  // The line after the connection error that says why: the system's text or the server's
  // silence when no reply came, else the refusing reply.
  void PrintConnectionReason();

  // Logs in; false (after the error line, unless the user has stopped the run) on failure.
  bool Connect(bool with_line);

  // The abort test between entries: AbortFlag, or Esc waiting (other keys are dropped).
  bool AbortRequested();

  void PrintAbort();
  void EndByAbort();

  // Whether the connection of the last command was lost (no reply, closed, or 421) rather than
  // the command refused.
  bool ConnectionWasLost() const;

  // After work was cut (`lost`: by a lost connection): true when it is to be tried again over
  // a new connection, at most kMaxDownloadTries times for this directory.
  bool TryAgainAfterLoss(bool lost);

  // Changes to remote_path_; a refusal is reported once per directory and fails the run. Given
  // `again`, a change cut by a lost connection is left unreported for another try (true
  // in `again`).
  bool ChangeToRemoteDirectory(bool* again = nullptr);

  // How a listing ended, taken from the connection that read it before that connection goes
  // back to the run's.
  struct ListingRead {
    int32_t n = 0;  // lines stored
    TransferOutcome outcome;
    bool lost = false;  // cut by a lost connection
  };
  ListingRead TakeListingOutcome(int32_t n) const;

  // True (after the warning, failing the run) when `read` was refused or is incomplete.
  bool ListingFailed(const std::string& argument, const ListingRead& read);

  // The run cannot go on fetching: no connection could be had, or the local disk is full.
  bool CannotFetch() const;
  // A file that needed fetching but was not tried because the run could not go on: failed.
  void CountNotTried(const std::string& remote);
  // A directory that was found but is not entered: failed.
  void CountDirectoryNotEntered(const std::string& remote_directory);

  // --- directory phase, file phase, listing (directory_phases.cc) ---

  // False when the call ends here (failed connection, remote path not creatable, abort).
  bool DirectoryPhase();

  bool VisitSubDirectories(const std::vector<LISTENTRY>& directories);

  // A directory that cannot be made, or a file standing where it goes, is named with the
  // system's reason: false, and it is not entered.
  bool CreateLocalDirectory(const std::string& path);

  void Recurse(const std::string& name);
  void SyncSubDirectoryHere(const std::string& name);
  void FilePhase();

  enum class Pass {
    kDone,       // every entry handled: another pass follows when this one verified a download
    kLast,       // no further pass (a refusal, or a listing only shown)
    kAgain,      // cut by a lost connection before its entries: tried again
    kCallEnded,  // no connection, or the user's stop
  };

  Pass FilePass();

  // When the file phase cannot connect, the files the directory phase listed that needed
  // fetching count as failed: they were found and never tried.
  void CountFoundFilesNotTried();

  // A location without "/" at its end names a file. When no listed file has that name and the
  // name is a directory on the server (whose listing came in its place), the user most likely
  // meant to mirror that directory: said once, after what the run made of it.
  void NoteWhenMaskIsADirectory(const Listing& listing);

  std::string ListArgument() const;
  ListingRead List(std::vector<std::string>& lines);

  // A server that refuses LIST with a mask (5xx) is asked for the whole listing, and the mask
  // matched here. The step-by-step variant keeps its one listing per connection.
  bool MaskRefused(const ListingRead& read) const;

  // The whole listing, cut down to the lines of entries whose names fit the mask.
  ListingRead ListAndMatchHere(std::vector<std::string>& lines);

  void PrintListing(const std::vector<std::string>& lines, int32_t n);
  void PrintFileCount(int32_t n);

  // --- entries, links, local names (directory_entries.cc) ---

  // False when the call has ended (user abort, or no connection for a download).
  // Each listed line, an entry or not, is a point where the user's stop is looked for.
  bool HandleEntries(const Listing& listing);

  bool HandleEntriesInOrder(const Listing& listing);

  // False when a download found no connection.
  bool HandleEntry(LISTENTRY entry);

  enum class LinkSize { kResolved, kSkipped, kNoConnection };

  // A link is listed with the size of the link itself; what counts is the size of the file it
  // leads to, which SIZE tells. A link to anything else (a directory, nothing, a server without
  // SIZE) is skipped.
  LinkSize ResolveLinkSize(LISTENTRY& entry, const std::string& remote);

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

  std::string LocalName(const std::string& name);

  // --- downloads, tries, verification (directory_downloads.cc) ---

  // A download cut by a lost connection is tried again at once over a new one, within the
  // tries a file has in a run.
  // `key` tells the file from others of the listing between passes (EntryKey).
  bool Download(const FileToFetch& file, const std::string& key, const LocalTarget& target);

  // Hands the download to a connection of its own; false once a download found no connection.
  bool DownloadOnAnyConnection(const FileToFetch& file, const std::string& key,
                               const LocalTarget& target);

  void WaitForDownloads();
  bool DownloadWithTries(const FileToFetch& file, const std::string& key,
                         const LocalTarget& target);

  enum class Fetch { kDone, kLost, kNoConnection };

  // `before`: what stands at the target's download path.
  Fetch TryDownload(const FileToFetch& file, const std::string& key, const LocalTarget& target,
                    const LocalEntry& before);
  void ReportRefusal(const std::string& remote, const TransferOutcome& outcome);

  // A file that was tried and did not arrive whole counts as failed, unless the user cut the
  // transfer short (a file that is empty on the server and arrived empty has not failed).
  void CountFailure(int64_t listed_size, const std::string& remote, const TransferOutcome& outcome);

  // A file that failed this often in this run is not tried again.
  bool TriesUsedUp(const std::string& remote) const;

  // A download that found the local disk full ends every download of the run: said once.
  void StopOnFullDisk(const std::string& local_path, const SystemError& error);

  // The size check after a download, with the count and the DELE of a verified one.
  // `actual`: the size of the local file the download left.
  bool Verify(const DownloadResult& result, int64_t listed_size, const LocalTarget& target,
              const std::string& remote, int64_t actual);

  void PrintNotErased();

  // DELE of a file whose local copy is verified, with its lines; a refusal is counted.
  void DeleteRemoteFile(const std::string& remote);

  // --- what a local file records of its origin (directory_entries.cc) ---

  // The origin URL of the remote file `remote` of this run.
  std::string OriginOf(const std::string& remote) const;
  // -M: the local copy of `remote` is complete and came from it; the remote file is deleted.
  // False when no connection could be had (once the run cannot go on, the file counts as not
  // deleted).
  bool DeleteCompleteCopy(const std::string& remote, const std::string& key);

  // Only a file the server confirms it sent in full (226 or 250) and that has the listed size
  // may be deleted on the server: one that grew after it was listed, or whose transfer the
  // server announced short, is still there to be fetched whole.
  static bool ArrivedWhole(int64_t actual, const TransferOutcome& outcome, int64_t listed_size);

  Env& env_;
  RunSettings& s_;
  const Options& o_;
  RunTotals& t_;
  const std::string& server_;
  const std::string& user_;
  const std::string& password_;
  const std::string& remote_path_;
  const std::string& local_dir_;
  const std::string& mask_;
  const bool step_;
  const int depth_;
  // The connection of this call over one connection, closed when the call ends; none over
  // several, where each thread borrows one of the run's.
  std::unique_ptr<Session> session_;
  ParallelRun* const parallel_;    // the run's connections, when it has several at once
  // The connection this thread has borrowed from the run's (each thread its own).
  static thread_local std::unique_ptr<ConnectionPool::Lease> borrowed_;
  std::optional<std::vector<std::string>> listed_lines_;  // a listing the file pass is to use
  // The directory phase's listing, until a file pass has read one of its own.
  std::optional<std::vector<std::string>> found_lines_;
  ThreadGroup children_;   // sub-directories worked on at once
  ThreadGroup downloads_;  // downloads of the current pass
  bool no_connection_ = false;  // a download of this call found no connection
  int h_ = -1;                  // what the latest connect gave: the channel, or -1 / 0
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

#endif  // KORU_SYNC_DIRECTORY_SYNC_H_
