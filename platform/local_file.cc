#include "platform/local_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace koru {

int FileErrorNumber(int errno_value) {
  switch (errno_value) {
    case ENOENT: return kErrFileNotFound;
    case ENOTDIR: return kErrPathNotFound;
    case EACCES:
    case EPERM:
    case EBUSY:
    case ETXTBSY:
    case EROFS:
    case EISDIR: return kErrAccessDenied;
    case EMFILE:
    case ENFILE: return kErrTooManyFiles;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return kErrDiskFull;
    case ENAMETOOLONG: return kErrBadFileName;
    default: return kErrPathAccess;
  }
}

std::string SystemErrorText(int errno_value) {
  char buffer[256];
  // GNU strerror_r may return a static text in place of filling the buffer.
  return strerror_r(errno_value, buffer, sizeof buffer);
}

LocalEntry StatLocal(const std::string& path) {
  LocalEntry entry;
  struct stat st {};
  if (path.empty() || stat(path.c_str(), &st) != 0) return entry;
  if (S_ISREG(st.st_mode)) {
    entry.kind = EntryKind::kRegular;
  } else if (S_ISDIR(st.st_mode)) {
    entry.kind = EntryKind::kDirectory;
  } else {
    entry.kind = EntryKind::kOther;
  }
  entry.size = S_ISDIR(st.st_mode) ? 0 : static_cast<int64_t>(st.st_size);
  entry.modified_seconds = static_cast<int64_t>(st.st_mtim.tv_sec);
  return entry;
}

bool DeleteLocalFile(const std::string& path, int* error) {
  if (unlink(path.c_str()) == 0) return true;
  if (error) *error = FileErrorNumber(errno);
  return false;
}

bool MakeLocalDirectory(const std::string& path, int* error, std::string* why) {
  if (mkdir(path.c_str(), 0777) == 0) return true;
  const int failure = errno;
  if (error) *error = FileErrorNumber(failure);
  if (why) *why = SystemErrorText(failure);
  return false;
}

bool SetLocalFileTimes(const std::string& path, bool access, bool write, int64_t seconds,
                       std::string* why) {
  timespec times[2];
  times[0] = access ? timespec{static_cast<time_t>(seconds), 0} : timespec{0, UTIME_OMIT};
  times[1] = write ? timespec{static_cast<time_t>(seconds), 0} : timespec{0, UTIME_OMIT};
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) == 0) return true;
  if (why) *why = SystemErrorText(errno);
  return false;
}

bool LocalToEpoch(const SYSTEMTIME& local, int64_t* seconds) {
  if (local.wMonth < 1 || local.wMonth > 12 || local.wDay < 1 || local.wHour > 23 ||
      local.wMinute > 59 || local.wSecond > 59) {
    return false;
  }
  tm fields{};
  fields.tm_year = local.wYear - 1900;
  fields.tm_mon = local.wMonth - 1;
  fields.tm_mday = local.wDay;
  fields.tm_hour = local.wHour;
  fields.tm_min = local.wMinute;
  fields.tm_sec = local.wSecond;
  fields.tm_isdst = -1;
  const time_t when = mktime(&fields);
  // mktime folds 31 February into March: such a record is no calendar time.
  if (when == static_cast<time_t>(-1) || fields.tm_mday != local.wDay ||
      fields.tm_mon != local.wMonth - 1) {
    return false;
  }
  *seconds = static_cast<int64_t>(when);
  return true;
}

SYSTEMTIME EpochToLocal(int64_t seconds) {
  const time_t when = static_cast<time_t>(seconds);
  tm fields{};
  localtime_r(&when, &fields);
  SYSTEMTIME t;
  t.wYear = static_cast<uint16_t>(fields.tm_year + 1900);
  t.wMonth = static_cast<uint16_t>(fields.tm_mon + 1);
  t.wDayOfWeek = static_cast<uint16_t>(fields.tm_wday);
  t.wDay = static_cast<uint16_t>(fields.tm_mday);
  t.wHour = static_cast<uint16_t>(fields.tm_hour);
  t.wMinute = static_cast<uint16_t>(fields.tm_min);
  t.wSecond = static_cast<uint16_t>(fields.tm_sec);
  return t;
}

LocalFile::~LocalFile() { Close(); }

LocalFile::LocalFile(LocalFile&& other) noexcept
    : pool_(std::exchange(other.pool_, nullptr)),
      fd_(std::exchange(other.fd_, -1)),
      number_(std::exchange(other.number_, 0)),
      error_(other.error_),
      system_error_(other.system_error_) {}

LocalFile& LocalFile::operator=(LocalFile&& other) noexcept {
  if (this != &other) {
    Close();
    pool_ = std::exchange(other.pool_, nullptr);
    fd_ = std::exchange(other.fd_, -1);
    number_ = std::exchange(other.number_, 0);
    error_ = other.error_;
    system_error_ = other.system_error_;
  }
  return *this;
}

bool LocalFile::Open(HandlePool& pool, const std::string& path, Mode mode) {
  Close();
  error_ = 0;
  system_error_ = 0;
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::kRead: flags |= O_RDONLY; break;
    case Mode::kReadWrite: flags |= O_RDWR | O_CREAT; break;
    case Mode::kReadWriteEmpty: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
  }
  const int fd = ::open(path.c_str(), flags | O_NONBLOCK, 0666);
  if (fd < 0) {
    system_error_ = path.empty() ? ENOENT : errno;
    // A file that would be created but cannot be: a directory of its path is missing.
    const bool path_missing = errno == ENOENT && (flags & O_CREAT);
    error_ = path.empty() ? kErrFileNotFound
                          : path_missing ? kErrPathNotFound : FileErrorNumber(errno);
    return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    system_error_ = S_ISDIR(st.st_mode) ? EISDIR : 0;
    ::close(fd);
    error_ = kErrAccessDenied;
    return false;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  fd_ = fd;
  pool_ = &pool;
  number_ = pool.Lowest();
  pool.Claim(number_);
  return true;
}

void LocalFile::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (pool_) pool_->Release(number_);
  pool_ = nullptr;
  number_ = 0;
}

std::string LocalFile::ErrorText() const {
  return system_error_ != 0 ? SystemErrorText(system_error_) : "Not a regular file";
}

int64_t LocalFile::Size() {
  struct stat st {};
  if (fd_ < 0 || fstat(fd_, &st) != 0) return 0;
  return static_cast<int64_t>(st.st_size);
}

bool LocalFile::SeekToEnd() {
  if (fd_ >= 0 && lseek(fd_, 0, SEEK_END) >= 0) return true;
  system_error_ = fd_ >= 0 ? errno : EBADF;
  error_ = FileErrorNumber(system_error_);
  return false;
}

bool LocalFile::Write(const char* data, size_t length) {
  while (length > 0) {
    const ssize_t written = ::write(fd_, data, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      system_error_ = errno;
      error_ = FileErrorNumber(errno);
      return false;
    }
    data += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

int64_t LocalFile::Read(char* data, size_t length) {
  for (;;) {
    const ssize_t got = ::read(fd_, data, length);
    if (got >= 0) return got;
    if (errno != EINTR) {
      system_error_ = errno;
      error_ = FileErrorNumber(errno);
      return -1;
    }
  }
}

}  // namespace koru
