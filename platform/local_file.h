#ifndef KORU_PLATFORM_LOCAL_FILE_H_
#define KORU_PLATFORM_LOCAL_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file_system.h"
#include "platform/system_error.h"
#include "platform/handle_pool.h"
#include "platform/system_time.h"

// Local files through a FileSystem (the system's unless one is given). Paths are used literally
// (no wildcard expansion), symbolic links are followed, and failures come back as the program's
// error numbers, never as exceptions.
namespace koru {

inline constexpr int kErrBadFileName = 52;
inline constexpr int kErrFileNotFound = 53;
inline constexpr int kErrDiskFull = 61;
inline constexpr int kErrTooManyFiles = 67;
inline constexpr int kErrAccessDenied = 70;
inline constexpr int kErrPathAccess = 75;
inline constexpr int kErrPathNotFound = 76;

// The program's error number for a failed file call's errno.
int FileErrorNumber(int errno_value);

// The system's own text for `errno_value` ("No space left on device").
std::string SystemErrorText(int errno_value);

// What stands at `path` (links followed).
LocalEntry StatLocal(const std::string& path);
LocalEntry StatLocal(FileSystem& files, const std::string& path);

// Deletes a file; false (error number in `error` when given) on failure.
bool DeleteLocalFile(const std::string& path, int* error = nullptr);
bool DeleteLocalFile(FileSystem& files, const std::string& path, int* error = nullptr);
// Creates one directory; on failure `why` (when given) gets the system's text.
bool MakeLocalDirectory(const std::string& path, int* error = nullptr, std::string* why = nullptr);
bool MakeLocalDirectory(FileSystem& files, const std::string& path, int* error = nullptr,
                        std::string* why = nullptr);
// Sets the last-access and/or last-write time of `path` to `seconds` since the epoch; on
// failure `why` (when given) gets the system's text.
bool SetLocalFileTimes(const std::string& path, bool access, bool write, int64_t seconds,
                       std::string* why = nullptr);
bool SetLocalFileTimes(FileSystem& files, const std::string& path, bool access, bool write,
                       int64_t seconds, std::string* why = nullptr);

// Local time <-> seconds since the epoch, in the process time zone. LocalToEpoch is false for
// a record that is no valid calendar time (month 13, hour 24, 31 February ...).
bool LocalToEpoch(const SYSTEMTIME& local, int64_t* seconds);
SYSTEMTIME EpochToLocal(int64_t seconds);

// An open local file, named by a number from the shared pool, closed when destroyed.
class LocalFile {
 public:
  using Mode = FileOpenMode;

  LocalFile() = default;
  // A file of `files` in place of the system's.
  explicit LocalFile(FileSystem& files) : files_(&files) {}
  ~LocalFile();
  LocalFile(LocalFile&& other) noexcept;
  LocalFile& operator=(LocalFile&& other) noexcept;
  LocalFile(const LocalFile&) = delete;
  LocalFile& operator=(const LocalFile&) = delete;

  // Opens the regular file `path` (anything else, a directory or a FIFO, is refused with
  // kErrAccessDenied); false with error() set on failure.
  bool Open(HandlePool& pool, const std::string& path, Mode mode);
  void Close();

  bool is_open() const { return handle_ >= 0; }
  int number() const { return number_; }
  // The last failure: its number (the one the documented error lines print) and the system's
  // text ("Is a directory", "No space left on device").
  SystemError LastError() const;

  int64_t Size();
  bool SeekToEnd();
  // Writes all `length` bytes at the current position; false (error() set) otherwise.
  bool Write(const char* data, size_t length);
  // Reads up to `length` bytes; -1 (error() set) on failure, 0 at the end.
  int64_t Read(char* data, size_t length);

 private:
  // Records a failure's errno; false.
  bool Fail(int errno_value);

  FileSystem* files_ = &SystemFileSystem();
  HandlePool* pool_ = nullptr;
  int handle_ = -1;
  int number_ = 0;
  int error_ = 0;
  int system_error_ = 0;  // errno of the last failure; 0 for a path that is no regular file
};

}  // namespace koru

#endif  // KORU_PLATFORM_LOCAL_FILE_H_
