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

// The banner and the usage text, written out here so that a change to the program's text
// shows.
const char kUsageOutput[] = R"(Koru (KORU 20080313)

This utility will compare the contents of the current directory with the ftp
site directory passed on the command line and get only those files which are
not in the current local directory.

Syntax: KORU <[user:pass@]server_url[/path[/[=]mask]]> [switch] [switch]

   user:pass@ is the username and password to access the ftp server.
          if this is blank then the anonymous login will be used.
   <server_url> is the domain name or IP address of the ftp server.
   <path> is the CASE SENSITIVE directory on the remote system which
          will be compared to the current local directory contents.
          the path MUST end in a slash or it will be considered a mask.
   <mask> is the file name or mask to find in the remote path. Special
          case mask starting with "=" will just return the list of files.

   Optional Switches: (Must have at least one space between each.)
     -D# = Delay in milliseconds for file transfer functions.
     -M  = Move files, Delete files from server after transfer.
     +M  = Move files and create Unique file names on the local side.
     -O  = Overwrite mode. Erase local file if it exists before download.
     -R  = Resume ftp downloads if file dates are the same.
     +R  = Resume all downloads even if file dates are different.
     -S  = Create and recurse download sub-directories found in remote path.
     -T  = Create sub-directory tree found in remote path, no files transfer.
     -V  = Verbose mode - shows inner workings of KORU functions.
     +V  = Debug Verbose mode - shows inner workings of FTP functions too.
)";

// What --help and -h add after the usage text.
const char kHelpOutput[] = R"(
Location forms the syntax above does not show:
   ftpes://server/path/   FTP over TLS: AUTH TLS after the greeting (explicit).
   ftps://server/path/    FTP over TLS from the first byte (implicit), port 990.
   server:port            a port other than 21, such as ftp.example.org:2121.
   [address]:port         an IPv6 address in brackets, such as [::1]:2121.
   "host/Jan 2024 dir/"   quotes keep a location or password with blanks whole.

Switches the usage text does not show:
   -L    dates from the listing only: no FEAT, MLSD or MDTM.
   -N    fetch again a file whose size or date differs from the listing.
   -P#   up to # connections at once (1 to 16): directories are listed and files
         downloaded side by side, each connection logged in once for the run.
   -Q    quiet, for cron: nothing on standard output; warnings, errors and the
         totals of what failed on standard error, each once. -V and +V outweigh it.

Environment:
   SSL_CERT_FILE   a PEM file of trusted CA certificates (ftpes://, ftps://).
   SSL_CERT_DIR    a directory of trusted CA certificates (ftpes://, ftps://).
   TERM            unset, empty or dumb: no status line.
   NETRC           the netrc file for logins the location leaves out (~/.netrc).

See koru(1).
)";

TEST(CliTest, UsageTextWhole) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"-?"}, {"host/pub/", "+?"}}) {
    const ChildResult run = RunProgram(KORU_BINARY, args);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.output, kUsageOutput);
  }
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--help"}, {"-h"}, {"host/pub/", "-h"}}) {
    const ChildResult run = RunProgram(KORU_BINARY, args);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.output, std::string(kUsageOutput) + kHelpOutput);
  }
}

TEST(CliTest, VersionPrintsTheBannerAndTheRelease) {
  const ChildResult run = RunProgram(KORU_BINARY, {"--version"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, "Koru (KORU 20080313)\nkoru " KORU_PROJECT_VERSION "\n");
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
            "TIME  57 Unable to open socket\nTIME  Connection refused\n"
            "TIME * No more files to transfer.\n");
  EXPECT_EQ(run.output.find('\x1b'), std::string::npos) << "no title without a terminal";
}

// A quiet run that ends early still names its failure, on standard error only; what the user
// asks to see is shown as without -Q.
TEST(CliTest, QuietRunsNameEarlyFailuresOnStandardError) {
  const struct {
    std::vector<std::string> args;
    int exit_code;
    std::string output;
    std::string errors;
  } cases[] = {
      {{"127.0.0.1:1/pub/", "-Q"}, 1, "",
       "TIME ERROR: Unable to open connection to server.\nTIME  Connection refused\n"},
      {{"127.0.0.1:99999/pub/", "-q", "-S"}, 1, "", "TIME ERROR: Invalid port: 99999\n"},
      {{"-Q", "-?"}, 0, kUsageOutput, ""},
      {{"--version", "-Q"}, 0, "Koru (KORU 20080313)\nkoru 1.0.0\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    const ChildResult run = RunProgram(KORU_BINARY, c.args, "/tmp");
    EXPECT_EQ(run.exit_code, c.exit_code);
    EXPECT_EQ(run.output, c.output);
    EXPECT_EQ(Normalised(run.errors), c.errors);
  }
}

// A word left unread, or a switch that cannot be used as written, is named on standard error
// before anything else, in a quiet run too; standard output starts with the banner as always.
TEST(CliTest, WordsNotReadAsSwitchesAreNamedFirst) {
  const struct {
    std::vector<std::string> args;
    std::string output_start;
    std::string errors;
  } cases[] = {
      {{"127.0.0.1:1/pub/", "-S", "-P", "4"}, "Koru (KORU 20080313)\nTIME DATE\n",
       "koru: warning: ignored \"4\": not a switch\n"
       "koru: warning: the switches before it are not read: -S -P\n"},
      {{"127.0.0.1:1/pub/", "-X", "-P0", "-Q"}, "",
       "koru: warning: ignored \"-X\": unknown switch\n"
       "koru: warning: ignored \"-P0\": -P needs a number from 1 to 16\n"
       "TIME ERROR: Unable to open connection to server.\nTIME  Connection refused\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    const ChildResult run = RunProgram(KORU_BINARY, c.args, "/tmp");
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(Normalised(run.output).substr(0, c.output_start.size()), c.output_start);
    if (c.output_start.empty()) {
      EXPECT_EQ(run.output, "");
    }
    EXPECT_EQ(Normalised(run.errors), c.errors);
  }
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
