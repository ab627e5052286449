// Replays every kept fuzz input (the seeds in fuzz/corpus/<target>/ and the inputs of past
// findings in fuzz/regressions/<target>/) through the same target code, without libFuzzer. A
// broken property or a sanitizer report ends the test binary with the input named.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_target.h"

namespace koru::fuzz {
namespace {

namespace fs = std::filesystem;

const fs::path kFuzzDir = fs::path(KORU_SOURCE_DIR) / "fuzz";
const char* const kKeptFolders[] = {"corpus", "regressions"};

std::vector<fs::path> KeptInputs(const std::string& target) {
  std::vector<fs::path> inputs;
  for (const char* folder : kKeptFolders) {
    const fs::path dir = kFuzzDir / folder / target;
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
  }
  return inputs;
}

std::vector<std::string> TargetNames() {
  std::vector<std::string> names;
  for (const auto& [name, run] : Targets()) names.push_back(name);
  return names;
}

class KeptFuzzInputs : public ::testing::TestWithParam<std::string> {};

TEST_P(KeptFuzzInputs, PassEveryProperty) {
  const TargetFunction run = Targets().at(GetParam());
  const std::vector<fs::path> inputs = KeptInputs(GetParam());
  EXPECT_FALSE(inputs.empty()) << "no seeds for " << GetParam();
  for (const fs::path& path : inputs) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
    SetReplayedInput(path.string());
    run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  SetReplayedInput("");
}

INSTANTIATE_TEST_SUITE_P(Targets, KeptFuzzInputs, ::testing::ValuesIn(TargetNames()),
                         [](const auto& info) { return info.param; });

TEST(KeptFuzzFolders, NameATarget) {
  for (const char* folder : kKeptFolders) {
    if (!fs::is_directory(kFuzzDir / folder)) continue;
    for (const auto& entry : fs::directory_iterator(kFuzzDir / folder)) {
      EXPECT_TRUE(Targets().count(entry.path().filename().string()))
          << entry.path() << " names no fuzz target";
    }
  }
}

TEST(FuzzCheckDeathTest, StopsWithTheBrokenPropertyAndTheInput) {
  EXPECT_DEATH(
      {
        SetReplayedInput("fuzz/regressions/x/case");
        Check(false, "a property");
      },
      "broken property: a property\ninput: fuzz/regressions/x/case");
}

}  // namespace
}  // namespace koru::fuzz
