#include "app/netrc.h"

#include <gtest/gtest.h>

namespace koru {
namespace {

constexpr std::optional<std::string_view> kAnyLogin = std::nullopt;

TEST(NetrcTest, FindsTheEntryForTheHost) {
  const struct {
    const char* name;
    const char* text;
    const char* host;
    std::optional<std::string_view> login;
    std::optional<std::string> found_login;
    std::optional<std::string> found_password;
  } cases[] = {
      {"machine on one line", "machine ftp.example.org login bob password s3cret\n",
       "ftp.example.org", kAnyLogin, "bob", "s3cret"},
      {"host without regard to case", "machine FTP.Example.ORG login bob password s3cret",
       "ftp.example.org", kAnyLogin, "bob", "s3cret"},
      {"words over several lines and tabs",
       "machine\tftp.example.org\n  login\n bob\n\tpassword s3cret\n", "ftp.example.org",
       kAnyLogin, "bob", "s3cret"},
      {"the first matching machine wins",
       "machine h login first password one\nmachine h login second password two\n", "h",
       kAnyLogin, "first", "one"},
      {"default applies last, wherever it stands",
       "default login anonymous password guest\nmachine h login bob password s3cret\n", "h",
       kAnyLogin, "bob", "s3cret"},
      {"default for any other host",
       "machine other login bob password s3cret\ndefault login anon password guest\n", "h",
       kAnyLogin, "anon", "guest"},
      {"a machine that is only a prefix does not match",
       "machine ftp.example login bob password s3cret\n", "ftp.example.org", kAnyLogin,
       std::nullopt, std::nullopt},
      {"the entry for the login asked for",
       "machine h login alice password a1\nmachine h login bob password b2\n", "h", "bob",
       "bob", "b2"},
      {"an entry for another login does not count, default with the login does",
       "machine h login alice password a1\ndefault login bob password b2\n", "h", "bob", "bob",
       "b2"},
      {"no entry for the login asked for", "machine h login alice password a1\n", "h", "bob",
       std::nullopt, std::nullopt},
      {"quoted words with blanks and escapes",
       "machine h login \"bob smith\" password \"a \\\"b\\\" \\\\c\"\n", "h", kAnyLogin,
       "bob smith", "a \"b\" \\c"},
      {"a quoted host", "machine \"h\" login bob password p\n", "h", kAnyLogin, "bob", "p"},
      {"macdef body skipped up to the empty line",
       "machine h login bob\nmacdef init\nmachine h login eve password evil\npassword x\n\n"
       "password s3cret\n",
       "h", kAnyLogin, "bob", "s3cret"},
      {"comment lines", "# machine h login eve password evil\nmachine h login bob password p\n",
       "h", kAnyLogin, "bob", "p"},
      {"a hash inside a line is part of a word", "machine h login bob password #p\n", "h",
       kAnyLogin, "bob", "#p"},
      {"account is read and not used", "machine h login bob account acct password p\n", "h",
       kAnyLogin, "bob", "p"},
      {"login without a password", "machine h login bob\n", "h", kAnyLogin, "bob",
       std::nullopt},
      {"no entry at all", "machine other login bob password p\n", "h", kAnyLogin, std::nullopt,
       std::nullopt},
      {"an empty file", "", "h", kAnyLogin, std::nullopt, std::nullopt},
      {"a truncated entry", "machine h login", "h", kAnyLogin, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    const NetrcLogin found = FindNetrcLogin(c.text, c.host, c.login).value_or(NetrcLogin{});
    EXPECT_EQ(found.login, c.found_login) << c.name;
    EXPECT_EQ(found.password, c.found_password) << c.name;
  }
}

}  // namespace
}  // namespace koru
