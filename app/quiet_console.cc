#include "app/quiet_console.h"

#include <array>

namespace koru {
namespace {

constexpr size_t kTimeLength = 8;  // "hh:mm:ss"

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// True when `line` begins with a time of day "hh:mm:ss".
bool StartsWithTime(std::string_view line) {
  if (line.size() < kTimeLength) return false;
  for (size_t i = 0; i < kTimeLength; ++i) {
    if (i % 3 == 2 ? line[i] != ':' : !IsDigit(line[i])) return false;
  }
  return true;
}

constexpr std::array<std::string_view, 4> kFailurePrefixes = {
    " * Warning:", " ** User Abort **", " * Not deleted:", " * Remote file was not erased"};

constexpr std::array<std::string_view, 6> kFailureTotals = {
    " file failed.",      " files failed.",           " directory failed.",
    " directories failed.", " remote file not deleted.", " remote files not deleted."};

// " 3 files failed." and the like: a blank, a count, and the words of a failure total.
bool IsFailureTotal(std::string_view text) {
  if (text.size() < 2 || text[0] != ' ' || !IsDigit(text[1])) return false;
  size_t end = 1;
  while (end < text.size() && IsDigit(text[end])) ++end;
  const std::string_view words = text.substr(end);
  for (std::string_view total : kFailureTotals) {
    if (words == total) return true;
  }
  return false;
}

bool IsFailureLine(std::string_view text) {
  for (std::string_view prefix : kFailurePrefixes) {
    if (text.starts_with(prefix)) return true;
  }
  return IsFailureTotal(text);
}

}  // namespace

bool FailureLineFilter::OpensFailure(std::string_view line) {
  if (!StartsWithTime(line)) {
    after_error_ = false;
    return false;
  }
  const std::string_view text = line.substr(kTimeLength);
  const bool error = text.starts_with(" ERROR:");
  const bool reason = after_error_ && text.starts_with("  ");
  after_error_ = error || reason;
  return error || reason || IsFailureLine(text);
}

bool FailureLineFilter::Keep(std::string_view line) {
  return OpensFailure(line) && kept_.emplace(line.substr(kTimeLength)).second;
}

std::vector<std::string> FailureLineFilter::KeepOfPiece(std::span<const std::string> piece) {
  std::vector<std::string> kept;
  if (piece.empty()) return kept;
  if (!OpensFailure(piece.front())) {
    for (const std::string& line : piece.subspan(1)) {
      if (Keep(line)) kept.push_back(line);
    }
    return kept;
  }
  std::string texts(piece.front().substr(kTimeLength));
  for (const std::string& line : piece.subspan(1)) {
    OpensFailure(line);  // a reason line written after the piece still belongs to it
    texts += '\n';
    texts += StartsWithTime(line) ? std::string_view(line).substr(kTimeLength) : line;
  }
  if (kept_.emplace(std::move(texts)).second) kept.assign(piece.begin(), piece.end());
  return kept;
}

void QuietConsole::WriteLine(std::string_view line) {
  const std::lock_guard lock(mutex_);
  if (filter_.Keep(line)) console_.WriteErrorLine(line);
}

void QuietConsole::WriteLines(std::span<const std::string> lines) {
  const std::lock_guard lock(mutex_);
  const std::vector<std::string> kept = filter_.KeepOfPiece(lines);
  if (!kept.empty()) console_.WriteErrorLines(kept);
}

}  // namespace koru
