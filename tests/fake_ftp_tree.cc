#include "tests/fake_ftp_tree.h"

#include <fnmatch.h>

#include <algorithm>
#include <cstdio>

#include "tests/remote_paths.h"

namespace koru::testing {
namespace {

std::string ListingLine(const char* mode, int links, int64_t size, const std::string& date,
                        const std::string& name) {
  char head[96];
  std::snprintf(head, sizeof head, "%s   %d owner    group    %8lld ", mode, links,
                static_cast<long long>(size));
  return head + date + " " + name;
}

}  // namespace

void FakeFtpTree::AddFile(const std::string& path, FakeFile file) {
  AddDirectory(Parent(path));
  std::lock_guard lock(mutex_);
  nodes_[path] = Node{false, std::move(file)};
}

void FakeFtpTree::AddDirectory(const std::string& path) {
  if (path == "/") return;
  AddDirectory(Parent(path));
  std::lock_guard lock(mutex_);
  nodes_[path].directory = true;
}

void FakeFtpTree::SetListing(const std::string& directory, std::vector<std::string> lines) {
  std::lock_guard lock(mutex_);
  listings_[directory] = std::move(lines);
}

void FakeFtpTree::Intercept(Interceptor interceptor) {
  std::lock_guard lock(mutex_);
  interceptor_ = std::move(interceptor);
}

SessionScript FakeFtpTree::Script() {
  Action open = [this](FakeFtpSession& session) {
    state_ = SessionState{};
    session.Reply("220 Fake tree ready.");
  };
  return Session({open}, {}, [this](const std::string& command, FakeFtpSession& session) {
    Interceptor interceptor;
    {
      std::lock_guard lock(mutex_);
      interceptor = interceptor_;
    }
    if (interceptor && interceptor(command, session)) return;
    std::lock_guard lock(mutex_);
    Answer(command, session);
  });
}

bool FakeFtpTree::HasFile(const std::string& path) const {
  std::lock_guard lock(mutex_);
  const auto it = nodes_.find(path);
  return it != nodes_.end() && !it->second.directory;
}

bool FakeFtpTree::HasDirectory(const std::string& path) const {
  std::lock_guard lock(mutex_);
  return IsDirectory(path);
}

bool FakeFtpTree::IsDirectory(const std::string& path) const {
  if (path == "/") return true;
  const auto it = nodes_.find(path);
  return it != nodes_.end() && it->second.directory;
}

void FakeFtpTree::Answer(const std::string& command, FakeFtpSession& session) {
  const std::string verb = Verb(command);
  const std::string argument = Argument(command);
  if (verb == "USER") {
    session.Reply("331 Password required.");
  } else if (verb == "PASS") {
    session.Reply("230 Logged in.");
  } else if (verb == "CWD") {
    ChangeDirectory(argument, session);
  } else if (verb == "PWD") {
    session.Reply("257 \"" + state_.cwd + "\" is the current directory.");
  } else if (verb == "TYPE") {
    session.Reply("200 Type set.");
  } else if (verb == "PASV") {
    session.Reply(session.Passive());
  } else if (verb == "LIST") {
    List(argument, session);
  } else if (verb == "REST") {
    state_.restart = std::stoll(argument);
    session.Reply("350 Restarting at " + argument + ".");
  } else if (verb == "RETR") {
    Retrieve(argument, session);
  } else if (verb == "SIZE") {
    Size(argument, session);
  } else if (verb == "DELE") {
    Delete(argument, session);
  } else if (verb == "MKD") {
    MakeDirectory(argument, session);
  } else {
    DefaultHandler(command, session);
  }
}

void FakeFtpTree::ChangeDirectory(const std::string& path, FakeFtpSession& session) {
  const std::string target = Resolve(state_.cwd, path);
  if (target.empty() || !IsDirectory(target)) {
    session.Reply("550 Failed to change directory.");
    return;
  }
  state_.cwd = target;
  session.Reply("250 Directory successfully changed.");
}

std::vector<std::string> FakeFtpTree::ListingOf(const std::string& directory,
                                                const std::string& mask) const {
  const auto raw = listings_.find(directory);
  if (raw != listings_.end()) return raw->second;
  std::vector<std::string> lines;
  for (const auto& [path, node] : nodes_) {
    if (path == "/" || Parent(path) != directory) continue;
    const std::string name = BaseName(path);
    if (!mask.empty() && fnmatch(mask.c_str(), name.c_str(), 0) != 0) continue;
    const FakeFile& f = node.file;
    lines.push_back(node.directory
                        ? ListingLine("drwxr-xr-x", 2, 512, f.date, name)
                        : ListingLine("-rw-r--r--", 1,
                                      f.listed_size >= 0 ? f.listed_size
                                                         : static_cast<int64_t>(f.content.size()),
                                      f.date, name));
  }
  return lines;
}

void FakeFtpTree::List(const std::string& mask, FakeFtpSession& session) {
  std::string bytes;
  for (const std::string& line : ListingOf(state_.cwd, mask)) bytes += line + "\r\n";
  Transfer(bytes, "150 Here comes the directory listing.", session);
}

// The client connected the data connection before its command, so the data can go first and
// both replies after it in one send: two small sends would each wait for the client's delayed
// acknowledgement of the other.
void FakeFtpTree::Transfer(std::string_view data, const std::string& opening,
                           FakeFtpSession& session) {
  if (session.AcceptData()) session.SendData(data);
  session.CloseData();
  session.SendRaw(opening + "\r\n226 Transfer complete.\r\n");
}

void FakeFtpTree::Retrieve(const std::string& path, FakeFtpSession& session) {
  const std::string target = Resolve(state_.cwd, path);
  const auto it = nodes_.find(target);
  if (it == nodes_.end() || it->second.directory) {
    session.Reply("550 Failed to open file.");
    return;
  }
  const FakeFile& f = it->second.file;
  const int64_t size = static_cast<int64_t>(f.content.size());
  const int64_t announced = f.announced_size == -1 ? size : f.announced_size;
  std::string opening = "150 Opening BINARY mode data connection for " + BaseName(target);
  if (announced != kNoAnnouncedSize) opening += " (" + std::to_string(announced) + " bytes)";
  const int64_t from = std::min(state_.restart, size);
  state_.restart = 0;
  Transfer(std::string_view(f.content).substr(from), opening + ".", session);
}

void FakeFtpTree::Size(const std::string& path, FakeFtpSession& session) {
  const auto it = nodes_.find(Resolve(state_.cwd, path));
  if (it == nodes_.end() || it->second.directory) {
    session.Reply("550 Could not get file size.");
    return;
  }
  session.Reply("213 " + std::to_string(it->second.file.content.size()));
}

void FakeFtpTree::Delete(const std::string& path, FakeFtpSession& session) {
  const auto it = nodes_.find(Resolve(state_.cwd, path));
  if (it == nodes_.end() || it->second.directory || it->second.file.refuse_delete) {
    session.Reply("550 Delete operation failed.");
    return;
  }
  nodes_.erase(it);
  session.Reply("250 Delete operation successful.");
}

void FakeFtpTree::MakeDirectory(const std::string& path, FakeFtpSession& session) {
  const std::string target = Resolve(state_.cwd, path);
  if (target.empty() || nodes_.count(target) || !IsDirectory(Parent(target))) {
    session.Reply("550 Create directory operation failed.");
    return;
  }
  nodes_[target].directory = true;
  session.Reply("257 \"" + target + "\" created");
}

}  // namespace koru::testing
