#include "sync/local_name.h"

#include <gtest/gtest.h>

#include <set>

namespace koru {
namespace {

TEST(LocalNameTest, ForbiddenCharactersBecomeUnderscores) {
  EXPECT_EQ(MapLocalName("a:b?.txt", NameCharset::kStandard), "a_b_.txt");
  EXPECT_EQ(MapLocalName("<>|*?:;\\/+`x", NameCharset::kStandard), "_________+`x");
  EXPECT_EQ(MapLocalName("<>|*?:;\\/+`x", NameCharset::kStepVariant), "___________x");
  EXPECT_EQ(MapLocalName("plain name.txt", NameCharset::kStandard), "plain name.txt");
}

TEST(LocalNameTest, CopyNumberGoesBeforeTheFirstDot) {
  const struct {
    const char* name;
    int k;
    const char* numbered;
  } cases[] = {
      {"report.txt", 1, "report(1).txt"}, {"report.txt", 2, "report(2).txt"},
      {"a.tar.gz", 1, "a(1).tar.gz"},     {"README", 1, "README(1)"},
      {".profile", 1, "(1).profile"},     {"x.zip", 12, "x(12).zip"},
  };
  for (const auto& c : cases) EXPECT_EQ(NumberedName(c.name, c.k), c.numbered);
}

TEST(LocalNameTest, UniqueNamesSkipEveryTakenMappedName) {
  std::set<std::string> local = {"x.zip", "x(1).zip", "a_b.txt"};
  auto taken = [&](const std::string& name) { return local.count(name) > 0; };
  EXPECT_EQ(ChooseLocalName("x.zip", true, NameCharset::kStandard, taken), "x(2).zip");
  EXPECT_EQ(ChooseLocalName("x.zip", false, NameCharset::kStandard, taken), "x.zip");
  EXPECT_EQ(ChooseLocalName("new.zip", true, NameCharset::kStandard, taken), "new.zip");
  // The remote a:b.txt must never be written over the local a_b.txt.
  EXPECT_EQ(ChooseLocalName("a:b.txt", true, NameCharset::kStandard, taken), "a_b(1).txt");
}

}  // namespace
}  // namespace koru
