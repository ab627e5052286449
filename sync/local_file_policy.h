#ifndef KORU_SYNC_LOCAL_FILE_POLICY_H_
#define KORU_SYNC_LOCAL_FILE_POLICY_H_

#include <cstdint>
#include <string>

#include "ftp/download.h"
#include "run/env.h"

namespace koru {

// What a mirror does with a local file: whether it is fetched, erased or resumed, and how it is
// dated and tidied after a download. Reads the overwrite and resume switches of the run.
class MirrorFilePolicy : public LocalFilePolicy {
 public:
  explicit MirrorFilePolicy(Env& env) : env_(env) {}

  // True when `local` is complete (a regular file at least `listed_size` long, outside
  // overwrite mode); it is then dated like the listing where it is not already.
  bool IsComplete(const std::string& local, int64_t listed_size, const SYSTEMTIME& listed_time);

  // Erases the local file in overwrite mode or when empty; otherwise true when it is to be
  // resumed: with ResumeMode 1, or -1 and its date agreeing to the minute with the listing.
  bool PrepareForDownload(const std::string& local, const SYSTEMTIME& listed_time) override;

  // Deletes an empty local file and dates any other like the listing, where that is known.
  void FinishDownload(const std::string& local, const SYSTEMTIME& listed_time) override;

 private:
  void DateLike(const std::string& local, int64_t modified_seconds, const SYSTEMTIME& listed);
  void SetDate(const std::string& local, const SYSTEMTIME& listed);

  Env& env_;
};

}  // namespace koru

#endif  // KORU_SYNC_LOCAL_FILE_POLICY_H_
