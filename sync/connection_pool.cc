#include "sync/connection_pool.h"

#include <algorithm>
#include <thread>

#include "ftp/session.h"

namespace koru {

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
  freed_.wait(lock, [&] { return !free_.empty(); });
  // One already logged in saves a login.
  auto pick = std::find_if(free_.rbegin(), free_.rend(),
                           [](Connection* c) { return c->session.ConnectedFlag == kOn; });
  Connection* connection = pick == free_.rend() ? free_.back() : *pick;
  free_.erase(std::find(free_.begin(), free_.end(), connection));
  return connection;
}

std::unique_ptr<ConnectionPool::Lease> ConnectionPool::Acquire() {
  for (;;) {
    Connection* connection = TakeFree();
    if (connection->session.ConnectedFlag == kOn || run_.state.AbortFlag) {
      return std::make_unique<Lease>(*this, connection);
    }
    if (connection->first) {
      LogIn(*connection, BusyServer::kWaitOut);
      return std::make_unique<Lease>(*this, connection);
    }
    if (LogInFurther(*connection)) return std::make_unique<Lease>(*this, connection);
  }
}

bool ConnectionPool::LogInFurther(Connection& connection) {
  {
    const std::lock_guard lock(mutex_);
    ++further_logins_;
  }
  const bool logged_in = LogIn(connection, BusyServer::kGiveUp);
  if (!logged_in) connection.session.CloseChannel();
  const long allowed = EndFurtherLogin(logged_in);
  if (allowed >= 0 && connection.env.verbose()) {
    connection.env.TimedLine(" * Note: the server allows " + std::to_string(allowed) +
                             " connection" + (allowed == 1 ? "" : "s"));
  }
  return logged_in;
}

long ConnectionPool::EndFurtherLogin(bool logged_in) {
  const std::lock_guard lock(mutex_);
  --further_logins_;
  if (!logged_in) {
    limit_reached_ = true;
    // The server's limit is reached: the connections not yet logged in are given up with this
    // one.
    std::erase_if(free_,
                  [](Connection* c) { return !c->first && c->session.ConnectedFlag != kOn; });
  }
  // A login still under way when the server refused one may yet succeed: the number the server
  // allows is known once none is.
  if (!limit_reached_ || limit_noted_ || further_logins_ > 0) return -1;
  limit_noted_ = true;
  return std::count_if(all_.begin(), all_.end(),
                       [](const auto& c) { return c->session.ConnectedFlag == kOn; });
}

void ConnectionPool::CountBytesIn(std::atomic<int64_t>* bytes) {
  for (const auto& connection : all_) connection->env.received_bytes = bytes;
}

void ConnectionPool::LogInAgain(Lease& lease) {
  Connection& connection = *lease.connection_;
  LogIn(connection, connection.first ? BusyServer::kWaitOut : BusyServer::kGiveUp);
}

bool ConnectionPool::LogIn(Connection& connection, BusyServer busy) {
  Env& env = connection.env;
  if (env.verbose()) env.TimedLine(" * Connecting to " + server_);
  return ftpConnect(connection.session, server_, user_, password_, busy) >= 1;
}

void ConnectionPool::GiveBack(Connection* connection) {
  {
    std::lock_guard lock(mutex_);
    free_.push_back(connection);
  }
  freed_.notify_one();
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
