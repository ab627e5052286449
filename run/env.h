#ifndef KORU_RUN_ENV_H_
#define KORU_RUN_ENV_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "run/services.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "platform/netrc_file.h"
#include "platform/text.h"
#include "platform/transport.h"

namespace koru {

// The console title holds at most this many characters of what the program sets.
inline constexpr size_t kTitleLength = 249;

// The TCP transport an environment runs its channels over unless it is given another.
struct DefaultTransport {
  TcpTransport tcp;
};

// The services of a run (run/services.h) and the small helpers that use nothing else: no
// options, no run state, nothing of one connection. The program builds one from the real
// facilities; tests build one from fakes and shorten the time-outs. Every connection of the run
// works through it.
// Thread safety: as for Services; the helpers keep no state of their own.
struct Env : private DefaultTransport, Services {
  Env(Console& console_in, Clock& clock_in) : Services(console_in, clock_in, tcp) {}
  // With the channels over `transport_in` in place of TCP.
  Env(Console& console_in, Clock& clock_in, Transport& transport_in)
      : Services(console_in, clock_in, transport_in) {}
  // The services of `run` seen through `console_in` (the view of one thread of a run over
  // several connections).
  Env(const Env& run, Console& console_in) : Services(run, console_in) {}
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;

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
};

}  // namespace koru

#endif  // KORU_RUN_ENV_H_
