#include "sync/mirror_plan.h"

#include "platform/local_file.h"
#include "sync/listed_entry.h"
#include "sync/origin.h"

namespace koru {

namespace {

EntryAction ActionOf(LocalCopy copy) {
  switch (copy) {
    case LocalCopy::kComplete:
      return EntryAction::kComplete;
    case LocalCopy::kCompleteToDelete:
      return EntryAction::kCompleteToDelete;
    case LocalCopy::kClash:
      return EntryAction::kClashWithOrigin;
    case LocalCopy::kFetchWhole:
      return EntryAction::kFetchWhole;
    case LocalCopy::kFetch:
      break;
  }
  return EntryAction::kFetch;
}

// The decisions before a local name is chosen; false when one of them ends the plan.
bool PlanBeforeName(const LISTENTRY& entry, bool link_sized, const DirectoryMemory& memory,
                    EntryStep& step) {
  if (IsUnsafeName(step.name)) {
    step.action = EntryAction::kSkipUnsafe;
    step.warn = step.name != "." && step.name != ".." && !memory.warned.count(step.remote);
    return false;
  }
  const auto clash = memory.clashes.find(step.name);
  if (clash != memory.clashes.end()) {
    const ListedName& first = clash->second.first;
    step.action = EntryAction::kSkipClash;
    step.local_name = clash->second.local;
    step.owner = memory.remote_path + first.name + (first.is_directory ? "/" : "");
    return false;
  }
  if (memory.abandoned.count(step.remote)) {
    step.action = EntryAction::kSkipAbandoned;
    return false;
  }
  if (entry.isLink && !link_sized) {
    step.action = EntryAction::kResolveLinkSize;
    return false;
  }
  return true;
}

}  // namespace

LocalFacts LocalDirectoryView::Look(const std::string& local_name) const {
  const std::string path = local_dir_ + local_name;
  LocalFacts facts{StatLocal(files_, path), ""};
  if (facts.entry.kind == EntryKind::kRegular) facts.origin = RecordedOrigin(files_, path);
  return facts;
}

std::string MirrorRules::OriginOf(const std::string& remote) const {
  return OriginUrl(security, server, remote);
}

LocalTarget EntryStep::TargetIn(const std::string& local_dir) const {
  const std::string file = local_dir + local_name;
  // A part file starts afresh, whatever an earlier run left of it.
  if (action == EntryAction::kFetchWhole) return LocalTarget{file, PartFileOf(file), {}};
  return LocalTarget{file, "", seen};
}

EntryStep PlanEntry(const LISTENTRY& entry, bool link_sized, const MirrorRules& rules,
                    const DirectoryMemory& memory, const LocalView& local) {
  EntryStep step;
  step.name = EntryFileName(entry);
  step.remote = memory.remote_path + step.name;
  step.key = EntryKey(entry, step.name);
  step.size = entry.size;
  step.listed_time = ListedTime(entry);
  step.exact_time = entry.exact;
  if (!PlanBeforeName(entry, link_sized, memory, step)) return step;

  step.hands_out_name = rules.unique_names;
  step.local_name = ChooseLocalName(
      step.name, rules.unique_names, rules.charset, [&](const std::string& candidate) {
        return memory.handed_out.count(candidate) ||
               local.Look(candidate).entry.kind == EntryKind::kRegular;
      });
  const LocalFacts facts = local.Look(step.local_name);
  step.seen = facts.entry;
  const CopyVerdict verdict = JudgeLocalCopy(rules.copy, facts.entry, facts.origin, entry.size,
                                             step.listed_time, rules.OriginOf(step.remote),
                                             step.exact_time);
  step.action = ActionOf(verdict.copy);
  step.redate = verdict.redate;
  if (verdict.copy == LocalCopy::kClash) step.owner = OriginPath(facts.origin);
  // A file this call has fetched and verified is not fetched again while the listing shows it
  // unchanged: a server whose listed size differs from what it sends, or a refused DELE
  // under +M, would otherwise make the passes repeat without end.
  const bool fetches = step.action == EntryAction::kFetch || step.action == EntryAction::kFetchWhole;
  if (fetches && memory.verified.count(step.key)) step.action = EntryAction::kSkipVerified;
  return step;
}

}  // namespace koru
