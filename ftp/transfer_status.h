#ifndef KORU_FTP_TRANSFER_STATUS_H_
#define KORU_FTP_TRANSFER_STATUS_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "run/env.h"
#include "run/run_settings.h"

// The status line of the activities that take time (downloads, listings, the busy wait), paced
// on the run's clock, so that tests drive it with a fake one.
namespace koru {

// Redraws of a status line are at least this far apart.
inline constexpr int kStatusRedrawMs = 100;

// Shows an activity's status line when the console has one: not before `first_ms` into the
// activity, then at most every kStatusRedrawMs. Erases the line when the activity ends, on
// every path.
class StatusPacer {
 public:
  StatusPacer(Env& env, int first_ms);
  ~StatusPacer();
  StatusPacer(const StatusPacer&) = delete;
  StatusPacer& operator=(const StatusPacer&) = delete;

  // False when the console shows no status line: nothing need be prepared for it.
  bool enabled() const { return enabled_; }
  // True when a redraw is due; the next one is then kStatusRedrawMs away. Reads the clock only
  // when the console has a status line.
  bool Due();
  // Draws `status` now, due or not.
  void Show(const Status& status);
  // The clock's reading at the last Due() or Show().
  int64_t now_ms() const { return now_ms_; }

 private:
  Env& env_;
  const bool enabled_;
  int64_t now_ms_;
  int64_t next_ms_;
};

// The rate of a transfer over its last few seconds, from the byte counts at clock readings.
// Fixed storage: nothing is allocated.
class RateMeter {
 public:
  // Counts from `start_ms`, when `bytes` had come.
  RateMeter(int64_t start_ms, int64_t bytes);
  // Notes that `bytes` had come at `ms` (readings closer than kStatusRedrawMs to the last one
  // noted are passed over).
  void Add(int64_t ms, int64_t bytes);
  // Bytes per second from the oldest reading of the last few seconds to `ms`, when `bytes` had
  // come; -1 while that span is too short to tell.
  int64_t BytesPerSecond(int64_t ms, int64_t bytes) const;

 private:
  struct Reading {
    int64_t ms;
    int64_t bytes;
  };
  static constexpr size_t kReadings = 40;  // more than the window holds at ten a second
  std::array<Reading, kReadings> readings_;
  size_t newest_ = 0;
  size_t count_ = 1;
};

// The progress of one listing of `directory`: "(12 lines) LIST <directory>" in the window title
// after every line, and the count on the status line once the listing has taken 500 ms.
class ListingProgress {
 public:
  // `directory` must outlive this object.
  ListingProgress(Env& env, std::string_view directory);
  void Update(int64_t lines);

 private:
  Env& env_;
  StatusPacer pacer_;
  const std::string_view directory_;
};

// The progress of one download, in the window title after every block ("27% Received, 21,808
// bytes remain", or "Received 1,234 bytes" when the size is unknown) and on the status line:
// the bytes of the file present (a resumed file's share included) of its expected size, the
// rate, the time left and the delay set.
class DownloadProgress {
 public:
  // `name` must outlive this object. `expected` 0 or less: the size is unknown.
  DownloadProgress(Env& env, const RunSettings& state, std::string_view name, int64_t offset,
                   int64_t expected);
  // After each block: the title, and the status line when a redraw is due.
  void Update(int64_t received) {
    received_ = received;
    ShowTitle();
    if (pacer_.Due()) Draw();
  }
  // Draws at once (the delay has changed).
  void Redraw();

 private:
  void Draw();
  void ShowTitle();

  Env& env_;
  const RunSettings& state_;  // its delay is on the status line
  StatusPacer pacer_;
  RateMeter meter_;
  const std::string_view name_;
  const int64_t offset_;
  const int64_t expected_;
  int64_t received_ = 0;
  std::string title_;  // its room kept from block to block
};

}  // namespace koru

#endif  // KORU_FTP_TRANSFER_STATUS_H_
