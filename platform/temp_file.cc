#include "platform/temp_file.h"

#include <stdlib.h>
#include <unistd.h>

#include <vector>

namespace koru {

std::string TemporaryDirectoryVariable() {
  const char* value = getenv("TMPDIR");
  return value ? value : "";
}

std::string CreateUniqueFile(const std::string& directory, const std::string& prefix) {
  const std::string pattern = directory + prefix + "XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = mkstemp(name.data());
  if (fd < 0) return {};
  close(fd);
  return name.data();
}

}  // namespace koru
