#ifndef KORU_SYNC_MIRROR_PLAN_H_
#define KORU_SYNC_MIRROR_PLAN_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "listing/list_parser.h"
#include "platform/file_system.h"
#include "platform/system_time.h"
#include "run/options.h"
#include "sync/local_file_policy.h"
#include "sync/local_name.h"

// What the mirror does with one listed file, decided from what it knows without touching the
// server or changing anything: the listing's entry, the run's rules, what the directory has
// remembered so far and a read-only look at the local directory.
namespace koru {

// What stands at a local name.
struct LocalFacts {
  LocalEntry entry;    // kMissing when nothing stands there
  std::string origin;  // the origin a regular file records (sync/origin.h); empty for none
};

// A read-only look at the local directory a listing is mirrored into.
class LocalView {
 public:
  virtual ~LocalView() = default;
  // What stands at `local_name`, a name within the directory.
  virtual LocalFacts Look(const std::string& local_name) const = 0;
};

// The local directory `local_dir` (ending in "/") on `files`.
class LocalDirectoryView : public LocalView {
 public:
  LocalDirectoryView(FileSystem& files, std::string local_dir)
      : files_(files), local_dir_(std::move(local_dir)) {}
  LocalFacts Look(const std::string& local_name) const override;

 private:
  FileSystem& files_;
  const std::string local_dir_;
};

// The rules of the run, as far as the decision for one entry goes.
struct MirrorRules {
  CopyRules copy;
  bool unique_names = false;  // +M: each download gets a local name no file has yet
  NameCharset charset = NameCharset::kStandard;
  // How the origin of a remote path is named: the login's server, reached with `security`.
  ConnectionSecurity security = ConnectionSecurity::kPlain;
  std::string server;

  std::string OriginOf(const std::string& remote) const;
};

// What the directory remembers from earlier entries and passes of this call, read-only.
struct DirectoryMemory {
  const std::string& remote_path;            // the directory on the server, ending in "/"
  const std::set<std::string>& verified;     // EntryKey of every file this call verified
  const std::set<std::string>& abandoned;    // remote paths the user skipped
  const std::set<std::string>& warned;       // remote paths already warned about
  const std::set<std::string>& handed_out;   // local names handed to downloads (+M)
  const std::map<std::string, LocalNameClash>& clashes;  // of the listing, by remote name
};

enum class EntryAction {
  kSkipUnsafe,         // a name that must never become a local path (`warn`: say so now)
  kSkipClash,          // lost `local_name` to `owner`, an earlier entry of the listing
  kSkipAbandoned,      // the user skipped it earlier in this call
  kResolveLinkSize,    // a link: its size is asked for, then the entry planned again with it
  kComplete,           // nothing to fetch (`redate`: dated like the listing first)
  kCompleteToDelete,   // -M: a complete copy of this very file; only its DELE is missing
  kClashWithOrigin,    // `local_name` holds the bytes of `owner`, another remote file
  kSkipVerified,       // fetched and verified earlier in this call, listed unchanged
  kFetch,              // fetched into the local file (new, completed or resumed)
  kFetchWhole,         // changed on the server (-N): fetched whole into a part file beside it
};

// One step for one listed file. Each field is set from the stage of the decision that gives
// it on: `local_name`, `seen`, `hands_out_name` once the local name is chosen.
struct EntryStep {
  EntryAction action = EntryAction::kSkipUnsafe;
  std::string name;    // the listed file name
  std::string remote;  // its remote path
  std::string key;     // EntryKey: tells it from other files between passes
  int64_t size = 0;    // the listed size (a link's: SIZE's answer)
  SYSTEMTIME listed_time{};
  bool exact_time = false;  // `listed_time` is exact to the second
  bool warn = false;
  std::string local_name;
  bool hands_out_name = false;  // +M: `local_name` is taken from now on
  LocalEntry seen;              // what stands at `local_name`
  bool redate = false;
  std::string owner;  // a clash: the remote path whose local name it is

  // Where a fetch goes within `local_dir` (ending in "/"): a whole fetch into the part file.
  LocalTarget TargetIn(const std::string& local_dir) const;
};

// The step for the listed file `entry` (no directory), with the decisions of the mirror in
// their order: an unsafe name, a clash with an earlier entry, a file the user skipped, a link
// whose size is not yet known (`link_sized`: entry.size is SIZE's answer), then the local name
// (the mapped name, or with unique names the first numbered one neither handed out nor a
// regular file), what its local copy asks for (JudgeLocalCopy), and a file verified already.
EntryStep PlanEntry(const LISTENTRY& entry, bool link_sized, const MirrorRules& rules,
                    const DirectoryMemory& memory, const LocalView& local);

}  // namespace koru

#endif  // KORU_SYNC_MIRROR_PLAN_H_
