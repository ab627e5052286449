#ifndef KORU_PLATFORM_STATUS_LINE_H_
#define KORU_PLATFORM_STATUS_LINE_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

// The texts of the status line a terminal shows below the console lines while an activity runs:
// pure functions over numbers and names, fitted to a width.
namespace koru {

// A download: `name` is the remote name; `present` the bytes of the file so far (a resumed
// file's share included) of `size` (0 or less: unknown); the rate in bytes per second and the
// seconds left, -1 while unknown; the delay after each block (0: none).
struct DownloadStatus {
  std::string_view name;
  int64_t present = 0;
  int64_t size = -1;
  int64_t bytes_per_second = -1;
  int64_t seconds_left = -1;
  int delay_ms = 0;
};

// A listing of `directory` (with its mask) that has brought `lines` lines so far.
struct ListingStatus {
  std::string_view directory;
  int64_t lines = 0;
};

// The wait for a busy server: `attempt` of `attempts` made, the next one `seconds` away.
struct BusyStatus {
  int attempt = 0;
  int attempts = 0;
  int seconds = 0;
};

// The totals of a run over several connections: `files_in_flight` downloads going on,
// `files_done` of the `files_known` files found so far handled (below 0: none known yet), the
// bytes all its downloads have received, their rate in bytes per second (-1 while unknown) and
// the delay after each block (0: none).
struct RunStatus {
  int64_t files_in_flight = 0;
  int64_t files_done = 0;
  int64_t files_known = -1;
  int64_t bytes = 0;
  int64_t bytes_per_second = -1;
  int delay_ms = 0;
};

using Status = std::variant<DownloadStatus, ListingStatus, BusyStatus, RunStatus>;

// The percentage of `part` in `whole` rounded to the nearest whole number, an exact half to the
// even neighbour (12.5 gives 12, 37.5 gives 38), as the progress title shows it.
int64_t RoundedPercent(int64_t part, int64_t whole);

// "512 B/s", "80.0 KiB/s", "123 KiB/s", "1.2 MiB/s", "3.0 GiB/s": one decimal below 100 of a
// unit, whole numbers above, the unit chosen so that the number stays below 1024.
void AppendRate(std::string& out, int64_t bytes_per_second);

// "0:42", "12:05", "1:02:03"; "--:--" for a negative (unknown) count.
void AppendTimeLeft(std::string& out, int64_t seconds);

// `text` in at most `columns` columns: whole when it fits, else its beginning, "..." and its
// end, never cut inside a UTF-8 character. Control characters show as "?". Each byte counts as
// one column, which never underestimates what a terminal shows.
void AppendShortened(std::string& out, std::string_view text, size_t columns);

// Makes the line for a terminal of a given width, reusing its buffers (no allocation once they
// have grown). The line holds at most width - 1 columns, so it never wraps, whatever the
// terminal does with its last column. What does not fit gives way, least useful first: the
// byte counts, the delay, the time left and the rate of a download, then the columns of its
// name; the directory of a listing; the key hint and then the words of the busy wait; the
// files in flight, the bytes, the delay and the rate of a run's totals, and then the words of
// its count ("742 of 1,206 files", "742/1,206 files", "742/1,206"), whose numbers are never
// cut (at 40 columns and more any two counts of up to a thousand million fit whole).
class StatusFormatter {
 public:
  std::string_view Format(const Status& status, int width);

 private:
  void Download(const DownloadStatus& status, size_t columns);
  void Listing(const ListingStatus& status, size_t columns);
  void Busy(const BusyStatus& status, size_t columns);
  void Run(const RunStatus& status, size_t columns);
  // The total width of the non-empty fields, each with the gap before it.
  size_t FieldsWidth() const;
  // Appends the non-empty fields, each after a gap, cut to `columns`.
  void AppendFields(size_t columns);
  // Appends `text` to the line, cut to what is left of `columns`.
  void AppendCut(std::string_view text, size_t columns);

  std::string line_;
  std::array<std::string, 5> fields_;
};

}  // namespace koru

#endif  // KORU_PLATFORM_STATUS_LINE_H_
