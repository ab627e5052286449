#ifndef KORU_SYNC_CONNECTION_POOL_H_
#define KORU_SYNC_CONNECTION_POOL_H_

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ftp/ftp_session.h"
#include "ftp/session.h"
#include "run/env.h"
#include "sync/shared_console.h"

namespace koru {

// Up to a number of control connections of one run, each logged in once and kept for the whole
// run (again only after it was lost), handed to one caller at a time. The first connection keeps
// the busy-server wait; a further one that the server refuses, answers busy or does not log in
// is given up without a word (with -V a note says how many the server allows), and the run goes
// on with the ones it has.
class ConnectionPool {
 public:
  struct Connection {
    Connection(Env& run, SharedConsole& shared) : console(shared), env(run, console), session(env) {
      session.SkipsRepeatedType = true;
    }
    ConnectionConsole console;
    Env env;
    Session session;
    bool first = false;
  };

  // A connection lent to one caller; it goes back to the pool when the lease ends.
  class Lease {
   public:
    Lease(ConnectionPool& pool, Connection* connection) : pool_(pool), connection_(connection) {}
    ~Lease() { pool_.GiveBack(connection_); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    // True when the connection is logged in; false when even the first could not log in.
    bool logged_in() const { return connection_->session.ConnectedFlag == kOn; }
    Session& session() { return connection_->session; }
    Env& env() { return connection_->env; }
    ConnectionConsole& console() { return connection_->console; }

   private:
    friend class ConnectionPool;
    ConnectionPool& pool_;
    Connection* connection_;
  };

  ConnectionPool(Env& run, SharedConsole& shared, int limit, const std::string& server,
                 const std::string& user, const std::string& password);
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // A free connection, logged in where it could be (see Lease::logged_in). Waits while every
  // connection is lent.
  std::unique_ptr<Lease> Acquire();

  // Logs the lent connection in again after it was lost (a further one without the busy wait).
  void LogInAgain(Lease& lease);

  // Every download of every connection adds the bytes it receives to `bytes`.
  void CountBytesIn(std::atomic<int64_t>* bytes);

  // Ends every connection still logged in with QUIT, all at once.
  void QuitAll();

 private:
  // A free connection taken out of the pool; waits for one.
  Connection* TakeFree();
  // The connecting line (verbose) and the login; true when logged in.
  bool LogIn(Connection& connection, BusyServer busy);
  // Logs in a further connection; false (it is given up) when the server will not have it.
  bool LogInFurther(Connection& connection);
  // Counts a further login as ended: the connections the server allows once that is known and
  // not yet noted, -1 otherwise.
  long EndFurtherLogin(bool logged_in);
  void GiveBack(Connection* connection);

  Env& run_;
  const std::string& server_;
  const std::string& user_;
  const std::string& password_;
  std::vector<std::unique_ptr<Connection>> all_;
  std::mutex mutex_;
  std::condition_variable freed_;
  std::vector<Connection*> free_;
  int further_logins_ = 0;  // under way
  bool limit_reached_ = false;  // the server refused a further connection
  bool limit_noted_ = false;
};

}  // namespace koru

#endif  // KORU_SYNC_CONNECTION_POOL_H_
