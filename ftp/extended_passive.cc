#include "ftp/extended_passive.h"

#include <string>

#include "ftp/control.h"
#include "ftp/data_connection.h"

namespace koru {
namespace {

constexpr size_t kMaxPortDigits = 5;

bool IsDelimiter(char c) { return c > ' ' && c < 127 && !IsDigit(c) && c != '(' && c != ')'; }

// The port of the text between the parentheses, "|||port|"; -1 when it is not of that form.
int EpsvFieldsPort(std::string_view fields) {
  if (fields.size() < 5 || fields.size() > 4 + kMaxPortDigits) return -1;
  const char delimiter = fields[0];
  if (!IsDelimiter(delimiter) || fields.substr(0, 3) != std::string(3, delimiter) ||
      fields.back() != delimiter) {
    return -1;
  }
  const std::optional<int64_t> port = DigitsValue(fields.substr(3, fields.size() - 4));
  return port && *port >= 1 && *port <= 65535 ? static_cast<int>(*port) : -1;
}

}  // namespace

bool IsIpv6Address(std::string_view address) { return address.find(':') != std::string_view::npos; }

int EpsvPort(std::string_view reply) {
  const size_t open = reply.find('(');
  if (open == std::string_view::npos) return -1;
  const size_t close = reply.find(')', open + 1);
  if (close == std::string_view::npos) return -1;
  return EpsvFieldsPort(reply.substr(open + 1, close - open - 1));
}

int32_t ftpOpenExtendedDataConnection(Session& session) {
  const int control = session.h;
  const std::string reply = AskForDataPort(session, "EPSV");
  if (ftpReplyCode(reply) != 229) return -1;
  // A port the reply does not name exactly is never guessed at.
  const int port = EpsvPort(reply);
  if (port < 0) return -1;
  const std::string peer = session.channels.PeerAddress(control);
  if (peer.empty()) return -1;
  const int32_t data = OpenDataChannel(session, peer, port);
  return data > 0 ? data : -1;
}

}  // namespace koru
