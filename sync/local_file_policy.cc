#include "sync/local_file_policy.h"

#include "localfs/local_files.h"
#include "platform/local_file.h"

namespace koru {

bool MirrorFilePolicy::IsComplete(const std::string& local, int64_t listed_size,
                                  const SYSTEMTIME& listed_time) {
  if (env_.options.OverwriteMode) return false;
  const LocalEntry entry = StatLocal(*env_.files, local);
  if (entry.kind != EntryKind::kRegular || entry.size < listed_size) return false;
  DateLike(local, entry.modified_seconds, listed_time);
  return true;
}

bool MirrorFilePolicy::PrepareForDownload(const std::string& local,
                                          const SYSTEMTIME& listed_time) {
  const Options& o = env_.options;
  const LocalEntry entry = StatLocal(*env_.files, local);
  if (entry.kind == EntryKind::kMissing) return false;
  if (o.OverwriteMode) {
    if (env_.verbose()) {
      env_.TimedLine(" * Overwrite mode enabled and local file exists, erasing.");
    }
    DeleteLocalFile(*env_.files, local);
    return false;
  }
  if (entry.size == 0) {
    DeleteLocalFile(*env_.files, local);
    return false;
  }
  const bool same_date = SameLocalMinute(listed_time, entry.modified_seconds);
  return same_date ? o.ResumeMode != 0 : o.ResumeMode > 0;
}

void MirrorFilePolicy::FinishDownload(const std::string& local, const SYSTEMTIME& listed_time) {
  if (FILEEXISTS(*env_.files, local) == 0) {
    DeleteLocalFile(*env_.files, local);
  } else if (listed_time.wYear && listed_time.wMonth && listed_time.wDay) {
    SetDate(local, listed_time);
  } else if (env_.verbose()) {
    env_.TimedLine(" * We do not know the remote file date and time.");
  }
}

// `modified_seconds`: the local file's last write, as the completeness check saw it.
void MirrorFilePolicy::DateLike(const std::string& local, int64_t modified_seconds,
                                const SYSTEMTIME& listed) {
  if (SameLocalMinute(listed, modified_seconds)) return;
  if (env_.verbose()) {
    env_.TimedLine("  File date stamps are different.");
    env_.TimedLine("    Remote= " + FORMATFILEDATE(listed));
    env_.TimedLine("    Local = " + FORMATFILEDATE(EpochToLocal(modified_seconds)));
  }
  SetDate(local, listed);
}

void MirrorFilePolicy::SetDate(const std::string& local, const SYSTEMTIME& listed) {
  std::string why;
  if (!SETFILEDATE(env_, local, listed, -1, &why) && !why.empty()) {
    WarnLocalFileError(env_, local, why);
  }
}

}  // namespace koru
