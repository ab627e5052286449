#ifndef KORU_SYNC_LOCAL_NAME_H_
#define KORU_SYNC_LOCAL_NAME_H_

#include <functional>
#include <string>
#include <string_view>

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

}  // namespace koru

#endif  // KORU_SYNC_LOCAL_NAME_H_
