#ifndef KORU_SYNC_RUN_TOTALS_H_
#define KORU_SYNC_RUN_TOTALS_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace koru {

// Tries of one file in one run before it is left as failed.
inline constexpr int32_t kMaxDownloadTries = 3;

// What a run has done and failed to do, counted by the engine across all its directories and
// passes, and printed after the run.
struct RunTotals {
  int32_t FilesTransferred = 0;  // verified downloads of the whole run
  int32_t SubDirsCreated = 0;    // local directories the run tried to create
  // Downloads of this run that ended unverified, by remote path, with the number of tries;
  // a file leaves it once it arrives whole. Its size is the "files failed" count.
  std::map<std::string, int32_t> FailedDownloads;
  // Remote directories of this run that could not be entered or listed, or were skipped; a
  // directory leaves it once a later try lists it. Its size is the "directories failed" count.
  std::set<std::string> FailedDirectories;
  // Remote files of this run that -M verified but the server refused to delete.
  std::set<std::string> UndeletedFiles;
  // Directories whose listing with the mask the server refused, so that the mask was matched
  // here against the whole listing.
  int32_t MasksMatchedHere = 0;
  // A download found the local disk full: no download of the run is tried after it.
  bool DiskFull = false;
};

}  // namespace koru

#endif  // KORU_SYNC_RUN_TOTALS_H_
