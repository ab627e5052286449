#ifndef KORU_PLATFORM_SYSTEM_ERROR_H_
#define KORU_PLATFORM_SYSTEM_ERROR_H_

#include <string>

namespace koru {

// Why an operation of one of the program's facilities failed: which facility, its number for
// the failure (the number documented lines print; the facilities number apart, so 52 is "no
// open channel" for a channel and "bad file name" for a local file) and the system's own words
// for it ("Connection refused", "No space left on device"), empty where the system gave none.
struct SystemError {
  enum class Facility { kNone, kChannel, kLocalFile };
  Facility facility = Facility::kNone;
  int number = 0;  // 0: nothing failed
  std::string text;

  bool failed() const { return number != 0; }
};

}  // namespace koru

#endif  // KORU_PLATFORM_SYSTEM_ERROR_H_
