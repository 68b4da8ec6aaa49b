// The command line of pellucor-service, read by one table of options (options.cpp): each takes
// its value strictly (whole numbers in range, ADDR:PORT with a port of 1 to 65535, known
// words), belongs to the commands it names, and anything else ends the program with a message
// naming the option and exit status 2.
#pragma once

#include <string>
#include <vector>

#include "service/core/log.h"
#include "service/http/http_server.h"
#include "service/lookup/lookups.h"
#include "service/sites/sites.h"
#include "service/store/lookup_lease.h"
#include "service/store/store.h"
#include "service/swarm/resolver.h"

namespace pellucor::service {

// Everything the command line sets.
struct Settings {
  std::string command = "serve";
  std::string listenHost = "127.0.0.1";
  int listenPort = 8600;
  std::string dataDir = "pellucor-data";
  std::string storeLocation;  // empty: the SQLite file in dataDir
  std::string migrateFrom, migrateTo;
  StoreOptions store;
  LeaseSettings lease;
  std::string advertPicture;
  std::string trackersFile;
  SiteSettings site;
  LookupSettings lookup;
  ResolverSettings resolver;
  HttpServerSettings http;
  bool noAdvert = false, demo = false, publicDht = false, bootstrapGiven = false;
  int peerPort = 0;  // 0: not given
  LogLevel logLevel = LogLevel::kInfo;
  int cacheMb = 256;
  std::vector<std::string> files;  // import
};

// The settings of `args` (the command line without the program's name). "--help" prints the
// usage and exits with status 0; a bad command line prints why and exits with status 2.
Settings ParseCommandLine(std::vector<std::string> args);

}  // namespace pellucor::service
