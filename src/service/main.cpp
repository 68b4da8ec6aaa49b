// pellucor-service: the web services of the Pellucor desktop tool, on one address.
//
//   pellucor-service [serve] [options]     serve the three sites (Ctrl-C stops)
//   pellucor-service import [--data DIR] [--store STORE] FILE...
//                                          check .torrent files and add them to the store
//   pellucor-service migrate --from STORE --to STORE
//                                          copy every torrent of one store into another
//   pellucor-service check [--data DIR] [--store STORE]
//                                          the store's consistency check
//
// Options are read by one table (options.h): each takes its value strictly (whole numbers
// in range, ADDR:PORT with a port of 1 to 65535, known words), belongs to the commands it names,
// and anything else ends the program with a message naming the option and exit status 2.
#include <string>
#include <vector>

#include "service/commands.h"
#include "service/core/log.h"
#include "service/options.h"
#include "service/serve.h"

int main(int argc, char** argv) {
  using namespace pellucor::service;
  Settings s = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  SetLogLevel(s.logLevel);
  if (s.command == "import") {
    auto store = OpenStore(s.storeLocation, s.dataDir);
    return store ? Import(*store, s.files) : 1;
  }
  if (s.command == "migrate") {
    auto from = OpenStore(s.migrateFrom, s.dataDir);
    auto to = from ? OpenStore(s.migrateTo, s.dataDir) : nullptr;
    return to ? Migrate(*from, *to) : 1;
  }
  if (s.command == "check") {
    auto store = OpenStore(s.storeLocation, s.dataDir);
    return store ? Check(*store) : 1;
  }
  return Serve(s);
}
