#ifndef KORU_SYNC_LOCAL_FILE_POLICY_H_
#define KORU_SYNC_LOCAL_FILE_POLICY_H_

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "ftp/download.h"
#include "localfs/local_files.h"
#include "run/env.h"
#include "run/options.h"

namespace koru {

// Where a download goes: straight into the local file, or (fetched again whole while the old
// copy stays) into a part file beside it that replaces the local file once verified.
struct LocalTarget {
  std::string file;  // the local file the mirror keeps
  std::string part;  // where the download is written first; empty: into `file` itself
  LocalEntry seen;   // what stood at download() when the listing was handled
  const std::string& download() const { return part.empty() ? file : part; }
};

// What the mirror makes of a listed file's local copy.
enum class LocalCopy {
  kComplete,          // nothing to fetch
  kFetch,             // fetch into the local file (new, completed or resumed)
  kFetchWhole,        // changed on the server (-N): fetch whole into a part file beside it
  kClash,             // the local file came from a remote file of another name: left alone
  kCompleteToDelete,  // -M: a complete copy of this very file; only its DELE is missing
};

// The part file of `local` while it is fetched again whole: a name no listed entry's local
// name can be.
std::string PartFileOf(const std::string& local);

// The switches of a run that decide what becomes of a local copy.
struct CopyRules {
  bool overwrite = false;  // every file is fetched again, the local copy erased first
  bool newer = false;      // what changed on the server (size or date) is fetched again
  bool move = false;       // remote files are deleted once their local copy is verified
  int32_t resume = 0;      // 0 never, -1 when the dates agree, 1 always
  static CopyRules Of(const Options& options);
};

// What becomes of a local copy, and whether a complete one is to be dated like the listing.
struct CopyVerdict {
  LocalCopy copy = LocalCopy::kFetch;
  bool redate = false;
};

// The decision of MirrorFilePolicy::Assess, from what stands at the local file (`seen`, with
// the origin it records, `seen_origin`, empty for none) alone: nothing is looked at or changed.
// Where the listed date is `exact` (to the second), dates are compared to the second.
CopyVerdict JudgeLocalCopy(const CopyRules& rules, const LocalEntry& seen,
                           const std::string& seen_origin, int64_t listed_size,
                           const SYSTEMTIME& listed_time, const std::string& origin,
                           bool exact = false);

// What a mirror does with a local file: whether it is fetched, erased or resumed, and how it is
// dated and tidied after a download. Reads the overwrite and resume switches of the run.
// The local file is looked at once before a download (Assess, or the caller's `before`) and
// once after it (FinishDownload, whose finding After() gives).
class MirrorFilePolicy : public LocalFilePolicy {
 public:
  MirrorFilePolicy(Env& env, const Options& options) : env_(env), options_(options) {}
  // For a download into a file already looked at: `before` is what stood there.
  MirrorFilePolicy(Env& env, const Options& options, const LocalEntry& before)
      : env_(env), options_(options), before_(before) {}

  // Without NewerMode: complete when `local` is a regular file at least `listed_size` long
  // (outside overwrite mode); it is then dated like the listing where it is not already.
  // With NewerMode: complete when it has the listed size and date (to the minute, or to the day
  // where the listing shows no time), never re-dated; a smaller one is fetched into itself when
  // the resume rules would resume it, anything else that differs is fetched again whole.
  // Before all that, the origin the local file records (sync/origin.h) is set against
  // `origin`, the listed file's: one of another file name is a clash, never resumed,
  // overwritten, re-dated or taken as complete; with MoveMode a complete copy (the listed
  // size; with NewerMode the listed date too) that records `origin` itself is
  // kCompleteToDelete. A file without an origin follows the rules above alone.
  // JudgeLocalCopy on what stands at `local`, which is then dated where the verdict says so.
  // With `exact` (the listed date is exact to the second) dates agree only to the second.
  LocalCopy Assess(const std::string& local, int64_t listed_size, const SYSTEMTIME& listed_time,
                   const std::string& origin, bool exact = false);

  // The dates PrepareForDownload compares are exact to the second.
  void ComparesToTheSecond(bool exact) { exact_ = exact; }

  // Dates the complete local file `local`, last written at `modified_seconds`, like the
  // listing, where a verdict said its date differs (verbose: both dates first).
  void Redate(const std::string& local, int64_t modified_seconds, const SYSTEMTIME& listed);

  // The origin a download records on its file as soon as it is opened.
  void RecordsOrigin(std::string origin) { origin_ = std::move(origin); }
  // The local file is open for writing: it gets the origin given to RecordsOrigin.
  void Opened(const std::string& local) override;

  // Puts a verified part file in the place of the local file; false after the warning.
  bool KeepPart(const LocalTarget& target);

  // Erases the local file in overwrite mode or when empty; otherwise true when it is to be
  // resumed: with ResumeMode 1, or -1 and its date agreeing to the minute with the listing.
  bool PrepareForDownload(const std::string& local, const SYSTEMTIME& listed_time) override;

  // Deletes an empty local file and dates any other like the listing, where that is known.
  void FinishDownload(const std::string& local, const SYSTEMTIME& listed_time) override;

  // What Assess found at the local file.
  LocalEntry Seen() const { return before_.value_or(LocalEntry{}); }
  // The origin Assess found recorded on the local file; empty for none.
  const std::string& SeenOrigin() const { return seen_origin_; }
  // What the download left: missing for an empty file (deleted); before FinishDownload, missing.
  const LocalEntry& After() const { return after_; }

 private:
  void SetDate(const std::string& local, const SYSTEMTIME& listed);

  Env& env_;
  const Options& options_;
  std::optional<LocalEntry> before_;
  bool exact_ = false;
  LocalEntry after_;
  std::string origin_;
  std::string seen_origin_;
};

}  // namespace koru

#endif  // KORU_SYNC_LOCAL_FILE_POLICY_H_
