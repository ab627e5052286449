#ifndef KORU_RUN_ENV_H_
#define KORU_RUN_ENV_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "run/run_settings.h"
#include "run/services.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "platform/handle_pool.h"
#include "platform/netrc_file.h"
#include "platform/channels.h"
#include "platform/text.h"
#include "platform/transport.h"

namespace koru {

// The console title holds at most this many characters of what the program sets.
inline constexpr size_t kTitleLength = 249;

// The TCP transport an environment runs its channels over unless it is given another.
struct DefaultTransport {
  TcpTransport tcp;
};

// What one control connection of a run works with: the run's services (run/services.h), its
// options and the state all its connections share, and its own numbered channels and files,
// receive buffer and console view. The program builds one from the real facilities; tests
// build one from fakes and shorten the time-outs. A run over several connections gives each
// further connection an environment of its own (the constructor from the run's).
struct Env : private DefaultTransport, Services {
  Env(Console& console_in, Clock& clock_in)
      : Services(console_in, clock_in, tcp), state(own_state_), channels(pool, tcp, clock_in) {
    StopWaitsOnTheUsersStop();
  }
  // With the channels over `transport_in` in place of TCP.
  Env(Console& console_in, Clock& clock_in, Transport& transport_in)
      : Services(console_in, clock_in, transport_in),
        state(own_state_),
        channels(pool, transport_in, clock_in) {
    StopWaitsOnTheUsersStop();
  }
  // A further connection of the run of `run`: the same services (seen through `console_in`),
  // options and run state; its own channels, numbers and buffers.
  Env(Env& run, Console& console_in)
      : Services(run, console_in),
        options(run.options),
        state(run.state),
        channels(pool, run.transport, run.clock) {
    StopWaitsOnTheUsersStop();
  }
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;

 private:
  // A wait on the network ends as soon as the user asks to stop, whatever the server does.
  void StopWaitsOnTheUsersStop() {
    channels.SetStopCheck([this] { return console.StopPending(); });
  }

  RunSettings own_state_;

 public:
  Options options;
  RunSettings& state;  // shared by every connection of the run
  HandlePool pool;
  Channels channels;
  // The blocks of a download, kept for the next one. Never filled beforehand: only the pages a
  // download writes take memory, so a connection fetching small files keeps little of it.
  std::unique_ptr<char[]> receive_buffer;
  // Where a run over several connections counts the bytes of all its downloads; none otherwise.
  std::atomic<int64_t>* received_bytes = nullptr;
  // When this run last ended a control connection with QUIT (MonotonicMs), if it has.
  std::optional<int64_t> last_quit_ms;

  bool verbose() const { return options.VerboseLevel != 0; }
  bool debug() const { return options.VerboseLevel > 0; }

  // TIME: the local time as hh:mm:ss.
  std::string Time() { return TimeText(clock.Now()); }
  void Line(std::string_view text) { console.WriteLine(text); }
  // TIME followed by `text` (which brings its own leading blank).
  void TimedLine(std::string_view text) { console.WriteLine(Time() + std::string(text)); }
  // Sets the console title to the first `limit` characters of `text`.
  void Title(std::string_view text, size_t limit = 255) { console.SetTitle(text.substr(0, limit)); }
  int PollKey() { return console.PollKey(); }
  // A pause (the delay after a block) that any key, Ctrl-C or SIGTERM cuts short at once, so
  // that even the longest delay never holds up what the user asked for.
  void PauseUnlessKey(int ms) {
    if (ms > 0) console.WaitForKey(clock, ms);
  }

  // The user's stop noticed inside a procedure (Esc, or Ctrl-C and SIGTERM read as Esc):
  // AbortFlag is set for the rest of the run and the title says the connection is closing.
  // The engine prints the abort line when it sees the flag.
  void UserAbort() {
    Title("User abort - closing connection");
    state.AbortFlag = kOn;
  }

  // After a wait that ended because a stop seemed to be pending: takes the waiting keys up to
  // an Esc (the others are dropped) and aborts the run on it. False when no Esc was there
  // (the start of an arrow key's sequence looks like one until its rest arrives).
  bool TakeStop() {
    for (int key = PollKey(); key != kNoKey; key = PollKey()) {
      if (key == kKeyEsc) {
        UserAbort();
        return true;
      }
    }
    return false;
  }
};

}  // namespace koru

#endif  // KORU_RUN_ENV_H_
