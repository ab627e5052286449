#include "platform/host_lookup.h"

#include <arpa/inet.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/transport.h"

namespace koru {
namespace {

// What the lookup thread hands over; shared, so that a lookup left behind still has it.
struct Lookup {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::vector<std::string> addresses;
  std::string failure;
};

// A numeric address names itself: its lookup never waits on a server, so it needs no thread
// (every data connection is opened to one).
bool IsNumericAddress(const std::string& host) {
  unsigned char address[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), address) == 1 ||
         inet_pton(AF_INET6, host.c_str(), address) == 1;
}

}  // namespace

std::vector<std::string> ResolveUnlessStopped(const HostResolver& resolve, const std::string& host,
                                              const std::function<bool()>& stop_pending,
                                              int check_ms, bool* stopped) {
  *stopped = false;
  if (!stop_pending || IsNumericAddress(host)) return resolve(host);
  auto lookup = std::make_shared<Lookup>();
  std::thread([lookup, resolve, host] {
    std::vector<std::string> addresses = resolve(host);
    const std::lock_guard<std::mutex> lock(lookup->mutex);
    lookup->addresses = std::move(addresses);
    lookup->failure = LastResolveFailure();
    lookup->done = true;
    lookup->ended.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(lookup->mutex);
  while (!lookup->ended.wait_for(lock, std::chrono::milliseconds(check_ms),
                                 [&] { return lookup->done; })) {
    lock.unlock();
    const bool stop = stop_pending();
    lock.lock();
    if (stop && !lookup->done) {
      *stopped = true;
      return {};
    }
  }
  LastResolveFailure() = lookup->failure;
  return std::move(lookup->addresses);
}

}  // namespace koru
