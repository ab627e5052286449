#include "listing/mlsd_parser.h"

#include <limits>

#include "listing/remote_time.h"

namespace koru {
namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool StartsIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

std::optional<int64_t> Size(std::string_view text) {
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (value > (std::numeric_limits<int64_t>::max() - (c - '0')) / 10) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The type fact's value: the RFC's kinds, and the ways Unix servers write a link
// ("OS.unix=slink:/target", "OS.unix=symlink").
void ReadType(std::string_view value, MlsdEntry& entry) {
  if (EqualsIgnoringCase(value, "file")) {
    entry.type = MlsdType::kFile;
  } else if (EqualsIgnoringCase(value, "dir")) {
    entry.type = MlsdType::kDirectory;
  } else if (EqualsIgnoringCase(value, "cdir")) {
    entry.type = MlsdType::kCurrentDirectory;
  } else if (EqualsIgnoringCase(value, "pdir")) {
    entry.type = MlsdType::kParentDirectory;
  } else if (StartsIgnoringCase(value, "OS.")) {
    const size_t equals = value.find('=');
    if (equals == std::string_view::npos) return;
    const std::string_view kind = value.substr(equals + 1);
    if (StartsIgnoringCase(kind, "slink")) {
      entry.type = MlsdType::kLink;
      const size_t colon = kind.find(':');
      if (colon != std::string_view::npos) entry.link_target = std::string(kind.substr(colon + 1));
    } else if (StartsIgnoringCase(kind, "symlink") || EqualsIgnoringCase(kind, "link")) {
      entry.type = MlsdType::kLink;
    }
  }
}

void ReadFact(std::string_view fact, MlsdEntry& entry, std::optional<int64_t>& sizd) {
  const size_t equals = fact.find('=');
  if (equals == std::string_view::npos) return;
  const std::string_view name = fact.substr(0, equals);
  const std::string_view value = fact.substr(equals + 1);
  if (EqualsIgnoringCase(name, "type")) {
    ReadType(value, entry);
  } else if (EqualsIgnoringCase(name, "size")) {
    entry.size = Size(value);
  } else if (EqualsIgnoringCase(name, "sizd")) {
    sizd = Size(value);
  } else if (EqualsIgnoringCase(name, "modify")) {
    entry.modify_utc = ParseTimeVal(value);
  }
}

}  // namespace

std::optional<MlsdEntry> ParseMlsdLine(std::string_view line) {
  const size_t separator = line.find("; ");
  if (separator == std::string_view::npos || separator + 2 == line.size()) return std::nullopt;
  MlsdEntry entry;
  entry.name = std::string(line.substr(separator + 2));
  std::optional<int64_t> sizd;
  std::string_view facts = line.substr(0, separator + 1);
  while (!facts.empty()) {
    const size_t end = facts.find(';');
    ReadFact(facts.substr(0, end), entry, sizd);
    facts.remove_prefix(end + 1);
  }
  if (!entry.size && entry.type == MlsdType::kDirectory) entry.size = sizd;
  return entry;
}

std::optional<ExactEntry> ToExactEntry(const MlsdEntry& mlsd) {
  if (mlsd.type != MlsdType::kFile && mlsd.type != MlsdType::kDirectory &&
      mlsd.type != MlsdType::kLink) {
    return std::nullopt;
  }
  ExactEntry exact;
  LISTENTRY& entry = exact.entry;
  entry.size = mlsd.size.value_or(0);
  if (mlsd.modify_utc) {
    const CivilTime time = SecondsToCivil(*mlsd.modify_utc);
    entry.year = time.year;
    entry.month = static_cast<int16_t>(time.month);
    entry.day = static_cast<int16_t>(time.day);
    entry.hour = static_cast<int16_t>(time.hour);
    entry.minute = static_cast<int16_t>(time.minute);
  }
  entry.isDir = mlsd.type == MlsdType::kDirectory ? 1 : 0;
  entry.isLink = mlsd.type == MlsdType::kLink ? 1 : 0;
  entry.name = mlsd.name;
  exact.utc_seconds = mlsd.modify_utc;
  return exact;
}

}  // namespace koru
