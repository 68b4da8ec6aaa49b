// Connections to one PostgreSQL database (libpqxx), shared by the threads of a process: the
// store's and the lookup leases' back ends run their statements through it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <pqxx/pqxx>

#include "service/store/lookup_lease.h"

namespace pellucor::service {

// A statement with a name, prepared on a connection the first time it runs there. Every
// statement that takes input goes through one of these: values travel as parameters, never as
// SQL text.
struct PgStatement {
  const char* name;
  const char* sql;
};

template <typename... Args>
pqxx::result Exec(pqxx::transaction_base& t, const PgStatement& statement, Args&&... args) {
  // Declaring a statement the connection knows with the same text does nothing.
  t.conn().prepare(statement.name, statement.sql);
  return t.exec_prepared(statement.name, std::forward<Args>(args)...);
}

// The connection string libpq is given: `uri` with connect_timeout=5 (libpq would otherwise wait
// for an unreachable server without end) and application_name=pellucor-service, unless `uri`
// sets them itself.
std::string ConnectionUri(const std::string& uri);

class PostgresqlPool {
 public:
  PostgresqlPool(std::string uri, int size);
  ~PostgresqlPool();
  PostgresqlPool(const PostgresqlPool&) = delete;
  PostgresqlPool& operator=(const PostgresqlPool&) = delete;

  // Runs `work` in a transaction of its own on a free connection and commits it; waits up to ten
  // seconds for a connection when all are taken. When the connection breaks, `work` runs once
  // more on a new one, so it must be safe to repeat (every statement of the store is). False
  // with `*error` set when it fails. Within a second of a failed attempt to connect, the next
  // call fails at once instead of waiting for the server again.
  bool Run(const std::function<void(pqxx::work&)>& work, std::string* error);

  // A connection of its own, outside the pool (the leases' listener); nothing (and `*error` set)
  // when the server cannot be reached.
  std::unique_ptr<pqxx::connection> Connect(std::string* error);

 private:
  using Clock = std::chrono::steady_clock;
  std::unique_ptr<pqxx::connection> Take(std::string* error);
  void Give(std::unique_ptr<pqxx::connection> connection);

  const std::string uri_;
  const int size_;
  std::mutex mutex_;
  std::condition_variable freed_;
  std::vector<std::unique_ptr<pqxx::connection>> idle_;
  int open_ = 0;  // idle or in use
  Clock::time_point failedAt_{};
  std::string failure_;
};

// The lookup leases of the database `pool` reaches (lookup_lease_postgresql.cpp): a thread of
// their own that listens for the owners' notifications on a connection outside the pool. A
// statement that fails is logged (event=store_error) and `countError` called.
std::unique_ptr<LookupLeases> OpenPostgresqlLeases(std::shared_ptr<PostgresqlPool> pool,
                                                   const LeaseSettings& settings, Post post,
                                                   std::string* error,
                                                   std::function<void()> countError = {});

}  // namespace pellucor::service
