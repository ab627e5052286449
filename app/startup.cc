#include "app/startup.h"

#include <optional>

#include "app/credentials.h"

#include "ftp/session.h"
#include "ftp/tls_session.h"
#include "run/user_stop.h"
#include "sync/sync_engine.h"
#include "sync/sync_engine.h"

namespace koru {

const char kRelease[] = KORU_RELEASE;

namespace {

void GiveStartValues(Env& env, Options& s, Location& location) {
  s.SubDirMode = 0;
  s.VerboseLevel = 0;
  location.user = "anonymous";
  s.LoginPassword = DefaultPassword(env.clock.Now());
  location.mask.clear();
  s.BlockDelay = 0;
  s.MoveMode = 0;
  s.ProgramTitle = std::string("KORU ") + kVersion;
  s.UniqueNames = 0;
}

void EchoOptions(Env& env, const Options& s) {
  const std::string indent = "           + ";
  env.Line(DateText(env.clock.Now()) + " Options:");
  if (s.MoveMode) env.Line(indent + "Move files from server (delete after transfer)");
  if (s.OverwriteMode) env.Line(indent + "Overwrite local files with downloads");
  if (s.NewerMode) env.Line(indent + "Fetch files again that changed on the server");
  if (s.SubDirMode == -1) {
    env.Line(indent + "Sub-directory creation enabled");
  } else if (s.SubDirMode == 1) {
    env.Line(indent + "Sub-directory recursion enabled");
  }
  if (s.VerboseLevel < 0) env.Line(indent + "Verbose mode enabled");
  if (s.VerboseLevel > 0) env.Line(indent + "Debug verbose mode enabled");
  if (s.BlockDelay > 0) {
    env.Line(indent + "Delay enabled for " + std::to_string(s.BlockDelay) +
             " milliseconds per block");
  }
  if (s.Connections > 0) {
    env.Line(indent + "Parallel transfers over " + std::to_string(s.Connections) +
             " connections");
  }
  if (s.ListingDatesOnly) env.Line(indent + "Dates from the listing only (no FEAT, MLSD or MDTM)");
}

void PrintStartLines(Env& env, const Location& location, const std::string& current_dir) {
  const SYSTEMTIME now = env.clock.Now();
  env.Line(TimeText(now) + " " + DateText(now));
  env.Line(" " + SchemeName(location.security) + "://" + location.user + "@" + location.server);
  const bool list_only = !location.mask.empty() && location.mask[0] == '=';
  env.Line(" R Path: " + location.remotePath +
           (list_only ? location.mask.substr(1) + "  (File List)" : location.mask));
  env.Line(" L Path: " + current_dir);
}

// The port text of the server part when it is not a number from 1 to 65535 ("99999", "abc");
// nothing when the port is usable or absent.
std::optional<std::string> InvalidPort(const Location& location) {
  const std::string& server = location.server;
  const bool implicit = location.security == ConnectionSecurity::kImplicitTls;
  if (server.empty() || SplitServerText(server, implicit ? kFtpsPort : kFtpPort).port >= 1) {
    return std::nullopt;
  }
  // An IPv6 address keeps its colons inside the brackets: a port follows "]:". A bracket
  // left open, or followed by anything else, names no port: no channel can be opened to it.
  const size_t from = server[0] == '[' ? server.find(']') : 0;
  if (from == std::string::npos) return std::nullopt;
  const size_t colon = server.find(':', from);
  if (colon == std::string::npos || (server[0] == '[' && colon != from + 1)) return std::nullopt;
  return server.substr(colon + 1);
}

// The engine the switches ask for: step by step (-U), over several connections (-P; a listing
// only is shown as one connection shows it, directory by directory), or the plain one.
int32_t Mirror(Env& env, const Options& options, RunSettings& state, RunTotals& totals,
               const Location& location, const std::string& localDir) {
  const std::string& password = options.LoginPassword;
  const bool list_only = !location.mask.empty() && location.mask[0] == '=';
  if (location.useStepVariant) {
    return SyncDirectory(env, options, state, totals, location.server, location.user, password,
                         location.remotePath, localDir, location.mask);
  }
  if (options.Connections > 0 && !list_only) {
    return MirrorInParallel(env, options, state, totals, options.Connections, location.server,
                            location.user, password, location.remotePath, localDir, location.mask);
  }
  return SyncSubDirectory(env, options, state, totals, location.server, location.user, password,
                          location.remotePath, localDir, location.mask);
}

// Runs the engine for the current directory and prints the run's totals.
int32_t RunFromDriver(Env& env, const Options& options, RunSettings& state, RunTotals& totals,
                      const Location& location) {
  RunTotals& s = totals;
  const std::string localDir = "./";
  const int32_t result = Mirror(env, options, state, totals, location, localDir);
  // A stop noticed inside a connect, a busy-server wait or a transfer is named before the
  // totals, like one noticed between entries.
  if (state.AbortFlag) PrintUserAbort(env, state);
  if (s.FilesTransferred > 0) {
    env.TimedLine(" " + std::to_string(s.FilesTransferred) + " file" +
                  (s.FilesTransferred == 1 ? "" : "s") + " transferred.");
  } else {
    env.TimedLine(" * No more files to transfer.");
  }
  if (s.SubDirsCreated > 0) {
    env.TimedLine(" " + std::to_string(s.SubDirsCreated) + " subdirector" +
                  (s.SubDirsCreated == 1 ? "y" : "ies") + " found.");
  }
  // Files tried and still not whole at the end, and directories that could not be entered or
  // listed: a run that leaves any behind has failed.
  const size_t failed = s.FailedDownloads.size();
  if (failed > 0) {
    env.TimedLine(" " + std::to_string(failed) + " file" + (failed == 1 ? "" : "s") + " failed.");
  }
  const size_t failed_dirs = s.FailedDirectories.size();
  if (failed_dirs > 0) {
    env.TimedLine(" " + std::to_string(failed_dirs) + " director" +
                  (failed_dirs == 1 ? "y" : "ies") + " failed.");
  }
  // A move the server did not let happen has failed too.
  const size_t undeleted = s.UndeletedFiles.size();
  if (undeleted > 0) {
    env.TimedLine(" " + std::to_string(undeleted) + " remote file" + (undeleted == 1 ? "" : "s") +
                  " not deleted.");
  }
  // The user's stop fails the run, also when only the final QUITs heard it.
  return failed > 0 || failed_dirs > 0 || undeleted > 0 || state.AbortFlag ? 1 : result;
}

}  // namespace

const std::vector<std::string>& UsageText() {
  static const std::vector<std::string> kUsage = {
      "",
      "This utility will compare the contents of the current directory with the ftp",
      "site directory passed on the command line and get only those files which are",
      "not in the current local directory.",
      "",
      "Syntax: KORU <[user:pass@]server_url[/path[/[=]mask]]> [switch] [switch]",
      "",
      "   user:pass@ is the username and password to access the ftp server.",
      "          if this is blank then the anonymous login will be used.",
      "   <server_url> is the domain name or IP address of the ftp server.",
      "   <path> is the CASE SENSITIVE directory on the remote system which",
      "          will be compared to the current local directory contents.",
      "          the path MUST end in a slash or it will be considered a mask.",
      "   <mask> is the file name or mask to find in the remote path. Special",
      "          case mask starting with \"=\" will just return the list of files.",
      "",
      "   Optional Switches: (Must have at least one space between each.)",
      "     -D# = Delay in milliseconds for file transfer functions.",
      "     -M  = Move files, Delete files from server after transfer.",
      "     +M  = Move files and create Unique file names on the local side.",
      "     -O  = Overwrite mode. Erase local file if it exists before download.",
      "     -R  = Resume ftp downloads if file dates are the same.",
      "     +R  = Resume all downloads even if file dates are different.",
      "     -S  = Create and recurse download sub-directories found in remote path.",
      "     -T  = Create sub-directory tree found in remote path, no files transfer.",
      "     -V  = Verbose mode - shows inner workings of KORU functions.",
      "     +V  = Debug Verbose mode - shows inner workings of FTP functions too.",
  };
  return kUsage;
}

const std::vector<std::string>& HelpText() {
  static const std::vector<std::string> kHelp = {
      "",
      "Location forms the syntax above does not show:",
      "   ftpes://server/path/   FTP over TLS: AUTH TLS after the greeting (explicit).",
      "   ftps://server/path/    FTP over TLS from the first byte (implicit), port 990.",
      "   server:port            a port other than 21, such as ftp.example.org:2121.",
      "   [address]:port         an IPv6 address in brackets, such as [::1]:2121.",
      "   \"host/Jan 2024 dir/\"   quotes keep a location or password with blanks whole.",
      "",
      "Switches the usage text does not show:",
      "   -L    dates from the listing only: no FEAT, MLSD or MDTM.",
      "   -N    fetch again a file whose size or date differs from the listing.",
      "   -P#   up to # connections at once (1 to 16): directories are listed and files",
      "         downloaded side by side, each connection logged in once for the run.",
      "   -Q    quiet, for cron: nothing on standard output; warnings, errors and the",
      "         totals of what failed on standard error, each once. -V and +V outweigh it.",
      "",
      "Environment:",
      "   SSL_CERT_FILE   a PEM file of trusted CA certificates (ftpes://, ftps://).",
      "   SSL_CERT_DIR    a directory of trusted CA certificates (ftpes://, ftps://).",
      "   TERM            unset, empty or dumb: no status line.",
      "   NETRC           the netrc file for logins the location leaves out (~/.netrc).",
      "",
      "See koru(1).",
  };
  return kHelp;
}

void SETTITLE(Env& env, std::string_view text) { env.Title(text, kTitleLength); }

int KoruMain(Env& env, std::string_view command_line, const std::string& current_dir) {
  return KoruMain(env, SplitCommandLine(command_line), current_dir);
}

int KoruMain(Env& env, const CommandWords& words, const std::string& current_dir) {
  RunTotals totals;
  return KoruMain(env, totals, words, current_dir);
}

int KoruMain(Env& env, RunTotals& totals, std::string_view command_line,
             const std::string& current_dir) {
  return KoruMain(env, totals, SplitCommandLine(command_line), current_dir);
}

int KoruMain(Env& env, RunTotals& totals, const CommandWords& words,
             const std::string& current_dir) {
  Options options;
  return KoruMain(env, options, totals, words, current_dir);
}

int KoruMain(Env& env, Options& options, RunTotals& totals, std::string_view command_line,
             const std::string& current_dir) {
  return KoruMain(env, options, totals, SplitCommandLine(command_line), current_dir);
}

int KoruMain(Env& env, Options& options, RunTotals& totals, const CommandWords& words,
             const std::string& current_dir) {
  Location location;
  GiveStartValues(env, options, location);
  const bool shows_text = WantsUsage(words) || WantsVersion(words);
  std::vector<std::string> warnings;
  const CommandWords rest = shows_text ? words : ReadSwitches(words, options, location, warnings);
  for (const std::string& warning : warnings) env.console.WriteErrorLine(warning);
  SETTITLE(env, options.ProgramTitle);
  env.Line("Koru (" + options.ProgramTitle + ")");

  if (WantsUsage(words)) {
    for (const std::string& usage_line : UsageText()) env.Line(usage_line);
    if (WantsHelp(words)) {
      for (const std::string& help_line : HelpText()) env.Line(help_line);
    }
    return 0;
  }
  if (WantsVersion(words)) {
    env.Line(std::string("koru ") + kRelease);
    return 0;
  }

  RunSettings state;
  state.BlockDelay = options.BlockDelay;
  SplitLocationWord(rest.empty() ? "" : rest.front(), location, options.LoginPassword);
  options.Security = location.security;
  FillFromNetrc(env, location, options.LoginPassword);
  if (options.verbose()) EchoOptions(env, options);
  PrintStartLines(env, location, current_dir);
  if (const std::optional<std::string> port = InvalidPort(location)) {
    env.TimedLine(" ERROR: Invalid port: " + *port);
    return 1;
  }
  // A stop at the prompt ends the run as a stop before the first connection does.
  if (!AskForMissingPassword(env, location, options.LoginPassword)) UserAbort(env, state);
  return RunFromDriver(env, options, state, totals, location);
}

}  // namespace koru
