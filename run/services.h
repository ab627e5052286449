#ifndef KORU_RUN_SERVICES_H_
#define KORU_RUN_SERVICES_H_

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "platform/netrc_file.h"
#include "platform/transport.h"

namespace koru {

// The facilities a run works through and shares among all its connections: the console, the
// clock, the transport the channels run over, the local file system, where logins are looked
// up, and the time-outs. The program builds them from the real facilities; tests from fakes,
// with shorter time-outs.
// Thread safety: every service is shared by all connections of a run and may be called from
// several threads at once. None holds per-call state: what a call found (a connect's failure,
// a file's error) travels in its result, never in a "last failure" kept by the service.
struct Services {
  Services(Console& console_in, Clock& clock_in, Transport& transport_in)
      : console(console_in), clock(clock_in), transport(transport_in) {}
  // The same services seen through another console (a connection's view of the run's).
  Services(const Services& run, Console& console_in)
      : console(console_in),
        clock(run.clock),
        transport(run.transport),
        files(run.files),
        netrc(run.netrc),
        channel_timeout_ms(run.channel_timeout_ms),
        status_line_wait_ms(run.status_line_wait_ms),
        stalled_reply_wait_ms(run.stalled_reply_wait_ms),
        quit_wait_ms(run.quit_wait_ms),
        abort_quit_wait_ms(run.abort_quit_wait_ms) {}

  Console& console;
  Clock& clock;
  Transport& transport;
  FileSystem* files = &SystemFileSystem();  // the local files of the run; tests put a fake here
  // Where a login missing from the location is looked up; none in tests and the library (the
  // program sets the user's netrc).
  NetrcSource* netrc = nullptr;
  int channel_timeout_ms = 60000;    // every wait on a channel
  int status_line_wait_ms = 5000;    // final reply of a listing that began with "total "
  int stalled_reply_wait_ms = 5000;  // final reply after the data connection timed out
  int quit_wait_ms = 5000;           // reply to QUIT
  int abort_quit_wait_ms = 1000;     // reply to QUIT once the user has asked to stop
};

}  // namespace koru

#endif  // KORU_RUN_SERVICES_H_
