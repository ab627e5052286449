// libkoru as C programs see it: the C caller (tests/c_api/c_caller.c) run against the fake FTP
// server, with and without a terminal, and the library's table of exported symbols.
#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "localfs/local_files.h"
#include "tests/child_process.h"
#include "tests/fake_ftp_server.h"

namespace koru {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::IsSupersetOf;
using ::testing::Matcher;
using ::testing::SizeIs;
using ::testing::StartsWith;
using testing::ChildResult;
using testing::FakeFtpServer;
using testing::PtyChild;
using testing::Reply;
using testing::RunProgram;
using testing::Session;
using testing::SessionScript;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
    lines.push_back(line);
  }
  return lines;
}

// The whole output of the C caller after a login that gave `handle` (quit when it is 1).
std::vector<Matcher<const std::string&>> CallerTranscript(int handle) {
  const std::string directory = GETWINDOWSTEMPDIR();
  const std::string temp_file = "GETNEWTEMPFILE " + directory + "CCS";
  std::vector<Matcher<const std::string&>> lines{"ftpConnect with a NUL byte -1",
                                                 "ftpConnect " + std::to_string(handle)};
  if (handle == 1) lines.push_back("ftpQuit");
  lines.insert(lines.end(), {"GETWINDOWSTEMPDIR " + directory,
                             AllOf(StartsWith(temp_file), SizeIs(temp_file.size() + 6)),
                             "EXIST 1", "EXIST with a NUL byte 0", "EXIST after removal 0",
                             "counted texts ok",
                             handle == 1 ? "failures 0" : "failures 1"});
  return lines;
}

SessionScript LogIn(const std::string& answer_to_pass) {
  return Session({Reply("220 Ready")}, {Reply("331 Password required"), Reply(answer_to_pass)});
}

struct CallerCase {
  const char* name;
  std::string user;
  std::string password;
  std::string answer_to_pass;
  int handle;
  std::vector<std::string> commands;  // every command the server saw
};

void PrintTo(const CallerCase& c, std::ostream* os) { *os << c.name; }

class CallerTest : public ::testing::TestWithParam<CallerCase> {};

TEST_P(CallerTest, LogsInQuitsAndUsesTheLocalFileProcedures) {
  const CallerCase& c = GetParam();
  FakeFtpServer server;
  server.AddSession(LogIn(c.answer_to_pass));

  const ChildResult run = RunProgram(C_CALLER_BINARY, {server.address(), c.user, c.password});

  EXPECT_THAT(Lines(run.output), ElementsAreArray(CallerTranscript(c.handle))) << run.output;
  EXPECT_EQ(run.exit_code, c.handle == 1 ? 0 : 1);
  server.Stop();
  EXPECT_EQ(server.commands(), c.commands);
  EXPECT_EQ(server.connections(), c.commands.empty() ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    CApi, CallerTest,
    ::testing::Values(
        CallerCase{"LoggedIn", "anonymous", "guest@", "230 Logged in", 1,
                   {"USER anonymous", "PASS guest@", "QUIT"}},
        CallerCase{"LoginRefused", "anonymous", "wrong", "530 Login incorrect", -1,
                   {"USER anonymous", "PASS wrong"}},
        // A line break in a user name or password would smuggle in a command of its own.
        CallerCase{"UserWithALineBreak", "anonymous\r\nDELE precious", "guest@", "230 Logged in",
                   -1, {}},
        CallerCase{"PasswordWithALineBreak", "anonymous", "guest@\nDELE precious",
                   "230 Logged in", -1, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CApiTest, TheLibraryWritesNothingToTheTerminal) {
  FakeFtpServer server;
  server.AddSession(LogIn("230 Logged in"));

  PtyChild child(C_CALLER_BINARY, {server.address(), "anonymous", "guest@"});

  EXPECT_EQ(child.Wait(), 0);
  // No title sequence, no key handling echo, nothing on the error stream: only the caller's
  // own lines reach the terminal.
  EXPECT_THAT(Lines(child.output()), ElementsAreArray(CallerTranscript(1))) << child.output();
  server.Stop();
}

// The procedure names the header declares: lines "KORU_API <type> <name>(...".
std::vector<std::string> HeaderProcedures() {
  std::ifstream header(KORU_SOURCE_DIR "/app/c_api/koru.h");
  const std::regex declaration(R"(^KORU_API [^(]*?(\w+)\()");
  std::vector<std::string> names;
  std::smatch match;
  for (std::string line; std::getline(header, line);) {
    if (std::regex_search(line, match, declaration)) names.push_back(match[1]);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(CApiTest, TheLibraryExportsExactlyTheProceduresOfTheHeader) {
  const ChildResult nm = RunProgram("/usr/bin/nm", {"-D", "--defined-only", KORU_LIBRARY});
  ASSERT_EQ(nm.exit_code, 0) << nm.output;
  std::vector<std::string> exported;
  std::vector<std::string> not_code;
  for (const std::string& line : Lines(nm.output)) {
    std::istringstream fields(line);
    std::string address, type, name;
    fields >> address >> type >> name;
    exported.push_back(name);
    if (type != "T") not_code.push_back(line);
  }
  std::sort(exported.begin(), exported.end());

  EXPECT_THAT(HeaderProcedures(),
              IsSupersetOf({"ftpConnect", "ftpQuit", "EXIST", "GETWINDOWSTEMPDIR",
                            "GETNEWTEMPFILE", "SysAllocStringByteLen", "SysFreeString"}));
  EXPECT_EQ(exported, HeaderProcedures());
  EXPECT_THAT(not_code, IsEmpty());
}

}  // namespace
}  // namespace koru
