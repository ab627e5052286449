#ifndef KORU_TESTS_FAKE_FTP_TREE_H_
#define KORU_TESTS_FAKE_FTP_TREE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fake_ftp_server.h"

// A remote file tree that the fake FTP server serves the way a Unix FTP server does, so that
// tests of whole runs need not script every command:
//
//   USER -> 331, PASS -> 230, CWD (absolute or relative, trailing "/" ignored) -> 250 or 550,
//   PWD -> 257, TYPE -> 200, PASV -> 227, LIST [mask] -> the listing, 150, 226 (the mask
//   matched with shell wildcards), REST n -> 350, RETR -> the content from the restart offset,
//   150 "(size bytes)", 226 (550 for what is no file), SIZE -> 213 and the content's size (550
//   for what is no file), DELE -> 250 (removed) or 550, MKD -> 257
//   (550 when the parent is missing or the name taken), QUIT -> 221 and the connection closed.
//
// Paths are absolute ("/pub/a.txt"); the root "/" always exists. Listing lines are generated
// ("-rw-r--r--   1 owner    group    SIZE DATE NAME", directories "drwxr-xr-x ... 512 ...") in
// name order, unless a directory has raw listing lines of its own. The tree is changed by the
// server thread while a client runs: read it after FakeFtpServer::Stop(), or through the
// accessors, which lock.
namespace koru::testing {

// announced_size for a 150 reply that names no size.
inline constexpr int64_t kNoAnnouncedSize = -2;

struct FakeFile {
  std::string content;
  std::string date = "Mar  5  2001";  // the listing's date columns
  int64_t listed_size = -1;           // the listing's size; -1: the content's size
  int64_t announced_size = -1;        // the size in the 150 reply; -1: the content's size
  bool refuse_delete = false;         // DELE answered 550
};

class FakeFtpTree {
 public:
  // Adds `path` (its parent directories are created).
  void AddFile(const std::string& path, FakeFile file);
  void AddFile(const std::string& path, const std::string& content) {
    AddFile(path, FakeFile{content});
  }
  void AddDirectory(const std::string& path);
  // Raw lines that LIST sends for `directory` in place of the generated ones.
  void SetListing(const std::string& directory, std::vector<std::string> lines);
  // Runs before the tree's own answer to every command; returning true means it has answered
  // the command itself. It runs in the server thread.
  using Interceptor = std::function<bool(const std::string& command, FakeFtpSession& session)>;
  void Intercept(Interceptor interceptor);

  // The script of a connection to this tree (greeting "220 Fake tree ready.").
  SessionScript Script();

  bool HasFile(const std::string& path) const;
  bool HasDirectory(const std::string& path) const;

 private:
  struct Node {
    bool directory = false;
    FakeFile file;
  };
  struct SessionState {
    std::string cwd = "/";
    int64_t restart = 0;
  };

  void Answer(const std::string& command, FakeFtpSession& session);
  void ChangeDirectory(const std::string& path, FakeFtpSession& session);
  void List(const std::string& mask, FakeFtpSession& session);
  void Retrieve(const std::string& path, FakeFtpSession& session);
  void Size(const std::string& path, FakeFtpSession& session);
  void Transfer(std::string_view data, const std::string& opening, FakeFtpSession& session);
  void Delete(const std::string& path, FakeFtpSession& session);
  void MakeDirectory(const std::string& path, FakeFtpSession& session);
  std::vector<std::string> ListingOf(const std::string& directory, const std::string& mask) const;
  bool IsDirectory(const std::string& path) const;

  mutable std::mutex mutex_;
  std::map<std::string, Node> nodes_;  // every path but the root, sorted
  std::map<std::string, std::vector<std::string>> listings_;
  Interceptor interceptor_;
  SessionState state_;  // of the one connection served at a time; reset when it opens
};

}  // namespace koru::testing

#endif  // KORU_TESTS_FAKE_FTP_TREE_H_
