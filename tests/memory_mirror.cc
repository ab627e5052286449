#include "tests/memory_mirror.h"

#include <algorithm>
#include <string_view>

#include "sync/sync_engine.h"

namespace koru::testing {

const char* ModeName(Mode mode) {
  switch (mode) {
    case Mode::kOneConnection:
      return "OneConnection";
    case Mode::kP1:
      return "P1";
    case Mode::kP4:
      return "P4";
  }
  return "";
}

void PrintTo(Mode mode, std::ostream* out) { *out << ModeName(mode); }

std::vector<std::string> ComparedAcrossModes(const std::vector<std::string>& lines) {
  constexpr std::string_view kSizeWarning = " * Warning: Local file size does not match remote (";
  std::vector<std::string> compared;
  for (const std::string& line : lines) {
    const std::string text = line.size() > 8 ? line.substr(8) : "";
    if (text.starts_with(" * Found ") || text.starts_with(" * Connecting to ") ||
        text.starts_with(" * Recurse to directory ")) {
      continue;
    }
    const size_t named = line.find("): ");
    const bool size_warning = text.starts_with(kSizeWarning) && named != std::string::npos;
    compared.push_back(size_warning ? line.substr(0, named + 1) : line);
  }
  std::sort(compared.begin(), compared.end());
  return compared;
}

int32_t MemoryMirror::Run(int connections, const std::string& remote_path,
                          const std::string& mask) {
  if (connections == 0) {
    return SyncSubDirectory(env, options, state, totals, kMirrorServer, "anonymous", "guest@",
                            remote_path, kMirrorDir, mask);
  }
  return MirrorInParallel(env, options, state, totals, connections, kMirrorServer, "anonymous",
                          "guest@", remote_path, kMirrorDir, mask);
}

int32_t MemoryMirror::RunStepwise(const std::string& remote_path, const std::string& mask) {
  return SyncDirectory(env, options, state, totals, kMirrorServer, "anonymous", "guest@",
                       remote_path, kMirrorDir, mask);
}

std::vector<std::string> MemoryMirror::AllCommands() const {
  std::vector<std::string> all;
  for (const auto& session : server.commands()) all.insert(all.end(), session.begin(), session.end());
  return all;
}

int MemoryMirror::Count(const std::string& verb, size_t first_session) const {
  const auto sessions = server.commands();
  int n = 0;
  for (size_t i = first_session; i < sessions.size(); ++i) {
    n += static_cast<int>(std::count_if(sessions[i].begin(), sessions[i].end(),
                                        [&](const std::string& c) { return c.starts_with(verb); }));
  }
  return n;
}

}  // namespace koru::testing
