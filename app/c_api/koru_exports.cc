// The C entry points of libkoru, over the same code the program runs.
#include "app/c_api/koru.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "app/env.h"
#include "app/startup.h"
#include "ftp/session.h"
#include "localfs/local_files.h"

namespace koru {
namespace {

// A library has no console of its own: it prints nothing, sets no title and reads no keys.
class SilentConsole : public Console {
 public:
  void WriteLine(std::string_view) override {}
  void SetTitle(std::string_view) override {}
  int PollKey() override { return kNoKey; }
};

// The library's one run state, living as long as the process.
Env& LibraryEnv() {
  static SilentConsole console;
  static PosixClock clock;
  static Env env(console, clock);
  static const bool ready = [] {
    env.state.ProgramTitle = std::string("KORU ") + kVersion;
    return true;
  }();
  (void)ready;
  return env;
}

std::string Text(BSTR text) {
  return text ? std::string(text, SysStringByteLen(text)) : std::string();
}

std::string Text(const BSTR* text) { return text ? Text(*text) : std::string(); }

BSTR NewText(const std::string& text) {
  return SysAllocStringByteLen(text.data(), static_cast<uint32_t>(text.size()));
}

}  // namespace
}  // namespace koru

extern "C" {

BSTR SysAllocStringByteLen(const char* bytes, uint32_t length) {
  auto* block = static_cast<char*>(std::malloc(sizeof(uint32_t) + length + 1));
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
  return koru::ftpConnect(koru::LibraryEnv(), koru::Text(server), koru::Text(user),
                          koru::Text(password));
}

void ftpQuit(int32_t handle) { koru::ftpQuit(koru::LibraryEnv(), handle); }

int32_t EXIST(BSTR path) { return koru::EXIST(koru::Text(path)); }

BSTR GETWINDOWSTEMPDIR(void) { return koru::NewText(koru::GETWINDOWSTEMPDIR()); }

BSTR GETNEWTEMPFILE(void) { return koru::NewText(koru::GETNEWTEMPFILE()); }

}  // extern "C"
