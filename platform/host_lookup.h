#ifndef KORU_PLATFORM_HOST_LOOKUP_H_
#define KORU_PLATFORM_HOST_LOOKUP_H_

#include <functional>
#include <string>
#include <vector>

// A name lookup the user can stop: the system's resolver blocks for as long as its servers
// take, so it runs on a thread of its own while the caller keeps looking for a stop.
namespace koru {

using HostResolver = std::function<std::vector<std::string>(const std::string& host)>;

// The addresses `resolve` gives for `host`, with LastResolveFailure() set as the lookup left
// it. Every `check_ms` `stop_pending` is asked; once it says the user has asked to stop, the
// lookup is left to end on its own and nothing is returned, with `*stopped` set.
std::vector<std::string> ResolveUnlessStopped(const HostResolver& resolve, const std::string& host,
                                              const std::function<bool()>& stop_pending,
                                              int check_ms, bool* stopped);

}  // namespace koru

#endif  // KORU_PLATFORM_HOST_LOOKUP_H_
