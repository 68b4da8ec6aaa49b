#include "service/serve.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "service/commands.h"
#include "service/core/log.h"
#include "service/core/metrics.h"
#include "service/http/http_server.h"
#include "service/sites/sites.h"
#include "service/store/store.h"
#include "service/swarm/demo_seed.h"
#include "service/swarm/dht_state_file.h"
#include "service/swarm/resolver.h"
#include "service/swarm/tracker_list.h"

namespace pellucor::service {
namespace {

std::string JoinList(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ",") + item;
  return out.empty() ? "(none)" : out;
}

// Each connection slot is a file descriptor, beside the swarm's connections and the store's
// files: the soft limit is raised as far as the hard limit allows. The limit in force.
rlim_t RaiseFileLimit(size_t connections, int fetches) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  const rlim_t wanted = static_cast<rlim_t>(connections) + 40 * static_cast<rlim_t>(fetches) + 256;
  if (limit.rlim_cur < wanted) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur < wanted)
    Log(LogLevel::kWarn, "file_limit",
        {{"limit", static_cast<unsigned long long>(limit.rlim_cur)},
         {"wanted", static_cast<unsigned long long>(wanted)},
         {"note", "fewer descriptors than connection slots; raise the hard limit (ulimit -Hn)"}});
  return limit.rlim_cur;
}

}  // namespace

int Serve(Settings& s) {
  ResolverSettings& resolverSettings = s.resolver;
  if (!s.trackersFile.empty()) {
    std::string trackers;
    if (!ReadFile(s.trackersFile, &trackers)) {
      std::cerr << "pellucor-service: cannot read " << s.trackersFile << "\n";
      return 1;
    }
    resolverSettings.trackers = ParseTrackerList(trackers);
  }
  if (s.publicDht) {
    if (!s.bootstrapGiven) resolverSettings.dhtBootstrap = kPublicDhtRouters;
    const std::string port = std::to_string(s.peerPort > 0 ? s.peerPort : 6881);
    resolverSettings.listenInterfaces = "0.0.0.0:" + port + ",[::]:" + port;
  } else if (s.peerPort > 0) {
    resolverSettings.listenInterfaces = "127.0.0.1:" + std::to_string(s.peerPort);
  }
  if (!s.noAdvert && !s.advertPicture.empty()) {
    if (!ReadFile(s.advertPicture, &s.site.advertPicture)) {
      std::cerr << "pellucor-service: cannot read " << s.advertPicture << "\n";
      return 1;
    }
    s.site.advert = true;
  }

  auto store = OpenStore(s.storeLocation, s.dataDir, s.store);
  if (!store) return 1;
  Metrics metrics;
  store->SetErrorCounter([&metrics] { metrics.CountStoreError(); });
  std::unique_ptr<DemoSeed> seed;
  if (s.demo) {
    std::string error;
    seed = DemoSeed::Start(s.dataDir + "/demo", &error);
    if (!seed) {
      std::cerr << "pellucor-service: " << error << "\n";
      return 1;
    }
    resolverSettings.peers.push_back(seed->Peer());
  }
  const rlim_t fileLimit = RaiseFileLimit(s.http.maxConnections, resolverSettings.maxParallel);

  boost::asio::io_context io(1);
  // The DHT's routing table of the last run, so that a restart finds nodes at once.
  DhtStateFile dhtState(io, s.dataDir + "/dht-state.dat");
  if (resolverSettings.dht) resolverSettings.dhtState = dhtState.Read();
  const bool warm = !resolverSettings.dhtState.empty();

  Resolver resolver(io, resolverSettings);
  if (resolverSettings.dht) dhtState.SaveRegularly([&resolver] { return resolver.DhtState(); });

  std::string leaseError;
  std::unique_ptr<LookupLeases> leases = store->OpenLeases(
      s.lease, [&io](std::function<void()> task) { boost::asio::post(io, std::move(task)); },
      &leaseError);
  if (!leases && !leaseError.empty()) {
    std::cerr << "pellucor-service: " << leaseError << "\n";
    Log(LogLevel::kError, "store_error", {{"during", "leases"}, {"error", leaseError}});
    return 1;
  }
  s.site.metrics = &metrics;
  s.site.cacheBytes = static_cast<size_t>(s.cacheMb) * 1024 * 1024;
  Sites sites(*store, &resolver, s.site, leases.get());
  s.http.onExchange = [&metrics](const ExchangeRecord& r) {
    const std::string_view target = r.target;
    metrics.CountRequest(SiteOfPath(target.substr(0, target.find('?'))), r.status);
    Log(LogLevel::kInfo, "access",
        {{"client", r.client},
         {"method", r.method},
         {"path", LogTarget(r.target)},
         {"status", r.status},
         {"bytes", static_cast<unsigned long long>(r.bytes)},
         {"ms", r.milliseconds}});
  };
  s.http.onRefused = [&metrics](const char* reason) {
    metrics.CountRefusedConnection(reason);
    Log(LogLevel::kDebug, "connection_refused", {{"reason", reason}});
  };
  HttpServer server(io, s.http, [&sites](const Request& r, Responder respond) {
    sites.Handle(r, std::move(respond));
  });
  metrics.AddGauge("pellucor_torrents_stored", "Torrents in the store.",
                   [&store] { return static_cast<double>(store->Count()); });
  metrics.AddGauge("pellucor_cache_bytes", "Memory held by stored torrents kept at hand.",
                   [&sites] { return static_cast<double>(sites.CacheBytes()); });
  metrics.AddGauge("pellucor_dht_nodes", "Nodes in the DHT routing table.",
                   [&resolver] { return static_cast<double>(resolver.DhtNodes()); });
  metrics.AddGauge("pellucor_open_connections", "Client connections open now.",
                   [&server] { return static_cast<double>(server.Connections()); });
  std::string error;
  if (!server.Listen(s.listenHost, static_cast<uint16_t>(s.listenPort), &error)) {
    std::cerr << "pellucor-service: " << error << "\n";
    Log(LogLevel::kError, "listen_failed", {{"error", error}});
    return 1;
  }
  boost::asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code&, int) {
    Log(LogLevel::kInfo, "stop");
    server.Stop();
    dhtState.Stop();
    io.stop();
  });

  std::string proxies;
  for (const auto& address : s.http.trustedProxies)
    proxies += (proxies.empty() ? "" : ",") + address.to_string();
  const std::string dht = resolverSettings.dht ? "from " + JoinList(resolverSettings.dhtBootstrap) +
                                                     (warm ? " and the saved routing table" : "")
                                               : std::string("off");
  const int64_t count = store->Count();
  const bool postgresql = s.storeLocation.rfind("postgres", 0) == 0;
  const char* storeKind = postgresql ? "postgresql" : "sqlite";
  // Never the password of a PostgreSQL URI.
  const std::string storeShown =
      s.storeLocation.empty() ? s.dataDir + "/torrents.sqlite" : Store::Shown(s.storeLocation);
  Log(LogLevel::kInfo, "start",
      {{"listen", s.listenHost + ":" + std::to_string(server.Port())},
       {"data", s.dataDir},
       {"store", storeKind},
       {"store_at", storeShown},
       {"torrents", static_cast<long long>(count)},
       {"lookup_leases", leases != nullptr},
       {"db_connections", postgresql ? s.store.connections : 1},
       {"site_tag", s.site.siteTag},
       {"swarm", s.publicDht ? "public" : "loopback/private"},
       {"peers_on", resolverSettings.listenInterfaces},
       {"dht", dht},
       {"peers", JoinList(resolverSettings.peers)},
       {"tracker_tiers", static_cast<unsigned long>(resolverSettings.trackers.size())},
       {"resolve_timeout", resolverSettings.timeoutSeconds},
       {"max_fetches", resolverSettings.maxParallel},
       {"max_metadata", resolverSettings.maxMetadataBytes},
       {"cache_mb", s.cacheMb},
       {"max_connections", static_cast<unsigned long>(s.http.maxConnections)},
       {"max_client_connections", static_cast<unsigned long>(s.http.maxConnectionsPerClient)},
       {"max_client_lookups", s.site.maxLookupsPerClient},
       {"trusted_proxies", proxies.empty() ? "(none)" : proxies},
       {"advert", s.site.advert},
       {"log_level", LogLevelName(s.logLevel)},
       {"file_limit", static_cast<unsigned long long>(fileLimit)}});
  const std::string shownHost =
      s.listenHost.find(':') != std::string::npos ? "[" + s.listenHost + "]" : s.listenHost;
  std::cout << "pellucor-service: serving http://" << shownHost << ":" << server.Port()
            << "  (store: " << (s.storeLocation.empty() ? s.dataDir : storeShown) << ", " << count
            << " torrents" << (leases ? ", lookups leased" : "") << ")" << std::endl;
  std::cout << "swarm: " << (s.publicDht ? "public" : "loopback/private") << ", peers on "
            << resolverSettings.listenInterfaces << ", DHT " << dht << ", "
            << resolverSettings.trackers.size() << " tracker tiers" << std::endl;
  if (seed)
    std::cout << "demo seed on " << seed->Peer()
              << "\ndemo magnet link (paste it into Pellucor):\n  " << seed->MagnetLink()
              << std::endl;
  io.run();
  return 0;
}

}  // namespace pellucor::service
