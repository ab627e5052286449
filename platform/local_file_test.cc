// Local files over a file system that fails on purpose: the error numbers and texts the
// program reports for each failure, and what stays on disk when it fills up.
#include "platform/local_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "tests/memory_file_system.h"

namespace koru {
namespace {

using testing::MemoryFileSystem;

struct OpenFailureCase {
  const char* name;
  std::string path;
  LocalFile::Mode mode;
  int error;
  std::string text;
};

void PrintTo(const OpenFailureCase& c, std::ostream* os) { *os << c.name; }

class LocalFileOpenTest : public ::testing::TestWithParam<OpenFailureCase> {};

TEST_P(LocalFileOpenTest, FailsWithTheProgramsNumberAndTheSystemsText) {
  const OpenFailureCase& c = GetParam();
  MemoryFileSystem fake;
  fake.AddDirectory("/d/sub");
  fake.AddFile("/d/file", "x");
  fake.AddSpecial("/d/fifo");
  fake.AddFile("/d/locked", "x");
  fake.Refuse("/d/locked", EACCES);
  fake.Refuse("/d/readonly", EROFS);
  HandlePool pool;
  LocalFile file(fake);

  EXPECT_FALSE(file.Open(pool, c.path, c.mode));

  EXPECT_FALSE(file.is_open());
  EXPECT_EQ(file.LastError().number, c.error);
  EXPECT_EQ(file.LastError().text, c.text);
  EXPECT_EQ(pool.Lowest(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    LocalFile, LocalFileOpenTest,
    ::testing::Values(OpenFailureCase{"EmptyPath", "", LocalFile::Mode::kRead, kErrFileNotFound,
                                      "No such file or directory"},
                      OpenFailureCase{"MissingFile", "/d/none", LocalFile::Mode::kRead,
                                      kErrFileNotFound, "No such file or directory"},
                      // A file that would be made but whose directory is missing.
                      OpenFailureCase{"MissingDirectory", "/none/f",
                                      LocalFile::Mode::kReadWriteEmpty, kErrPathNotFound,
                                      "No such file or directory"},
                      OpenFailureCase{"BelowAFile", "/d/file/f", LocalFile::Mode::kReadWrite,
                                      kErrPathNotFound, "Not a directory"},
                      OpenFailureCase{"Directory", "/d/sub", LocalFile::Mode::kRead,
                                      kErrAccessDenied, "Is a directory"},
                      OpenFailureCase{"Fifo", "/d/fifo", LocalFile::Mode::kReadWrite,
                                      kErrAccessDenied, "Not a regular file"},
                      OpenFailureCase{"NoPermission", "/d/locked", LocalFile::Mode::kReadWrite,
                                      kErrAccessDenied, "Permission denied"},
                      OpenFailureCase{"ReadOnlyDisk", "/d/readonly",
                                      LocalFile::Mode::kReadWriteEmpty, kErrAccessDenied,
                                      "Read-only file system"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LocalFileTest, FullDiskKeepsWhatFitted) {
  MemoryFileSystem fake;
  fake.AddFile("/other", "1234");
  fake.SetCapacity(10, ENOSPC);
  HandlePool pool;
  LocalFile file(fake);
  ASSERT_TRUE(file.Open(pool, "/new", LocalFile::Mode::kReadWriteEmpty));

  EXPECT_TRUE(file.Write("abcd", 4));
  EXPECT_FALSE(file.Write("efgh", 4));

  EXPECT_EQ(file.LastError().number, kErrDiskFull);
  EXPECT_EQ(file.LastError().text, "No space left on device");
  EXPECT_EQ(fake.Content("/new"), "abcdef");
  EXPECT_EQ(file.Size(), 6);
}

TEST(LocalFileTest, ClosesItsFileAndNumberWhenMovedOrDestroyed) {
  MemoryFileSystem fake;
  fake.AddFile("/a", "resumed");
  HandlePool pool;
  {
    LocalFile first(fake);
    ASSERT_TRUE(first.Open(pool, "/a", LocalFile::Mode::kReadWrite));
    EXPECT_EQ(first.number(), 1);
    LocalFile second = std::move(first);
    EXPECT_FALSE(first.is_open());
    ASSERT_TRUE(second.SeekToEnd());
    EXPECT_TRUE(second.Write("!", 1));
    EXPECT_EQ(fake.OpenHandles(), 1);
  }
  EXPECT_EQ(fake.OpenHandles(), 0);
  EXPECT_EQ(pool.Lowest(), 1);
  EXPECT_EQ(fake.Content("/a"), "resumed!");
}

TEST(LocalFileTest, CallsOnAClosedFileFailAsABadHandle) {
  LocalFile file;
  char byte = 0;
  EXPECT_FALSE(file.SeekToEnd());
  EXPECT_FALSE(file.Write("x", 1));
  EXPECT_EQ(file.Read(&byte, 1), -1);
  EXPECT_EQ(file.LastError().text, "Bad file descriptor");
  EXPECT_EQ(file.Size(), 0);
}

}  // namespace
}  // namespace koru
