#include "app/command_line.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

#include "platform/text.h"
#include "sync/sync_engine.h"

namespace koru {
namespace {

bool HasWord(std::string_view line, std::string_view word) {
  size_t start = 0;
  while (start <= line.size()) {
    size_t end = line.find(' ', start);
    if (end == std::string_view::npos) end = line.size();
    if (line.substr(start, end - start) == word) return true;
    start = end + 1;
  }
  return false;
}

bool HasWord(const CommandWords& words, std::string_view wanted) {
  for (const std::string& word : words) {
    if (word == wanted) return true;
  }
  return false;
}

// The whole number at the start of what follows the switch letters, without its sign.
int32_t NumberAfterSwitch(std::string_view word) {
  const double value = std::floor(NumericValue(word.substr(2)));
  const double magnitude = std::fabs(value);
  constexpr double kMax = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(magnitude > kMax ? kMax : magnitude);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// True when `text` begins with a number: an optional sign, then a digit or a point and a digit.
bool StartsWithNumber(std::string_view text) {
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
  if (!text.empty() && text[0] == '.') text.remove_prefix(1);
  return !text.empty() && IsDigit(text[0]);
}

bool LooksLikeSwitch(std::string_view word) {
  return !word.empty() && (word[0] == '-' || word[0] == '+');
}

std::string Warning(std::string_view text) { return "koru: warning: " + std::string(text); }

std::string IgnoredWord(std::string_view word, std::string_view why) {
  return Warning("ignored \"" + std::string(word) + "\": " + std::string(why));
}

// `word` read as its switch letters followed by `number`: the number held at the largest the
// switch takes.
std::string ReadAs(std::string_view word, int32_t number) {
  return Warning("read \"" + std::string(word) + "\" as " + std::string(word.substr(0, 2)) +
                 std::to_string(number));
}

// What -D and +D make of the rest of `word`: nothing to say when it is empty (-D alone gives
// no delay) or begins with a number (whose magnitude is the delay).
std::optional<std::string> DelayWarning(std::string_view word) {
  const std::string_view rest = word.substr(2);
  if (rest.empty() && word[0] == '-') return std::nullopt;
  if (!StartsWithNumber(rest)) {
    return IgnoredWord(word, std::string(word.substr(0, 2)) + " needs a number");
  }
  return std::nullopt;
}

std::optional<std::string> ConnectionsWarning(std::string_view word, int32_t asked,
                                              int32_t connections) {
  if (connections == 0) return IgnoredWord(word, "-P needs a number from 1 to 16");
  if (asked > connections) return ReadAs(word, connections);
  return std::nullopt;
}

// Applies the row of the switch table that matches `word` (at most one does). Returns the
// warning for a word no row reads, or one read otherwise than it says.
std::optional<std::string> ApplySwitch(std::string_view word, Options& s, Location& location) {
  const std::string key = UpperCase(word.substr(0, 2));
  const bool exact = word.size() == 2;
  if (key == "-D" || key == "+D") {
    const int32_t delay = NumberAfterSwitch(word);
    if (key == "-D" || !exact) s.BlockDelay = delay;
    return DelayWarning(word);
  }
  if (key == "-P") {
    // A count of connections has no sign: "-P-3" is no number of them.
    const bool signed_number = word.size() > 2 && (word[2] == '-' || word[2] == '+');
    const int32_t asked = signed_number ? 0 : NumberAfterSwitch(word);
    s.Connections = std::min(asked, kMaxConnections);
    return ConnectionsWarning(word, asked, s.Connections);
  }
  if (key == "-M" && exact) {
    s.MoveMode = kOn;
  } else if (key == "+M" && exact) {
    s.MoveMode = s.UniqueNames = kOn;
  } else if (key == "-O" || (key == "+O" && exact)) {
    s.OverwriteMode = kOn;
  } else if (key == "-N" && exact) {
    s.NewerMode = kOn;
  } else if (key == "-R" && exact) {
    s.ResumeMode = -1;
  } else if (key == "+R" && exact) {
    s.ResumeMode = 1;
  } else if (key == "-T" && exact) {
    s.SubDirMode = -1;
  } else if (key == "-U" && exact) {
    location.useStepVariant = true;
  } else if (key == "-S" || (key == "+S" && exact)) {
    s.SubDirMode = 1;
  } else if (key == "-V" && exact) {
    s.VerboseLevel = -1;
  } else if (key == "+V" && exact) {
    s.VerboseLevel = 1;
  } else if (key == "-Q" && exact) {
    s.QuietMode = kOn;
  } else if (key == "-L" && exact) {
    s.ListingDatesOnly = kOn;
  } else {
    return IgnoredWord(word, "unknown switch");
  }
  return std::nullopt;
}

// The warnings for the words after the location that the switch reading stopped at: each is
// no switch, and the switches left of the last one are not read.
void StrayWordWarnings(const CommandWords& rest, std::vector<std::string>& warnings) {
  std::string unread_switches;
  for (size_t i = 1; i < rest.size(); ++i) {
    const bool last = i + 1 == rest.size();
    if (!last && LooksLikeSwitch(rest[i])) {
      unread_switches += (unread_switches.empty() ? "" : " ") + rest[i];
      continue;
    }
    warnings.push_back(IgnoredWord(rest[i], "not a switch"));
    if (last && !unread_switches.empty()) {
      warnings.push_back(Warning("the switches before it are not read: " + unread_switches));
    }
  }
}

struct Scheme {
  std::string_view name;  // as the echo line shows it; read in any case
  ConnectionSecurity security;
};

constexpr Scheme kSchemes[] = {{"ftp", ConnectionSecurity::kPlain},
                               {"ftpes", ConnectionSecurity::kExplicitTls},
                               {"ftps", ConnectionSecurity::kImplicitTls}};

// The length of the scheme `word` begins with ("ftpes://"), 0 without one; `security` is set
// from it.
size_t SchemeLength(std::string_view word, ConnectionSecurity& security) {
  const size_t colon = word.find(':');
  if (colon == std::string_view::npos) return 0;
  const std::string_view slashes = word.substr(colon + 1, 2);
  if (slashes != "//" && slashes != "\\\\") return 0;
  const std::string name = UpperCase(word.substr(0, colon));
  for (const Scheme& scheme : kSchemes) {
    if (name != UpperCase(scheme.name)) continue;
    security = scheme.security;
    return colon + 3;
  }
  return 0;
}

}  // namespace

std::string SchemeName(ConnectionSecurity security) {
  for (const Scheme& scheme : kSchemes) {
    if (scheme.security == security) return std::string(scheme.name);
  }
  return "ftp";
}

std::string NormaliseCommandLine(std::string_view text) {
  std::string line;
  for (char c : TrimBlanks(text)) {
    if (c == ' ' && !line.empty() && line.back() == ' ') continue;
    line += c;
  }
  return line;
}

std::string LASTWORD(std::string_view text) {
  const size_t blank = text.rfind(' ');
  return std::string(blank == std::string_view::npos ? text : text.substr(blank + 1));
}

CommandWords SplitCommandLine(std::string_view text) {
  CommandWords words;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(' ', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) words.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

bool WantsUsage(const CommandWords& words) {
  if (words.empty() || WantsHelp(words)) return true;
  for (const std::string& word : words) {
    if (word.find("-?") != std::string::npos || word.find("+?") != std::string::npos) return true;
  }
  return false;
}

bool WantsHelp(const CommandWords& words) {
  return HasWord(words, "--help") || HasWord(words, "-h");
}

bool WantsVersion(const CommandWords& words) { return HasWord(words, "--version"); }

bool RunsQuietly(const CommandWords& words) {
  if (WantsUsage(words) || WantsVersion(words)) return false;
  Options settings;
  Location location;
  ReadSwitches(words, settings, location);
  return settings.QuietMode && settings.VerboseLevel == 0;
}

CommandWords ReadSwitches(CommandWords words, Options& settings, Location& location) {
  std::vector<std::string> ignored_warnings;
  return ReadSwitches(std::move(words), settings, location, ignored_warnings);
}

CommandWords ReadSwitches(CommandWords words, Options& settings, Location& location,
                          std::vector<std::string>& warnings) {
  std::vector<std::string> switch_warnings;  // from the right
  while (!words.empty() && LooksLikeSwitch(words.back())) {
    if (std::optional<std::string> warning = ApplySwitch(words.back(), settings, location)) {
      switch_warnings.push_back(std::move(*warning));
    }
    words.pop_back();
  }
  warnings.clear();
  StrayWordWarnings(words, warnings);
  warnings.insert(warnings.end(), switch_warnings.rbegin(), switch_warnings.rend());
  return words;
}

bool WantsUsage(std::string_view line) { return WantsUsage(SplitCommandLine(line)); }

bool WantsVersion(std::string_view line) { return HasWord(line, "--version"); }

std::string ReadSwitches(std::string line, Options& settings, Location& location) {
  for (;;) {
    const std::string word = LASTWORD(line);
    if (word.empty() || (word[0] != '-' && word[0] != '+')) return line;
    ApplySwitch(word, settings, location);
    line.resize(line.size() - word.size());
    if (!line.empty()) line.pop_back();  // the blank before the word
  }
}

void SplitLocation(std::string_view line, Location& location, std::string& password) {
  SplitLocationWord(line.substr(0, line.find(' ')), location, password);
}

void SplitLocationWord(std::string_view word, Location& location, std::string& password) {
  word.remove_prefix(SchemeLength(word, location.security));

  std::string rest(word);
  const size_t at = word.rfind('@');
  if (at != std::string_view::npos) {
    const std::string_view credentials = word.substr(0, at);
    rest = std::string(word.substr(at + 1));
    const size_t colon = credentials.find(':');
    location.user = std::string(credentials.substr(0, colon));
    location.hasUser = true;
    if (colon != std::string_view::npos) {
      password = std::string(credentials.substr(colon + 1));
      location.hasPassword = true;
    }
  }
  for (char& c : rest) {
    if (c == '\\') c = '/';
  }
  const size_t slash = rest.find('/');
  location.server = rest.substr(0, slash);
  location.remotePath = slash == std::string::npos ? "./" : rest.substr(slash);
  if (location.remotePath.back() != '/') {
    const size_t last = location.remotePath.rfind('/');
    location.mask = location.remotePath.substr(last + 1);
    location.remotePath.resize(last + 1);
  }
}

std::optional<WordSpan> LocationPasswordSpan(const CommandWords& words) {
  Options ignored_settings;
  Location location;
  const CommandWords rest = ReadSwitches(words, ignored_settings, location);
  if (rest.empty()) return std::nullopt;
  const std::string_view word = rest.front();
  const size_t scheme = SchemeLength(word, location.security);
  const size_t at = word.rfind('@');
  if (at == std::string_view::npos || at < scheme) return std::nullopt;
  const size_t colon = word.substr(0, at).find(':', scheme);
  if (colon == std::string_view::npos || colon + 1 == at) return std::nullopt;
  return WordSpan{0, colon + 1, at - colon - 1};
}

std::string DefaultPassword(const SYSTEMTIME& now) {
  std::string seconds = std::to_string(now.wHour * 3600 + now.wMinute * 60 + now.wSecond);
  if (now.wMilliseconds > 0) {
    std::string fraction = ZeroPad(now.wMilliseconds, 3);
    while (fraction.back() == '0') fraction.pop_back();
    seconds += "." + fraction;
  }
  return "koru" + seconds + "@example.com";
}

}  // namespace koru
