#ifndef KORU_SYNC_LISTED_ENTRY_H_
#define KORU_SYNC_LISTED_ENTRY_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "listing/list_parser.h"
#include "platform/system_time.h"

namespace koru {

// Every line of a listing, read once: the entry it gives, or nothing (a server's notice, a
// total).
using Listing = std::vector<std::optional<LISTENTRY>>;

// How a listing's lines are read: MLSD lines (dates exact, UTC), or LIST lines whose wall
// times are in the server's zone where a probe told it (`zone_minutes` east of UTC), and in the
// local zone otherwise.
struct ListingForm {
  bool mlsd = false;
  std::optional<int32_t> zone_minutes;

  bool operator==(const ListingForm&) const = default;
};

// One line of a listing of `form`: its entry, dated in local time; none for a line that gives
// no entry (a notice, a total, MLSD's cdir and pdir). An MLSD entry with a modify fact is exact
// to the second; a LIST line that shows a time of day, read with a known zone, is moved from
// the server's zone into the local one.
std::optional<LISTENTRY> ParseListedLine(const std::string& line, const SYSTEMTIME& today,
                                         const ListingForm& form = {});

// Every line of a listing read once; `today` dates the entries listed without a year.
Listing ParseListing(const std::vector<std::string>& lines, const SYSTEMTIME& today,
                     const ListingForm& form = {});

// Lines that give an entry: a server's own error text among the lines is no file.
int32_t EntryCount(const Listing& listing);

// The entries of a listing that are directories.
std::vector<LISTENTRY> DirectoryEntries(const Listing& listing);

// Names a listing may give that must never become a local path: "." and ".." stand for
// directories that are no entries of their own, a separator leads elsewhere, and a NUL byte
// would cut the path short.
bool IsUnsafeName(const std::string& name);

// What tells one listed file from another between the passes of one call.
std::string EntryKey(const LISTENTRY& entry, const std::string& name);

// The date and time a listing gives an entry, as a local time.
SYSTEMTIME ListedTime(const LISTENTRY& entry);

bool HasWildcard(const std::string& mask);

// Whether a mask asks only to print the listing ("=" first).
bool IsListOnly(const std::string& mask);

std::string Plural(int32_t n, const char* one, const char* many);

}  // namespace koru

#endif  // KORU_SYNC_LISTED_ENTRY_H_
