#ifndef KORU_TESTS_UPLOAD_FILES_H_
#define KORU_TESTS_UPLOAD_FILES_H_

#include <random>
#include <string>

#include "ftp/ftp_session.h"
#include "platform/text.h"
#include "tests/scratch_dir.h"

// Local files for upload tests, and the reply an upload left.
namespace koru::testing {

// `size` bytes of every value (CR, LF and NUL included), different in every block.
inline std::string Content(size_t size) {
  std::mt19937 random(static_cast<unsigned>(size));
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// Writes `bytes` into the file `name` of `dir` and returns its path.
inline std::string Written(const ScratchDir& dir, const std::string& name,
                           const std::string& bytes) {
  WriteFile(dir / name, bytes);
  return dir / name;
}

// The kept last reply of `session` as a reply line.
inline std::string LastReply(const koru::Session& session) {
  return ZeroPad(session.LastReplyCode, 3) + " " + session.LastReplyText;
}

}  // namespace koru::testing

#endif  // KORU_TESTS_UPLOAD_FILES_H_
