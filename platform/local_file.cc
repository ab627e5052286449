#include "platform/local_file.h"

#include <time.h>

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
    case EDQUOT: return kErrDiskFull;
    case ENAMETOOLONG: return kErrBadFileName;
    default: return kErrPathAccess;
  }
}

std::string SystemErrorText(int errno_value) {
  char buffer[256];
  // GNU strerror_r may return a static text in place of filling the buffer.
  return strerror_r(errno_value, buffer, sizeof buffer);
}

LocalEntry StatLocal(const std::string& path) { return StatLocal(SystemFileSystem(), path); }

LocalEntry StatLocal(FileSystem& files, const std::string& path) { return files.Stat(path); }

bool DeleteLocalFile(const std::string& path, int* error) {
  return DeleteLocalFile(SystemFileSystem(), path, error);
}

bool DeleteLocalFile(FileSystem& files, const std::string& path, int* error) {
  const int failure = files.Unlink(path);
  if (failure == 0) return true;
  if (error) *error = FileErrorNumber(failure);
  return false;
}

bool MakeLocalDirectory(const std::string& path, int* error, std::string* why) {
  return MakeLocalDirectory(SystemFileSystem(), path, error, why);
}

bool MakeLocalDirectory(FileSystem& files, const std::string& path, int* error,
                        std::string* why) {
  const int failure = files.MakeDirectory(path);
  if (failure == 0) return true;
  if (error) *error = FileErrorNumber(failure);
  if (why) *why = SystemErrorText(failure);
  return false;
}

bool SetLocalFileTimes(const std::string& path, bool access, bool write, int64_t seconds,
                       std::string* why) {
  return SetLocalFileTimes(SystemFileSystem(), path, access, write, seconds, why);
}

bool SetLocalFileTimes(FileSystem& files, const std::string& path, bool access, bool write,
                       int64_t seconds, std::string* why) {
  const int failure = files.SetTimes(path, access, write, seconds);
  if (failure == 0) return true;
  if (why) *why = SystemErrorText(failure);
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
    : files_(other.files_),
      pool_(std::exchange(other.pool_, nullptr)),
      handle_(std::exchange(other.handle_, -1)),
      number_(std::exchange(other.number_, 0)),
      error_(other.error_),
      system_error_(other.system_error_) {}

LocalFile& LocalFile::operator=(LocalFile&& other) noexcept {
  if (this != &other) {
    Close();
    files_ = other.files_;
    pool_ = std::exchange(other.pool_, nullptr);
    handle_ = std::exchange(other.handle_, -1);
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
  if (path.empty()) {
    system_error_ = ENOENT;
    error_ = kErrFileNotFound;
    return false;
  }
  const OpenedFile opened = files_->Open(path, mode);
  if (opened.handle < 0) {
    system_error_ = opened.error;
    // A file that would be created but cannot be: a directory of its path is missing.
    const bool path_missing = opened.error == ENOENT && mode != Mode::kRead;
    error_ = opened.error == 0  ? kErrAccessDenied  // no regular file
             : path_missing     ? kErrPathNotFound
                                : FileErrorNumber(opened.error);
    return false;
  }
  handle_ = opened.handle;
  pool_ = &pool;
  number_ = pool.Lowest();
  pool.Claim(number_);
  return true;
}

void LocalFile::Close() {
  if (handle_ >= 0) {
    files_->Close(handle_);
    handle_ = -1;
  }
  if (pool_) pool_->Release(number_);
  pool_ = nullptr;
  number_ = 0;
}

SystemError LocalFile::LastError() const {
  if (error_ == 0) return {};
  return {SystemError::Facility::kLocalFile, error_,
          system_error_ != 0 ? SystemErrorText(system_error_) : "Not a regular file"};
}

bool LocalFile::Fail(int errno_value) {
  system_error_ = errno_value;
  error_ = FileErrorNumber(errno_value);
  return false;
}

int64_t LocalFile::Size() { return is_open() ? files_->Size(handle_) : 0; }

bool LocalFile::SeekToEnd() {
  if (!is_open()) return Fail(EBADF);
  const int failure = files_->SeekToEnd(handle_);
  return failure == 0 || Fail(failure);
}

bool LocalFile::Write(const char* data, size_t length) {
  if (length == 0) return true;
  if (!is_open()) return Fail(EBADF);
  const int failure = files_->Write(handle_, data, length);
  return failure == 0 || Fail(failure);
}

int64_t LocalFile::Read(char* data, size_t length) {
  if (!is_open()) {
    Fail(EBADF);
    return -1;
  }
  int failure = 0;
  const int64_t got = files_->Read(handle_, data, length, &failure);
  if (got < 0) Fail(failure);
  return got;
}

}  // namespace koru
