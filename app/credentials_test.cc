#include "app/credentials.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "app/startup.h"
#include "tests/fakes.h"

namespace koru {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;
using State = NetrcFile::State;

constexpr char kDefaultPassword[] = "koru32703.12@example.com";  // at the fake clock's time
constexpr char kNetrc[] =
    "machine 127.0.0.1 login bob password fromnetrc\n"
    "machine other.example login carol password elsewhere\n";

// Runs the program's entry over a netrc and a terminal that answer as scripted. Port 1 on the
// loopback refuses at once, so each run ends after its start lines.
class CredentialsTest : public ::testing::Test {
 protected:
  int Run(const char* line) {
    env_.netrc = &netrc_;
    return KoruMain(env_, options_, totals_, line, "/home/user/mirror");
  }
  // The start line that names the login: " ftp://user@server".
  std::string LoginLine() const {
    for (const std::string& line : console_.lines) {
      if (line.starts_with(" ftp://")) return line;
    }
    return "";
  }

  testing::RecordingConsole console_;
  testing::FakeClock clock_;
  testing::FakeNetrc netrc_;
  Options options_;
  RunTotals totals_;
  Env env_{console_, clock_};
};

TEST_F(CredentialsTest, LoginFromTheLocationTheNetrcOrThePrompt) {
  const struct {
    const char* name;
    const char* line;
    State netrc_state;
    const char* netrc_text;
    std::optional<std::string> typed;  // the answer at the prompt; none: no terminal
    const char* login_line;
    const char* password;
    std::vector<std::string> prompts;
  } cases[] = {
      {"netrc entry for the host, the port left aside", "127.0.0.1:1/pub/", State::kRead,
       kNetrc, "typed", " ftp://bob@127.0.0.1:1", "fromnetrc", {}},
      {"netrc default", "127.0.0.1:1/pub/", State::kRead, "default login dan password d4",
       std::nullopt, " ftp://dan@127.0.0.1:1", "d4", {}},
      {"no netrc entry: anonymous", "127.0.0.1:1/pub/", State::kRead,
       "machine other login bob password x", "typed", " ftp://anonymous@127.0.0.1:1",
       kDefaultPassword, {}},
      {"no netrc at all: anonymous", "127.0.0.1:1/pub/", State::kMissing, "", "typed",
       " ftp://anonymous@127.0.0.1:1", kDefaultPassword, {}},
      {"user in the location, its netrc entry", "bob@127.0.0.1:1/pub/", State::kRead, kNetrc,
       "typed", " ftp://bob@127.0.0.1:1", "fromnetrc", {}},
      {"user whose login the netrc lacks is asked", "alice@127.0.0.1:1/pub/", State::kRead,
       kNetrc, "typed", " ftp://alice@127.0.0.1:1", "typed",
       {"Password for alice@127.0.0.1: "}},
      {"netrc login without a password is asked", "127.0.0.1:1/pub/", State::kRead,
       "machine 127.0.0.1 login erin", "typed", " ftp://erin@127.0.0.1:1", "typed",
       {"Password for erin@127.0.0.1: "}},
      {"no terminal: the default password stays", "alice@127.0.0.1:1/pub/", State::kMissing,
       "", std::nullopt, " ftp://alice@127.0.0.1:1", kDefaultPassword,
       {"Password for alice@127.0.0.1: "}},
      {"an empty line typed is an empty password", "alice@127.0.0.1:1/pub/", State::kMissing,
       "", "", " ftp://alice@127.0.0.1:1", "", {"Password for alice@127.0.0.1: "}},
      {"the location's password wins over the netrc", "bob:given@127.0.0.1:1/pub/",
       State::kRead, kNetrc, "typed", " ftp://bob@127.0.0.1:1", "given", {}},
      {"an empty password in the location is one", "bob:@127.0.0.1:1/pub/", State::kRead,
       kNetrc, "typed", " ftp://bob@127.0.0.1:1", "", {}},
      {"anonymous is never asked", "anonymous@127.0.0.1:1/pub/", State::kMissing, "", "typed",
       " ftp://anonymous@127.0.0.1:1", kDefaultPassword, {}},
      {"IPv6 host in brackets", "[::1]:1/pub/", State::kRead, "machine ::1 login v6 password p6",
       std::nullopt, " ftp://v6@[::1]:1", "p6", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::RecordingConsole console;
    testing::FakeNetrc netrc;
    netrc.file = {c.netrc_state, "/home/user/.netrc", c.netrc_text};
    if (c.typed) console.secrets.push_back({SecretAnswer::Kind::kTyped, *c.typed});
    Options options;
    RunTotals totals;
    Env env{console, clock_};
    env.netrc = &netrc;

    EXPECT_EQ(KoruMain(env, options, totals, c.line, "/home/user/mirror"), 1);

    EXPECT_THAT(console.lines, Contains(c.login_line));
    EXPECT_EQ(options.LoginPassword, c.password);
    EXPECT_EQ(console.prompts, c.prompts);
    EXPECT_THAT(console.lines, Contains("09:05:03 ERROR: Unable to open connection to server."));
  }
}

TEST_F(CredentialsTest, NetrcOpenToOthersIsIgnoredWithOneWarning) {
  netrc_.file = {State::kOpenToOthers, "/home/user/.netrc", ""};
  EXPECT_EQ(Run("127.0.0.1:1/pub/"), 1);
  EXPECT_EQ(LoginLine(), " ftp://anonymous@127.0.0.1:1");
  EXPECT_EQ(options_.LoginPassword, kDefaultPassword);
  EXPECT_EQ(std::count(console_.lines.begin(), console_.lines.end(),
                       "09:05:03 * Warning: /home/user/.netrc is readable by others; ignored"),
            1);
}

TEST_F(CredentialsTest, NetrcIsNotReadWhenTheLocationGivesThePassword) {
  netrc_.file = {State::kOpenToOthers, "/home/user/.netrc", ""};
  EXPECT_EQ(Run("bob:pw@127.0.0.1:1/pub/"), 1);
  EXPECT_EQ(netrc_.reads, 0);
  EXPECT_THAT(console_.lines, Not(Contains(::testing::HasSubstr("Warning"))));
}

TEST_F(CredentialsTest, MissingNetrcSaysNothing) {
  netrc_.file = {State::kMissing, "/home/user/.netrc", ""};
  EXPECT_EQ(Run("127.0.0.1:1/pub/"), 1);
  EXPECT_EQ(netrc_.reads, 1);
  EXPECT_THAT(console_.lines, Not(Contains(::testing::HasSubstr("netrc"))));
}

// Ctrl-C at the prompt ends the run before any connection, as a stop does.
TEST_F(CredentialsTest, StopAtThePromptEndsTheRunBeforeConnecting) {
  console_.secrets.push_back({SecretAnswer::Kind::kStopped, ""});
  EXPECT_EQ(Run("alice@127.0.0.1:1/pub/"), 1);
  EXPECT_THAT(console_.prompts, ElementsAre("Password for alice@127.0.0.1: "));
  EXPECT_THAT(std::vector<std::string>(console_.lines.end() - 2, console_.lines.end()),
              ElementsAre("09:05:03 ** User Abort **", "09:05:03 * No more files to transfer."));
  EXPECT_THAT(console_.lines, Not(Contains(::testing::HasSubstr("Unable to open connection"))));
}

// An invalid port ends the run before anyone is asked for a password.
TEST_F(CredentialsTest, InvalidPortAsksNothing) {
  console_.secrets.push_back({SecretAnswer::Kind::kTyped, "typed"});
  EXPECT_EQ(Run("alice@127.0.0.1:99999/pub/"), 1);
  EXPECT_THAT(console_.prompts, IsEmpty());
}

TEST(LocationPasswordSpanTest, PointsAtThePasswordBytesOfTheLocationWord) {
  const struct {
    std::vector<std::string> words;
    std::optional<std::string> password;  // the bytes the span covers
  } cases[] = {
      {{"bob:s3cret@host/pub/", "-S"}, "s3cret"},
      {{"ftpes://bob:a:b@c@host:2121/pub/"}, "a:b@c"},
      {{"FTP:\\\\bob:pw@host/"}, "pw"},
      {{"bob:two words@host/"}, "two words"},
      {{"bob@host/pub/"}, std::nullopt},
      {{"bob:@host/pub/"}, std::nullopt},
      {{"host/pub/"}, std::nullopt},
      {{"-V", "-S"}, std::nullopt},
  };
  for (const auto& c : cases) {
    const std::optional<WordSpan> span = LocationPasswordSpan(c.words);
    ASSERT_EQ(span.has_value(), c.password.has_value()) << c.words[0];
    if (!span) continue;
    EXPECT_EQ(span->word, 0u);
    EXPECT_EQ(c.words[0].substr(span->offset, span->length), *c.password) << c.words[0];
  }
}

}  // namespace
}  // namespace koru
