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
// (and the first one, when it cannot log in again while others are logged in) is given up
// without a word (with -V a note says how many the server allows, when the server
// said no rather than could not be reached), and the run goes on with the ones it has. So is a
// further one the server no longer lets in when it logs in again. Every wait for a connection
// ends when the user stops the run, and when none can come back.
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
    // Kept by the pool under its lock (the session's own flags belong to whoever holds it).
    bool logged_in = false;
    bool given_up = false;
  };

  // A connection lent to one caller; it goes back to the pool when the lease ends.
  class Lease {
   public:
    Lease(ConnectionPool& pool, Connection* connection) : pool_(pool), connection_(connection) {}
    ~Lease() { pool_.GiveBack(connection_); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
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

  // A free connection, logged in where it could be (the first one may have failed to: its
  // session tells why). Waits while every connection is lent. Null once the user has stopped
  // the run, or when no connection is left that could come back.
  std::unique_ptr<Lease> Acquire();

  // Logs the lent connection in again after it was lost (a further one without the busy wait).
  // False when it was not let in while the run has other connections: it is given up, and the
  // lease is to be dropped. True otherwise; when the run's only connection was not let in, its
  // session tells the caller why.
  bool LogInAgain(Lease& lease);

  // Every download of every connection adds the bytes it receives to `bytes`.
  void CountBytesIn(std::atomic<int64_t>* bytes);

  // Ends every connection still logged in with QUIT, all at once.
  void QuitAll();

 private:
  // A free connection taken out of the pool; waits for one. Null on the user's stop, or when
  // none is free or lent.
  Connection* TakeFree();
  // The connecting line (verbose) and the login; true when logged in.
  bool LogIn(Connection& connection, BusyServer busy);
  // Logs in the first connection, with the busy-server wait: true when it is to be lent,
  // logged in or, when no other connection of the run is, with its failure for the caller to
  // tell. False when it is given up while others are logged in.
  bool LogInFirst(Connection& connection);
  // Logs in a further connection; false (it is given up) when the server will not have it.
  bool LogInFurther(Connection& connection);
  // Counts a further login as ended: the connections the server allows once that is known and
  // not yet noted, -1 otherwise. `server_said_no`: the server answered (busy, or refused the
  // login) rather than could not be reached.
  long EndFurtherLogin(Connection& connection, bool logged_in, bool server_said_no);
  void GiveBack(Connection* connection);

  Env& run_;
  const std::string& server_;
  const std::string& user_;
  const std::string& password_;
  std::vector<std::unique_ptr<Connection>> all_;
  std::mutex mutex_;
  std::condition_variable freed_;
  std::vector<Connection*> free_;
  int lent_ = 0;
  int further_logins_ = 0;  // under way
  bool limit_reached_ = false;  // the server refused a further connection
  bool limit_noted_ = false;
};

}  // namespace koru

#endif  // KORU_SYNC_CONNECTION_POOL_H_
