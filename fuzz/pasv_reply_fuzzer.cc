// A server's reply line (any bytes) through the reply code and the 227 split: the fields between
// the parentheses and the port they name.
#include "ftp/control.h"
#include "ftp/data_connection.h"
#include "fuzz/fuzz_target.h"

namespace koru::fuzz {
namespace {

bool Within(std::string_view part, std::string_view whole) {
  return part.empty() ||
         (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

void CheckPort(std::string_view fields) {
  const int port = PasvPort(fields);
  Check(port >= 0 && port <= 65535, "a PASV port lies in 0..65535");
}

}  // namespace

KORU_FUZZ_TARGET(pasv_reply) {
  const ExactText reply(FuzzInput(data, size).Rest());

  const int32_t code = ftpReplyCode(reply);
  Check(code >= -99 && code <= 999, "a reply code is read from three characters");
  const std::string_view fields = PasvFields(reply);
  Check(Within(fields, reply), "the PASV fields are text of the reply");
  Check(fields.find_first_of("()") == fields.npos, "the PASV fields hold no parenthesis");
  CheckPort(fields);
  // A reply without parentheses handed over whole, as a server may make the client do.
  CheckPort(reply);
}

}  // namespace koru::fuzz
