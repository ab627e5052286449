#include "platform/process.h"

#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <clocale>

namespace koru {

std::vector<std::string> ArgumentWords(int argc, const char* const* argv) {
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '\0') words.emplace_back(argv[i]);
  }
  return words;
}

void BlankArgumentBytes(int argc, char** argv, size_t word, size_t offset, size_t length) {
  size_t seen = 0;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '\0') continue;
    if (seen++ != word) continue;
    const size_t size = std::strlen(argv[i]);
    for (size_t at = offset; at < size && at < offset + length; ++at) argv[i][at] = ' ';
    return;
  }
}

void PrepareProcess() {
  std::setlocale(LC_TIME, "");
  signal(SIGXFSZ, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
}

std::string CurrentDirectory() {
  char path[PATH_MAX];
  return getcwd(path, sizeof path) ? std::string(path) : std::string();
}

}  // namespace koru
