// Text a server sends (its greeting, replies, listing lines and names) reaches neither the
// terminal nor a log as control codes: on standard output and standard error, in a pipe or on
// a terminal, and in the window title, every control byte shows as "?".
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/child_process.h"
#include "tests/fake_ftp_server.h"
#include "tests/fake_ftp_tree.h"
#include "tests/scratch_dir.h"

namespace koru {
namespace {

using testing::ChildResult;
using testing::FakeFtpServer;
using testing::FakeFtpSession;
using testing::FakeFtpTree;
using testing::PtyChild;
using testing::RunProgram;
using testing::ScratchDir;

// Sets the window title and the colour of what follows, on a terminal that obeys it.
constexpr char kEvil[] = "\x1b]2;pwned\x07\x1b[31m";

// The first control byte of `text` other than the line end, or 0x7F; "" when it has none.
std::string ControlByteIn(const std::string& text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\n') || byte == 0x7F) return "byte " + std::to_string(byte);
  }
  return "";
}

// A site whose greeting, file and directory names carry kEvil; with `refuse_login`, PASS is
// answered 530 with kEvil in the reason.
struct EvilSite {
  explicit EvilSite(bool refuse_login) {
    tree.AddFile(std::string("/pub/a") + kEvil + ".txt", "alpha");
    tree.AddFile(std::string("/pub/d") + kEvil + "/b.txt", "beta");
    if (refuse_login) {
      tree.Intercept([](const std::string& command, FakeFtpSession& session) {
        if (!command.starts_with("PASS ")) return false;
        session.Reply(std::string("530 Go away ") + kEvil);
        return true;
      });
    }
    testing::SessionScript script = tree.Script();
    script.on_connect.insert(script.on_connect.begin(),
                             testing::SendRaw(std::string("220-Hi ") + kEvil + "\r\n"));
    server.SetDefaultSession(script);
  }

  FakeFtpTree tree;
  FakeFtpServer server;
};

TEST(ServerTextTest, ControlBytesOfTheServerNeverReachTheOutput) {
  const struct {
    const char* what;
    bool refuse_login;
    std::string mask;  // after /pub/
    std::vector<std::string> switches;
    bool on_errors;  // the server's text shows on standard error, not standard output
  } cases[] = {
      {"greeting and names", false, "", {"+V", "-S"}, false},
      {"listing lines of a list-only run", false, "=*", {}, false},
      {"a refused login", true, "", {}, false},
      {"a refused login, quiet", true, "", {"-Q"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EvilSite site(c.refuse_login);
    ScratchDir local;
    std::vector<std::string> args = {site.server.address() + "/pub/" + c.mask};
    args.insert(args.end(), c.switches.begin(), c.switches.end());
    const ChildResult run = RunProgram(KORU_BINARY, args, local.path());
    site.server.Stop();

    EXPECT_EQ(run.exit_code, c.refuse_login ? 1 : 0) << run.output << run.errors;
    EXPECT_EQ(ControlByteIn(run.output), "") << run.output;
    EXPECT_EQ(ControlByteIn(run.errors), "") << run.errors;
    const std::string& shown = c.on_errors ? run.errors : run.output;
    EXPECT_NE(shown.find("?]2;pwned??[31m"), std::string::npos) << "shown as text: " << shown;
  }
}

// On a terminal the lines and the titles (which name the directories the server listed) carry
// no control byte of the server's: the only sequences are KORU's own.
TEST(ServerTextTest, ATerminalGetsNoControlCodesOfTheServer) {
  EvilSite site(false);
  ScratchDir local;
  const std::string location = site.server.address() + "/pub/";
  const std::string directory = local.path();
  PtyChild child([location, directory] {
    setenv("TERM", "xterm", 1);
    if (chdir(directory.c_str()) != 0) _exit(126);
    execl(KORU_BINARY, KORU_BINARY, location.c_str(), "-S", "+V", static_cast<char*>(nullptr));
    _exit(127);
  });
  EXPECT_EQ(child.Wait(), 0) << child.output();
  const std::string& out = child.output();

  EXPECT_NE(out.find("?]2;pwned??[31m"), std::string::npos) << out;
  EXPECT_EQ(out.find("\x1b]2;"), std::string::npos) << out;
  EXPECT_EQ(out.find("\x1b[31m"), std::string::npos) << out;
  size_t titles = 0;
  for (size_t at = out.find("\x1b]0;"); at != std::string::npos;
       at = out.find("\x1b]0;", at + 1)) {
    const size_t bell = out.find('\a', at);
    ASSERT_NE(bell, std::string::npos) << out.substr(at);
    const std::string title = out.substr(at + 4, bell - at - 4);
    EXPECT_EQ(ControlByteIn(title), "") << title;
    ++titles;
  }
  EXPECT_GT(titles, 0u);
}

}  // namespace
}  // namespace koru
