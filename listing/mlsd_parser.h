#ifndef KORU_LISTING_MLSD_PARSER_H_
#define KORU_LISTING_MLSD_PARSER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "listing/list_parser.h"

// One line of an MLSD listing (RFC 3659): facts, each "name=value;", then one blank and the
// name, "type=file;size=6;modify=20240305123456; a.txt". Fact names and the values of `type`
// are read in any case.
namespace koru {

enum class MlsdType {
  kFile,
  kDirectory,
  kCurrentDirectory,  // cdir: the directory listed
  kParentDirectory,   // pdir
  kLink,              // OS.unix=slink:<target>, OS.unix=symlink, OS.unix=link...
  kOther,             // no type fact, or one of no kind above (a device, a fifo)
};

struct MlsdEntry {
  MlsdType type = MlsdType::kOther;
  // `size`, or `sizd` for a directory when it has no `size`.
  std::optional<int64_t> size;
  // `modify`: the instant (UTC, seconds since the epoch), its fraction of a second dropped.
  std::optional<int64_t> modify_utc;
  // Everything after the first "; " of the line, exactly: blanks at either end and ";" inside
  // belong to it. A link's name carries no target.
  std::string name;
  // What follows "slink:" in the type of a link, where the server writes it.
  std::string link_target;

  bool operator==(const MlsdEntry&) const = default;
};

// Parses `line` (without its line terminator). None for a line without "; ", or with nothing
// after it. Facts that are not "name=value", unknown facts and values that do not read (a size
// that is no number, a modify that is no time-val) are left out; the line still yields its
// entry. Never reads outside `line`.
std::optional<MlsdEntry> ParseMlsdLine(std::string_view line);

// An MLSD entry as the rest of the program takes a listing's entry: a LISTENTRY whose date is
// the UTC calendar date and time of `modify` (all 0 without one), size 0 without one, isDir for
// a directory, isLink for a link, the name exact (kept whole, also beyond kListNameLength, and
// for a link without " -> target": EntryFileName of a link named "a -> b" would cut it), and
// the exact instant beside it.
struct ExactEntry {
  LISTENTRY entry;
  std::optional<int64_t> utc_seconds;

  bool operator==(const ExactEntry&) const = default;
};

// The ExactEntry of a file, a directory or a link; none for cdir, pdir and other types,
// which a listing skips.
std::optional<ExactEntry> ToExactEntry(const MlsdEntry& mlsd);

}  // namespace koru

#endif  // KORU_LISTING_MLSD_PARSER_H_
