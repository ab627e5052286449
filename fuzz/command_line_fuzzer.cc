// A command line (any bytes after the program name) through the reading the start-up does:
// normalisation, the usage and version tests, the switches, the location split and the
// server text's host and port.
#include <string>

#include "app/command_line.h"
#include "ftp/session.h"
#include "fuzz/fuzz_target.h"

namespace koru::fuzz {
namespace {

void CheckNormalised(const std::string& line) {
  Check(line.empty() || (line.front() != ' ' && line.back() != ' '), "no blank at either end");
  Check(line.find("  ") == line.npos, "no two blanks in a row");
  Check(NormaliseCommandLine(line) == line, "normalising twice changes nothing");
}

void CheckSwitches(const std::string& line, const std::string& rest, const Options& s) {
  Check(line.starts_with(rest), "reading switches only drops words from the right");
  const std::string last = LASTWORD(rest);
  Check(last.empty() || (last[0] != '-' && last[0] != '+'), "every switch on the right is read");
  Check(s.BlockDelay >= 0, "the delay is not negative");
  Check(s.ResumeMode >= -1 && s.ResumeMode <= 1 && s.SubDirMode >= -1 && s.SubDirMode <= 1 &&
            s.VerboseLevel >= -1 && s.VerboseLevel <= 1,
        "modes take -1, 0 or 1");
}

void CheckLocation(const Location& location) {
  const std::string& path = location.remotePath;
  Check(path == "./" || (path.front() == '/' && path.back() == '/'),
        "the remote path is ./ or runs from / to /");
  Check(location.server.find_first_of("/\\ ") == std::string::npos,
        "the server holds no slash and no blank");
  Check(location.mask.find_first_of("/\\ ") == std::string::npos,
        "the mask holds no slash and no blank");
  Check(path.find_first_of("\\ ") == std::string::npos, "the path holds no backslash or blank");
  const ServerAddress address = SplitServerText(location.server);
  Check(address.port >= -1 && address.port <= 65535, "a port is -1 or lies in 0..65535");
  Check(location.server.find(address.host) != std::string::npos,
        "the host is text of the server text");
  Check(location.server.empty() || location.server[0] != '[' || address.port < 0 ||
            address.host.find(']') == std::string::npos,
        "a bracketed host that gets a port holds no bracket");
}

}  // namespace

KORU_FUZZ_TARGET(command_line) {
  const ExactText text(FuzzInput(data, size).Rest());

  const std::string line = NormaliseCommandLine(text);
  CheckNormalised(line);
  Check(!line.empty() || WantsUsage(line), "an empty command line asks for the usage text");
  WantsVersion(line);
  Options settings;
  Location location;
  const std::string rest = ReadSwitches(line, settings, location);
  CheckSwitches(line, rest, settings);
  std::string password = "default";
  SplitLocation(ExactText(rest), location, password);
  CheckLocation(location);
}

}  // namespace koru::fuzz
