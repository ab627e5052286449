#ifndef KORU_PLATFORM_TEMP_FILE_H_
#define KORU_PLATFORM_TEMP_FILE_H_

#include <string>

// Temporary files over POSIX calls.
namespace koru {

// The value of the environment variable TMPDIR; empty when it is not set.
std::string TemporaryDirectoryVariable();

// Creates a new empty file named `directory` + `prefix` + six unique characters (mkstemp) and
// closes it. `directory` ends in "/". On success: the file's name. On failure: empty.
std::string CreateUniqueFile(const std::string& directory, const std::string& prefix);

}  // namespace koru

#endif  // KORU_PLATFORM_TEMP_FILE_H_
