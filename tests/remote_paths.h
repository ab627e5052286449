#ifndef KORU_TESTS_REMOTE_PATHS_H_
#define KORU_TESTS_REMOTE_PATHS_H_

#include <string>

// Path arithmetic of the fake FTP servers' trees.
namespace koru::testing {

// `path` made absolute against `cwd`, without trailing "/" ("/" for the root); empty for an
// empty path.
inline std::string Resolve(const std::string& cwd, std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty() || path[0] == '/') return path;
  return (cwd == "/" ? "/" : cwd + "/") + path;
}

inline std::string Parent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

inline std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

}  // namespace koru::testing

#endif  // KORU_TESTS_REMOTE_PATHS_H_
