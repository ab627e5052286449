#ifndef KORU_APP_CREDENTIALS_H_
#define KORU_APP_CREDENTIALS_H_

#include <string>

#include "app/command_line.h"
#include "run/env.h"

// The login when the location does not give it whole: from the netrc, then from the user.
namespace koru {

// With no password in the location, looks its host (without the port) up in the netrc of
// `env.netrc`: with no user, the entry's login and password; with a user, the password of an
// entry for that login. A netrc that others may read is ignored with a warning; a missing one
// says nothing.
void FillFromNetrc(Env& env, Location& location, std::string& password);

// With a user (other than anonymous) and still no password, asks for it on the terminal;
// without a terminal the password stays as it is. False when the user stopped at the prompt.
bool AskForMissingPassword(Env& env, Location& location, std::string& password);

}  // namespace koru

#endif  // KORU_APP_CREDENTIALS_H_
