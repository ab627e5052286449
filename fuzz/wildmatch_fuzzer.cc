// A name and a mask (any bytes) with a case flag through the local file-mask matcher.
#include <string>

#include "fuzz/fuzz_target.h"
#include "listing/wildmatch.h"
#include "platform/text.h"

namespace koru::fuzz {
namespace {

bool HasWildcard(std::string_view text) { return text.find_first_of("*?") != text.npos; }

// Properties that follow from the documented checks without redoing them.
void CheckAgreesWithPlainCases(std::string_view name, std::string_view mask, int32_t result) {
  if (!HasWildcard(mask)) {
    Check((result == -1) == (name == mask), "a mask without wildcards must equal the name");
  }
  if (!mask.empty() && mask.back() == '*' && !HasWildcard(mask.substr(0, mask.size() - 1))) {
    Check((result == -1) == name.starts_with(mask.substr(0, mask.size() - 1)),
          "text and one final star is a prefix test");
  }
  if (!HasWildcard(name)) Check(WILDMATCH(name, name, 0) == -1, "a plain name fits itself");
  Check(WILDMATCH(name, "*", 0) == -1, "every name fits *");
}

}  // namespace

KORU_FUZZ_TARGET(wildmatch) {
  FuzzInput input(data, size);
  const auto ignore_case = static_cast<int32_t>(static_cast<int8_t>(input.Byte()));
  const ExactText name(input.Field());
  const ExactText mask(input.Rest());

  const int32_t result = WILDMATCH(name, mask, ignore_case);
  Check(result == 0 || result == -1, "the matcher returns 0 or -1");
  if (ignore_case == 0) {
    CheckAgreesWithPlainCases(name, mask, result);
  } else {
    const std::string upper_name = UpperCase(name);
    const std::string upper_mask = UpperCase(mask);
    Check(result == WILDMATCH(upper_name, upper_mask, 0),
          "ignoring case compares upper-cased copies");
    CheckAgreesWithPlainCases(upper_name, upper_mask, result);
  }
}

}  // namespace koru::fuzz
