#include "platform/netrc_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/scratch_dir.h"

namespace koru {
namespace {

using State = NetrcFile::State;

// Only a netrc no one but its owner may touch is read; the mode is that of the file itself.
TEST(NetrcFileTest, ReadOnlyWhenNoGroupOrOtherPermission) {
  testing::ScratchDir dir;
  const std::string path = dir / "netrc";
  testing::WriteFile(path, "machine h login bob password p\n");
  const struct {
    mode_t mode;
    State state;
  } cases[] = {{0600, State::kRead},         {0400, State::kRead},
               {0644, State::kOpenToOthers}, {0640, State::kOpenToOthers},
               {0604, State::kOpenToOthers}, {0620, State::kOpenToOthers}};
  for (const auto& c : cases) {
    ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
    const NetrcFile file = ReadNetrcFile(path);
    EXPECT_EQ(file.state, c.state) << std::oct << c.mode;
    EXPECT_EQ(file.path, path);
    EXPECT_EQ(file.text, c.state == State::kRead ? "machine h login bob password p\n" : "")
        << std::oct << c.mode;
  }
}

TEST(NetrcFileTest, MissingOrNoFileIsMissing) {
  testing::ScratchDir dir;
  EXPECT_EQ(ReadNetrcFile(dir / "none").state, State::kMissing);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0700), 0);
  EXPECT_EQ(ReadNetrcFile(dir.path()).state, State::kMissing);
}

}  // namespace
}  // namespace koru
