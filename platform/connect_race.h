#ifndef KORU_PLATFORM_CONNECT_RACE_H_
#define KORU_PLATFORM_CONNECT_RACE_H_

#include <cstddef>

#include "platform/clock.h"

// Connecting to a host of several addresses (RFC 8305, "Happy Eyeballs"): the attempts start
// one after another, each one a head start behind the one before, and the first that connects
// wins.
namespace koru {

// How long an attempt that has not connected yet holds back the next one.
inline constexpr int kConnectHeadStartMs = 250;

// The attempts of one race, one per address; the sockets side of it.
class ConnectAttempts {
 public:
  enum class Outcome { kPending, kConnected, kFailed };
  virtual ~ConnectAttempts() = default;
  // Starts the attempt to address `index`: connected or failed at once, or pending.
  virtual Outcome Start(size_t index) = 0;
  // Waits at most `timeout_ms` (-1: for as long as it takes) until a pending attempt ends.
  // The index of one that ended, with `*outcome` connected or failed (it is then no longer
  // pending); -1 when the time ran out or a signal cut the wait short.
  virtual int WaitAny(int timeout_ms, Outcome* outcome) = 0;
};

// Runs the race over `count` addresses: the first attempt starts at once; the next one starts
// when the ones before have all failed, or once the latest has been pending for `head_start_ms`
// on `clock`, while the earlier ones go on. The index of the first attempt to connect, or -1
// when every attempt failed. Ending the attempts that lost is left to `attempts`.
int RaceConnects(ConnectAttempts& attempts, size_t count, Clock& clock,
                 int head_start_ms = kConnectHeadStartMs);

}  // namespace koru

#endif  // KORU_PLATFORM_CONNECT_RACE_H_
