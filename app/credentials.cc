#include "app/credentials.h"

#include <optional>

#include "app/netrc.h"
#include "ftp/session.h"
#include "platform/text.h"

namespace koru {
namespace {

// The host of the location's server, without its port or an IPv6 address's brackets.
std::string HostOf(const Location& location) {
  return SplitServerText(location.server).host;
}

}  // namespace

void FillFromNetrc(Env& env, Location& location, std::string& password) {
  if (!env.netrc || location.hasPassword || location.server.empty()) return;
  const NetrcFile file = env.netrc->Read();
  if (file.state == NetrcFile::State::kOpenToOthers) {
    env.TimedLine(" * Warning: " + file.path + " is readable by others; ignored");
    return;
  }
  if (file.state != NetrcFile::State::kRead) return;
  const std::optional<NetrcLogin> entry =
      location.hasUser ? FindNetrcLogin(file.text, HostOf(location), location.user)
                       : FindNetrcLogin(file.text, HostOf(location));
  if (!entry) return;
  if (entry->login) {
    location.user = *entry->login;
    location.hasUser = true;
  }
  if (entry->password) {
    password = *entry->password;
    location.hasPassword = true;
  }
}

bool AskForMissingPassword(Env& env, Location& location, std::string& password) {
  if (!location.hasUser || location.hasPassword || UpperCase(location.user) == "ANONYMOUS") {
    return true;
  }
  const SecretAnswer answer =
      env.console.AskSecret("Password for " + location.user + "@" + HostOf(location) + ": ");
  if (answer.kind == SecretAnswer::Kind::kStopped) return false;
  if (answer.kind == SecretAnswer::Kind::kTyped) {
    password = answer.text;
    location.hasPassword = true;
  }
  return true;
}

}  // namespace koru
