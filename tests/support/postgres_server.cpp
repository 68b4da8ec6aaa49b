#include "support/postgres_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include <pqxx/pqxx>

#include "support/loopback_swarm.h"

namespace pellucor::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The newest installed server's programs.
std::string BinDir() {
  std::string best;
  int bestVersion = -1;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
    const std::string name = entry.path().filename().string();
    const int version = std::atoi(name.c_str());
    if (version > bestVersion && fs::exists(entry.path() / "bin" / "postgres", ec)) {
      bestVersion = version;
      best = (entry.path() / "bin").string();
    }
  }
  return best;
}

}  // namespace

std::unique_ptr<PostgresServer> PostgresServer::Start(std::string* error) {
  auto fail = [error](const std::string& message) {
    if (error) *error = message;
    return nullptr;
  };
  const std::string bin = BinDir();
  if (bin.empty()) return fail("no PostgreSQL server under /usr/lib/postgresql");
  std::unique_ptr<PostgresServer> server(new PostgresServer());
  char dir[] = "/tmp/pellucor-postgres-XXXXXX";
  if (!::mkdtemp(dir)) return fail("mkdtemp failed");
  server->dir_ = dir;
  // The server refuses to run as root.
  const std::string user = ::geteuid() == 0 ? "nobody" : "";
  if (!user.empty()) {
    const passwd* account = ::getpwnam(user.c_str());
    if (!account || ::chown(dir, account->pw_uid, account->pw_gid) != 0)
      return fail("cannot hand " + server->dir_ + " to the user " + user);
  }
  const std::string data = server->dir_ + "/data";
  const std::string log = server->dir_ + "/server.log";
  const ProgramRun initdb = RunProgram(bin + "/initdb",
                                       {"-D", data, "-U", "pellucor", "-A", "trust", "-E", "UTF8",
                                        "--no-locale", "--no-sync", "--no-instructions"},
                                       {.timeoutSeconds = 120, .user = user});
  if (initdb.exitCode != 0) return fail("initdb failed: " + initdb.out + initdb.err);
  // A port taken between the choice and the server's start: another one.
  for (int attempt = 0; attempt < 3; ++attempt) {
    server->port_ = FreePort();
    server->process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{bin + "/postgres", "-D", data, "-p", std::to_string(server->port_),
                                 "-c", "listen_addresses=127.0.0.1", "-c",
                                 "unix_socket_directories=", "-c", "fsync=off", "-c",
                                 "synchronous_commit=off", "-c", "full_page_writes=off", "-c",
                                 "max_connections=200", "-c", "shared_buffers=32MB"},
        log, log, user);
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
    while (server->process_->Running() && Clock::now() < deadline) {
      try {
        pqxx::connection probe(server->Uri("postgres"));
        return server;
      } catch (const std::exception&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
    server->process_->Stop(std::chrono::seconds(5), SIGINT);
  }
  return fail("the PostgreSQL server did not come up: " + ReadWholeFile(log));
}

PostgresServer* PostgresServer::Shared(std::string* error) {
  static std::string failure;
  static std::unique_ptr<PostgresServer> shared = Start(&failure);
  if (!shared && error) *error = failure;
  return shared.get();
}

PostgresServer::~PostgresServer() {
  // Fast shutdown: sessions still open are ended rather than waited for.
  if (process_) process_->Stop(std::chrono::seconds(10), SIGINT);
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

std::string PostgresServer::Uri(const std::string& database) const {
  return "postgresql://pellucor@127.0.0.1:" + std::to_string(port_) + "/" + database;
}

std::string PostgresServer::CreateDatabase(std::string* error) {
  static std::atomic<int> count{0};
  const std::string name = "test_" + std::to_string(::getpid()) + "_" + std::to_string(count++);
  // CREATE DATABASE runs outside a transaction.
  if (!Execute("postgres", "CREATE DATABASE " + name, nullptr, error)) return "";
  return name;
}

bool PostgresServer::Execute(const std::string& database, const std::string& sql,
                             std::vector<std::vector<std::string>>* rows, std::string* error) {
  try {
    pqxx::connection connection(Uri(database));
    pqxx::nontransaction transaction(connection);
    const pqxx::result result = transaction.exec(sql);
    if (rows) {
      rows->clear();
      for (const pqxx::row& row : result) {
        std::vector<std::string> fields;
        for (const pqxx::field& field : row)
          fields.push_back(field.is_null() ? "(null)" : field.as<std::string>());
        rows->push_back(std::move(fields));
      }
    }
    return true;
  } catch (const std::exception& e) {
    if (error) *error = e.what();
    return false;
  }
}

}  // namespace pellucor::testing
