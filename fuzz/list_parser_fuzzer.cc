// A listing line from a server (any bytes) and the local date, through the listing parser, the
// link cut and the listing filter.
#include <string>

#include "fuzz/fuzz_target.h"
#include "listing/list_parser.h"
#include "platform/text.h"

namespace koru::fuzz {
namespace {

// What the caller had in the record: a line that yields no entry must leave it so.
const LISTENTRY kUntouched{-7, -7, -7, -7, -7, -7, -7, "untouched", -7};

// A second local date: what the parser takes from a line other than the year must not depend
// on the date (the listing filter and the engine parse the same line at different moments).
const SYSTEMTIME kOtherDay{1999, 12, 5, 31, 0, 0, 0, 0};

bool HoldsSlash(std::string_view name) { return name.find_first_of("/\\") != name.npos; }

void CheckEntry(std::string_view line, const LISTENTRY& entry) {
  Check(!TrimBlanks(entry.name).empty(), "an entry has a name that is not blank");
  Check(entry.name.size() <= kListNameLength, "a name has at most 256 characters");
  Check(line.find(entry.name) != line.npos, "the name is text of the line");
  Check(entry.isDir == 0 || entry.isDir == 1, "isDir is 0 or 1");
  Check(entry.isLink == 0 || entry.isLink == 1, "isLink is 0 or 1");
  Check(!(entry.isDir && entry.isLink), "no entry is both a directory and a link");
}

void CheckSameDespiteDate(const LISTENTRY& entry, const LISTENTRY& other) {
  Check(entry.name == other.name && entry.isDir == other.isDir && entry.size == other.size &&
            entry.month == other.month && entry.day == other.day &&
            entry.hour == other.hour && entry.minute == other.minute &&
            entry.isLink == other.isLink,
        "only the year depends on the local date");
}

void CheckFileName(const LISTENTRY& entry) {
  const std::string used = EntryFileName(entry);
  if (!entry.isLink) {
    Check(used == entry.name, "only a link's name loses its target");
    return;
  }
  Check(entry.name.starts_with(used), "the link cut keeps the start of the name");
  Check(used.find(" -> ") == used.npos, "the link cut leaves no arrow");
}

}  // namespace

KORU_FUZZ_TARGET(list_parser) {
  FuzzInput input(data, size);
  const SYSTEMTIME today = input.Date();
  const ExactText line(input.Rest());

  LISTENTRY entry = kUntouched;
  const int32_t result = PARSELISTLINE(line, entry, today);
  Check(result == 0 || result == -1, "the parser returns 0 or -1");
  LISTENTRY other = kUntouched;
  Check(PARSELISTLINE(line, other, kOtherDay) == result, "the date does not decide the layout");
  const bool passes = ListingLinePasses(line, today);
  if (result == 0) {
    Check(entry == kUntouched, "the parser leaves the entry untouched when it returns 0");
    Check(passes, "a line without an entry passes the listing filter");
    return;
  }
  CheckEntry(line, entry);
  CheckSameDespiteDate(entry, other);
  CheckFileName(entry);
  Check(!passes || !HoldsSlash(EntryFileName(entry)),
        "a name the listing filter passes holds no / or \\");
}

}  // namespace koru::fuzz
