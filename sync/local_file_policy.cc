#include "sync/local_file_policy.h"

#include "localfs/local_files.h"
#include "platform/local_file.h"
#include "sync/origin.h"

namespace koru {

namespace {

// The listed date and the local file's agree to the minute, or to the second where the remote
// date is exact.
bool SameMoment(const SYSTEMTIME& listed, int64_t modified_seconds, bool exact) {
  if (!SameLocalMinute(listed, modified_seconds)) return false;
  return !exact || EpochToLocal(modified_seconds).wSecond == listed.wSecond;
}

// The listed date and the local file's agree: to the second where the date is exact, to the
// minute, or to the day where the listing shows no time (a line with a year in place of the
// time gives 00:00).
bool SameListedDate(const SYSTEMTIME& listed, int64_t modified_seconds, bool exact) {
  if (exact || listed.wHour != 0 || listed.wMinute != 0) {
    return SameMoment(listed, modified_seconds, exact);
  }
  const SYSTEMTIME local = EpochToLocal(modified_seconds);
  return listed.wYear == local.wYear && listed.wMonth == local.wMonth && listed.wDay == local.wDay;
}

bool Resumes(int32_t resume_mode, const LocalEntry& entry, const SYSTEMTIME& listed_time,
             bool exact) {
  return SameMoment(listed_time, entry.modified_seconds, exact) ? resume_mode != 0
                                                                : resume_mode > 0;
}

LocalCopy AssessNewer(const CopyRules& rules, const LocalEntry& entry, int64_t listed_size,
                      const SYSTEMTIME& listed, bool exact) {
  const bool same_date = SameListedDate(listed, entry.modified_seconds, exact);
  if (entry.size == listed_size && same_date) return LocalCopy::kComplete;
  if (entry.size > 0 && entry.size < listed_size && Resumes(rules.resume, entry, listed, exact)) {
    return LocalCopy::kFetch;
  }
  return LocalCopy::kFetchWhole;
}

}  // namespace

// The local names of listed entries never hold ";" (it is mapped away), so no listed file can
// ever be the part file of another.
std::string PartFileOf(const std::string& local) { return local + ";koru-part"; }

CopyRules CopyRules::Of(const Options& options) {
  return CopyRules{.overwrite = options.OverwriteMode != 0,
                   .newer = options.NewerMode != 0,
                   .move = options.MoveMode != 0,
                   .resume = options.ResumeMode};
}

CopyVerdict JudgeLocalCopy(const CopyRules& rules, const LocalEntry& seen,
                           const std::string& seen_origin, int64_t listed_size,
                           const SYSTEMTIME& listed_time, const std::string& origin, bool exact) {
  if (!seen_origin.empty() && OriginFileName(seen_origin) != OriginFileName(origin)) {
    return {LocalCopy::kClash};
  }
  if (rules.overwrite || seen.kind != EntryKind::kRegular) return {LocalCopy::kFetch};
  const bool other_minute = !SameMoment(listed_time, seen.modified_seconds, exact);
  // A complete copy that this very file's download left (a move stopped before its DELE) is a
  // verified download. An empty remote file is never deleted under -M, and with -N a copy of
  // another date is no copy of what is listed now.
  const bool this_file = listed_size > 0 && seen.size == listed_size && seen_origin == origin &&
                         (!rules.newer || SameListedDate(listed_time, seen.modified_seconds, exact));
  if (rules.move && this_file) {
    return {LocalCopy::kCompleteToDelete, !rules.newer && other_minute};
  }
  if (rules.newer) return {AssessNewer(rules, seen, listed_size, listed_time, exact)};
  if (seen.size < listed_size) return {LocalCopy::kFetch};
  return {LocalCopy::kComplete, other_minute};
}

LocalCopy MirrorFilePolicy::Assess(const std::string& local, int64_t listed_size,
                                   const SYSTEMTIME& listed_time, const std::string& origin,
                                   bool exact) {
  const LocalEntry entry = StatLocal(*env_.files, local);
  before_ = entry;
  if (entry.kind == EntryKind::kRegular) seen_origin_ = RecordedOrigin(*env_.files, local);
  const CopyVerdict verdict = JudgeLocalCopy(CopyRules::Of(options_), entry, seen_origin_,
                                             listed_size, listed_time, origin, exact);
  if (verdict.redate) Redate(local, entry.modified_seconds, listed_time);
  return verdict.copy;
}

void MirrorFilePolicy::Opened(const std::string& local) {
  if (!origin_.empty()) RecordOrigin(*env_.files, local, origin_);
}

bool MirrorFilePolicy::KeepPart(const LocalTarget& target) {
  if (target.part.empty()) return true;
  const int error = env_.files->Rename(target.part, target.file);
  if (error == 0) return true;
  WarnLocalFileError(env_, target.file, SystemErrorText(error));
  DeleteLocalFile(*env_.files, target.part);
  return false;
}

bool MirrorFilePolicy::PrepareForDownload(const std::string& local,
                                          const SYSTEMTIME& listed_time) {
  const Options& o = options_;
  const LocalEntry entry = before_ ? *before_ : StatLocal(*env_.files, local);
  if (entry.kind == EntryKind::kMissing) return false;
  if (o.OverwriteMode) {
    if (options_.verbose()) {
      env_.TimedLine(" * Overwrite mode enabled and local file exists, erasing.");
    }
    DeleteLocalFile(*env_.files, local);
    return false;
  }
  if (entry.size == 0) {
    DeleteLocalFile(*env_.files, local);
    return false;
  }
  return Resumes(o.ResumeMode, entry, listed_time, exact_);
}

void MirrorFilePolicy::FinishDownload(const std::string& local, const SYSTEMTIME& listed_time) {
  after_ = StatLocal(*env_.files, local);
  if (after_.kind != EntryKind::kMissing && after_.size == 0) {
    DeleteLocalFile(*env_.files, local);
    after_ = LocalEntry{};
  } else if (listed_time.wYear && listed_time.wMonth && listed_time.wDay) {
    // A file that could not be made has no date to set.
    if (after_.kind != EntryKind::kMissing) SetDate(local, listed_time);
  } else if (options_.verbose()) {
    env_.TimedLine(" * We do not know the remote file date and time.");
  }
}

void MirrorFilePolicy::Redate(const std::string& local, int64_t modified_seconds,
                              const SYSTEMTIME& listed) {
  if (options_.verbose()) {
    env_.TimedLine("  File date stamps are different.");
    env_.TimedLine("    Remote= " + FORMATFILEDATE(listed));
    env_.TimedLine("    Local = " + FORMATFILEDATE(EpochToLocal(modified_seconds)));
  }
  SetDate(local, listed);
}

void MirrorFilePolicy::SetDate(const std::string& local, const SYSTEMTIME& listed) {
  std::string why;
  if (!StampExistingFile(env_, options_, local, listed, &why) && !why.empty()) {
    WarnLocalFileError(env_, local, why);
  }
}

}  // namespace koru
