#include "fuzz/fuzz_target.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace koru::fuzz {
namespace {

std::map<std::string, TargetFunction>& Registry() {
  static std::map<std::string, TargetFunction> targets;
  return targets;
}

std::string& ReplayedInput() {
  static std::string path;
  return path;
}

}  // namespace

bool RegisterTarget(const char* name, TargetFunction run) {
  Registry()[name] = run;
  return true;
}

const std::map<std::string, TargetFunction>& Targets() { return Registry(); }

void Check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "broken property: %s\n", what);
  if (!ReplayedInput().empty()) std::fprintf(stderr, "input: %s\n", ReplayedInput().c_str());
  std::abort();
}

void SetReplayedInput(std::string path) { ReplayedInput() = std::move(path); }

uint8_t FuzzInput::Byte() {
  if (rest_.empty()) return 0;
  const auto byte = static_cast<uint8_t>(rest_.front());
  rest_.remove_prefix(1);
  return byte;
}

uint16_t FuzzInput::Word() {
  const uint16_t low = Byte();
  return static_cast<uint16_t>(low | Byte() << 8);
}

SYSTEMTIME FuzzInput::Date() {
  SYSTEMTIME date;
  date.wYear = Word();
  date.wMonth = Byte();
  date.wDay = Byte();
  return date;
}

std::string_view FuzzInput::Field() {
  const size_t nul = rest_.find('\0');
  const std::string_view field = rest_.substr(0, nul);
  rest_.remove_prefix(nul == std::string_view::npos ? rest_.size() : nul + 1);
  return field;
}

std::string_view FuzzInput::Rest() {
  const std::string_view rest = rest_;
  rest_ = {};
  return rest;
}

}  // namespace koru::fuzz
