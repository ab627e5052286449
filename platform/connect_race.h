#ifndef KORU_PLATFORM_CONNECT_RACE_H_
#define KORU_PLATFORM_CONNECT_RACE_H_

#include <cstddef>
#include <functional>

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

// RaceConnects() results besides the index of the attempt that won.
inline constexpr int kRaceLost = -1;     // every attempt failed
inline constexpr int kRaceStopped = -2;  // the user asked to stop first
inline constexpr int kRaceTimedOut = -3; // none connected within the race's time-out

// How often a race with a stop check looks at it while attempts are pending.
inline constexpr int kConnectStopCheckMs = 100;

// Runs the race over `count` addresses: the first attempt starts at once; the next one starts
// when the ones before have all failed, or once the latest has been pending for `head_start_ms`
// on `clock`, while the earlier ones go on. The index of the first attempt to connect, or one of
// the results above; `stop_pending`, when given, ends the race as soon as it says so, and
// `timeout_ms` (unless -1) once that long has passed since the start. Ending the attempts that
// lost is left to `attempts`.
int RaceConnects(ConnectAttempts& attempts, size_t count, Clock& clock,
                 const std::function<bool()>& stop_pending = {},
                 int head_start_ms = kConnectHeadStartMs, int timeout_ms = -1);

}  // namespace koru

#endif  // KORU_PLATFORM_CONNECT_RACE_H_
