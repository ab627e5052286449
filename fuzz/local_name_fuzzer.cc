// A remote name (any bytes) through the local-name rules: the character map, the copy numbers
// and the choice of a free local name among names already taken.
#include <algorithm>
#include <set>
#include <string>

#include "fuzz/fuzz_target.h"
#include "sync/local_name.h"

namespace koru::fuzz {
namespace {

constexpr size_t kMostTakenNames = 64;

std::string_view Forbidden(NameCharset charset) {
  return charset == NameCharset::kStandard ? "<>|*?:;\\/" : "<>|*?:;\\/+`";
}

void CheckAllowed(std::string_view local_name, NameCharset charset) {
  Check(local_name.find_first_of(Forbidden(charset)) == local_name.npos,
        "a local name holds no forbidden character (no / or \\ above all)");
}

void CheckMapped(std::string_view name, std::string_view mapped, NameCharset charset) {
  Check(mapped.size() == name.size(), "the character map keeps the length");
  CheckAllowed(mapped, charset);
  for (size_t i = 0; i < name.size(); ++i) {
    Check(mapped[i] == name[i] || mapped[i] == '_', "the character map only writes _");
  }
}

void CheckNumbered(std::string_view name, int k) {
  const std::string numbered = NumberedName(name, k);
  const std::string mark = "(" + std::to_string(k) + ")";
  const size_t at = std::min(name.find('.'), name.size());
  Check(numbered.compare(at, mark.size(), mark) == 0,
        "the copy number stands before the first dot");
  Check(numbered.substr(0, at) + numbered.substr(at + mark.size()) == name,
        "the copy number is all that is added");
}

}  // namespace

KORU_FUZZ_TARGET(local_name) {
  FuzzInput input(data, size);
  const uint8_t flags = input.Byte();
  const bool unique = flags & 1;
  const NameCharset charset = flags & 2 ? NameCharset::kStepVariant : NameCharset::kStandard;
  const int k = input.Byte() + 1;
  const ExactText remote(input.Field());
  std::set<std::string> taken;
  while (!input.empty() && taken.size() < kMostTakenNames) taken.emplace(input.Field());

  CheckMapped(remote, MapLocalName(remote, charset), charset);
  CheckNumbered(remote, k);
  size_t asked = 0;
  const std::string chosen =
      ChooseLocalName(remote, unique, charset, [&](const std::string& name) {
        ++asked;
        Check(asked <= taken.size() + 1, "each candidate is a new name");
        return taken.count(name) > 0;
      });
  CheckAllowed(chosen, charset);
  if (unique) {
    Check(taken.count(chosen) == 0, "a unique choice never returns a taken name");
  } else {
    Check(chosen == MapLocalName(remote, charset), "without unique names the mapped name");
  }
}

}  // namespace koru::fuzz
