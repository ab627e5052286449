#ifndef KORU_TESTS_LOCKED_FILE_SYSTEM_H_
#define KORU_TESTS_LOCKED_FILE_SYSTEM_H_

#include <mutex>
#include <string>
#include <utility>

#include "platform/file_system.h"

// A file system that passes one call at a time to another, so that the downloads of several
// connections can write to a fake made for one thread:
//
//   MemoryFileSystem disk;
//   LockedFileSystem files(disk);
//   env.files = &files;
namespace koru::testing {

class LockedFileSystem : public FileSystem {
  // Declared first: the calls below need its return type deduced.
  template <class Call, class... Args>
  decltype(auto) Locked(Call call, Args&&... args) {
    const std::lock_guard lock(mutex_);
    return (files_.*call)(std::forward<Args>(args)...);
  }

 public:
  explicit LockedFileSystem(FileSystem& files) : files_(files) {}

  LocalEntry Stat(const std::string& path) override { return Locked(&FileSystem::Stat, path); }
  OpenedFile Open(const std::string& path, FileOpenMode mode) override {
    return Locked(&FileSystem::Open, path, mode);
  }
  void Close(int handle) override { Locked(&FileSystem::Close, handle); }
  int Write(int handle, const char* data, size_t length) override {
    return Locked(&FileSystem::Write, handle, data, length);
  }
  int64_t Read(int handle, char* data, size_t length, int* error) override {
    return Locked(&FileSystem::Read, handle, data, length, error);
  }
  int64_t Size(int handle) override { return Locked(&FileSystem::Size, handle); }
  int SeekToEnd(int handle) override { return Locked(&FileSystem::SeekToEnd, handle); }
  int Truncate(int handle, int64_t size) override {
    return Locked(&FileSystem::Truncate, handle, size);
  }
  int Rename(const std::string& from, const std::string& to) override {
    return Locked(&FileSystem::Rename, from, to);
  }
  int Unlink(const std::string& path) override { return Locked(&FileSystem::Unlink, path); }
  int MakeDirectory(const std::string& path) override {
    return Locked(&FileSystem::MakeDirectory, path);
  }
  int SetTimes(const std::string& path, bool access, bool write, int64_t seconds) override {
    return Locked(&FileSystem::SetTimes, path, access, write, seconds);
  }
  int GetAttribute(const std::string& path, const std::string& name,
                   std::string* value) override {
    return Locked(&FileSystem::GetAttribute, path, name, value);
  }
  int SetAttribute(const std::string& path, const std::string& name,
                   const std::string& value) override {
    return Locked(&FileSystem::SetAttribute, path, name, value);
  }

 private:
  FileSystem& files_;
  std::mutex mutex_;
};

}  // namespace koru::testing

#endif  // KORU_TESTS_LOCKED_FILE_SYSTEM_H_
