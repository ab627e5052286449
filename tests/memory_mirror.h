#ifndef KORU_TESTS_MEMORY_MIRROR_H_
#define KORU_TESTS_MEMORY_MIRROR_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "run/env.h"
#include "run/options.h"
#include "run/run_settings.h"
#include "sync/run_totals.h"
#include "tests/fakes.h"
#include "tests/locked_file_system.h"
#include "tests/memory_file_system.h"
#include "tests/memory_ftp_server.h"

// A local mirror held in memory: the in-memory FTP server, a fake clock, a console whose user
// can stop the run from another thread, and an in-memory disk (locked, since a run over several
// connections writes from several threads). Run() mirrors a remote directory into kMirrorDir
// over one connection or over several at once.
//
//   MemoryMirror m;
//   m.server.AddFile("/pub/a.txt", "abc");
//   EXPECT_EQ(m.Run(4), 0);
//   EXPECT_EQ(m.disk.Content(kMirrorDir + "a.txt"), "abc");
namespace koru::testing {

// Plain characters, not strings: a run left behind by a test because it hung may still read
// them while the program ends.
inline constexpr char kMirrorServer[] = "127.0.0.1";
inline constexpr char kMirrorDir[] = "/home/user/mirror/";

// A recording console whose user can ask to stop from another thread, as SIGTERM does: the
// stop is pending from then on and PollKey hands out one Esc. The user may also press `key`
// once, at the first poll where `key_when` holds.
class StoppableConsole : public RecordingConsole {
 public:
  bool StopPending() override { return stop_; }
  int PollKey() override {
    if (stop_ && !esc_taken_.exchange(true)) return kKeyEsc;
    if (key_when && key_when(*this)) {
      key_when = nullptr;
      ++polls;
      return key;
    }
    return RecordingConsole::PollKey();
  }
  void Stop() { stop_ = true; }

  std::function<bool(const RecordingConsole&)> key_when;
  int key = kKeyEsc;

 private:
  std::atomic<bool> stop_ = false;
  std::atomic<bool> esc_taken_ = false;
};

// The lines of `lines` a run over several connections prints as the run over one does, sorted
// (they come in an order of their own): all but the counts of what a listing found, the
// connecting and the recursing lines, which follow the connections and their listings. The
// size warning, which over several connections names its file, is compared without the name.
std::vector<std::string> ComparedAcrossModes(const std::vector<std::string>& lines);

// How a scenario is run: over one connection (the documented sequence), or over one or four
// connections at once (-P1, -P4).
enum class Mode { kOneConnection, kP1, kP4 };
const char* ModeName(Mode mode);
void PrintTo(Mode mode, std::ostream* out);

struct MemoryMirror {
  MemoryMirror() {
    disk.AddDirectory(kMirrorDir);
    disk.SetWorkingDirectory(kMirrorDir);  // the program's current directory
    env.files = &files;
  }

  // Mirrors `remote_path` with `mask` as the anonymous user: over one connection (the
  // documented sequence) when `connections` is 0, else over that many at once.
  int32_t Run(int connections, const std::string& remote_path = "/pub/",
              const std::string& mask = "");

  // Mirrors `remote_path` step by step (-U), over one connection for each step.
  int32_t RunStepwise(const std::string& remote_path, const std::string& mask = "");
  // Every command of every session, the sessions in the order they opened.
  std::vector<std::string> AllCommands() const;

  // How many commands of the sessions from `first_session` on begin with `verb`.
  int Count(const std::string& verb, size_t first_session = 0) const;

  FakeClock clock;
  StoppableConsole console;
  MemoryFtpServer server{clock};
  MemoryFileSystem disk;
  LockedFileSystem files{disk};
  Options options;
  RunSettings state;
  Env env{console, clock, server};  // closed before the server goes
  RunTotals totals;
};

}  // namespace koru::testing

#endif  // KORU_TESTS_MEMORY_MIRROR_H_
