#ifndef KORU_TESTS_MEMORY_FILE_SYSTEM_H_
#define KORU_TESTS_MEMORY_FILE_SYSTEM_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"

// A file system held in memory that answers like Linux does (the same errno values for the same
// calls), and can be made to fail: a disk that fills up at a given size, paths the user may not
// touch. Paths name the same entry with or without "./" and doubled slashes; "/" is always
// there. New and written files get the time the fake is set to (0 unless set).
namespace koru::testing {

class MemoryFileSystem : public FileSystem {
 public:
  MemoryFileSystem();

  // The parents of what is added are made as needed.
  void AddDirectory(const std::string& path);
  void AddFile(const std::string& path, const std::string& content, int64_t modified_seconds = 0);
  // An entry that is neither file nor directory (a FIFO, a device).
  void AddSpecial(const std::string& path);

  // Every file together may hold at most `bytes`; a write beyond that stores what fits and then
  // fails with `error`.
  void SetCapacity(int64_t bytes, int error);
  // Every change of `path` (open, unlink, mkdir, rename, set times) fails with `error`.
  void Refuse(const std::string& path, int error);
  void SetNow(int64_t seconds) { now_ = seconds; }
  // Relative paths ("./a.txt") lead from `directory` (the root unless set), as from a process's
  // current directory.
  void SetWorkingDirectory(const std::string& directory) { working_ = directory; }
  // Behaves as a file system that keeps no extended attributes (ENOTSUP), as some do.
  void WithoutAttributes() { attributes_ = false; }

  // The content of the regular file `path`, if it is one.
  std::optional<std::string> Content(const std::string& path) const;
  // The paths of all entries below "/" ("/" itself left out), sorted.
  std::vector<std::string> Paths() const;
  // How often Stat was asked about `path`.
  int StatCount(const std::string& path) const;
  int OpenHandles() const { return static_cast<int>(handles_.size()); }

  LocalEntry Stat(const std::string& path) override;
  OpenedFile Open(const std::string& path, FileOpenMode mode) override;
  void Close(int handle) override;
  int Write(int handle, const char* data, size_t length) override;
  int64_t Read(int handle, char* data, size_t length, int* error) override;
  int64_t Size(int handle) override;
  int SeekToEnd(int handle) override;
  int Truncate(int handle, int64_t size) override;
  int Rename(const std::string& from, const std::string& to) override;
  int Unlink(const std::string& path) override;
  int MakeDirectory(const std::string& path) override;
  int SetTimes(const std::string& path, bool access, bool write, int64_t seconds) override;
  int GetAttribute(const std::string& path, const std::string& name,
                   std::string* value) override;
  int SetAttribute(const std::string& path, const std::string& name,
                   const std::string& value) override;

 private:
  struct Node {
    EntryKind kind = EntryKind::kRegular;
    std::string content;
    int64_t modified = 0;
    int64_t accessed = 0;
    std::map<std::string, std::string> attributes{};
  };
  struct Handle {
    std::shared_ptr<Node> node;
    int64_t position = 0;
    bool writable = false;
  };
  // Where a path leads: its normal form, and 0 when every directory on the way is there
  // (ENOENT or ENOTDIR otherwise).
  struct Place {
    std::string path;
    int error = 0;
  };

  std::string Normal(const std::string& path) const;
  static std::string Parent(const std::string& normal);
  Place Locate(const std::string& path) const;
  Node* Find(const std::string& normal) const;
  int RefusalOf(const std::string& normal) const;
  int64_t UsedBytes() const;
  Handle* HandleOf(int handle);
  void Add(const std::string& path, Node node);

  std::map<std::string, std::shared_ptr<Node>> nodes_;
  std::map<int, Handle> handles_;
  std::map<std::string, int> refusals_;
  std::map<std::string, int> stat_counts_;
  int next_handle_ = 1000;
  int64_t capacity_ = -1;
  int capacity_error_ = 0;
  int64_t now_ = 0;
  bool attributes_ = true;
  std::string working_ = "/";
};

}  // namespace koru::testing

#endif  // KORU_TESTS_MEMORY_FILE_SYSTEM_H_
