#ifndef KORU_TESTS_MEMORY_FTP_SERVER_H_
#define KORU_TESTS_MEMORY_FTP_SERVER_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/transport.h"
#include "tests/fake_ftp_tree.h"
#include "tests/fakes.h"

// An FTP server held in memory that several client threads use at once, as a Transport: every
// connect to port 21 opens a session of its own, and the port of a PASV reply leads to that
// session's next data connection. It serves a small tree the way a Unix server does:
//
//   greeting 220 (421 beyond the session limit), USER 331, PASS 230, TYPE 200, CWD 250 or 550,
//   PWD 257, PASV 227, LIST [mask] -> 150, the listing, 226, REST 350, RETR -> 150
//   "(n bytes)", the content, 226 (550 for what is no file), SIZE 213 or 550, DELE 250 or 550,
//   MKD 257 or 550, NOOP 200, QUIT 221 and the end; anything else 502. FEAT, MLSD, MDTM and
//   OPTS UTF8 ON only as Offer tells (by default they are answered 502 too).
//
// Every reply line costs one round trip: the clock's monotonic time moves on by it (the time of
// day stays, so lines read the same whatever the order of the replies). Nothing waits on real
// time except as a guard: a client waiting for a reply or data that nothing will bring is
// released after a few seconds, with the time-out passed on the clock, and counted as a stalled
// wait, so that a test fails instead of hanging. A script (Intercept) may answer commands
// itself; the silences it asks for end by the client's time-out on the clock, at once.
//
//   MemoryFtpServer server(clock);
//   server.AddFile("/pub/a.txt", "abc");
//   Env env(console, clock, server);
//   SyncSubDirectory(env, totals, "127.0.0.1", "anonymous", "guest@", "/pub/", ...);
namespace koru::testing {

class MemorySession;

class MemoryFtpServer : public Transport {
 public:
  static constexpr int kControlPort = 21;

  explicit MemoryFtpServer(FakeClock& clock, int round_trip_ms = 40);
  ~MemoryFtpServer() override;
  MemoryFtpServer(const MemoryFtpServer&) = delete;
  MemoryFtpServer& operator=(const MemoryFtpServer&) = delete;

  // Adds the file `path` ("/pub/a.txt"), its parent directories with it; listed as of
  // "Mar  5  2001".
  void AddFile(const std::string& path, std::string content);
  // A file whose listing, 150 reply or DELE say what `file` asks for.
  void AddFile(const std::string& path, FakeFile file);
  void AddDirectory(const std::string& path);
  // Raw lines that LIST sends for `directory` in place of the tree's.
  void SetListing(const std::string& directory, std::vector<std::string> lines);
  // Each reply line costs `ms` on the clock from now on.
  void SetRoundTrip(int ms);
  // `script` sees every command first, under the server's lock; true when it has answered the
  // command itself (or chosen not to).
  using Script = std::function<bool(const std::string& command, MemorySession& session)>;
  void Intercept(Script script);
  // A connect while `sessions` are open is greeted "421 Too many connections" and closed.
  void LimitSessions(int sessions);
  // The first RETRs get neither reply nor data until `downloads` are in progress at once, or,
  // once a connect was refused, as many as the server then had sessions open: only a client
  // that downloads over all the sessions it may have at the same time gets past them.
  void HoldDownloadsUntil(int downloads);

  // What the server offers beyond the basic commands; each one not offered is answered with
  // its refusal.
  struct Extensions {
    // FEAT's feature lines, each sent after one blank between "211-Features:" and "211 End";
    // none: FEAT is refused.
    std::optional<std::vector<std::string>> features;
    std::string feat_refusal = "502 Command not implemented.";
    // MLSD [directory] -> 150, a line for each entry of the tree (type cdir, pdir, file or dir,
    // size or sizd, modify), 226; 550 for what is no directory.
    bool mlsd = false;
    std::string mlsd_refusal = "502 Command not implemented.";
    // MDTM path -> "213 YYYYMMDDHHMMSS", the file's time (UTC); 550 for what is no file.
    bool mdtm = false;
    std::string mdtm_refusal = "502 Command not implemented.";
    // OPTS UTF8 ON -> 200.
    bool utf8 = false;
    std::string utf8_refusal = "502 Command not implemented.";
  };
  void Offer(Extensions extensions);
  // The feature lines of a server with MLST (type, size, sizd, modify), MDTM, SIZE, UTF8 and
  // REST STREAM; not EPSV, which this server does not answer.
  static std::vector<std::string> ModernFeatures();
  // The server's clock runs `minutes` east of UTC: the times SetFileTime gives are listed in
  // that zone, and a date the tree lists as text ("Mar  5  2001", a FakeFile's date, every
  // directory's) is read in it for MLSD and MDTM.
  void SetServerZone(int minutes);
  // The time `path` (a file or directory added before) was last changed, to the second, in UTC (seconds since the epoch). LIST
  // shows it in the server's zone, with the time of day ("Mar  5 12:34") when it lies less
  // than half a year before the clock's date and a day after it, with the year otherwise.
  void SetFileTime(const std::string& path, int64_t utc_seconds);
  // Raw lines that MLSD sends for `directory` in place of the tree's.
  void SetMlsdListing(const std::string& directory, std::vector<std::string> lines);

  // Faults, each for the rest of the server's life unless said otherwise. Paths are absolute,
  // without a trailing "/".
  //
  // Every `verb` ("LIST", "RETR", "CWD", ...) on `path` is answered `reply` and does nothing
  // else; for LIST the path is the directory the session is in.
  void FailCommand(const std::string& verb, const std::string& path, const std::string& reply);
  // The data connection of a listing of `directory` refuses the connect: the one a PASV
  // announces right after the CWD into it (a TYPE between aside) (a download's PASV follows other commands, so a
  // session that is still there can download files elsewhere by their full paths).
  void RefuseDataIn(const std::string& directory);
  // The first `times` listings of `directory` send only its first `bytes` and then the server
  // closes the session, control connection and all, without a final reply.
  void CutListingOf(const std::string& directory, size_t bytes, int times);
  // Every login after the first `logins` (counted by PASS) is answered 530.
  void RefuseLoginsAfter(int logins);
  // `replied` is called with every reply line the server sends, under its lock. Once it returns
  // true the server falls silent, like a stalled network: it answers no further command and no
  // data flows.
  void OnReply(std::function<bool(const std::string& line)> replied);
  // The session that first asks for the file `path` (RETR) is closed instead of answered, and
  // every login from then on is answered 530.
  void CloseSessionAtRetrOf(const std::string& path);
  // The server goes away at the RETR after the first `downloads`: every session is closed
  // without a reply and every connect from then on is refused.
  void GoAwayAfter(int downloads);
  // Once a session has answered `command` (the whole line, "RETR /pub/a.txt"), the server
  // times it out as idle: "421 Timeout." and the session is closed.
  void TimeOutAfter(const std::string& command);

  std::unique_ptr<Connection> Connect(const std::vector<std::string>& addresses, int port,
                                      SystemError* failure,
                                      const std::function<bool()>& stop_pending,
                                      int timeout_ms) override;

  struct Counts {
    int sessions = 0;        // logged in or not; the refused ones not
    int most_sessions = 0;   // open at once
    int refused = 0;         // greeted 421
    int most_downloads = 0;  // RETRs at once, each from its command until its data connection
                             // is closed
    int stalled_waits = 0;   // waits that only the guard ended
    int logins = 0;          // PASS commands, refused ones too
    int refused_logins = 0;  // answered 530
    int retrs = 0;           // RETR commands
    int open_sessions = 0;   // not yet closed by the client
  };
  Counts counts() const;
  // The commands of each session that was not refused, in the order the sessions opened.
  std::vector<std::vector<std::string>> commands() const;
  bool HasFile(const std::string& path) const;
  bool HasDirectory(const std::string& path) const;

 private:
  friend class MemorySession;
  struct DataEnd;
  struct Session;
  class ControlConnection;
  class DataConnection;
  struct Node {
    bool directory = false;
    FakeFile file{};  // the content, listed and announced sizes, a refused DELE
    std::optional<int64_t> utc{};  // the time it was changed, when set to the second
  };

  void Reply(Session& session, const std::string& line);
  void Answer(Session& session, const std::string& command);
  // Answers `command`, and ends the session after it where a time-out is due there.
  void AnswerCommand(Session& session, const std::string& command);
  void Passive(Session& session);
  void ChangeDirectory(Session& session, const std::string& path);
  void List(Session& session, const std::string& mask);
  void Retrieve(Session& session, const std::string& path);
  void Size(Session& session, const std::string& path);
  void Delete(Session& session, const std::string& path);
  void MakeDirectory(Session& session, const std::string& path);
  void Features(Session& session);
  void MachineList(Session& session, const std::string& path);
  void ModificationTime(Session& session, const std::string& path);
  void Options(Session& session, const std::string& option);
  // The time `node` was changed (UTC), and as the server lists it.
  int64_t UtcTimeOf(const Node& node) const;
  std::string ListedDateOf(const Node& node) const;
  std::string MachineListingOf(const std::string& directory) const;
  // Sends `data` over the session's data connection between the opening reply and 226.
  void Transfer(Session& session, std::string data, const std::string& opening);
  void ReleaseHeldDownloadsWhenEnough();
  void ReleaseHeldDownloads();
  // Waits (the guard aside) until `ready` holds or the client's `stop_pending` (if any) does;
  // the time-out passes on the clock when only the guard ended the wait.
  // `quiet` (if any) says that only the clock can bring what is waited for: the wait then
  // passes on the clock at once, with `pass` (PassOn by default) moving it.
  bool WaitUntil(const std::function<bool()>& ready, int timeout_ms,
                 const std::function<bool()>& stop_pending,
                 const std::function<bool()>& quiet = {},
                 const std::function<bool(int timeout_ms)>& pass = {});
  // Passes up to `timeout_ms` on the clock; true when a later reply of `session` came by then.
  bool PassOn(Session* session, int timeout_ms);
  void ClientClosed(Session& session);
  void DataClosed(DataEnd& end);
  bool Failed(Session& session, const std::string& verb, const std::string& path);
  void Login(Session& session);
  // Closes the session's control connection and ends its announced data connection.
  void EndSession(Session& session);
  void GoAway();
  bool IsDirectory(const std::string& path) const;
  std::string ListingOf(const std::string& directory, const std::string& mask = "") const;

  FakeClock& clock_;
  int round_trip_ms_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Node> nodes_;  // every path but the root "/"
  std::vector<std::shared_ptr<Session>> sessions_;  // the ones not refused
  std::map<int, std::shared_ptr<DataEnd>> passive_ports_;  // announced, not yet connected
  int next_port_ = 40000;
  std::vector<int> nowhere_ports_;  // connects there are never answered
  std::map<std::string, std::vector<std::string>> listings_;  // raw, by directory
  std::map<std::string, std::vector<std::string>> mlsd_listings_;  // raw, by directory
  Extensions extensions_;
  int zone_minutes_ = 0;
  Script script_;
  int session_limit_ = 0;  // 0: none
  int open_sessions_ = 0;
  int hold_downloads_ = 0;
  std::vector<std::function<void()>> held_;  // the deliveries of the held RETRs
  int downloads_now_ = 0;
  std::map<std::pair<std::string, std::string>, std::string> failed_commands_;
  std::vector<std::string> data_refused_in_;
  struct Cut {
    size_t bytes = 0;
    int times = 0;
  };
  std::map<std::string, Cut> cut_listings_;
  int login_limit_ = -1;       // -1: none
  std::function<bool(const std::string&)> on_reply_;
  bool silent_ = false;
  std::string close_at_retr_of_;  // empty: none
  std::string time_out_after_;    // empty: none
  int go_away_after_ = -1;     // -1: never
  bool gone_ = false;
  Counts counts_;
};

// What a script may do with the session whose command it answers. It acts under the server's
// lock, at once; only ReplyAfter waits, on the clock.
class MemorySession {
 public:
  void Reply(const std::string& line);
  // Bytes on the data connection the latest PASV announced; more may follow, and until they
  // do (or CloseData) every wait for them passes by its time-out.
  void SendData(const std::string& bytes);
  // The end of the data connection, after what was sent.
  void CloseData();
  // `line` once the client has closed the data connection: the server sends no more data and
  // waits for the client to give up.
  void ReplyWhenDataClosed(const std::string& line);
  // `line` comes `ms` after now on the clock, on this connection.
  void ReplyAfter(int ms, const std::string& line);
  // Nothing more comes until the client's next command: every wait for a reply passes by its
  // time-out.
  void FallSilent();
  // The server closes the control connection, and the data connection with it.
  void Close();
  // A 227 reply naming a port where a connect is never answered: it fails by its time-out.
  std::string PassiveToNowhere();
  // Adds a file to the tree while the server runs.
  void AddFile(const std::string& path, const std::string& content);
  // The session's number in the order the sessions opened, from 0.
  size_t index() const;

 private:
  friend class MemoryFtpServer;
  MemorySession(MemoryFtpServer& server, MemoryFtpServer::Session& session)
      : server_(server), session_(session) {}
  MemoryFtpServer& server_;
  MemoryFtpServer::Session& session_;
};

}  // namespace koru::testing

#endif  // KORU_TESTS_MEMORY_FTP_SERVER_H_
