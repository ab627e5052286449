#ifndef KORU_FTP_LISTING_TRANSFER_H_
#define KORU_FTP_LISTING_TRANSFER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "app/env.h"

namespace koru {

// Fetches the listing of the current remote directory ("LIST", or "LIST " + argument) into
// `lines` (emptied first), in the order received; lines naming entries with "/" or "\" are
// dropped. `directory` is shown in the title only. Returns the number of lines stored; 0 on
// failure or when AbortFlag is set.
int32_t ftpList(Env& env, int control, const std::string& host, const std::string& directory,
                const std::string& argument, std::vector<std::string>& lines);

// The raw lines of the full listing that describe directories, into `names`. Returns their
// number; 0 (and `names` untouched) when AbortFlag is set.
int32_t ftpListDirs(Env& env, int control, const std::string& host, const std::string& directory,
                    std::vector<std::string>& names);

}  // namespace koru

#endif  // KORU_FTP_LISTING_TRANSFER_H_
