#include "sync/listed_entry.h"

#include <algorithm>
#include <string_view>

#include "listing/mlsd_parser.h"
#include "listing/remote_time.h"
#include "localfs/local_files.h"
#include "platform/local_file.h"
#include "platform/text.h"

namespace koru {

namespace {

void SetLocalDate(LISTENTRY& entry, int64_t utc_seconds) {
  const SYSTEMTIME local = EpochToLocal(utc_seconds);
  entry.year = local.wYear;
  entry.month = static_cast<int16_t>(local.wMonth);
  entry.day = static_cast<int16_t>(local.wDay);
  entry.hour = static_cast<int16_t>(local.wHour);
  entry.minute = static_cast<int16_t>(local.wMinute);
  entry.second = static_cast<int16_t>(local.wSecond);
}

}  // namespace

std::optional<LISTENTRY> ParseListedLine(const std::string& line, const SYSTEMTIME& today,
                                         const ListingForm& form) {
  if (form.mlsd) {
    const std::optional<MlsdEntry> mlsd = ParseMlsdLine(line);
    if (!mlsd) return std::nullopt;
    std::optional<ExactEntry> exact = ToExactEntry(*mlsd);
    if (!exact) return std::nullopt;
    if (exact->utc_seconds) {
      SetLocalDate(exact->entry, *exact->utc_seconds);
      exact->entry.exact = true;
    }
    return std::move(exact->entry);
  }
  LISTENTRY entry;
  if (!PARSELISTLINE(line, entry, today)) return std::nullopt;
  if (form.zone_minutes && ListLineShowsTime(line, today)) {
    SetLocalDate(entry, ListedTimeToUtc(entry, *form.zone_minutes));
  }
  return entry;
}

Listing ParseListing(const std::vector<std::string>& lines, const SYSTEMTIME& today,
                     const ListingForm& form) {
  Listing listing;
  listing.reserve(lines.size());
  for (const std::string& line : lines) listing.push_back(ParseListedLine(line, today, form));
  return listing;
}

int32_t EntryCount(const Listing& listing) {
  return static_cast<int32_t>(
      std::count_if(listing.begin(), listing.end(), [](const auto& entry) { return entry; }));
}

std::vector<LISTENTRY> DirectoryEntries(const Listing& listing) {
  std::vector<LISTENTRY> directories;
  for (const std::optional<LISTENTRY>& entry : listing) {
    if (entry && entry->isDir) directories.push_back(*entry);
  }
  return directories;
}

bool IsUnsafeName(const std::string& name) {
  static constexpr std::string_view kSeparators("/\\\0", 3);
  return name.empty() || name == "." || name == ".." ||
         name.find_first_of(kSeparators) != std::string::npos;
}

std::string EntryKey(const LISTENTRY& entry, const std::string& name) {
  return name + '\n' + std::to_string(entry.size) + ' ' + std::to_string(entry.year) + '-' +
         std::to_string(entry.month) + '-' + std::to_string(entry.day) + ' ' +
         std::to_string(entry.hour) + ':' + std::to_string(entry.minute) +
         (entry.exact ? ':' + std::to_string(entry.second) : "");
}

SYSTEMTIME ListedTime(const LISTENTRY& entry) {
  SYSTEMTIME t;
  t.wYear = static_cast<uint16_t>(entry.year);
  t.wMonth = static_cast<uint16_t>(entry.month);
  t.wDay = static_cast<uint16_t>(entry.day);
  t.wDayOfWeek = static_cast<uint16_t>(
      DAYOFWEEK(ZeroPad(entry.year, 4) + ZeroPad(entry.month, 2) + ZeroPad(entry.day, 2)));
  t.wHour = static_cast<uint16_t>(entry.hour);
  t.wMinute = static_cast<uint16_t>(entry.minute);
  t.wSecond = static_cast<uint16_t>(entry.second);
  t.wMilliseconds = 0;
  return t;
}

bool HasWildcard(const std::string& mask) { return mask.find_first_of("?*") != std::string::npos; }

bool IsListOnly(const std::string& mask) { return !mask.empty() && mask[0] == '='; }

std::string Plural(int32_t n, const char* one, const char* many) { return n == 1 ? one : many; }

}  // namespace koru
