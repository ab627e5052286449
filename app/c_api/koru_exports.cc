// The C entry points of libkoru, over the same code the program runs. No exception leaves an
// entry point: one that cannot finish (memory ran out) gives its failure result.
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "app/c_api/koru.h"
#include "app/startup.h"
#include "ftp/ftp_session.h"
#include "ftp/session.h"
#include "localfs/local_files.h"
#include "run/env.h"

namespace koru {
namespace {

// A library has no console of its own: it prints nothing, sets no title and reads no keys.
class SilentConsole : public Console {
 public:
  void WriteLine(std::string_view) override {}
  void SetTitle(std::string_view) override {}
  int PollKey() override { return kNoKey; }
};

struct Library {
  Library() : env(console, clock) { options.ProgramTitle = std::string("KORU ") + kVersion; }

  SilentConsole console;
  PosixClock clock;
  Env env;
  Options options;                                       // set here, read by every session
  RunSettings state;                                     // shared by every session
  std::map<int32_t, std::unique_ptr<Session>> sessions;  // by the handle the caller holds
};

// The library's one run state, living as long as the process.
Library& TheLibrary() {
  static Library library;
  return library;
}

// Runs `body`; `failure` when it throws.
template <typename Result, typename Body>
Result Guarded(Result failure, Body body) noexcept {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

std::string Text(BSTR text) {
  return text ? std::string(text, SysStringByteLen(text)) : std::string();
}

std::string Text(const BSTR* text) { return text ? Text(*text) : std::string(); }

BSTR NewText(const std::string& text) {
  return SysAllocStringByteLen(text.data(), static_cast<uint32_t>(text.size()));
}

// A path or host name ends at its first NUL on the way to the system, which would then act on
// another name than the one given.
bool HoldsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// A CR or LF inside a user name or password would end the command line early and send the
// rest of the text as a command of its own.
bool SplitsCommandLine(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace
}  // namespace koru

extern "C" {

BSTR SysAllocStringByteLen(const char* bytes, uint32_t length) {
  auto* block = static_cast<char*>(std::malloc(sizeof(uint32_t) + length + size_t{1}));
  if (!block) return nullptr;
  std::memcpy(block, &length, sizeof length);
  char* text = block + sizeof(uint32_t);
  if (bytes) {
    std::memcpy(text, bytes, length);
  } else {
    std::memset(text, 0, length);
  }
  text[length] = '\0';
  return text;
}

void SysFreeString(BSTR text) {
  if (text) std::free(text - sizeof(uint32_t));
}

uint32_t SysStringByteLen(BSTR text) {
  if (!text) return 0;
  uint32_t length;
  std::memcpy(&length, text - sizeof(uint32_t), sizeof length);
  return length;
}

int32_t ftpConnect(const BSTR* server, const BSTR* user, const BSTR* password) {
  return koru::Guarded(int32_t{-1}, [&] {
    const std::string server_text = koru::Text(server);
    const std::string user_text = koru::Text(user);
    const std::string password_text = koru::Text(password);
    if (koru::HoldsNul(server_text) || koru::SplitsCommandLine(user_text) ||
        koru::SplitsCommandLine(password_text)) {
      return int32_t{-1};
    }
    koru::Library& library = koru::TheLibrary();
    auto session = std::make_unique<koru::Session>(library.env, library.options, library.state);
    const int32_t handle = koru::ftpConnect(*session, server_text, user_text, password_text);
    if (handle >= 1) library.sessions[handle] = std::move(session);
    return handle;
  });
}

void ftpQuit(int32_t handle) {
  koru::Guarded(0, [&] {
    koru::Library& library = koru::TheLibrary();
    const auto session = library.sessions.find(handle);
    if (session == library.sessions.end()) return 0;
    koru::ftpQuit(*session->second);
    library.sessions.erase(session);
    return 0;
  });
}

int32_t EXIST(BSTR path) {
  return koru::Guarded(int32_t{0}, [&] {
    const std::string text = koru::Text(path);
    return koru::HoldsNul(text) ? 0 : koru::EXIST(text);
  });
}

BSTR GETWINDOWSTEMPDIR(void) {
  return koru::Guarded(BSTR{}, [] { return koru::NewText(koru::GETWINDOWSTEMPDIR()); });
}

BSTR GETNEWTEMPFILE(void) {
  return koru::Guarded(BSTR{}, [] { return koru::NewText(koru::GETNEWTEMPFILE()); });
}

}  // extern "C"
