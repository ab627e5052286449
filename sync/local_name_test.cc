#include "sync/local_name.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

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

TEST(LocalNameTest, LaterEntriesLoseALocalNameAnEarlierEntryHas) {
  using Clashes = std::map<std::string, std::string>;  // later name -> the first's name
  const struct {
    std::vector<ListedName> listing;
    NameCharset charset;
    Clashes clashes;
  } cases[] = {
      {{{"x:1.txt"}, {"x;1.txt"}}, NameCharset::kStandard, {{"x;1.txt", "x:1.txt"}}},
      {{{"x;1.txt"}, {"x:1.txt"}}, NameCharset::kStandard, {{"x:1.txt", "x;1.txt"}}},
      {{{"a|b"}, {"a?b"}, {"a>b"}, {"a_b"}},
       NameCharset::kStandard,
       {{"a?b", "a|b"}, {"a>b", "a|b"}, {"a_b", "a|b"}}},
      // A directory and a file compete alike, whichever comes first.
      {{{"d:x", true}, {"d;x"}}, NameCharset::kStandard, {{"d;x", "d:x"}}},
      {{{"d:x"}, {"d;x", true}}, NameCharset::kStandard, {{"d;x", "d:x"}}},
      // Letter case keeps names apart; a name listed twice is one entry.
      {{{"Read.me"}, {"read.me"}, {"Read.me"}}, NameCharset::kStandard, {}},
      // "+" is mapped only by the step-by-step variant.
      {{{"a+b"}, {"a`b"}, {"a_b"}}, NameCharset::kStandard, {}},
      {{{"a+b"}, {"a`b"}, {"a_b"}},
       NameCharset::kStepVariant,
       {{"a`b", "a+b"}, {"a_b", "a+b"}}},
  };
  for (const auto& c : cases) {
    Clashes found;
    for (const auto& [name, clash] : FindLocalNameClashes(c.listing, c.charset)) {
      EXPECT_EQ(clash.local, MapLocalName(name, c.charset));
      found[name] = clash.first.name;
    }
    EXPECT_EQ(found, c.clashes) << c.listing.front().name;
  }
  const auto clashes = FindLocalNameClashes({{"d:x", true}, {"d;x"}}, NameCharset::kStandard);
  EXPECT_TRUE(clashes.at("d;x").first.is_directory);
}

}  // namespace
}  // namespace koru
