#ifndef KORU_LISTING_LIST_PARSER_H_
#define KORU_LISTING_LIST_PARSER_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/system_time.h"

// One line of a server's LIST answer turned into a record. Three layouts are recognised
// without being told which one the server uses:
//   Unix       drwxr-xr-x   2 owner  group      512 Jan 12 12:34 pub
//   dashed     FOO.TXT;3     2  12-JAN-2000 12:34:56 [GRP,OWNER] (RWED,RWED,RE,)
//   DOS        03-15-99  02:05PM                 1024 a.txt
namespace koru {

struct LISTENTRY {
  int64_t size = 0;   // size column (0 for DOS directories)
  int32_t year = 0;   // four-digit year
  int16_t month = 0;  // 1 to 12
  int16_t day = 0;    // day of month as written
  int16_t hour = 0;   // 24-hour clock; 0 when the line shows no time
  int16_t minute = 0;
  int16_t isDir = 0;  // 1 for a directory
  // The name as listed, at most kListNameLength characters. Unix names are exact: blanks at
  // either end belong to the name, and a link's name still carries its " -> target".
  std::string name;
  int16_t isLink = 0;  // 1 for a Unix line whose type letter is l or L
  // Where the date is known to the second (an MLSD modify fact): its seconds, and `exact` set.
  // A listed line never knows them.
  int16_t second = 0;
  bool exact = false;

  bool operator==(const LISTENTRY&) const = default;
};

inline constexpr size_t kListNameLength = 256;

// Parses `line` (without its line terminator).
//
// Unix: the date is the first whole month word (JAN to DEC, any case, set off by blanks) that
// follows a word of digits, the size, and is followed by a day of one or two digits and then a
// time (h:mm or hh:mm) or a year of digits. Month words in the owner, the group or the name
// do not qualify. The name is everything after the one blank that follows the time or year,
// blanks at either end included. `today` (the local date) gives the year of lines that show a
// time: the current year, or the one before when the date would otherwise lie more than one
// day in the future. A type letter d or D marks a directory, l or L a link.
// Dashed: tried when no Unix date qualifies and the line holds "-MON-" somewhere; the name is
// the text before the first ";" (none: no entry).
// DOS: tried when neither fits; the first time must be followed straight away by AM or PM.
//
// On success (a name that is not blank was found): -1, every field of `entry` written.
// On failure (no layout fits, the line ends before its name): 0, `entry` left untouched.
// Never reads outside `line`.
int32_t PARSELISTLINE(std::string_view line, LISTENTRY& entry, const SYSTEMTIME& today);

// The text before the first " -> " (blank, arrow, blank), unchanged otherwise ("lnk -> /data/f"
// gives "lnk", "a->b" stays whole). Meant for the names of link entries only: a plain file may
// be called "a -> b.txt".
std::string CutLinkTarget(std::string_view name);

// The name a caller uses for `entry`: a link's name without its target, any other name whole.
// Nothing is trimmed.
std::string EntryFileName(const LISTENTRY& entry);

// The listing filter: false for a line whose entry name would lead outside the current
// directory, that is a name holding "/" or "\". The name examined is EntryFileName's: only a
// link loses its target, directories and plain files are examined whole (the directory walk
// uses a directory's name as listed). Every other line passes, lines that yield no entry
// included; ":" "?" "*" in names pass.
bool ListingLinePasses(std::string_view line, const SYSTEMTIME& today);

}  // namespace koru

#endif  // KORU_LISTING_LIST_PARSER_H_
