#ifndef KORU_RUN_USER_STOP_H_
#define KORU_RUN_USER_STOP_H_

#include "platform/console.h"
#include "run/env.h"
#include "run/run_settings.h"

namespace koru {

// The user's stop noticed inside a procedure (Esc, or Ctrl-C and SIGTERM read as Esc):
// AbortFlag is set in `state` for the rest of the run and the title says the connection is
// closing. The engine prints the abort line when it sees the flag.
inline void UserAbort(Env& env, RunSettings& state) {
  env.Title("User abort - closing connection");
  state.AbortFlag = kOn;
}

// After a wait that ended because a stop seemed to be pending: takes the waiting keys up to
// an Esc (the others are dropped) and aborts the run on it. False when no Esc was there
// (the start of an arrow key's sequence looks like one until its rest arrives).
inline bool TakeStop(Env& env, RunSettings& state) {
  for (int key = env.PollKey(); key != kNoKey; key = env.PollKey()) {
    if (key == kKeyEsc) {
      UserAbort(env, state);
      return true;
    }
  }
  return false;
}

}  // namespace koru

#endif  // KORU_RUN_USER_STOP_H_
