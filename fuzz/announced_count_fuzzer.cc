// A 150 reply (any bytes) and the remote name it answers through the byte count it announces.
#include "ftp/download.h"
#include "fuzz/fuzz_target.h"

namespace koru::fuzz {

KORU_FUZZ_TARGET(announced_count) {
  FuzzInput input(data, size);
  const ExactText reply(input.Field());
  const ExactText remote(input.Rest());

  const int64_t count = AnnouncedCount(reply, remote);
  const std::string_view text = reply;
  if (text.find('(') == text.npos || text.find(')') == text.npos) {
    Check(count == kNoCount, "a reply without both parentheses announces no count");
  }
  if (remote.view().find_first_of("()") == std::string_view::npos) {
    Check(count == AnnouncedCount(reply, "plain.name"),
          "a name without parentheses does not change the count");
  }
}

}  // namespace koru::fuzz
