#include "tests/memory_file_system.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace koru::testing {

MemoryFileSystem::MemoryFileSystem() {
  nodes_["/"] = std::make_shared<Node>(Node{EntryKind::kDirectory, {}});
}

std::string MemoryFileSystem::Normal(const std::string& path) const {
  std::vector<std::string> parts;
  std::stringstream in(path.starts_with("/") ? path : working_ + "/" + path);
  for (std::string part; std::getline(in, part, '/');) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else {
      parts.push_back(part);
    }
  }
  std::string normal;
  for (const std::string& part : parts) normal += "/" + part;
  return normal.empty() ? "/" : normal;
}

std::string MemoryFileSystem::Parent(const std::string& normal) {
  const size_t slash = normal.rfind('/');
  return slash == 0 ? "/" : normal.substr(0, slash);
}

MemoryFileSystem::Node* MemoryFileSystem::Find(const std::string& normal) const {
  const auto it = nodes_.find(normal);
  return it == nodes_.end() ? nullptr : it->second.get();
}

MemoryFileSystem::Place MemoryFileSystem::Locate(const std::string& path) const {
  Place place{Normal(path)};
  for (size_t slash = place.path.find('/', 1); slash != std::string::npos;
       slash = place.path.find('/', slash + 1)) {
    const Node* directory = Find(place.path.substr(0, slash));
    if (!directory) {
      place.error = ENOENT;
      return place;
    }
    if (directory->kind != EntryKind::kDirectory) {
      place.error = ENOTDIR;
      return place;
    }
  }
  const Node* node = Find(place.path);
  if (node && node->kind != EntryKind::kDirectory && path.ends_with("/")) place.error = ENOTDIR;
  return place;
}

int MemoryFileSystem::RefusalOf(const std::string& normal) const {
  const auto it = refusals_.find(normal);
  return it == refusals_.end() ? 0 : it->second;
}

int64_t MemoryFileSystem::UsedBytes() const {
  int64_t used = 0;
  for (const auto& [path, node] : nodes_) used += static_cast<int64_t>(node->content.size());
  return used;
}

MemoryFileSystem::Handle* MemoryFileSystem::HandleOf(int handle) {
  const auto it = handles_.find(handle);
  return it == handles_.end() ? nullptr : &it->second;
}

void MemoryFileSystem::Add(const std::string& path, Node node) {
  const std::string normal = Normal(path);
  for (std::string parent = Parent(normal); !nodes_.count(parent); parent = Parent(parent)) {
    nodes_[parent] = std::make_shared<Node>(Node{EntryKind::kDirectory, {}});
  }
  nodes_[normal] = std::make_shared<Node>(std::move(node));
}

void MemoryFileSystem::AddDirectory(const std::string& path) {
  Add(path, Node{EntryKind::kDirectory, {}});
}

void MemoryFileSystem::AddFile(const std::string& path, const std::string& content,
                               int64_t modified_seconds) {
  Add(path, Node{EntryKind::kRegular, content, modified_seconds, modified_seconds});
}

void MemoryFileSystem::AddSpecial(const std::string& path) { Add(path, Node{EntryKind::kOther, {}}); }

void MemoryFileSystem::SetCapacity(int64_t bytes, int error) {
  capacity_ = bytes;
  capacity_error_ = error;
}

void MemoryFileSystem::Refuse(const std::string& path, int error) {
  refusals_[Normal(path)] = error;
}

std::optional<std::string> MemoryFileSystem::Content(const std::string& path) const {
  const Node* node = Find(Normal(path));
  if (!node || node->kind != EntryKind::kRegular) return std::nullopt;
  return node->content;
}

std::vector<std::string> MemoryFileSystem::Paths() const {
  std::vector<std::string> paths;
  for (const auto& [path, node] : nodes_) {
    if (path != "/") paths.push_back(path);
  }
  return paths;
}

int MemoryFileSystem::StatCount(const std::string& path) const {
  const auto it = stat_counts_.find(Normal(path));
  return it == stat_counts_.end() ? 0 : it->second;
}

LocalEntry MemoryFileSystem::Stat(const std::string& path) {
  LocalEntry entry;
  if (path.empty()) return entry;
  const Place place = Locate(path);
  ++stat_counts_[place.path];
  const Node* node = Find(place.path);
  if (place.error || !node) return entry;
  entry.kind = node->kind;
  entry.size = node->kind == EntryKind::kDirectory ? 0 : static_cast<int64_t>(node->content.size());
  entry.modified_seconds = node->modified;
  return entry;
}

OpenedFile MemoryFileSystem::Open(const std::string& path, FileOpenMode mode) {
  if (path.empty()) return {-1, ENOENT};
  const Place place = Locate(path);
  if (place.error) return {-1, place.error};
  if (const int refusal = RefusalOf(place.path)) return {-1, refusal};
  auto found = nodes_.find(place.path);
  if (found == nodes_.end()) {
    if (mode == FileOpenMode::kRead) return {-1, ENOENT};
    if (path.ends_with("/")) return {-1, EISDIR};
    if (const int refusal = RefusalOf(Parent(place.path))) return {-1, refusal};
    found =
        nodes_
            .emplace(place.path, std::make_shared<Node>(Node{EntryKind::kRegular, "", now_, now_}))
            .first;
  }
  Node& node = *found->second;
  if (node.kind == EntryKind::kDirectory) return {-1, EISDIR};
  if (node.kind != EntryKind::kRegular) return {-1, 0};
  if (mode == FileOpenMode::kReadWriteEmpty && !node.content.empty()) {
    node.content.clear();
    node.modified = now_;
  }
  const int handle = next_handle_++;
  handles_[handle] = Handle{found->second, 0, mode != FileOpenMode::kRead};
  return {handle, 0};
}

void MemoryFileSystem::Close(int handle) { handles_.erase(handle); }

int MemoryFileSystem::Write(int handle, const char* data, size_t length) {
  Handle* open = HandleOf(handle);
  if (!open || !open->writable) return EBADF;
  std::string& content = open->node->content;
  const int64_t end = open->position + static_cast<int64_t>(length);
  const int64_t growth = std::max<int64_t>(0, end - static_cast<int64_t>(content.size()));
  const int64_t room = capacity_ < 0 ? growth : std::max<int64_t>(0, capacity_ - UsedBytes());
  const int64_t over = std::max<int64_t>(0, growth - room);
  const size_t fits = length - static_cast<size_t>(std::min<int64_t>(length, over));
  if (content.size() < static_cast<size_t>(open->position + fits)) {
    content.resize(static_cast<size_t>(open->position + fits));
  }
  content.replace(static_cast<size_t>(open->position), fits, data, fits);
  open->position += static_cast<int64_t>(fits);
  open->node->modified = now_;
  return fits == length ? 0 : capacity_error_;
}

int64_t MemoryFileSystem::Read(int handle, char* data, size_t length, int* error) {
  Handle* open = HandleOf(handle);
  if (!open) {
    *error = EBADF;
    return -1;
  }
  const std::string& content = open->node->content;
  if (open->position >= static_cast<int64_t>(content.size())) return 0;
  const size_t got = std::min(length, content.size() - static_cast<size_t>(open->position));
  std::memcpy(data, content.data() + open->position, got);
  open->position += static_cast<int64_t>(got);
  return static_cast<int64_t>(got);
}

int64_t MemoryFileSystem::Size(int handle) {
  Handle* open = HandleOf(handle);
  return open ? static_cast<int64_t>(open->node->content.size()) : 0;
}

int MemoryFileSystem::SeekToEnd(int handle) {
  Handle* open = HandleOf(handle);
  if (!open) return EBADF;
  open->position = static_cast<int64_t>(open->node->content.size());
  return 0;
}

int MemoryFileSystem::Truncate(int handle, int64_t size) {
  Handle* open = HandleOf(handle);
  if (!open) return EBADF;
  if (!open->writable || size < 0) return EINVAL;
  open->node->content.resize(static_cast<size_t>(size));
  open->node->modified = now_;
  return 0;
}

int MemoryFileSystem::Rename(const std::string& from, const std::string& to) {
  const Place source = Locate(from);
  const Place target = Locate(to);
  if (source.error) return source.error;
  const Node* moved = Find(source.path);
  if (!moved) return ENOENT;
  if (target.error) return target.error;
  if (const int refusal = RefusalOf(source.path)) return refusal;
  if (const int refusal = RefusalOf(target.path)) return refusal;
  if (source.path == target.path) return 0;
  const Node* replaced = Find(target.path);
  const bool moves_directory = moved->kind == EntryKind::kDirectory;
  if (replaced && moves_directory && replaced->kind != EntryKind::kDirectory) return ENOTDIR;
  if (replaced && !moves_directory && replaced->kind == EntryKind::kDirectory) return EISDIR;
  if (target.path.starts_with(source.path + "/")) return EINVAL;
  const std::string below = target.path + "/";
  const auto child = nodes_.lower_bound(below);
  if (replaced && child != nodes_.end() && child->first.starts_with(below)) return ENOTEMPTY;
  std::map<std::string, std::shared_ptr<Node>> renamed;
  for (auto it = nodes_.begin(); it != nodes_.end();) {
    const bool inside = it->first == source.path || it->first.starts_with(source.path + "/");
    if (!inside) {
      ++it;
      continue;
    }
    renamed[target.path + it->first.substr(source.path.size())] = it->second;
    it = nodes_.erase(it);
  }
  for (auto& [path, node] : renamed) nodes_[path] = node;
  return 0;
}

int MemoryFileSystem::Unlink(const std::string& path) {
  const Place place = Locate(path);
  if (place.error) return place.error;
  const Node* node = Find(place.path);
  if (!node) return ENOENT;
  if (const int refusal = RefusalOf(place.path)) return refusal;
  if (node->kind == EntryKind::kDirectory) return EISDIR;
  nodes_.erase(place.path);
  return 0;
}

int MemoryFileSystem::MakeDirectory(const std::string& path) {
  if (path.empty()) return ENOENT;
  const Place place = Locate(path);
  if (place.error) return place.error;
  if (Find(place.path)) return EEXIST;
  if (const int refusal = RefusalOf(place.path)) return refusal;
  nodes_[place.path] = std::make_shared<Node>(Node{EntryKind::kDirectory, "", now_, now_});
  return 0;
}

int MemoryFileSystem::SetTimes(const std::string& path, bool access, bool write, int64_t seconds) {
  if (path.empty()) return ENOENT;
  const Place place = Locate(path);
  if (place.error) return place.error;
  Node* node = Find(place.path);
  if (!node) return ENOENT;
  if (const int refusal = RefusalOf(place.path)) return refusal;
  if (access) node->accessed = seconds;
  if (write) node->modified = seconds;
  return 0;
}

int MemoryFileSystem::GetAttribute(const std::string& path, const std::string& name,
                                   std::string* value) {
  const Place place = Locate(path);
  if (place.error) return place.error;
  const Node* node = Find(place.path);
  if (!node) return ENOENT;
  if (!attributes_) return ENOTSUP;
  const auto found = node->attributes.find(name);
  if (found == node->attributes.end()) return ENODATA;
  *value = found->second;
  return 0;
}

int MemoryFileSystem::SetAttribute(const std::string& path, const std::string& name,
                                   const std::string& value) {
  const Place place = Locate(path);
  if (place.error) return place.error;
  Node* node = Find(place.path);
  if (!node) return ENOENT;
  if (const int refusal = RefusalOf(place.path)) return refusal;
  if (!attributes_) return ENOTSUP;
  node->attributes[name] = value;
  return 0;
}

}  // namespace koru::testing
