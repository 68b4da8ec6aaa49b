// A PostgreSQL server of the tests' own (Debian's postgresql package): a cluster made with initdb
// in a temporary directory and run on a loopback port, by the user "nobody" when the tests run
// as root (the server refuses to run as root). Nothing is synced to disk; the superuser
// "pellucor" logs in without a password, over TCP only. Stopped and removed with the object.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/process.h"

namespace pellucor::testing {

class PostgresServer {
 public:
  // Nothing (and `*error` set) when the server cannot be made or does not come up.
  static std::unique_ptr<PostgresServer> Start(std::string* error);
  // One server for the whole test program, started on first use (from the main thread, see
  // ChildProcess) and stopped when the program ends; null when it cannot start.
  static PostgresServer* Shared(std::string* error = nullptr);
  ~PostgresServer();

  int Port() const { return port_; }
  // "postgresql://pellucor@127.0.0.1:PORT/DATABASE"
  std::string Uri(const std::string& database) const;
  // A new, empty database of a name no other call gives; its name ("" and `*error` set when it
  // cannot be made).
  std::string CreateDatabase(std::string* error = nullptr);
  // Runs SQL text in `database` as the superuser (tests that look at or damage rows); the rows
  // it returns, each field as text ("(null)" for NULL). False with `*error` set when it fails.
  bool Execute(const std::string& database, const std::string& sql,
               std::vector<std::vector<std::string>>* rows = nullptr, std::string* error = nullptr);

 private:
  PostgresServer() = default;
  std::string dir_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace pellucor::testing
