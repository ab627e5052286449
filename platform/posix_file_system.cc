#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/file_system.h"

namespace koru {
namespace {

EntryKind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return EntryKind::kRegular;
  if (S_ISDIR(mode)) return EntryKind::kDirectory;
  return EntryKind::kOther;
}

int OpenFlags(FileOpenMode mode) {
  switch (mode) {
    case FileOpenMode::kRead:
      return O_RDONLY;
    case FileOpenMode::kReadWrite:
      return O_RDWR | O_CREAT;
    case FileOpenMode::kReadWriteEmpty:
      return O_RDWR | O_CREAT | O_TRUNC;
  }
  return O_RDONLY;
}

int ErrorOf(int result) { return result == 0 ? 0 : errno; }

class PosixFileSystem : public FileSystem {
 public:
  LocalEntry Stat(const std::string& path) override {
    LocalEntry entry;
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0) return entry;
    entry.kind = KindOf(st.st_mode);
    entry.size = S_ISDIR(st.st_mode) ? 0 : static_cast<int64_t>(st.st_size);
    entry.modified_seconds = static_cast<int64_t>(st.st_mtim.tv_sec);
    return entry;
  }

  // Opened without blocking, so that a FIFO with no writer is refused rather than waited on.
  OpenedFile Open(const std::string& path, FileOpenMode mode) override {
    const int fd = ::open(path.c_str(), OpenFlags(mode) | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) return {-1, errno};
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return {-1, S_ISDIR(st.st_mode) ? EISDIR : 0};
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return {fd, 0};
  }

  void Close(int handle) override { ::close(handle); }

  int Write(int handle, const char* data, size_t length) override {
    while (length > 0) {
      const ssize_t written = ::write(handle, data, length);
      if (written < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      data += written;
      length -= static_cast<size_t>(written);
    }
    return 0;
  }

  int64_t Read(int handle, char* data, size_t length, int* error) override {
    for (;;) {
      const ssize_t got = ::read(handle, data, length);
      if (got >= 0) return got;
      if (errno != EINTR) {
        *error = errno;
        return -1;
      }
    }
  }

  int64_t Size(int handle) override {
    struct stat st {};
    if (fstat(handle, &st) != 0) return 0;
    return static_cast<int64_t>(st.st_size);
  }

  int SeekToEnd(int handle) override { return lseek(handle, 0, SEEK_END) >= 0 ? 0 : errno; }

  int Truncate(int handle, int64_t size) override {
    return ErrorOf(ftruncate(handle, static_cast<off_t>(size)));
  }

  int Rename(const std::string& from, const std::string& to) override {
    return ErrorOf(::rename(from.c_str(), to.c_str()));
  }

  int Unlink(const std::string& path) override { return ErrorOf(unlink(path.c_str())); }

  int MakeDirectory(const std::string& path) override { return ErrorOf(mkdir(path.c_str(), 0777)); }

  int SetTimes(const std::string& path, bool access, bool write, int64_t seconds) override {
    const timespec given{static_cast<time_t>(seconds), 0};
    const timespec omitted{0, UTIME_OMIT};
    const timespec times[2] = {access ? given : omitted, write ? given : omitted};
    return ErrorOf(utimensat(AT_FDCWD, path.c_str(), times, 0));
  }

  int GetAttribute(const std::string& path, const std::string& name,
                   std::string* value) override {
    // The value may change between asking its size and reading it: asked again until it fits.
    for (;;) {
      const ssize_t size = getxattr(path.c_str(), name.c_str(), nullptr, 0);
      if (size < 0) return errno;
      value->resize(static_cast<size_t>(size) + 1);
      const ssize_t got = getxattr(path.c_str(), name.c_str(), value->data(), value->size());
      if (got >= 0 && static_cast<size_t>(got) < value->size()) {
        value->resize(static_cast<size_t>(got));
        return 0;
      }
      if (got < 0 && errno != ERANGE) return errno;
    }
  }

  int SetAttribute(const std::string& path, const std::string& name,
                   const std::string& value) override {
    return ErrorOf(setxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0));
  }
};

}  // namespace

FileSystem& SystemFileSystem() {
  static PosixFileSystem system;
  return system;
}

}  // namespace koru
