#ifndef KORU_TESTS_FAKES_H_
#define KORU_TESTS_FAKES_H_

#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/netrc_file.h"

namespace koru::testing {

// Records every console line (error lines apart) and title, and, when `status_line` is on, every status line as a
// terminal `status_width` columns wide shows it; hands out scripted keys, then none. A key of
// `arriving_keys` comes during the waits for keys: once they have waited `after_ms` in all, the
// wait ends there and the key is the next one PollKey hands out (until then every wait ends at
// once). Lines and error lines may be written from several threads, a piece of lines as one
// piece; a test reads them once the writers are done.
class RecordingConsole : public Console {
 public:
  void WriteLine(std::string_view line) override {
    const std::lock_guard lock(lines_mutex_);
    lines.emplace_back(line);
  }
  void WriteErrorLine(std::string_view line) override {
    const std::lock_guard lock(lines_mutex_);
    error_lines.emplace_back(line);
  }
  void WriteLines(std::span<const std::string> piece) override {
    const std::lock_guard lock(lines_mutex_);
    lines.insert(lines.end(), piece.begin(), piece.end());
  }
  void WriteErrorLines(std::span<const std::string> piece) override {
    const std::lock_guard lock(lines_mutex_);
    error_lines.insert(error_lines.end(), piece.begin(), piece.end());
  }
  void SetTitle(std::string_view title) override { titles.emplace_back(title); }
  int PollKey() override {
    ++polls;
    key_arrived = false;
    if (keys.empty()) return kNoKey;
    const int key = keys.front();
    keys.pop_front();
    return key;
  }
  bool HasStatusLine() override { return status_line; }
  void ShowStatus(const Status& status) override {
    statuses.emplace_back(formatter_.Format(status, status_width));
    status_shown = true;
  }
  void ClearStatus() override { status_shown = false; }
  bool WaitForKey(Clock& clock, int ms) override;
  // Hands out the scripted answers, then kNoTerminal.
  SecretAnswer AskSecret(std::string_view prompt) override {
    prompts.emplace_back(prompt);
    if (secrets.empty()) return {};
    SecretAnswer answer = secrets.front();
    secrets.pop_front();
    return answer;
  }

  struct ArrivingKey {
    int64_t after_ms;
    int key;
  };

  std::vector<std::string> lines;
  std::vector<std::string> error_lines;
  std::vector<std::string> titles;
  std::deque<int> keys;
  std::deque<SecretAnswer> secrets;
  std::vector<std::string> prompts;
  std::deque<ArrivingKey> arriving_keys;
  int64_t waited_ms = 0;  // in the waits for keys so far
  bool key_arrived = false;  // an arriving key came and PollKey has not been asked since
  int polls = 0;
  bool status_line = false;
  int status_width = 100;
  std::vector<std::string> statuses;
  bool status_shown = false;  // shown and not cleared since

 private:
  StatusFormatter formatter_;
  std::mutex lines_mutex_;
};

// A netrc with a given state and text, counting its reads.
class FakeNetrc : public NetrcSource {
 public:
  NetrcFile Read() override {
    ++reads;
    return file;
  }
  NetrcFile file;
  int reads = 0;
};

// A clock that stands still until something sleeps; sleeping only moves it forward. The
// threads of a run over several connections may use it at once; a test reads and sets its
// fields while no run is going on.
class FakeClock : public Clock {
 public:
  FakeClock() {
    now.wYear = 2026;
    now.wMonth = 12;
    now.wDay = 10;
    now.wDayOfWeek = 4;
    now.wHour = 9;
    now.wMinute = 5;
    now.wSecond = 3;
    now.wMilliseconds = 120;
  }
  SYSTEMTIME Now() override {
    const std::lock_guard lock(mutex_);
    return now;
  }
  void Sleep(int milliseconds) override {
    const std::lock_guard lock(mutex_);
    sleeps.push_back(milliseconds);
    AdvanceLocked(milliseconds);
  }
  void Advance(int milliseconds) {
    const std::lock_guard lock(mutex_);
    AdvanceLocked(milliseconds);
  }
  // Real time (unless `follows_real_time` is off), plus every wait that was passed in no time:
  // waits on real sockets end when they should, and waits on scripted connections end at once.
  int64_t MonotonicMs() override;
  // A wait of `ms` that passes in no time, leaving the time of day alone.
  void SkipWait(int ms) {
    const std::lock_guard lock(mutex_);
    skipped_ms += ms;
  }

  SYSTEMTIME now;
  int64_t skipped_ms = 0;  // time passed without waiting (sleeps, scripted silences)
  bool follows_real_time = true;
  std::vector<int> sleeps;

 private:
  void AdvanceLocked(int milliseconds);

  std::mutex mutex_;
};

}  // namespace koru::testing

#endif  // KORU_TESTS_FAKES_H_
