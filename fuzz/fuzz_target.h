#ifndef KORU_FUZZ_FUZZ_TARGET_H_
#define KORU_FUZZ_FUZZ_TARGET_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system_time.h"

// What every fuzz target shares. A target is written once, inside namespace koru::fuzz, as
//
//   KORU_FUZZ_TARGET(list_parser) { ... data, size ... }
//
// and built two ways: with libFuzzer as the program's entry (LLVMFuzzerTestOneInput), and with
// KORU_FUZZ_REPLAY defined into the test suite, where it registers under its name so that the
// regression test can replay every kept input through the same code.
namespace koru::fuzz {

// Marks a target's own helpers (input decoding, checks): the fuzzer then neither traces their
// branches, which tell nothing about the code under test and would steer it towards inputs
// that only they find interesting, nor spends time on tracing them.
#ifdef __clang__
#define KORU_FUZZ_HELPER __attribute__((no_sanitize("coverage")))
#else
#define KORU_FUZZ_HELPER
#endif

using TargetFunction = void (*)(const uint8_t* data, size_t size);

// Records `run` under `name`; true, so that a static can hold the result.
bool RegisterTarget(const char* name, TargetFunction run);
// Every registered target by name.
const std::map<std::string, TargetFunction>& Targets();

// A property of the code under test: when `holds` is false the program stops at once with
// `what` (and the input being replayed, if any), which libFuzzer reports as a crash.
void Check(bool holds, const char* what);
// Named in the message of a broken property while the regression test replays it.
void SetReplayedInput(std::string path);

// Reads the parts of one input in order; what has run out reads as 0 or as empty text.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size)
      : rest_(reinterpret_cast<const char*>(data), size) {}

  uint8_t Byte();
  // Two bytes, low byte first.
  uint16_t Word();
  // A date: year (two bytes), month and day (one byte each); any values, valid or not.
  SYSTEMTIME Date();
  // The text up to the next NUL byte (which is consumed), or all that is left.
  std::string_view Field();
  std::string_view Rest();
  bool empty() const { return rest_.empty(); }

 private:
  std::string_view rest_;
};

// A copy of a text in a heap block of exactly its size, so that AddressSanitizer reports a read
// one byte past its end (the fuzzer's own buffer goes on after every part but the last).
class ExactText {
 public:
  explicit ExactText(std::string_view text) : bytes_(text.begin(), text.end()) {}
  std::string_view view() const { return {bytes_.data(), bytes_.size()}; }
  operator std::string_view() const { return view(); }

 private:
  std::vector<char> bytes_;
};

}  // namespace koru::fuzz

#ifdef KORU_FUZZ_REPLAY
#define KORU_FUZZ_TARGET(name)                                                           \
  static void name##_one_input(const uint8_t* data, size_t size);                        \
  [[maybe_unused]] static const bool name##_registered =                                 \
      ::koru::fuzz::RegisterTarget(#name, name##_one_input);                             \
  static void name##_one_input(const uint8_t* data, size_t size)
#else
#define KORU_FUZZ_TARGET(name)                                                           \
  static void name##_one_input(const uint8_t* data, size_t size);                        \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {              \
    name##_one_input(data, size);                                                        \
    return 0;                                                                            \
  }                                                                                      \
  static void name##_one_input(const uint8_t* data, size_t size)
#endif

#endif  // KORU_FUZZ_FUZZ_TARGET_H_
