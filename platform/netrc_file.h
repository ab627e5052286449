#ifndef KORU_PLATFORM_NETRC_FILE_H_
#define KORU_PLATFORM_NETRC_FILE_H_

#include <string>

// The user's netrc file: the file the environment variable NETRC names, else .netrc in the
// home directory ($HOME, else the user's entry in the password database).
namespace koru {

struct NetrcFile {
  enum class State {
    kMissing,       // absent, or it cannot be read
    kOpenToOthers,  // its mode gives group or others any right: not read
    kRead,
  };
  State state = State::kMissing;
  std::string path;
  std::string text;  // when kRead
};

class NetrcSource {
 public:
  virtual ~NetrcSource() = default;
  virtual NetrcFile Read() = 0;
};

// The system's netrc, found as above.
NetrcSource& SystemNetrc();

// Reads the netrc at `path`; the mode is checked on the file opened, so what is read is what
// was checked.
NetrcFile ReadNetrcFile(const std::string& path);

}  // namespace koru

#endif  // KORU_PLATFORM_NETRC_FILE_H_
