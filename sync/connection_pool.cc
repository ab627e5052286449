#include "sync/connection_pool.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "ftp/session.h"

namespace koru {
namespace {

constexpr auto kStopCheck = std::chrono::milliseconds(50);

}  // namespace

ConnectionPool::ConnectionPool(Env& run, SharedConsole& shared, int limit,
                               const std::string& server, const std::string& user,
                               const std::string& password)
    : run_(run), server_(server), user_(user), password_(password) {
  for (int i = 0; i < limit; ++i) {
    all_.push_back(std::make_unique<Connection>(run, shared));
  }
  all_.front()->first = true;
  // The first connection is handed out first; further ones only when it is busy.
  for (auto it = all_.rbegin(); it != all_.rend(); ++it) free_.push_back(it->get());
}

ConnectionPool::Connection* ConnectionPool::TakeFree() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (run_.state.AbortFlag) return nullptr;
    if (!free_.empty()) break;
    if (lent_ == 0) return nullptr;  // every connection is given up: none will come back
    // The user's stop is heard by the run's own thread, which sets AbortFlag: look again soon.
    freed_.wait_for(lock, kStopCheck);
  }
  // One already logged in saves a login.
  auto pick = std::find_if(free_.rbegin(), free_.rend(), [](Connection* c) { return c->logged_in; });
  Connection* connection = pick == free_.rend() ? free_.back() : *pick;
  free_.erase(std::find(free_.begin(), free_.end(), connection));
  ++lent_;
  return connection;
}

std::unique_ptr<ConnectionPool::Lease> ConnectionPool::Acquire() {
  for (;;) {
    Connection* connection = TakeFree();
    if (!connection) return nullptr;
    auto lease = std::make_unique<Lease>(*this, connection);
    if (connection->session.ConnectedFlag == kOn || run_.state.AbortFlag) return lease;
    if (connection->first ? LogInFirst(*connection) : LogInFurther(*connection)) return lease;
    // Given up: the lease hands it back to nobody.
  }
}

bool ConnectionPool::LogInFirst(Connection& connection) {
  if (LogIn(connection, BusyServer::kWaitOut)) return true;
  const std::lock_guard lock(mutex_);
  const bool others_logged_in = std::any_of(all_.begin(), all_.end(), [&](const auto& c) {
    return c.get() != &connection && c->logged_in && !c->given_up;
  });
  if (!others_logged_in) return true;
  connection.given_up = true;
  return false;
}

bool ConnectionPool::LogInFurther(Connection& connection) {
  {
    const std::lock_guard lock(mutex_);
    ++further_logins_;
  }
  const bool logged_in = LogIn(connection, BusyServer::kGiveUp);
  // No reply at all (refused, unreachable, silent) says nothing of how many the server allows.
  const bool server_said_no = !logged_in && connection.session.ConnectFailure.empty();
  if (!logged_in) connection.session.CloseChannel();
  const long allowed = EndFurtherLogin(connection, logged_in, server_said_no);
  if (allowed >= 0 && connection.env.verbose()) {
    connection.env.TimedLine(" * Note: the server allows " + std::to_string(allowed) +
                             " connection" + (allowed == 1 ? "" : "s"));
  }
  return logged_in;
}

long ConnectionPool::EndFurtherLogin(Connection& connection, bool logged_in,
                                     bool server_said_no) {
  const std::lock_guard lock(mutex_);
  --further_logins_;
  if (!logged_in) {
    connection.given_up = true;
    // The connections not yet logged in are given up with this one: the server's limit is
    // reached, or the server cannot be reached at all.
    std::erase_if(free_, [](Connection* c) {
      c->given_up = c->given_up || (!c->first && !c->logged_in);
      return c->given_up;
    });
    if (server_said_no) limit_reached_ = true;
  }
  // A login still under way when the server refused one may yet succeed: the number the server
  // allows is known once none is.
  if (!limit_reached_ || limit_noted_ || further_logins_ > 0) return -1;
  limit_noted_ = true;
  return std::count_if(all_.begin(), all_.end(), [](const auto& c) { return c->logged_in; });
}

void ConnectionPool::CountBytesIn(std::atomic<int64_t>* bytes) {
  for (const auto& connection : all_) connection->env.received_bytes = bytes;
}

bool ConnectionPool::LogInAgain(Lease& lease) {
  Connection& connection = *lease.connection_;
  if (connection.first) return LogInFirst(connection);
  if (LogIn(connection, BusyServer::kGiveUp)) return true;
  connection.session.CloseChannel();
  const std::lock_guard lock(mutex_);
  connection.given_up = true;
  return false;
}

bool ConnectionPool::LogIn(Connection& connection, BusyServer busy) {
  Env& env = connection.env;
  if (env.verbose()) env.TimedLine(" * Connecting to " + server_);
  const bool logged_in = ftpConnect(connection.session, server_, user_, password_, busy) >= 1;
  const std::lock_guard lock(mutex_);
  connection.logged_in = logged_in;
  return logged_in;
}

void ConnectionPool::GiveBack(Connection* connection) {
  {
    std::lock_guard lock(mutex_);
    --lent_;
    if (!connection->given_up) free_.push_back(connection);
  }
  // Waiters also learn when the last connection out was given up.
  freed_.notify_all();
}

void ConnectionPool::QuitAll() {
  std::vector<std::thread> quits;
  for (const auto& connection : all_) {
    if (connection->session.ConnectedFlag != kOn) continue;
    quits.emplace_back([&session = connection->session] { ftpQuit(session); });
  }
  for (std::thread& quit : quits) quit.join();
}

}  // namespace koru
