#include "sync/sync_engine.h"

#include <vector>

#include "ftp/commands.h"
#include "ftp/download.h"
#include "ftp/listing_transfer.h"
#include "ftp/session.h"
#include "listing/list_parser.h"
#include "localfs/local_files.h"
#include "platform/local_file.h"
#include "sync/local_name.h"

namespace koru {
namespace {

std::string Plural(int32_t n, const char* one, const char* many) {
  return n == 1 ? one : many;
}

bool HasWildcard(const std::string& mask) {
  return mask.find_first_of("?*") != std::string::npos;
}

// Names a listing may give that must never become a local path.
bool IsUnsafeName(const std::string& name) {
  return name.empty() || name == "." || name == ".." ||
         name.find_first_of("/\\") != std::string::npos;
}

// One engine call for one directory. `step_variant` selects the connect-per-step behaviour of
// the starting directory under -U.
class DirectorySync {
 public:
  DirectorySync(Env& env, const std::string& server, const std::string& user,
                const std::string& password, const std::string& remotePath,
                const std::string& localDir, const std::string& mask, bool step_variant,
                int depth)
      : env_(env),
        s_(env.state),
        server_(server),
        user_(user),
        password_(password),
        remotePath_(remotePath),
        localDir_(localDir),
        mask_(mask),
        step_(step_variant),
        depth_(depth) {}

  int32_t Run() {
    if (s_.SubDirMode != 0 && !DirectoryPhase()) return result_;
    FilePhase();
    return result_;
  }

 private:
  // --- connections ---

  void Title(const std::string& activity) { env_.Title(s_.ProgramTitle + activity); }

  bool Connected() const { return s_.ConnectedFlag == kOn; }

  void QuitIfConnected() {
    if (Connected()) ftpQuit(env_, h_);
  }

  void ConnectionError() {
    if (!s_.AbortFlag) env_.TimedLine(" ERROR: Unable to open connection to server.");
  }

  // Logs in; false (after the error line) when that failed.
  bool Connect(bool with_line) {
    if (with_line && env_.verbose()) env_.TimedLine(" * Connecting to " + server_);
    Title(" Connecting to " + server_);
    h_ = ftpConnect(env_, server_, user_, password_);
    if (h_ >= 1) return true;
    ConnectionError();
    result_ = 1;
    return false;
  }

  // The abort test between entries: AbortFlag, or Esc waiting (other keys are dropped).
  bool AbortRequested() {
    return s_.AbortFlag || env_.PollKey() == kKeyEsc;
  }

  void Abort(bool quit) {
    if (quit) QuitIfConnected();
    env_.TimedLine(" ** User Abort **");
    s_.AbortFlag = kOn;
    result_ = 1;
  }

  // --- directory phase ---

  // False when the call ends here (failed connection, remote path not creatable, abort).
  bool DirectoryPhase() {
    if (env_.verbose()) env_.TimedLine(" * Connecting to " + server_);
    Title(" Connecting to " + server_);
    h_ = ftpConnect(env_, server_, user_, password_);
    if (h_ < 1 || !Connected() || s_.LastReplyCode / 100 > 3) {
      if (h_ >= 1) QuitIfConnected();
      if (!s_.AbortFlag) {
        ConnectionError();
        env_.TimedLine("  " + std::to_string(s_.LastReplyCode) + " " + s_.LastReplyText);
      }
      result_ = 1;
      return false;
    }
    if (step_ && !ftpMakeDirTree(env_, h_, remotePath_)) {
      result_ = 1;
      ftpQuit(env_, h_);
      return false;
    }
    Title(" CD " + remotePath_);
    if (!ftpChangeDir(env_, h_, remotePath_)) {
      if (step_) ftpQuit(env_, h_);
      return true;
    }
    std::vector<std::string> directories;
    env_.Title("DIRLIST " + remotePath_);
    const int32_t n = ftpListDirs(env_, h_, server_, remotePath_, directories);
    ftpQuit(env_, h_);
    env_.Title(s_.ProgramTitle);
    if (env_.verbose()) {
      env_.TimedLine(" * Found " + std::to_string(n) + " Director" + Plural(n, "y", "ies") +
                     " in " + remotePath_);
    }
    return VisitSubDirectories(directories);
  }

  bool VisitSubDirectories(const std::vector<std::string>& directories) {
    for (const std::string& line : directories) {
      if (AbortRequested()) {
        Abort(!step_);
        return false;
      }
      LISTENTRY entry;
      if (!PARSELISTLINE(line, entry, env_.clock.Now())) continue;
      const std::string name(TrimBlanks(entry.name));
      if (IsUnsafeName(name)) continue;
      CreateLocalDirectory(localDir_ + name);
      if (s_.SubDirMode > 0) {
        Recurse(name);
        if (s_.AbortFlag) break;
      }
    }
    return true;
  }

  void CreateLocalDirectory(const std::string& path) {
    const EntryKind kind = StatLocal(path).kind;
    if (kind == EntryKind::kRegular || kind == EntryKind::kDirectory) return;
    ++s_.SubDirsCreated;
    if (env_.verbose()) env_.TimedLine(" Creating local directory: " + path);
    MakeLocalDirectory(path);
  }

  void Recurse(const std::string& name) {
    const std::string remote = remotePath_ + name + "/";
    if (depth_ >= kMaxDirectoryDepth) {
      env_.TimedLine(" * Warning: directory nesting too deep, not entered: " + remote);
      return;
    }
    if (env_.verbose()) env_.TimedLine(" * Recurse to directory " + name);
    result_ = DirectorySync(env_, server_, user_, password_, remote, localDir_ + name + "/",
                            mask_, false, depth_ + 1)
                  .Run();
  }

  // --- file phase ---

  void FilePhase() {
    for (;;) {
      pass_transfers_ = 0;
      if ((step_ || !Connected()) && !Connect(true)) return;
      Title(" CD " + remotePath_);
      if (!ftpChangeDir(env_, h_, remotePath_)) break;
      std::vector<std::string> lines;
      const bool list_only = !mask_.empty() && mask_[0] == '=';
      Title(" LIST " + remotePath_ + mask_);
      const int32_t n = ftpList(env_, h_, server_, remotePath_,
                                list_only ? mask_.substr(1) : mask_, lines);
      env_.Title(s_.ProgramTitle);
      if (step_) ftpQuit(env_, h_);
      if (list_only) {
        PrintListing(lines, n);
        break;
      }
      PrintFileCount(n);
      for (const std::string& line : lines) {
        if (AbortRequested()) {
          Abort(!step_);
          return;
        }
        HandleEntry(line);
        if (connection_lost_) return;
      }
      if (s_.OverwriteMode || pass_transfers_ == 0) break;
    }
    QuitIfConnected();
  }

  void PrintListing(const std::vector<std::string>& lines, int32_t n) {
    for (const std::string& line : lines) env_.Line(line);
    env_.Line(" " + std::to_string(n) + " Item" + Plural(n, "", "s") + " found");
  }

  void PrintFileCount(int32_t n) {
    if (s_.FilesTransferred != 0 && !env_.verbose()) return;
    const std::string masked = HasWildcard(mask_) ? " " + mask_ : "";
    env_.TimedLine(" * Found " + std::to_string(n) + masked + " file" + Plural(n, "", "s") +
                   " in " + remotePath_);
  }

  void HandleEntry(const std::string& line) {
    LISTENTRY entry;
    if (!PARSELISTLINE(line, entry, env_.clock.Now()) || entry.isDir) return;
    const std::string name(TrimBlanks(CutLinkTarget(entry.name)));
    FillRemoteFileTime(entry);
    s_.RemoteFileName = name;
    if (IsUnsafeName(name)) return;
    const NameCharset charset = step_ ? NameCharset::kStepVariant : NameCharset::kStandard;
    const std::string localName =
        ChooseLocalName(name, s_.UniqueNames && s_.MoveMode, charset,
                        [&](const std::string& candidate) {
                          return PlainLocalFileExists(localDir_ + candidate);
                        });
    const std::string localPath = localDir_ + localName;
    if (!s_.OverwriteMode && PlainLocalFileExists(localPath) &&
        FILEEXISTS(localPath) >= entry.size) {
      DateCompleteFile(localPath);
    } else {
      Download(entry, localPath);
    }
  }

  void FillRemoteFileTime(const LISTENTRY& entry) {
    SYSTEMTIME& t = s_.RemoteFileTime;
    t.wYear = static_cast<uint16_t>(entry.year);
    t.wMonth = static_cast<uint16_t>(entry.month);
    t.wDay = static_cast<uint16_t>(entry.day);
    t.wDayOfWeek = static_cast<uint16_t>(DAYOFWEEK(ZeroPad(entry.year, 4) +
                                                   ZeroPad(entry.month, 2) +
                                                   ZeroPad(entry.day, 2)));
    t.wHour = static_cast<uint16_t>(entry.hour);
    t.wMinute = static_cast<uint16_t>(entry.minute);
    t.wSecond = 0;
    t.wMilliseconds = 0;
  }

  void Download(const LISTENTRY& entry, const std::string& localPath) {
    const std::string remote = remotePath_ + s_.RemoteFileName;
    env_.TimedLine(" " + std::to_string(entry.size) + " " + ZeroPad(entry.year, 4) + "-" +
                   ZeroPad(entry.month, 2) + "-" + ZeroPad(entry.day, 2) + " " + remote);
    if ((step_ || !Connected()) && !Connect(false)) {
      connection_lost_ = true;
      return;
    }
    if (!s_.OverwriteMode && FILEEXISTS(localPath) > entry.size) {
      env_.TimedLine(" * Warning: remote file is smaller than local file. Skipping transfer.");
      if (step_) ftpQuit(env_, h_);
      return;
    }
    s_.RemoteFileSize = entry.size;
    int64_t expected = 0;
    if (entry.size > 0 || step_) {
      expected = ftpGetFile(env_, h_, server_, remote, localPath);
    } else {
      LocalFile empty;
      empty.Open(env_.pool, localPath, LocalFile::Mode::kReadWriteEmpty);
    }
    env_.Title(s_.ProgramTitle);
    if (expected > 0 && PlainLocalFileExists(localPath)) Verify(expected, localPath, remote);
    if (step_) ftpQuit(env_, h_);
  }

  void Verify(int64_t expected, const std::string& localPath, const std::string& remote) {
    const int64_t actual = FILEEXISTS(localPath);
    if (actual != expected) {
      env_.TimedLine(" * Warning: Local file size does not match remote (" +
                     std::to_string(actual) + "/" + std::to_string(expected) + ")");
      if (s_.MoveMode) {
        env_.TimedLine(" * Remote file was not erased as requested by move option switch.");
      }
      return;
    }
    ++pass_transfers_;
    ++s_.FilesTransferred;
    if (!s_.MoveMode) return;
    Title(" DELE " + remote);
    if (ftpRemoveFile(env_, h_, remote)) {
      env_.TimedLine(" * Removed remote file " + remote);
    } else {
      env_.TimedLine(" * Warning: Unable to delete remote file as requested.");
    }
    env_.Title(s_.ProgramTitle);
  }

  void DateCompleteFile(const std::string& localPath) {
    SYSTEMTIME local;
    GETFILEDATE(localPath, local);
    const std::string remote_text = FORMATFILEDATE(s_.RemoteFileTime);
    const std::string local_text = FORMATFILEDATE(local);
    if (remote_text == local_text) return;
    if (env_.verbose()) {
      env_.TimedLine("  File date stamps are different.");
      env_.TimedLine("    Remote= " + remote_text);
      env_.TimedLine("    Local = " + local_text);
    }
    SETFILEDATE(env_, localPath, s_.RemoteFileTime, -1);
  }

  Env& env_;
  RunSettings& s_;
  const std::string& server_;
  const std::string& user_;
  const std::string& password_;
  const std::string& remotePath_;
  const std::string& localDir_;
  const std::string& mask_;
  const bool step_;
  const int depth_;
  int h_ = -1;
  int32_t result_ = 0;
  int32_t pass_transfers_ = 0;
  bool connection_lost_ = false;  // a download could not connect: the call ends
};

}  // namespace

int32_t SyncSubDirectory(Env& env, const std::string& server, const std::string& user,
                         const std::string& password, const std::string& remotePath,
                         const std::string& localDir, const std::string& mask) {
  return DirectorySync(env, server, user, password, remotePath, localDir, mask, false, 0).Run();
}

int32_t SyncDirectory(Env& env, const std::string& server, const std::string& user,
                      const std::string& password, const std::string& remotePath,
                      const std::string& localDir, const std::string& mask) {
  return DirectorySync(env, server, user, password, remotePath, localDir, mask, true, 0).Run();
}

}  // namespace koru
