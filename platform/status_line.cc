#include "platform/status_line.h"

#include <algorithm>
#include <cmath>

#include "platform/text.h"

namespace koru {
namespace {

constexpr std::string_view kGap = "  ";
// A name keeps at least this many columns while other fields can still make room.
constexpr size_t kNameColumns = 16;

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The length of the longest start of `text` of at most `length` bytes that ends between two
// UTF-8 characters.
size_t WholeCharacters(std::string_view text, size_t length) {
  if (length >= text.size()) return text.size();
  while (length > 0 && IsContinuationByte(text[length])) --length;
  return length;
}

void AppendPrintable(std::string& out, std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    out += byte < 0x20 || byte == 0x7F ? '?' : c;
  }
}

// Appends `value` / `unit` rounded to one decimal when that is below 100 ("80.0"), else rounded
// to a whole number.
void AppendInUnits(std::string& out, int64_t value, int64_t unit) {
  const int64_t tenths = (value * 10 + unit / 2) / unit;
  if (tenths < 1000) {
    AppendDecimal(out, tenths / 10);
    out += '.';
    AppendDecimal(out, tenths % 10);
  } else {
    AppendDecimal(out, (value + unit / 2) / unit);
  }
}

void AppendTwoDigits(std::string& out, int64_t value) {
  out += static_cast<char>('0' + value / 10);
  out += static_cast<char>('0' + value % 10);
}

enum class BusyForm { kWithKeys, kPlain, kShort };

void AppendBusy(std::string& out, const BusyStatus& status, BusyForm form) {
  out += form == BusyForm::kShort ? "busy " : "server busy: attempt ";
  AppendDecimal(out, status.attempt);
  out += form == BusyForm::kShort ? "/" : " of ";
  AppendDecimal(out, status.attempts);
  out += form == BusyForm::kShort ? ", " : ", next in ";
  AppendDecimal(out, status.seconds);
  out += " s";
  if (form == BusyForm::kWithKeys) out += " (Tab: now, Esc: stop)";
}

enum class RunCount { kWords, kSlashAndWord, kSlash };

// "742 of 1,206 files", "742/1,206 files" or "742/1,206"; "742 files" or "742" while no file
// is known.
void AppendRunCount(std::string& out, const RunStatus& status, RunCount form) {
  AppendGroupedThousands(out, status.files_done);
  if (status.files_known >= 0) {
    out += form == RunCount::kWords ? " of " : "/";
    AppendGroupedThousands(out, status.files_known);
  }
  const int64_t files = status.files_known >= 0 ? status.files_known : status.files_done;
  if (form != RunCount::kSlash) out += files == 1 ? " file" : " files";
}

}  // namespace

int64_t RoundedPercent(int64_t part, int64_t whole) {
  if (whole <= 0) return 0;
  return static_cast<int64_t>(
      std::nearbyint(100.0 * static_cast<double>(part) / static_cast<double>(whole)));
}

void AppendRate(std::string& out, int64_t bytes_per_second) {
  constexpr std::string_view kUnits[] = {" KiB/s", " MiB/s", " GiB/s"};
  // Far beyond any link; keeps the arithmetic below in range.
  const int64_t rate = std::clamp<int64_t>(bytes_per_second, 0, int64_t{1} << 50);
  if (rate < 1024) {
    AppendDecimal(out, rate);
    out += " B/s";
    return;
  }
  int64_t unit = 1024;
  size_t index = 0;
  // Rounded to whole units, the number must stay below 1024: 1023.96 KiB/s is 1.0 MiB/s.
  while (index + 1 < std::size(kUnits) && (rate + unit / 2) / unit >= 1024) {
    unit *= 1024;
    ++index;
  }
  AppendInUnits(out, rate, unit);
  out += kUnits[index];
}

// "delay 100 ms"; nothing without a delay.
void AppendDelay(std::string& out, int delay_ms) {
  if (delay_ms <= 0) return;
  out += "delay ";
  AppendDecimal(out, delay_ms);
  out += " ms";
}

void AppendTimeLeft(std::string& out, int64_t seconds) {
  if (seconds < 0) {
    out += "--:--";
    return;
  }
  const int64_t hours = seconds / 3600;
  const int64_t minutes = seconds / 60 % 60;
  if (hours > 0) {
    AppendDecimal(out, hours);
    out += ':';
    AppendTwoDigits(out, minutes);
  } else {
    AppendDecimal(out, minutes);
  }
  out += ':';
  AppendTwoDigits(out, seconds % 60);
}

void AppendShortened(std::string& out, std::string_view text, size_t columns) {
  constexpr std::string_view kDots = "...";
  if (text.size() <= columns) {
    AppendPrintable(out, text);
    return;
  }
  if (columns <= kDots.size()) {
    AppendPrintable(out, text.substr(0, WholeCharacters(text, columns)));
    return;
  }
  // The end of a name (its extension, its number) tells more than its beginning.
  const size_t head = (columns - kDots.size()) / 2;
  size_t tail_start = text.size() - (columns - kDots.size() - head);
  while (tail_start < text.size() && IsContinuationByte(text[tail_start])) ++tail_start;
  AppendPrintable(out, text.substr(0, WholeCharacters(text, head)));
  out += kDots;
  AppendPrintable(out, text.substr(tail_start));
}

std::string_view StatusFormatter::Format(const Status& status, int width) {
  line_.clear();
  if (width <= 1) return line_;
  const auto columns = static_cast<size_t>(width - 1);
  if (const auto* download = std::get_if<DownloadStatus>(&status)) {
    Download(*download, columns);
  } else if (const auto* listing = std::get_if<ListingStatus>(&status)) {
    Listing(*listing, columns);
  } else if (const auto* busy = std::get_if<BusyStatus>(&status)) {
    Busy(*busy, columns);
  } else {
    Run(std::get<RunStatus>(status), columns);
  }
  return line_;
}

void StatusFormatter::AppendCut(std::string_view text, size_t columns) {
  const size_t room = columns > line_.size() ? columns - line_.size() : 0;
  line_.append(text.substr(0, WholeCharacters(text, room)));
}

void StatusFormatter::Download(const DownloadStatus& status, size_t columns) {
  enum Field { kPercent, kBytes, kRate, kLeft, kDelay };
  for (std::string& field : fields_) field.clear();
  const bool size_known = status.size > 0;
  if (size_known) {
    AppendDecimal(fields_[kPercent], RoundedPercent(status.present, status.size));
    fields_[kPercent] += '%';
    AppendGroupedThousands(fields_[kBytes], status.present);
    fields_[kBytes] += " / ";
    AppendGroupedThousands(fields_[kBytes], status.size);
    AppendTimeLeft(fields_[kLeft], status.seconds_left);
  } else {
    AppendGroupedThousands(fields_[kBytes], status.present);
    fields_[kBytes] += " bytes";
  }
  if (status.bytes_per_second >= 0) AppendRate(fields_[kRate], status.bytes_per_second);
  AppendDelay(fields_[kDelay], status.delay_ms);

  const size_t name_columns = std::min(status.name.size(), kNameColumns);
  // The percentage stays: a name that does not fit beside it gives up its columns instead.
  for (const Field least_useful : {kBytes, kDelay, kLeft, kRate}) {
    if (name_columns + FieldsWidth() <= columns) break;
    fields_[least_useful].clear();
  }
  const size_t used = FieldsWidth();
  AppendShortened(line_, status.name, columns > used ? columns - used : 0);
  AppendFields(columns);
}

size_t StatusFormatter::FieldsWidth() const {
  size_t total = 0;
  for (const std::string& field : fields_) {
    if (!field.empty()) total += kGap.size() + field.size();
  }
  return total;
}

void StatusFormatter::AppendFields(size_t columns) {
  for (const std::string& field : fields_) {
    if (field.empty()) continue;
    if (!line_.empty()) AppendCut(kGap, columns);
    AppendCut(field, columns);
  }
}

void StatusFormatter::Listing(const ListingStatus& status, size_t columns) {
  std::string& count = fields_[0];
  count.clear();
  AppendGroupedThousands(count, status.lines);
  count += status.lines == 1 ? " line" : " lines";
  constexpr std::string_view kLead = "listing ";
  constexpr std::string_view kColon = ": ";
  // The directory shortened to what the rest leaves, while that shows more than "...";
  // then the count alone.
  constexpr size_t kLeast = 4;
  const size_t fixed = kLead.size() + kColon.size() + count.size();
  if (columns >= fixed + std::min(status.directory.size(), kLeast)) {
    line_ += kLead;
    AppendShortened(line_, status.directory, columns - fixed);
    line_ += kColon;
  } else if (columns >= count.size() + kLead.size() + 1) {
    line_ += "listing: ";
  }
  line_ += count;
  line_.resize(std::min(line_.size(), columns));
}

void StatusFormatter::Busy(const BusyStatus& status, size_t columns) {
  // From the fullest form to the shortest; the first that fits is shown.
  for (const BusyForm form : {BusyForm::kWithKeys, BusyForm::kPlain, BusyForm::kShort}) {
    line_.clear();
    AppendBusy(line_, status, form);
    if (line_.size() <= columns) return;
  }
  line_.resize(columns);
}

void StatusFormatter::Run(const RunStatus& status, size_t columns) {
  enum Field { kInFlight, kBytes, kRate, kDelay };
  for (std::string& field : fields_) field.clear();
  AppendGroupedThousands(fields_[kInFlight], status.files_in_flight);
  fields_[kInFlight] += " in flight";
  AppendGroupedThousands(fields_[kBytes], status.bytes);
  fields_[kBytes] += " bytes";
  if (status.bytes_per_second >= 0) AppendRate(fields_[kRate], status.bytes_per_second);
  AppendDelay(fields_[kDelay], status.delay_ms);

  // The count in its fullest form that fits, and then the other fields that fit beside it.
  constexpr RunCount kForms[] = {RunCount::kWords, RunCount::kSlashAndWord, RunCount::kSlash};
  for (const RunCount form : kForms) {
    line_.clear();
    AppendRunCount(line_, status, form);
    if (line_.size() <= columns) break;
  }
  for (const Field least_useful : {kInFlight, kBytes, kDelay, kRate}) {
    if (line_.size() + FieldsWidth() <= columns) break;
    fields_[least_useful].clear();
  }
  if (line_.size() > columns) {
    line_.clear();
    return;
  }
  AppendFields(columns);
}

}  // namespace koru
