// The decision for one listed file, from the listing, the run's rules, what the directory
// remembers and what stands in the local directory.
#include "sync/mirror_plan.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sync/listed_entry.h"
#include "tests/local_dates.h"

namespace koru {
namespace {

using testing::Date;
using testing::EpochOfLocal;

const std::string kDir = "/pub/";
const std::string kOrigin = "ftp://host/pub/a.txt";  // the origin of /pub/a.txt
const SYSTEMTIME kListed = Date(2001, 3, 5, 12, 30);
const int64_t kSameMinute = EpochOfLocal(Date(2001, 3, 5, 12, 30, 40));
const int64_t kOtherDay = EpochOfLocal(Date(2001, 3, 6, 12, 30));

LISTENTRY Listed(const std::string& name, int64_t size, const SYSTEMTIME& date = kListed) {
  LISTENTRY entry;
  entry.name = name;
  entry.size = size;
  entry.year = date.wYear;
  entry.month = static_cast<int16_t>(date.wMonth);
  entry.day = static_cast<int16_t>(date.wDay);
  entry.hour = static_cast<int16_t>(date.wHour);
  entry.minute = static_cast<int16_t>(date.wMinute);
  return entry;
}

LocalFacts File(int64_t size, int64_t modified, const std::string& origin = "") {
  return LocalFacts{{EntryKind::kRegular, size, modified}, origin};
}

// The local directory as a map; every name looked at is noted.
class MapView : public LocalView {
 public:
  LocalFacts Look(const std::string& local_name) const override {
    looked.push_back(local_name);
    const auto found = files.find(local_name);
    return found == files.end() ? LocalFacts{} : found->second;
  }
  std::map<std::string, LocalFacts> files;
  mutable std::vector<std::string> looked;
};

MirrorRules OnHost() {
  MirrorRules rules;
  rules.server = "host";
  return rules;
}

// One directory /pub/ of a run on "host": its memory, its local view and the run's rules.
struct Directory {
  EntryStep Plan(const LISTENTRY& entry, bool link_sized = false) const {
    const DirectoryMemory memory{kDir, verified, abandoned, warned, handed_out, clashes};
    return PlanEntry(entry, link_sized, rules, memory, local);
  }
  MirrorRules rules = OnHost();
  std::set<std::string> verified, abandoned, warned, handed_out;
  std::map<std::string, LocalNameClash> clashes;
  MapView local;
};

// Without -N: a regular file at least the listed size is complete and dated like the listing;
// anything else is fetched into the file, where the download decides on resuming.
TEST(MirrorPlan, LocalCopyBySize) {
  const LocalFacts directory{{EntryKind::kDirectory, 0, kSameMinute}, ""};
  const struct {
    const char* what;
    bool overwrite;
    std::optional<LocalFacts> local;
    EntryAction action;
    bool redate;
  } cases[] = {
      {"missing", false, std::nullopt, EntryAction::kFetch, false},
      {"smaller", false, File(3, kOtherDay), EntryAction::kFetch, false},
      {"equal, same minute", false, File(5, kSameMinute), EntryAction::kComplete, false},
      {"equal, other day", false, File(5, kOtherDay), EntryAction::kComplete, true},
      {"larger", false, File(9, kOtherDay), EntryAction::kComplete, true},
      {"equal, overwrite", true, File(5, kSameMinute), EntryAction::kFetch, false},
      {"smaller, overwrite", true, File(3, kSameMinute), EntryAction::kFetch, false},
      {"a directory in its place", false, directory, EntryAction::kFetch, false},
  };
  for (const auto& c : cases) {
    Directory dir;
    dir.rules.copy = {.overwrite = c.overwrite, .newer = false, .move = false, .resume = 0};
    if (c.local) dir.local.files["a.txt"] = *c.local;
    const EntryStep step = dir.Plan(Listed("a.txt", 5));
    EXPECT_EQ(step.action, c.action) << c.what;
    EXPECT_EQ(step.redate, c.redate) << c.what;
    EXPECT_EQ(step.local_name, "a.txt") << c.what;
    EXPECT_EQ(step.seen.size, c.local ? c.local->entry.size : 0) << c.what;
    if (c.action == EntryAction::kFetch) {
      // What was seen goes with the download, which decides on resuming or erasing.
      const LocalTarget target = step.TargetIn("/m/");
      EXPECT_EQ(target.file, "/m/a.txt") << c.what;
      EXPECT_EQ(target.download(), "/m/a.txt") << c.what;
      EXPECT_EQ(target.seen.kind, c.local ? c.local->entry.kind : EntryKind::kMissing) << c.what;
    }
  }
}

// With -N: complete only at the listed size and date; a smaller file is fetched into itself
// where the resume rule would resume it, anything else whole into a part file.
TEST(MirrorPlan, NewerModeBySizeAndDate) {
  const SYSTEMTIME day_only = Date(2001, 3, 5);  // a listing line with a year, no time
  const struct {
    const char* what;
    int32_t resume;
    SYSTEMTIME listed;
    LocalFacts local;
    EntryAction action;
  } cases[] = {
      {"same size and minute", 0, kListed, File(5, kSameMinute), EntryAction::kComplete},
      {"same size, same day without time", 0, day_only,
       File(5, EpochOfLocal(Date(2001, 3, 5, 17, 2))), EntryAction::kComplete},
      {"same size, other day", 1, kListed, File(5, kOtherDay), EntryAction::kFetchWhole},
      {"larger, same minute", 1, kListed, File(9, kSameMinute), EntryAction::kFetchWhole},
      {"smaller, same minute, -R", -1, kListed, File(3, kSameMinute), EntryAction::kFetch},
      {"smaller, other day, -R", -1, kListed, File(3, kOtherDay), EntryAction::kFetchWhole},
      {"smaller, other day, +R", 1, kListed, File(3, kOtherDay), EntryAction::kFetch},
      {"smaller, no resuming", 0, kListed, File(3, kSameMinute), EntryAction::kFetchWhole},
      {"empty, +R", 1, kListed, File(0, kSameMinute), EntryAction::kFetchWhole},
  };
  for (const auto& c : cases) {
    Directory dir;
    dir.rules.copy = {.overwrite = false, .newer = true, .move = false, .resume = c.resume};
    dir.local.files["a.txt"] = c.local;
    const EntryStep step = dir.Plan(Listed("a.txt", 5, c.listed));
    EXPECT_EQ(step.action, c.action) << c.what;
    EXPECT_FALSE(step.redate) << c.what;
    const LocalTarget target = step.TargetIn("/m/");
    if (c.action == EntryAction::kFetchWhole) {
      EXPECT_EQ(target.download(), PartFileOf("/m/a.txt")) << c.what;
      EXPECT_EQ(target.seen.kind, EntryKind::kMissing) << c.what;
    } else {
      EXPECT_EQ(target.download(), "/m/a.txt") << c.what;
    }
  }
}

// -M: a complete copy that records this very file is a verified download awaiting its DELE;
// one that records another remote name is left alone; one without an origin is just complete.
TEST(MirrorPlan, MoveModeByRecordedOrigin) {
  const struct {
    const char* what;
    bool newer;
    int64_t listed_size;
    LocalFacts local;
    EntryAction action;
    bool redate;
    std::string owner;
  } cases[] = {
      {"this file, other day", false, 5, File(5, kOtherDay, kOrigin),
       EntryAction::kCompleteToDelete, true, ""},
      {"this file, same minute, -N", true, 5, File(5, kSameMinute, kOrigin),
       EntryAction::kCompleteToDelete, false, ""},
      {"this file, other day, -N", true, 5, File(5, kOtherDay, kOrigin),
       EntryAction::kFetchWhole, false, ""},
      {"this file, smaller", false, 5, File(3, kSameMinute, kOrigin), EntryAction::kFetch, false,
       ""},
      {"this file, empty on the server", false, 0, File(0, kOtherDay, kOrigin),
       EntryAction::kComplete, true, ""},
      {"another name", false, 5, File(5, kOtherDay, "ftp://host/pub/a%3Ab.txt"),
       EntryAction::kClashWithOrigin, false, "/pub/a:b.txt"},
      {"the same name on another server", false, 5, File(5, kOtherDay, "ftp://other/x/a.txt"),
       EntryAction::kComplete, true, ""},
      {"no origin", false, 5, File(5, kOtherDay), EntryAction::kComplete, true, ""},
  };
  for (const auto& c : cases) {
    Directory dir;
    dir.rules.copy = {.overwrite = false, .newer = c.newer, .move = true, .resume = 1};
    dir.local.files["a.txt"] = c.local;
    const EntryStep step = dir.Plan(Listed("a.txt", c.listed_size));
    EXPECT_EQ(step.action, c.action) << c.what;
    EXPECT_EQ(step.redate, c.redate) << c.what;
    EXPECT_EQ(step.owner, c.owner) << c.what;
  }
}

// A file that holds another remote file's bytes stays so whatever the rules: never
// overwritten, never dated.
TEST(MirrorPlan, ARecordedOtherNameIsAClashUnderEveryRule) {
  const CopyRules overwrite = {.overwrite = true, .newer = false, .move = false, .resume = 0};
  const CopyRules newer = {.overwrite = false, .newer = true, .move = false, .resume = 0};
  const CopyRules resume = {.overwrite = false, .newer = false, .move = false, .resume = 1};
  for (const CopyRules& rules : {overwrite, newer, resume}) {
    Directory dir;
    dir.rules.copy = rules;
    dir.local.files["a_b.txt"] = File(3, kOtherDay, "ftp://host/pub/a%3Bb.txt");
    const EntryStep step = dir.Plan(Listed("a:b.txt", 5));
    EXPECT_EQ(step.action, EntryAction::kClashWithOrigin);
    EXPECT_EQ(step.local_name, "a_b.txt");
    EXPECT_EQ(step.owner, "/pub/a;b.txt");
    EXPECT_FALSE(step.redate);
  }
}

// +M: the first numbered mapped name that is neither handed out in this call nor a regular
// file; it is handed out from then on. Without unique names the mapped name is used as it is.
TEST(MirrorPlan, UniqueNamesSkipHandedOutAndExistingFiles) {
  const LocalFacts directory{{EntryKind::kDirectory, 0, 0}, ""};
  const struct {
    const char* what;
    bool unique;
    std::set<std::string> handed_out;
    std::map<std::string, LocalFacts> local;
    std::string local_name;
    EntryAction action;
  } cases[] = {
      {"free", true, {}, {}, "a_b.txt", EntryAction::kFetch},
      {"handed out", true, {"a_b.txt"}, {}, "a_b(1).txt", EntryAction::kFetch},
      {"handed out and existing",
       true,
       {"a_b(1).txt"},
       {{"a_b.txt", File(5, kSameMinute)}},
       "a_b(2).txt",
       EntryAction::kFetch},
      // Only a regular file takes a name; a directory in the way is the download's to meet.
      {"a directory", true, {}, {{"a_b.txt", directory}}, "a_b.txt", EntryAction::kFetch},
      {"not unique", false, {"a_b.txt"}, {{"a_b.txt", File(5, kSameMinute)}}, "a_b.txt",
       EntryAction::kComplete},
  };
  for (const auto& c : cases) {
    Directory dir;
    dir.rules.copy = {.overwrite = false, .newer = false, .move = true, .resume = 0};
    dir.rules.unique_names = c.unique;
    dir.handed_out = c.handed_out;
    dir.local.files = c.local;
    const EntryStep step = dir.Plan(Listed("a:b.txt", 5));
    EXPECT_EQ(step.local_name, c.local_name) << c.what;
    EXPECT_EQ(step.hands_out_name, c.unique) << c.what;
    EXPECT_EQ(step.action, c.action) << c.what;
    EXPECT_EQ(step.TargetIn("/m/").file, "/m/" + c.local_name) << c.what;
  }
}

// Skips decided before anything local is looked at: an unsafe name (warned about once, "." and
// ".." never), a name an earlier entry of the listing took, a file the user skipped, and a link
// whose size is still to be asked for.
TEST(MirrorPlan, SkipsBeforeTheLocalFile) {
  LISTENTRY link = Listed("l -> target.txt", 11);
  link.isLink = 1;
  const struct {
    const char* what;
    LISTENTRY entry;
    EntryAction action;
    bool warn;
    std::string local_name;
    std::string owner;
  } cases[] = {
      {"separator", Listed("a\\b", 5), EntryAction::kSkipUnsafe, true, "", ""},
      {"warned before", Listed("w/x", 5), EntryAction::kSkipUnsafe, false, "", ""},
      {"dot", Listed(".", 5), EntryAction::kSkipUnsafe, false, "", ""},
      {"dot dot", Listed("..", 5), EntryAction::kSkipUnsafe, false, "", ""},
      {"clash with a file", Listed("x;1.txt", 5), EntryAction::kSkipClash, false, "x_1.txt",
       "/pub/x:1.txt"},
      {"clash with a directory", Listed("d;x", 5), EntryAction::kSkipClash, false, "d_x",
       "/pub/d:x/"},
      {"abandoned", Listed("gone.txt", 5), EntryAction::kSkipAbandoned, false, "", ""},
      {"link", link, EntryAction::kResolveLinkSize, false, "", ""},
  };
  for (const auto& c : cases) {
    Directory dir;
    dir.warned = {"/pub/w/x"};
    dir.abandoned = {"/pub/gone.txt"};
    dir.clashes = {{"x;1.txt", {"x_1.txt", {"x:1.txt", false}}},
                   {"d;x", {"d_x", {"d:x", true}}}};
    const EntryStep step = dir.Plan(c.entry);
    EXPECT_EQ(step.action, c.action) << c.what;
    EXPECT_EQ(step.warn, c.warn) << c.what;
    EXPECT_EQ(step.local_name, c.local_name) << c.what;
    EXPECT_EQ(step.owner, c.owner) << c.what;
    EXPECT_FALSE(step.hands_out_name) << c.what;
    EXPECT_TRUE(dir.local.looked.empty()) << c.what;
  }
}

// The skips come in their order: a clash or a skipped file is never asked its link size, and
// a clash is said for a file the user also skipped.
TEST(MirrorPlan, EarlierSkipsWin) {
  LISTENTRY link = Listed("x;1.txt -> t", 11);
  link.isLink = 1;
  LISTENTRY gone_link = Listed("gone.txt -> t", 11);
  gone_link.isLink = 1;
  Directory dir;
  dir.abandoned = {"/pub/gone.txt", "/pub/x;1.txt"};
  dir.clashes = {{"x;1.txt", {"x_1.txt", {"x:1.txt", false}}}};
  EXPECT_EQ(dir.Plan(link).action, EntryAction::kSkipClash);
  EXPECT_EQ(dir.Plan(Listed("x;1.txt", 5)).action, EntryAction::kSkipClash);
  EXPECT_EQ(dir.Plan(gone_link).action, EntryAction::kSkipAbandoned);
}

// Once SIZE has told a link's size, the link is planned like a file of that size under its
// name without the target.
TEST(MirrorPlan, ALinkWithItsSizeIsPlannedLikeAFile) {
  LISTENTRY link = Listed("l.txt -> target.txt", 11);
  link.isLink = 1;
  const EntryStep unsized = Directory{}.Plan(link);
  EXPECT_EQ(unsized.action, EntryAction::kResolveLinkSize);
  EXPECT_EQ(unsized.remote, "/pub/l.txt");

  link.size = 5;
  const struct {
    const char* what;
    std::optional<LocalFacts> local;
    EntryAction action;
  } cases[] = {
      {"missing", std::nullopt, EntryAction::kFetch},
      {"smaller than the target", File(3, kSameMinute), EntryAction::kFetch},
      {"the target's size", File(5, kSameMinute), EntryAction::kComplete},
  };
  for (const auto& c : cases) {
    Directory dir;
    if (c.local) dir.local.files["l.txt"] = *c.local;
    const EntryStep step = dir.Plan(link, true);
    EXPECT_EQ(step.action, c.action) << c.what;
    EXPECT_EQ(step.local_name, "l.txt") << c.what;
    EXPECT_EQ(step.size, 5) << c.what;
    EXPECT_EQ(step.key, EntryKey(link, "l.txt")) << c.what;
  }
}

// A file verified earlier in this call is not fetched again while listed unchanged; what the
// local copy says comes first (a complete copy is still dated, a clash still said).
TEST(MirrorPlan, AFileVerifiedInThisCall) {
  const LISTENTRY listed = Listed("a.txt", 5);
  const struct {
    const char* what;
    LISTENTRY entry;
    LocalFacts local;
    EntryAction action;
  } cases[] = {
      {"smaller", listed, File(3, kSameMinute), EntryAction::kSkipVerified},
      {"complete", listed, File(5, kOtherDay), EntryAction::kComplete},
      {"clash", listed, File(3, kSameMinute, "ftp://host/pub/b.txt"),
       EntryAction::kClashWithOrigin},
      {"listed with another size now", Listed("a.txt", 7), File(5, kSameMinute),
       EntryAction::kFetch},
  };
  for (const auto& c : cases) {
    Directory dir;
    dir.verified = {EntryKey(listed, "a.txt")};
    dir.local.files["a.txt"] = c.local;
    const EntryStep step = dir.Plan(c.entry);
    EXPECT_EQ(step.action, c.action) << c.what;
    EXPECT_EQ(step.redate, c.action == EntryAction::kComplete) << c.what;
  }
  Directory whole;
  whole.rules.copy = {.overwrite = false, .newer = true, .move = false, .resume = 0};
  whole.verified = {EntryKey(listed, "a.txt")};
  whole.local.files["a.txt"] = File(5, kOtherDay);
  EXPECT_EQ(whole.Plan(listed).action, EntryAction::kSkipVerified);
}

}  // namespace
}  // namespace koru
