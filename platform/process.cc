#include "platform/process.h"

#include <signal.h>
#include <unistd.h>

#include <climits>
#include <clocale>

namespace koru {

std::string CommandLineText(int argc, const char* const* argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    text += argv[i];
  }
  return text;
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
