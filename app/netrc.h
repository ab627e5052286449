#ifndef KORU_APP_NETRC_H_
#define KORU_APP_NETRC_H_

#include <optional>
#include <string>
#include <string_view>

// The login a netrc file holds for a server. The text is read as wget, lftp and curl read it:
// blank-separated words; an entry begins with "machine <host>" or "default" and may hold
// "login <name>", "password <secret>" and "account <text>" (not used); "macdef <name>" starts a
// macro whose body runs to the next empty line and is skipped. A word may be quoted with "..."
// (a backslash takes the next character as it is), so a password can hold blanks. A line whose
// first word begins with "#" is a comment.
namespace koru {

struct NetrcLogin {
  std::optional<std::string> login;
  std::optional<std::string> password;
};

// The first "machine" entry for `host` (compared without regard to case), else the first
// "default" entry; with `login`, only an entry that names this login counts. Nothing when no
// entry fits.
std::optional<NetrcLogin> FindNetrcLogin(std::string_view text, std::string_view host,
                                         std::optional<std::string_view> login = std::nullopt);

}  // namespace koru

#endif  // KORU_APP_NETRC_H_
