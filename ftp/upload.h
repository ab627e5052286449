#ifndef KORU_FTP_UPLOAD_H_
#define KORU_FTP_UPLOAD_H_

#include <cstdint>
#include <string>

#include "app/env.h"

namespace koru {

// Stores the local file `local` on the server as `remote` (STOR, binary, passive), in full
// blocks of 8,192 bytes and a final part. With `progress` non-zero the console title shows the
// share sent after every full block ("50% Sent"). Returns 1 when the server confirmed the stored
// file with 226, else 0. Prints only the two error lines of a local file that cannot be opened
// and of a data connection that cannot be made; the reply that tells what happened is offered
// to the last reply.
int32_t ftpPutFile(Env& env, int control, const std::string& host, int32_t progress,
                   const std::string& remote, const std::string& local);

}  // namespace koru

#endif  // KORU_FTP_UPLOAD_H_
