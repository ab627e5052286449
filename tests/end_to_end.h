#ifndef KORU_TESTS_END_TO_END_H_
#define KORU_TESTS_END_TO_END_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/child_process.h"
#include "tests/fake_ftp_server.h"
#include "tests/fake_ftp_tree.h"

// Whole runs of the program against a fake FTP site: the site, a fresh local directory, the run
// itself (the real binary, or KoruMain in this process when the site falls silent and the run
// needs short time-outs) and what the run left on screen and on disk.
namespace koru::testing {

struct RemoteFile {
  std::string name;
  std::string content;
};

// `size` bytes that differ from those of another file of another size.
std::string FileBytes(size_t size);

// Where a FakeFtpSite fails, instead of answering as a sound server. A fault happens once; the
// first download of a run has no restart offset.
enum class SiteFault {
  kNone,
  // The control connection is closed ...
  kCloseAfterGreeting,  // ... right after the greeting
  kCloseAtUser,         // ... when USER arrives, unanswered
  kCloseAtPass,
  kCloseAtCwd,
  kCloseAtPasv,
  kCloseAfterList150,   // ... once LIST is answered 150, before its data
  kCloseAfterRetr150,   // ... once the first RETR is answered 150, before its data
  kCloseMidData,        // ... after kCutAt bytes of the first RETR's data (the data closes too)
  kCloseBefore226,      // ... after all the first RETR's data, in place of its 226
  // The control connection goes on:
  kJunkInListing,       // the listing holds two lines that are no entries
  kPasvRefused,         // the second PASV (the first download's) is answered 425
  kPasvToClosedPort,    // the second PASV names a port that refuses connections
  kRetrRefused,         // the first RETR is answered 550
  kResetMidData,        // the first RETR's data is reset after kCutAt bytes; 426 follows
  // The site stops answering and sending from here on; its connections stay open:
  kSilentGreeting,      // no greeting at all
  kSilentAtPass,
  kSilentAtRetr,        // the first RETR gets no reply
  kSilentMidData,       // after kCutAt bytes of the first RETR's data
};

// The bytes a broken transfer delivers.
inline constexpr size_t kCutAt = 8000;

// A FakeFtpTree on 127.0.0.1 whose one directory, /pub/, holds `files` dated 15 March 1999 (no
// time); the fault takes the tree's place where it strikes. Every connection is served the
// same way.
class FakeFtpSite {
 public:
  explicit FakeFtpSite(std::vector<RemoteFile> files, SiteFault fault = SiteFault::kNone);
  FakeFtpSite(const FakeFtpSite&) = delete;
  FakeFtpSite& operator=(const FakeFtpSite&) = delete;

  // "127.0.0.1:<port>".
  std::string address() const { return server_.address(); }
  // The location that reaches /pub/ as user "anonymous" with the password "guest".
  std::string Location() const { return "anonymous:guest@" + address() + "/pub/"; }
  // Stops the site; every command line it received.
  std::vector<std::string> Commands();

 private:
  // The fault's answer to `command`; false when the tree is to answer.
  bool Intercept(const std::string& command, FakeFtpSession& s);
  bool InterceptPassive(FakeFtpSession& s);
  bool InterceptRetrieve(const std::string& path, FakeFtpSession& s);
  // True, once, when the fault is `fault`.
  bool Due(SiteFault fault);
  // Closes the control connection, or falls silent, when the fault `fault` is due.
  bool CloseAt(SiteFault fault, FakeFtpSession& s);
  bool FallSilentAt(SiteFault fault);

  // Used by the server thread only while it runs.
  const std::vector<RemoteFile> files_;
  const SiteFault fault_;
  bool failed_ = false;
  bool silent_ = false;
  int passive_replies_ = 0;
  FakeFtpTree tree_;
  FakeFtpServer server_;  // the last member: it stops before the state its scripts use goes
};

// How a run is made.
struct RunOptions {
  std::vector<std::string> switches;  // after the location
  // Run KoruMain in this process with 300 ms channel time-outs, a recording console and a
  // clock at 09:05:03 on 12-10-2026, in place of the binary (whose time-outs are 60 s).
  bool in_process = false;
  int64_t file_size_limit = -1;       // the binary's RLIMIT_FSIZE; -1: none
  bool unprivileged = false;          // the binary runs as "nobody" when the tests run as root
};

// Runs the program for `site` in `directory`. Its output comes back with every time hh:mm:ss
// as TIME, every date MM-DD-YYYY as DATE, the site's address as SERVER and `directory` as DIR.
ChildResult RunKoru(const FakeFtpSite& site, const std::string& directory,
                    const RunOptions& options);

// Runs KoruMain in this process with `args` in `directory`: `channel_timeout_ms` for every wait
// on a channel, a recording console (whose lines are the output) and a clock at 09:05:03 on
// 12-10-2026. The output comes back as the console had it.
ChildResult RunKoruInThisProcess(const std::vector<std::string>& args,
                                 const std::string& directory, int channel_timeout_ms);

// `text` with every time hh:mm:ss as TIME, every date MM-DD-YYYY as DATE, `address` as SERVER
// and `directory` as DIR.
std::string Normalised(std::string text, const std::string& address,
                       const std::string& directory);

// What a run ends with, as a row of a table states it.
struct Outcome {
  std::vector<std::string> lines;           // the console after the start lines, times as TIME
  int exit_code = 0;
  std::vector<std::string> commands;        // the whole dialogue the site saw
  std::map<std::string, std::string> disk;  // DiskState of the directory
};

// Checks `run` of `site` (which it stops) in `directory` against `outcome` in quiet mode, and
// that nothing came on standard error, where a sanitizer report of the binary would come.
void ExpectOutcome(const ChildResult& run, FakeFtpSite& site, const std::string& directory,
                   const std::vector<RemoteFile>& files, const Outcome& outcome);

// What a failed run left is taken up by the next one: a run of the binary with -R against a
// sound site holding `files` ends with exit code 0, nothing on standard error, every file
// complete in `directory`, and `restarts` as the REST commands it sent.
void ExpectNextRunCompletes(const std::vector<RemoteFile>& files, const std::string& directory,
                            const std::vector<std::string>& restarts);

// Every entry below `directory` by its relative name (directories with "/" at the end): a
// directory is "directory"; a file named as one of `remote` is "complete" or "first N bytes"
// when it holds that file's bytes or their beginning; any other file is its content in quotes,
// or "N other bytes" when it holds more than 64.
std::map<std::string, std::string> DiskState(const std::string& directory,
                                             const std::vector<RemoteFile>& remote);

// The command lists of the FTP dialogue, for whole transcripts.
std::vector<std::string> Login();                          // USER, PASS
std::vector<std::string> ListPub();                        // CWD /pub, PASV, TYPE A, LIST
std::vector<std::string> Get(const std::string& name);     // PASV, TYPE I, RETR /pub/<name>
std::vector<std::string> Joined(const std::vector<std::vector<std::string>>& parts);

}  // namespace koru::testing

#endif  // KORU_TESTS_END_TO_END_H_
