#include "ftp/transfer_status.h"

namespace koru {
namespace {

// The rate is measured over this span once the transfer has run that long.
constexpr int64_t kRateWindowMs = 3000;
// A shorter span than this tells too little.
constexpr int64_t kShortestSpanMs = 200;
// A download's line appears once it has run this long: a file that comes at once leaves none.
constexpr int kDownloadFirstMs = 200;
// A listing shows its count once it has taken this long.
constexpr int kListingFirstMs = 500;

}  // namespace

StatusPacer::StatusPacer(Env& env, int first_ms)
    : env_(env),
      enabled_(env.console.HasStatusLine()),
      now_ms_(enabled_ ? env.clock.MonotonicMs() : 0),
      next_ms_(now_ms_ + first_ms) {}

StatusPacer::~StatusPacer() {
  if (enabled_) env_.console.ClearStatus();
}

bool StatusPacer::Due() {
  if (!enabled_) return false;
  now_ms_ = env_.clock.MonotonicMs();
  if (now_ms_ < next_ms_) return false;
  next_ms_ = now_ms_ + kStatusRedrawMs;
  return true;
}

void StatusPacer::Show(const Status& status) {
  if (!enabled_) return;
  now_ms_ = env_.clock.MonotonicMs();
  next_ms_ = now_ms_ + kStatusRedrawMs;
  env_.console.ShowStatus(status);
}

RateMeter::RateMeter(int64_t start_ms, int64_t bytes) { readings_[0] = {start_ms, bytes}; }

void RateMeter::Add(int64_t ms, int64_t bytes) {
  if (ms - readings_[newest_].ms < kStatusRedrawMs) return;
  newest_ = (newest_ + 1) % kReadings;
  readings_[newest_] = {ms, bytes};
  if (count_ < kReadings) ++count_;
}

int64_t RateMeter::BytesPerSecond(int64_t ms, int64_t bytes) const {
  // The newest reading at least a window old, else the oldest kept.
  Reading base = readings_[newest_];
  for (size_t back = 0; back < count_; ++back) {
    base = readings_[(newest_ + kReadings - back) % kReadings];
    if (ms - base.ms >= kRateWindowMs) break;
  }
  const int64_t span = ms - base.ms;
  if (span < kShortestSpanMs) return -1;
  return (bytes - base.bytes) * 1000 / span;
}

ListingProgress::ListingProgress(Env& env, std::string_view directory)
    : env_(env), pacer_(env, kListingFirstMs), directory_(directory) {}

void ListingProgress::Update(int64_t lines) {
  env_.Title("(" + std::to_string(lines) + " lines) LIST " + std::string(directory_));
  if (pacer_.Due()) pacer_.Show(ListingStatus{directory_, lines});
}

DownloadProgress::DownloadProgress(Env& env, const RunSettings& state, std::string_view name,
                                   int64_t offset, int64_t expected)
    : env_(env),
      state_(state),
      pacer_(env, kDownloadFirstMs),
      meter_(pacer_.now_ms(), 0),
      name_(name),
      offset_(offset),
      expected_(expected) {
  title_.reserve(64);
}

void DownloadProgress::ShowTitle() {
  title_.clear();
  if (expected_ > 0) {
    AppendDecimal(title_, RoundedPercent(received_ + offset_, expected_ + offset_));
    title_ += "% Received, ";
    AppendGroupedThousands(title_, expected_ - received_);
    title_ += " bytes remain";
  } else {
    title_ += "Received ";
    AppendGroupedThousands(title_, received_);
    title_ += " bytes";
  }
  env_.Title(title_);
}

void DownloadProgress::Redraw() {
  if (!pacer_.enabled()) return;
  Draw();
}

void DownloadProgress::Draw() {
  const int64_t now = env_.clock.MonotonicMs();
  meter_.Add(now, received_);
  const int64_t rate = meter_.BytesPerSecond(now, received_);
  DownloadStatus status{name_, received_ + offset_, -1, rate, -1, state_.BlockDelay};
  if (expected_ > 0) {
    status.size = expected_ + offset_;
    const int64_t remaining = expected_ - received_;
    if (rate > 0) status.seconds_left = remaining > 0 ? (remaining + rate - 1) / rate : 0;
  }
  pacer_.Show(status);
}

}  // namespace koru
