#ifndef KORU_SYNC_ORIGIN_H_
#define KORU_SYNC_ORIGIN_H_

#include <string>

#include "platform/file_system.h"
#include "run/options.h"

// Every file the mirror stores records where it came from, in its extended attribute
// kOriginAttribute: "ftp://host[:port]/path" (the scheme "ftpes" or "ftps" over TLS; never a
// user or a password). A later run tells by it a local file that holds another remote file's
// bytes (two remote names that map to one local name) from a copy of this one.
namespace koru {

inline constexpr char kOriginAttribute[] = "user.xdg.origin.url";

// The origin of `remote_path` on `server` ("host", "host:port", "[address]" or
// "[address]:port", as the location gave it), reached with `security`. In the path the bytes
// below 0x21, above 0x7E and "%" are percent-encoded; an IPv6 address is put in brackets.
std::string OriginUrl(ConnectionSecurity security, const std::string& server,
                      const std::string& remote_path);

// The remote path of an origin, decoded ("/pub/a.txt"); empty when `url` has none.
std::string OriginPath(const std::string& url);

// The last part of the origin's path: its file name.
std::string OriginFileName(const std::string& url);

// Records `url` as the origin of the local file `path`. A file system that keeps no extended
// attributes, or refuses them, is no failure: the file simply has no origin.
void RecordOrigin(FileSystem& files, const std::string& path, const std::string& url);

// The origin recorded for `path`; empty when it has none or the file system keeps none.
std::string RecordedOrigin(FileSystem& files, const std::string& path);

}  // namespace koru

#endif  // KORU_SYNC_ORIGIN_H_
