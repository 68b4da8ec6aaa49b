// The tests' PostgreSQL server as a program, for the benchmark scripts: starts it, makes an
// empty database, prints "ready postgresql://…/DATABASE" and runs until SIGTERM or SIGINT, then
// stops the server and removes its directory.
#include <signal.h>

#include <iostream>
#include <string>

#include "support/postgres_server.h"

int main() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  std::string error;
  auto server = pellucor::testing::PostgresServer::Start(&error);
  const std::string database = server ? server->CreateDatabase(&error) : "";
  if (database.empty()) {
    std::cerr << "postgres_server: " << error << "\n";
    return 1;
  }
  std::cout << "ready " << server->Uri(database) << std::endl;
  int signal = 0;
  sigwait(&stop, &signal);
  return 0;
}
