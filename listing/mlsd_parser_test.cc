#include "listing/mlsd_parser.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "listing/remote_time.h"

namespace koru {
namespace {

const int64_t kModify = CivilToSeconds({2024, 3, 5, 12, 34, 56});

MlsdEntry Mlsd(MlsdType type, std::optional<int64_t> size, std::optional<int64_t> modify,
               std::string name, std::string target = "") {
  return MlsdEntry{type, size, modify, std::move(name), std::move(target)};
}

TEST(MlsdLine, ReadsTheFactsAndTheExactName) {
  struct Case {
    const char* line;
    MlsdEntry entry;
  };
  const Case cases[] = {
      {"type=file;size=6;modify=20240305123456; a.txt",
       Mlsd(MlsdType::kFile, 6, kModify, "a.txt")},
      {"type=file;size=6;modify=20240305123456;   two  blanks  ",
       Mlsd(MlsdType::kFile, 6, kModify, "  two  blanks  ")},
      {"type=file;size=1;modify=20240305123456; a; b;c=d; e",
       Mlsd(MlsdType::kFile, 1, kModify, "a; b;c=d; e")},
      {"Type=FILE;Size=7;Modify=20240305123456.123;UNIX.mode=0644; x",
       Mlsd(MlsdType::kFile, 7, kModify, "x")},
      {"modify=20240305123456;perm=r;type=dir;sizd=4096; sub dir",
       Mlsd(MlsdType::kDirectory, 4096, kModify, "sub dir")},
      {"type=dir;size=12;sizd=4096; d", Mlsd(MlsdType::kDirectory, 12, std::nullopt, "d")},
      {"type=cdir;sizd=4096;modify=20240305123456; .",
       Mlsd(MlsdType::kCurrentDirectory, std::nullopt, kModify, ".")},
      {"type=pdir;modify=20240305123456; ..",
       Mlsd(MlsdType::kParentDirectory, std::nullopt, kModify, "..")},
      // pure-ftpd
      {"type=OS.unix=slink:a.txt;size=5;modify=20240305123456;UNIX.mode=0777; lnk",
       Mlsd(MlsdType::kLink, 5, kModify, "lnk", "a.txt")},
      // proftpd
      {"modify=20240305123456;perm=adfr;size=5;type=OS.unix=symlink;unique=FD00U6B; lnk",
       Mlsd(MlsdType::kLink, 5, kModify, "lnk")},
      {"type=os.UNIX=SLINK:/data/f x; lnk", Mlsd(MlsdType::kLink, std::nullopt, std::nullopt, "lnk",
                                                 "/data/f x")},
      {"type=OS.unix=chr-1/3; null", Mlsd(MlsdType::kOther, std::nullopt, std::nullopt, "null")},
      {"size=3; untyped", Mlsd(MlsdType::kOther, 3, std::nullopt, "untyped")},
      // Facts that do not read are left out.
      {"type=file;size=12x;modify=2024030512345;junk;=;; f",
       Mlsd(MlsdType::kFile, std::nullopt, std::nullopt, "f")},
      {"type=file;size=99999999999999999999; big",
       Mlsd(MlsdType::kFile, std::nullopt, std::nullopt, "big")},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseMlsdLine(c.line), c.entry) << c.line;
}

TEST(MlsdLine, RejectsALineWithoutFactsAndName) {
  for (const char* line : {"", "type=file;size=6;modify=20240305123456;a.txt",
                           "type=file;size=6; ", " a.txt", "total 12", "; "}) {
    EXPECT_EQ(ParseMlsdLine(line), std::nullopt) << '"' << line << '"';
  }
}

TEST(MlsdLine, NeverReadsOutsideItsInput) {
  // Each prefix of a line in a buffer of its own size: the sanitizers see any read beyond it.
  const std::string line = "type=OS.unix=slink:x;size=12;modify=20240305123456.5; n; m";
  for (size_t n = 0; n <= line.size(); ++n) {
    const auto copy = std::make_unique<char[]>(n);
    line.copy(copy.get(), n);
    (void)ParseMlsdLine(std::string_view(copy.get(), n));
  }
}

TEST(MlsdLine, GivesTheListingEntryOfFilesDirectoriesAndLinks) {
  const auto file = ToExactEntry(Mlsd(MlsdType::kFile, 6, kModify + 1, " a;b "));
  ASSERT_TRUE(file);
  LISTENTRY expected{6, 2024, 3, 5, 12, 34, 0, " a;b "};
  EXPECT_EQ(file->entry, expected);
  EXPECT_EQ(file->utc_seconds, kModify + 1);

  const auto dir = ToExactEntry(Mlsd(MlsdType::kDirectory, 4096, std::nullopt, "sub"));
  ASSERT_TRUE(dir);
  EXPECT_EQ(dir->entry, (LISTENTRY{4096, 0, 0, 0, 0, 0, 1, "sub"}));
  EXPECT_EQ(dir->utc_seconds, std::nullopt);

  const auto link = ToExactEntry(Mlsd(MlsdType::kLink, 5, kModify, "lnk", "a.txt"));
  ASSERT_TRUE(link);
  expected = LISTENTRY{5, 2024, 3, 5, 12, 34, 0, "lnk"};
  expected.isLink = 1;
  EXPECT_EQ(link->entry, expected);

  for (const MlsdType skipped :
       {MlsdType::kCurrentDirectory, MlsdType::kParentDirectory, MlsdType::kOther}) {
    EXPECT_EQ(ToExactEntry(Mlsd(skipped, 1, kModify, "x")), std::nullopt);
  }
}

}  // namespace
}  // namespace koru
