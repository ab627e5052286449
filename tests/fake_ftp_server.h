#ifndef KORU_TESTS_FAKE_FTP_SERVER_H_
#define KORU_TESTS_FAKE_FTP_SERVER_H_

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// A scriptable FTP server for tests. It runs in a thread of its own, listens on 127.0.0.1 (or ::1)
// on an ephemeral port, serves one client connection at a time (several in a row), records every
// command line it receives exactly (without its line end) and answers from a script.
//
// Each connection follows a SessionScript: `on_connect` runs when the client connects (the
// greeting); then the i-th command received runs `replies[i]`, and every command after those
// goes to `handler` (by default: QUIT is answered "221 Goodbye." and the connection closed,
// anything else "502 Command not scripted."). Connection i follows the i-th script added with
// AddSession; connections beyond them follow the default script (greeting "220 Fake server
// ready." and the default handler), which SetDefaultSession replaces.
//
// Scripts run in the server thread. Everything they wait for (a pause, a data connection,
// room to send) is bounded and ends at once when the server stops, so a test never hangs on
// the server. The server stops, and its thread is joined, in Stop() or the destructor. Values
// a script stores into variables of the test are safe to read after Stop().
namespace koru::testing {

class FakeFtpSession;

// A step of a script, run in the server thread.
using Action = std::function<void(FakeFtpSession&)>;
// Answers one command line (as received, without CR LF).
using CommandHandler = std::function<void(const std::string& command, FakeFtpSession&)>;

// Sends `line` and CR LF.
Action Reply(std::string line);
// Sends each line followed by CR LF, all in one send (a multi-line reply).
Action ReplyLines(std::vector<std::string> lines);
// Sends `bytes` exactly as given.
Action SendRaw(std::string bytes);
// Waits `ms` milliseconds.
Action Pause(int ms);
// Answers nothing.
Action Silence();
// Closes the control connection; the session ends.
Action Hangup();
// Runs `steps` in order.
Action Steps(std::vector<Action> steps);

// The answer to "QUIT" and to unscripted commands described above.
void DefaultHandler(const std::string& command, FakeFtpSession& session);

// The upper-cased first word of a command line ("RETR" for "retr a.txt").
std::string Verb(std::string_view command);
// What follows the first blank of a command line ("a.txt" for "RETR a.txt").
std::string Argument(std::string_view command);

struct SessionScript {
  std::vector<Action> on_connect;
  std::vector<Action> replies;
  CommandHandler handler = DefaultHandler;
};

// A script: `on_connect`, then `replies` to the first commands, then `handler`.
SessionScript Session(std::vector<Action> on_connect, std::vector<Action> replies = {},
                      CommandHandler handler = DefaultHandler);

// One client connection as the scripts see it: the control connection and at most one data
// connection (passive listener, then the accepted connection).
class FakeFtpSession {
 public:
  FakeFtpSession(int control_fd, int wake_fd);
  ~FakeFtpSession();
  FakeFtpSession(const FakeFtpSession&) = delete;
  FakeFtpSession& operator=(const FakeFtpSession&) = delete;

  // Control connection.
  void Reply(std::string_view line);           // line + CR LF
  void SendRaw(std::string_view bytes);
  void Pause(int ms);                          // ends early when the server stops
  void Close();                                // closes the control connection
  bool closed() const { return control_fd_ < 0; }

  // Data connection. Passive() opens a listener on 127.0.0.1 (closing an earlier data
  // connection) and returns "227 Entering Passive Mode (127,0,0,1,p1,p2)", to be sent with
  // Reply(). AcceptData() waits up to 5 s for the client; false when none came.
  std::string Passive();
  // The same on ::1, returning "229 Entering Extended Passive Mode (|||port|)".
  std::string ExtendedPassive();
  int data_port() const { return data_port_; }
  bool AcceptData();
  void SendData(std::string_view bytes);
  // Sends `first`, waits `pause_ms`, sends `rest`.
  void SendDataWithPause(std::string_view first, int pause_ms, std::string_view rest);
  // Every byte the client sends until it closes the data connection (at most 5 s of silence).
  std::string ReceiveData();
  void CloseData();                            // orderly close (FIN)
  void ResetData();                            // abortive close (RST: SO_LINGER 0)

  // The next command line, false when the client closed the connection or the server stops.
  bool ReadCommand(std::string* command);
  // The lines already received but not read, without waiting (used when the server stops).
  std::vector<std::string> TakeBufferedCommands();
  bool stopping() const;

 private:
  bool WaitFor(int fd, short events, int timeout_ms) const;
  void SendAll(int fd, std::string_view bytes);
  bool TakeLine(std::string* line);

  int control_fd_;
  int wake_fd_;
  int listen_fd_ = -1;
  int data_fd_ = -1;
  int data_port_ = 0;
  std::string received_;  // control bytes not yet split into lines
};

class FakeFtpServer {
 public:
  // Starts listening (on ::1 with `ipv6`) and serving.
  explicit FakeFtpServer(bool ipv6 = false);
  ~FakeFtpServer();
  FakeFtpServer(const FakeFtpServer&) = delete;
  FakeFtpServer& operator=(const FakeFtpServer&) = delete;

  int port() const { return port_; }
  // "127.0.0.1:" + port (or "[::1]:" + port), the server text a client connects to.
  std::string address() const;

  void AddSession(SessionScript script);
  void SetDefaultSession(SessionScript script);

  // Stops serving and joins the thread (a running session ends at once). Lines the client
  // sent before Stop() are recorded. Called again, it does nothing.
  void Stop();

  // Every command line received so far, all connections in order.
  std::vector<std::string> commands() const;
  // The number of client connections accepted so far.
  int connections() const;

 private:
  void Serve();
  void RunSession(int fd, SessionScript script);
  SessionScript ScriptFor(int connection);
  void Record(std::string command);

  const bool ipv6_;
  int listen_fd_ = -1;
  int port_ = 0;
  int wake_pipe_[2] = {-1, -1};  // written once by Stop(); readable from then on
  mutable std::mutex mutex_;
  std::vector<SessionScript> scripts_;
  SessionScript default_script_;
  std::vector<std::string> commands_;
  int connections_ = 0;
  std::thread thread_;
};

}  // namespace koru::testing

#endif  // KORU_TESTS_FAKE_FTP_SERVER_H_
