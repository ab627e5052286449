// The origin a stored file records, and what the mirror makes of a local file by it.
#include "sync/origin.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "sync/local_file_policy.h"
#include "tests/fakes.h"
#include "tests/local_dates.h"
#include "tests/memory_file_system.h"

namespace koru {
namespace {

using testing::Date;
using testing::EpochOfLocal;

TEST(OriginUrl, NamesSchemeHostPortAndEncodedPath) {
  struct Case {
    ConnectionSecurity security;
    std::string server;
    std::string path;
    std::string url;
  };
  const std::vector<Case> cases = {
      {ConnectionSecurity::kPlain, "ftp.example.org", "/pub/a>b.txt",
       "ftp://ftp.example.org/pub/a>b.txt"},
      {ConnectionSecurity::kPlain, "host:2121", "/a b%c.txt", "ftp://host:2121/a%20b%25c.txt"},
      {ConnectionSecurity::kPlain, "host", "dir/\xC3\xA4\x7F.txt", "ftp://host/dir/%C3%A4%7F.txt"},
      {ConnectionSecurity::kPlain, "[::1]:21", "/x", "ftp://[::1]:21/x"},
      {ConnectionSecurity::kPlain, "::1", "/x", "ftp://[::1]/x"},
      {ConnectionSecurity::kExplicitTls, "host", "/x", "ftpes://host/x"},
      {ConnectionSecurity::kImplicitTls, "host:990", "/x", "ftps://host:990/x"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(OriginUrl(c.security, c.server, c.path), c.url);
    const std::string absolute = c.path.starts_with('/') ? c.path : "/" + c.path;
    EXPECT_EQ(OriginPath(c.url), absolute) << c.url;
  }
  EXPECT_EQ(OriginFileName("ftp://host:2121/dir/a%20b%25c.txt"), "a b%c.txt");
  EXPECT_EQ(OriginFileName("ftp://[::1]:21/a%3Eb.txt"), "a>b.txt");
  EXPECT_EQ(OriginPath("not a url"), "");
}

TEST(RecordedOrigin, IsKeptAndAFileSystemWithoutAttributesHasNone) {
  testing::MemoryFileSystem disk;
  disk.AddFile("/f", "x");
  RecordOrigin(disk, "/f", "ftp://host/f");
  EXPECT_EQ(RecordedOrigin(disk, "/f"), "ftp://host/f");
  EXPECT_EQ(RecordedOrigin(disk, "/missing"), "");
  ASSERT_EQ(disk.Rename("/f", "/g"), 0);
  EXPECT_EQ(RecordedOrigin(disk, "/g"), "ftp://host/f");

  testing::MemoryFileSystem plain;
  plain.WithoutAttributes();
  plain.AddFile("/f", "x");
  RecordOrigin(plain, "/f", "ftp://host/f");
  EXPECT_EQ(RecordedOrigin(plain, "/f"), "");
  std::string value;
  EXPECT_EQ(plain.GetAttribute("/f", kOriginAttribute, &value), ENOTSUP);
}

// ---- The policy by origin ---------------------------------------------------------------------

const std::string kLocal = "/m/a_b.txt";
const std::string kThisFile = "ftp://host/pub/a_b.txt";
const SYSTEMTIME kListed = Date(2001, 3, 5);

enum class Recorded { kThisFile, kOtherName, kOtherHost, kNone, kUnsupported };
enum class Local { kComplete, kSmaller, kCompleteOtherDate };

struct PolicyCase {
  const char* name;
  Recorded recorded;
  Local local;
  bool move;
  LocalCopy expected;
};

class OriginPolicyTest : public ::testing::TestWithParam<PolicyCase> {
 protected:
  testing::RecordingConsole console;
  testing::FakeClock clock;
  Options options;
  Env env{console, clock};
  testing::MemoryFileSystem disk;
};

TEST_P(OriginPolicyTest, AssessesByTheRecordedOrigin) {
  const PolicyCase& c = GetParam();
  env.files = &disk;
  options.MoveMode = c.move ? -1 : 0;
  options.ResumeMode = 1;
  if (c.recorded == Recorded::kUnsupported) disk.WithoutAttributes();
  const std::string bytes = c.local == Local::kSmaller ? "12" : "12345";
  const int64_t date = EpochOfLocal(kListed) + (c.local == Local::kCompleteOtherDate ? 86400 : 0);
  disk.AddFile(kLocal, bytes, date);
  const char* origins[] = {"ftp://host/pub/a_b.txt", "ftp://host/pub/a%3Eb.txt",
                           "ftp://mirror:2121/other/a_b.txt", "", "ftp://host/pub/a_b.txt"};
  const std::string origin = origins[static_cast<int>(c.recorded)];
  if (!origin.empty()) RecordOrigin(disk, kLocal, origin);

  MirrorFilePolicy policy(env, options);
  EXPECT_EQ(policy.Assess(kLocal, 5, kListed, kThisFile), c.expected);

  EXPECT_EQ(disk.Content(kLocal), bytes);
  if (c.expected == LocalCopy::kClash) {
    EXPECT_EQ(policy.SeenOrigin(), origin);
  }
  // A clash is never re-dated; a complete copy is dated like the listing, also when -M takes
  // it for a verified download.
  if (c.expected == LocalCopy::kClash) {
    EXPECT_EQ(disk.Stat(kLocal).modified_seconds, date);
  }
  if (c.expected == LocalCopy::kComplete || c.expected == LocalCopy::kCompleteToDelete) {
    EXPECT_EQ(disk.Stat(kLocal).modified_seconds, EpochOfLocal(kListed));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OriginPolicyTest,
    ::testing::Values(
        PolicyCase{"ThisFileComplete", Recorded::kThisFile, Local::kComplete, false,
                   LocalCopy::kComplete},
        PolicyCase{"ThisFileCompleteMove", Recorded::kThisFile, Local::kComplete, true,
                   LocalCopy::kCompleteToDelete},
        PolicyCase{"ThisFileSmallerMove", Recorded::kThisFile, Local::kSmaller, true,
                   LocalCopy::kFetch},
        // Size and origin tell a verified download; the date is the listing's to give.
        PolicyCase{"ThisFileOtherDateMove", Recorded::kThisFile, Local::kCompleteOtherDate, true,
                   LocalCopy::kCompleteToDelete},
        PolicyCase{"OtherNameOtherDate", Recorded::kOtherName, Local::kCompleteOtherDate, false,
                   LocalCopy::kClash},
        PolicyCase{"OtherNameComplete", Recorded::kOtherName, Local::kComplete, false,
                   LocalCopy::kClash},
        PolicyCase{"OtherNameSmaller", Recorded::kOtherName, Local::kSmaller, false,
                   LocalCopy::kClash},
        PolicyCase{"OtherNameCompleteMove", Recorded::kOtherName, Local::kComplete, true,
                   LocalCopy::kClash},
        PolicyCase{"OtherHostComplete", Recorded::kOtherHost, Local::kComplete, false,
                   LocalCopy::kComplete},
        PolicyCase{"OtherHostCompleteMove", Recorded::kOtherHost, Local::kComplete, true,
                   LocalCopy::kComplete},
        PolicyCase{"OtherHostSmaller", Recorded::kOtherHost, Local::kSmaller, false,
                   LocalCopy::kFetch},
        PolicyCase{"NoneCompleteMove", Recorded::kNone, Local::kComplete, true,
                   LocalCopy::kComplete},
        PolicyCase{"NoneSmaller", Recorded::kNone, Local::kSmaller, false, LocalCopy::kFetch},
        PolicyCase{"UnsupportedCompleteMove", Recorded::kUnsupported, Local::kComplete, true,
                   LocalCopy::kComplete},
        PolicyCase{"UnsupportedSmaller", Recorded::kUnsupported, Local::kSmaller, false,
                   LocalCopy::kFetch}),
    [](const ::testing::TestParamInfo<PolicyCase>& info) { return info.param.name; });

class OriginPolicy : public ::testing::Test {
 protected:
  OriginPolicy() { env.files = &disk; }
  testing::RecordingConsole console;
  testing::FakeClock clock;
  Options options;
  Env env{console, clock};
  testing::MemoryFileSystem disk;
};

// Overwrite mode erases no file that holds another remote file's bytes.
TEST_F(OriginPolicy, OverwriteModeLeavesAClashAlone) {
  options.OverwriteMode = -1;
  disk.AddFile(kLocal, "12345");
  RecordOrigin(disk, kLocal, "ftp://host/pub/a%3Eb.txt");
  MirrorFilePolicy policy(env, options);
  EXPECT_EQ(policy.Assess(kLocal, 5, kListed, kThisFile), LocalCopy::kClash);
}

// The origin is on the file as soon as it is opened for writing, so a cut download has it too.
TEST_F(OriginPolicy, AnOpenedFileGetsItsOrigin) {
  disk.AddFile(kLocal, "");
  MirrorFilePolicy policy(env, options);
  policy.RecordsOrigin(kThisFile);
  policy.Opened(kLocal);
  EXPECT_EQ(RecordedOrigin(disk, kLocal), kThisFile);
}

}  // namespace
}  // namespace koru
