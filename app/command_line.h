#ifndef KORU_APP_COMMAND_LINE_H_
#define KORU_APP_COMMAND_LINE_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "run/run_settings.h"
#include "platform/system_time.h"

// Reading the command line: normalisation, the switches (read from the right) and the split of
// the location [user:pass@]server[:port][/path[/[=]mask]]. Pure functions over texts.
namespace koru {

// What the entry procedure keeps besides the run settings.
struct Location {
  ConnectionSecurity security = ConnectionSecurity::kPlain;  // from the scheme
  std::string user = "anonymous";
  std::string server;      // host, with ":port" when one was given
  std::string remotePath;  // ends in "/", or "./"
  std::string mask;        // a leading "=" means list-only mode
  bool useStepVariant = false;  // -U
  bool hasUser = false;      // a user is known: the location's "user@", or the netrc's
  bool hasPassword = false;  // a password is known: the location's ":pass", or the netrc's
};

// Where the password stands in the program's argument words: the word, and the bytes of it.
struct WordSpan {
  size_t word = 0;
  size_t offset = 0;
  size_t length = 0;
};

// The words of a command line, each whole: the program's arguments as the shell split them
// (blanks inside a word belong to it), or a command-line text split at its blanks.
using CommandWords = std::vector<std::string>;

// The blank-separated words of `text`.
CommandWords SplitCommandLine(std::string_view text);

// True when the words ask for the usage text: none, or "-?" / "+?" inside any word, or a word
// --help or -h.
bool WantsUsage(const CommandWords& words);
// True when a word is --help or -h (the usage text is then followed by the help text).
bool WantsHelp(const CommandWords& words);
// True when a word is --version.
bool WantsVersion(const CommandWords& words);

// True when the words ask for a quiet run: -Q among the switches, and neither -V nor +V
// (which outweigh it). The usage text, help and version are shown as asked, -Q or not.
bool RunsQuietly(const CommandWords& words);

// Reads switches (words beginning with "-" or "+") from the right into `settings` (and -U into
// `location`) and returns the words before them.
CommandWords ReadSwitches(CommandWords words, Options& settings, Location& location);
// As above; `warnings` is given one line for each word after the location that is not read
// as a switch (and for the word the reading stopped at, the switches left of it), for each
// unknown switch or switch with a value it cannot use, and for each value held at the largest
// the switch takes, in the order of the words.
CommandWords ReadSwitches(CommandWords words, Options& settings, Location& location,
                          std::vector<std::string>& warnings);

// Splits the location word `word` into `location`, as SplitLocation does with a line's first
// word.
void SplitLocationWord(std::string_view word, Location& location, std::string& password);

// Where the password of the location word stands among `words` (as KoruMain reads them);
// nothing when the location holds no password, or an empty one.
std::optional<WordSpan> LocationPasswordSpan(const CommandWords& words);

// Leading and trailing blanks removed, every run of blanks made one blank (blanks only).
std::string NormaliseCommandLine(std::string_view text);

// The last blank-separated word.
std::string LASTWORD(std::string_view text);

// True when the normalised line asks for the usage text: empty, or "-?" / "+?" anywhere, or a
// word --help or -h.
bool WantsUsage(std::string_view line);
// True when the normalised line holds the word --version.
bool WantsVersion(std::string_view line);

// Reads switches from the right of `line` into `settings` (and -U into `location`) and returns
// the line without them.
std::string ReadSwitches(std::string line, Options& settings, Location& location);

// Splits the first word of `line` into `location`; a password in it replaces `password`. The
// word may begin with a scheme, in any case and with "//" or "\\\\": ftp (plain), ftpes
// (explicit TLS) or ftps (implicit TLS).
void SplitLocation(std::string_view line, Location& location, std::string& password);

// The scheme as the echo line names it: "ftp", "ftpes" or "ftps".
std::string SchemeName(ConnectionSecurity security);

// The default anonymous password for the local time `now`: the seconds since midnight with
// their milliseconds (09:05:03.120 gives 32703.12) between a fixed prefix and domain.
std::string DefaultPassword(const SYSTEMTIME& now);

}  // namespace koru

#endif  // KORU_APP_COMMAND_LINE_H_
