// The real binary: usage text, version, option echo and the title, as a user sees them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <termios.h>

#include <regex>
#include <sstream>

#include "app/startup.h"
#include "tests/child_process.h"

namespace koru {
namespace {

using testing::ChildResult;
using testing::RunProgram;

// Times and dates vary from run to run.
std::string Normalised(const std::string& text) {
  std::string out = std::regex_replace(text, std::regex(R"(\d\d:\d\d:\d\d)"), "TIME");
  return std::regex_replace(out, std::regex(R"(\d\d-\d\d-\d\d\d\d)"), "DATE");
}

std::string UsageOutput() {
  std::string text = "Koru (KORU 20080313)\n";
  for (const std::string& line : UsageText()) text += line + "\n";
  return text;
}

TEST(CliTest, UsageTextWhole) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"-?"}, {"host/pub/", "+?"}, {"--help"}, {"-h"}}) {
    const ChildResult run = RunProgram(KORU_BINARY, args);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.output, UsageOutput());
  }
  EXPECT_NE(UsageOutput().find("          case mask starting with \"=\" will just return the "
                               "list of files.\n"),
            std::string::npos);
}

TEST(CliTest, VersionPrintsTheBanner) {
  const ChildResult run = RunProgram(KORU_BINARY, {"--version"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, "Koru (KORU 20080313)\n");
}

TEST(CliTest, OptionEchoWhole) {
  const ChildResult run =
      RunProgram(KORU_BINARY, {"127.0.0.1:1/pub/=*.txt", "-V", "-S", "-D250"}, "/tmp");
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(Normalised(run.output),
            "Koru (KORU 20080313)\n"
            "DATE Options:\n"
            "           + Sub-directory recursion enabled\n"
            "           + Verbose mode enabled\n"
            "           + Delay enabled for 250 milliseconds per block\n"
            "TIME DATE\n"
            " ftp://anonymous@127.0.0.1:1\n"
            " R Path: /pub/*.txt  (File List)\n"
            " L Path: /tmp\n"
            "TIME * Connecting to 127.0.0.1:1\n"
            "TIME * 057- Unable to open socket\n"
            "TIME ERROR: Unable to open connection to server.\n"
            "TIME  57 Unable to open socket\n"
            "TIME * No more files to transfer.\n");
  EXPECT_EQ(run.output.find('\x1b'), std::string::npos) << "no title without a terminal";
}

TEST(CliTest, TitleInATerminalAndTheModeRestored) {
  testing::PtyChild child(KORU_BINARY, {"127.0.0.1:1/pub/"}, "/tmp");
  EXPECT_EQ(child.Wait(), 1);
  EXPECT_NE(child.output().find("\x1b]0;KORU 20080313\x07"), std::string::npos);
  EXPECT_NE(child.output().find("Koru (KORU 20080313)"), std::string::npos);
  EXPECT_EQ(child.LocalModes() & (ICANON | ECHO), unsigned{ICANON | ECHO});
}

}  // namespace
}  // namespace koru
