#ifndef KORU_SYNC_LOCAL_NAME_H_
#define KORU_SYNC_LOCAL_NAME_H_

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace koru {

// Which characters a local name may not hold: the nine < > | * ? : ; \ / of the per-directory
// engine, or those plus "+" and "`" for the step-by-step variant.
enum class NameCharset { kStandard, kStepVariant };

// `name` with every character the local file system should not see replaced by "_".
std::string MapLocalName(std::string_view name, NameCharset charset);

// `name` with the copy number k before its first dot: report.txt gives report(k).txt,
// a.tar.gz a(k).tar.gz, README README(k), .profile (k).profile.
std::string NumberedName(std::string_view name, int k);

// The local name for `remote_name`: the mapped name, or with `unique` the first mapped numbered
// name (1, 2, ...) for which `taken` says no, so an existing local file is never written over.
std::string ChooseLocalName(std::string_view remote_name, bool unique, NameCharset charset,
                            const std::function<bool(const std::string&)>& taken);

// One entry of a listing, as far as its local name goes.
struct ListedName {
  std::string name;  // the remote name, exact
  bool is_directory = false;
};

// A later entry whose local name an earlier entry of the same listing already has.
struct LocalNameClash {
  std::string local;  // the local name both map to
  ListedName first;   // the entry that keeps it
};

// For the entries of one listing, in listing order: every entry whose mapped local name an
// earlier entry already has, by remote name, with the earlier entry. The first in listing order
// always keeps its name, so the verdict depends on the listing alone. Names that differ only in
// letter case are different local names; a name listed twice is one entry.
std::map<std::string, LocalNameClash> FindLocalNameClashes(const std::vector<ListedName>& entries,
                                                           NameCharset charset);

}  // namespace koru

#endif  // KORU_SYNC_LOCAL_NAME_H_
