#ifndef KORU_PLATFORM_FILE_SYSTEM_H_
#define KORU_PLATFORM_FILE_SYSTEM_H_

#include <cstddef>
#include <cstdint>
#include <string>

// The local file system as the program uses it. Every call that fails gives the system's errno
// value (SystemErrorText turns it into the system's text); 0 is success. Paths are used
// literally and symbolic links are followed. The program works on the system's own; tests
// put an in-memory one in its place.
namespace koru {

enum class EntryKind { kMissing, kRegular, kDirectory, kOther };

struct LocalEntry {
  EntryKind kind = EntryKind::kMissing;
  int64_t size = 0;              // 0 for a directory
  int64_t modified_seconds = 0;  // last write, seconds since the epoch
};

enum class FileOpenMode {
  kRead,            // existing file, read only
  kReadWrite,       // read and write, created when missing, never truncated
  kReadWriteEmpty,  // read and write, created when missing, emptied
};

// What Open gives: a handle, or the errno of the failure. A path that opens but is no regular
// file (a FIFO, a device) has neither: handle -1 and error 0. A directory is EISDIR.
struct OpenedFile {
  int handle = -1;
  int error = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // What stands at `path`; kMissing for an empty path or anything that cannot be looked at.
  virtual LocalEntry Stat(const std::string& path) = 0;
  // Opens the regular file `path`, at its start.
  virtual OpenedFile Open(const std::string& path, FileOpenMode mode) = 0;
  virtual void Close(int handle) = 0;
  // Writes all `length` bytes at the current position; what fitted stays on a failure.
  virtual int Write(int handle, const char* data, size_t length) = 0;
  // Reads up to `length` bytes: their count, 0 at the end, -1 with `*error` set on failure.
  virtual int64_t Read(int handle, char* data, size_t length, int* error) = 0;
  // The size of the open file; 0 when it cannot be told.
  virtual int64_t Size(int handle) = 0;
  virtual int SeekToEnd(int handle) = 0;
  virtual int Truncate(int handle, int64_t size) = 0;
  virtual int Rename(const std::string& from, const std::string& to) = 0;
  virtual int Unlink(const std::string& path) = 0;
  virtual int MakeDirectory(const std::string& path) = 0;
  // Sets the last-access and/or last-write time to `seconds` since the epoch.
  virtual int SetTimes(const std::string& path, bool access, bool write, int64_t seconds) = 0;
  // The extended attribute `name` ("user.xdg.origin.url") of `path`: 0 with `*value` set, or
  // ENODATA when the file has none of that name, ENOTSUP where the file system keeps none.
  virtual int GetAttribute(const std::string& path, const std::string& name,
                           std::string* value) = 0;
  virtual int SetAttribute(const std::string& path, const std::string& name,
                           const std::string& value) = 0;
};

// The system's file system, over POSIX calls.
FileSystem& SystemFileSystem();

}  // namespace koru

#endif  // KORU_PLATFORM_FILE_SYSTEM_H_
