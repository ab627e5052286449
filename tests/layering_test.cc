// The folders of the product are layers, and includes run one way only:
//   app -> sync -> ftp -> listing | localfs -> run -> platform
// A file may include its own folder and any folder below it, never one above it or beside it,
// and only platform/ may include the operating system's headers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/scratch_dir.h"

namespace koru::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::map<std::string, int>& Layers() {
  static const std::map<std::string, int> layers = {{"platform", 0}, {"run", 1}, {"listing", 2},
                                                    {"localfs", 2},  {"ftp", 3}, {"sync", 4},
                                                    {"app", 5}};
  return layers;
}

// Headers of the C and C++ standard libraries that name themselves with ".h" (C callers).
bool IsStandardCHeader(const std::string& name) {
  static const std::set<std::string> kStandard = {"stdint.h", "stddef.h", "stdbool.h",
                                                  "limits.h", "string.h", "stdlib.h"};
  return kStandard.count(name) > 0;
}

// An operating-system header: one in a sub-folder (<sys/socket.h>) or a ".h" header that is
// no part of the C standard library (<unistd.h>).
bool IsSystemHeader(const std::string& name) {
  if (name.find('/') != std::string::npos) return true;
  return name.size() > 2 && name.ends_with(".h") && !IsStandardCHeader(name);
}

bool IsProductSource(const fs::path& path) {
  const std::string name = path.filename().string();
  const std::string ext = path.extension().string();
  return (ext == ".h" || ext == ".cc" || ext == ".c") && !name.ends_with("_test.cc");
}

// What `file` (a path relative to `root`, in folder `folder`) breaks, as "file:line: reason".
void CheckFile(const fs::path& root, const std::string& relative, const std::string& folder,
               std::vector<std::string>& problems) {
  std::ifstream in(root / relative);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::string where = relative + ":" + std::to_string(number) + ": ";
    if (line.rfind("#include \"", 0) == 0) {
      const std::string target = line.substr(10, line.find('"', 10) - 10);
      const std::string target_folder = target.substr(0, target.find('/'));
      const auto layer = Layers().find(target_folder);
      if (layer == Layers().end() || target_folder == folder) continue;
      if (layer->second >= Layers().at(folder)) {
        problems.push_back(where + folder + "/ includes " + target + ", which is not below it");
      }
    } else if (line.rfind("#include <", 0) == 0 && folder != "platform") {
      const std::string target = line.substr(10, line.find('>', 10) - 10);
      if (IsSystemHeader(target)) {
        problems.push_back(where + "system header <" + target + "> outside platform/");
      }
    }
  }
}

// Every include of the product sources below `root` that goes against the layers.
std::vector<std::string> LayeringProblems(const fs::path& root) {
  std::vector<std::string> problems;
  for (const auto& [folder, layer] : Layers()) {
    if (!fs::is_directory(root / folder)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(root / folder)) {
      if (!entry.is_regular_file() || !IsProductSource(entry.path())) continue;
      CheckFile(root, fs::relative(entry.path(), root).string(), folder, problems);
    }
  }
  std::sort(problems.begin(), problems.end());
  return problems;
}

TEST(LayeringTest, ProductIncludesRunOneWayOnly) {
  EXPECT_THAT(LayeringProblems(KORU_SOURCE_DIR), IsEmpty());
}

// The FTP procedures are handed what they work on: they never look at the engine's choices
// (moving, unique names, recursion, erasing or resuming local files), the password or the run's
// totals.
TEST(LayeringTest, FtpReadsNoEngineOptionsNorTotals) {
  static const std::vector<std::string> kEngineOnly = {
      "MoveMode",       "UniqueNames",     "SubDirMode",        "LoginPassword", "OverwriteMode",
      "ResumeMode",     "FilesTransferred",
      "SubDirsCreated", "FailedDownloads", "FailedDirectories", "UndeletedFiles"};
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(fs::path(KORU_SOURCE_DIR) / "ftp")) {
    const std::string name = entry.path().filename().string();
    if (name.find("_test.") != std::string::npos) continue;
    std::ifstream in(entry.path());
    int line_number = 0;
    for (std::string line; std::getline(in, line);) {
      ++line_number;
      for (const std::string& field : kEngineOnly) {
        const size_t at = line.find(field);
        const auto is_word = [&](size_t i) {
          return std::isalnum(static_cast<unsigned char>(line[i])) || line[i] == '_';
        };
        if (at == std::string::npos || (at > 0 && is_word(at - 1)) ||
            (at + field.size() < line.size() && is_word(at + field.size()))) {
          continue;
        }
        found.push_back("ftp/" + name + ":" + std::to_string(line_number) + ": " + field);
      }
    }
  }
  EXPECT_THAT(found, IsEmpty());
}

// The check itself: a small tree with one fault of each kind, and the includes that are fine.
TEST(LayeringTest, NamesEveryIncludeAgainstTheLayersWithItsFileAndLine) {
  ScratchDir dir;
  for (const char* folder : {"platform", "run", "listing", "localfs", "ftp", "sync"}) {
    fs::create_directories(dir / folder);
  }
  WriteFile(dir / "platform/socket.cc", "#include <sys/socket.h>\n#include <unistd.h>\n");
  WriteFile(dir / "run/env.h", "#include \"platform/clock.h\"\n#include <cstdint>\n");
  WriteFile(dir / "listing/parser.cc", "#include \"listing/parser.h\"\n#include \"localfs/x.h\"\n");
  WriteFile(dir / "ftp/control.cc",
            "#include \"run/env.h\"\n\n#include \"sync/engine.h\"\n#include <poll.h>\n");
  WriteFile(dir / "ftp/control_test.cc", "#include \"sync/engine.h\"\n");
  WriteFile(dir / "sync/engine.cc", "#include \"ftp/control.h\"\n#include \"tests/fake.h\"\n");

  EXPECT_THAT(LayeringProblems(dir.path()),
              ElementsAre("ftp/control.cc:3: ftp/ includes sync/engine.h, which is not below it",
                          "ftp/control.cc:4: system header <poll.h> outside platform/",
                          "listing/parser.cc:2: listing/ includes localfs/x.h, which is not "
                          "below it"));
}

}  // namespace
}  // namespace koru::testing
