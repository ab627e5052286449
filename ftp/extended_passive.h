#ifndef KORU_FTP_EXTENDED_PASSIVE_H_
#define KORU_FTP_EXTENDED_PASSIVE_H_

#include <cstdint>
#include <string_view>

#include "ftp/ftp_session.h"
#include "run/env.h"

// Extended passive data connections (EPSV, RFC 2428), the kind every data connection of a
// control connection over IPv6 is.
namespace koru {

// True when `address` (numeric, as Connection::PeerAddress gives it) is an IPv6 address.
bool IsIpv6Address(std::string_view address);

// The port a 229 reply names in its "(|||port|)" part: the first "(" and the next ")" must
// enclose exactly three delimiters, the port's 1 to 5 decimal digits and a fourth delimiter,
// all four the same character (any printable one but a digit, a blank or a parenthesis). -1
// when they do not, or when the port is outside 1-65535.
int EpsvPort(std::string_view reply);

// Sends EPSV (again while the answer is a 250 left over from an earlier command) and connects
// to the port of the 229 reply, at the address the control connection is connected to.
// Returns the data channel (> 0), closed by the caller, or -1.
int32_t ftpOpenExtendedDataConnection(Session& session);

}  // namespace koru

#endif  // KORU_FTP_EXTENDED_PASSIVE_H_
