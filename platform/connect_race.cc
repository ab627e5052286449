#include "platform/connect_race.h"

#include <algorithm>
#include <cstdint>

namespace koru {

int RaceConnects(ConnectAttempts& attempts, size_t count, Clock& clock,
                 const std::function<bool()>& stop_pending, int head_start_ms, int timeout_ms) {
  using Outcome = ConnectAttempts::Outcome;
  size_t next = 0;
  size_t pending = 0;
  int64_t next_start = clock.MonotonicMs();
  const int64_t deadline = timeout_ms < 0 ? -1 : next_start + timeout_ms;
  for (;;) {
    const int64_t now = clock.MonotonicMs();
    if (deadline >= 0 && now >= deadline && pending > 0) return kRaceTimedOut;
    if (next < count && (pending == 0 || now >= next_start)) {
      const size_t index = next++;
      const Outcome outcome = attempts.Start(index);
      if (outcome == Outcome::kConnected) return static_cast<int>(index);
      if (outcome == Outcome::kPending) {
        ++pending;
        next_start = now + head_start_ms;
      }
      continue;
    }
    if (pending == 0) return kRaceLost;
    int timeout = next < count ? static_cast<int>(std::max<int64_t>(next_start - now, 0)) : -1;
    if (stop_pending && (timeout < 0 || timeout > kConnectStopCheckMs)) {
      timeout = kConnectStopCheckMs;
    }
    if (deadline >= 0 && (timeout < 0 || now + timeout > deadline)) {
      timeout = static_cast<int>(deadline - now);
    }
    Outcome outcome = Outcome::kPending;
    const int ended = attempts.WaitAny(timeout, &outcome);
    if (ended < 0) {
      if (stop_pending && stop_pending()) return kRaceStopped;
      continue;
    }
    if (outcome == Outcome::kConnected) return ended;
    // A failure hands its turn to the next address at once.
    --pending;
    next_start = clock.MonotonicMs();
  }
}

}  // namespace koru
