#include "listing/wildmatch.h"

#include <string>

#include "platform/text.h"

namespace koru {
namespace {

// "?" becomes "*", then each "**" met left to right becomes "*" ("***" gives "**").
std::string NormalisedMask(std::string_view mask) {
  std::string stars(mask);
  for (char& c : stars) {
    if (c == '?') c = '*';
  }
  std::string normalised;
  for (size_t i = 0; i < stars.size(); ++i) {
    normalised += stars[i];
    if (stars[i] == '*' && i + 1 < stars.size() && stars[i + 1] == '*') ++i;
  }
  return normalised;
}

}  // namespace

int32_t WILDMATCH(std::string_view name, std::string_view mask, int32_t ignoreCase) {
  const std::string text = ignoreCase ? UpperCase(name) : std::string(name);
  const std::string pattern = NormalisedMask(ignoreCase ? UpperCase(mask) : std::string(mask));
  const size_t first = pattern.find('*');
  if (first == std::string::npos) return text == pattern ? -1 : 0;
  const size_t last = pattern.rfind('*');
  const bool prefix_fits = text.starts_with(pattern.substr(0, first));
  const bool suffix_fits = text.ends_with(pattern.substr(last + 1));
  const bool middle_fits =
      last == first || text.find(pattern.substr(first + 1, last - first - 1)) != std::string::npos;
  return prefix_fits && suffix_fits && middle_fits ? -1 : 0;
}

}  // namespace koru
