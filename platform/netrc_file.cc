#include "platform/netrc_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace koru {
namespace {

// A netrc larger than this is no netrc.
constexpr off_t kMaxNetrcBytes = 1 << 20;

// An open file, closed when this goes.
class OpenFd {
 public:
  explicit OpenFd(int fd) : fd_(fd) {}
  ~OpenFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  OpenFd(const OpenFd&) = delete;
  OpenFd& operator=(const OpenFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  const passwd* entry = ::getpwuid(::getuid());
  return entry && entry->pw_dir ? entry->pw_dir : "";
}

std::string NetrcPath() {
  const char* named = std::getenv("NETRC");
  if (named && *named) return named;
  const std::string home = HomeDirectory();
  return home.empty() ? "" : home + "/.netrc";
}

bool ReadAll(int fd, std::string& text) {
  char block[4096];
  for (;;) {
    const ssize_t got = ::read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    text.append(block, static_cast<size_t>(got));
    if (text.size() > static_cast<size_t>(kMaxNetrcBytes)) return false;
  }
}

class SystemNetrcSource : public NetrcSource {
 public:
  NetrcFile Read() override {
    const std::string path = NetrcPath();
    if (path.empty()) return {};
    return ReadNetrcFile(path);
  }
};

}  // namespace

NetrcFile ReadNetrcFile(const std::string& path) {
  NetrcFile file;
  file.path = path;
  const OpenFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat info {};
  if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return file;
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    file.state = NetrcFile::State::kOpenToOthers;
    return file;
  }
  if (!ReadAll(fd.get(), file.text)) {
    file.text.clear();
    return file;
  }
  file.state = NetrcFile::State::kRead;
  return file;
}

NetrcSource& SystemNetrc() {
  static SystemNetrcSource source;
  return source;
}

}  // namespace koru
