// A server's reply line (any bytes) through the 229 parser: a port it gives is one the reply
// names exactly, between four equal delimiters in the parentheses.
#include <string>

#include "ftp/extended_passive.h"
#include "fuzz/fuzz_target.h"

namespace koru::fuzz {

KORU_FUZZ_TARGET(epsv_reply) {
  const ExactText reply(FuzzInput(data, size).Rest());
  const std::string_view text = reply;

  const int port = EpsvPort(text);
  Check(port == -1 || (port >= 1 && port <= 65535), "an EPSV port is -1 or lies in 1..65535");
  if (port < 0) return;
  const size_t open = text.find('(');
  Check(open != text.npos, "a port comes from between parentheses");
  const size_t close = text.find(')', open);
  Check(close != text.npos, "a port comes from between parentheses");
  const std::string_view fields = text.substr(open + 1, close - open - 1);
  const char delimiter = fields.front();
  const std::string_view digits = fields.substr(3, fields.size() - 4);
  Check(fields.substr(0, 3) == std::string(3, delimiter) && fields.back() == delimiter,
        "the four delimiters are the same");
  Check(std::stoi(std::string(digits)) == port, "the port is the number between them");
}

}  // namespace koru::fuzz
