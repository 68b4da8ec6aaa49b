// pellucor-service serve: the parts of the service wired together, until SIGINT or SIGTERM.
//
// Threads. One io_context thread (this one, in io.run()) runs the HTTP server, the sites, the
// lookups, the torrent cache and the store calls that answer requests; what those classes own
// is touched on that thread only and needs no lock. Whatever runs elsewhere hands its result
// over with `post` to that thread: libtorrent's alerts (the resolver), the PostgreSQL lease
// listener thread (the lookup leases' answers, and the store errors it meets). Each class's
// header says in one line which side it is on.
#include "service/serve.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>

#include "service/commands.h"
#include "service/core/log.h"
#include "service/core/metrics.h"
#include "service/http/http_server.h"
#include "service/lookup/lookups.h"
#include "service/lookup/null_leases.h"
#include "service/lookup/torrent_cache.h"
#include "service/sites/forms.h"
#include "service/sites/sites.h"
#include "service/store/store.h"
#include "service/store/stored_count.h"
#include "service/swarm/demo_seed.h"
#include "service/swarm/dht_state_file.h"
#include "service/swarm/resolver.h"
#include "service/swarm/session_settings.h"
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

// The command line's files and swarm switches read into the settings: the trackers, the public
// DHT or a private peer port, the advert picture. False, said on standard error, when a file
// cannot be read.
bool ReadSettingsFiles(Settings& s) {
  ResolverSettings& swarm = s.resolver;
  if (!s.trackersFile.empty()) {
    std::string trackers;
    if (!ReadFile(s.trackersFile, &trackers)) {
      std::cerr << "pellucor-service: cannot read " << s.trackersFile << "\n";
      return false;
    }
    swarm.trackers = ParseTrackerList(trackers);
  }
  if (s.publicDht) {
    if (!s.bootstrapGiven) swarm.dhtBootstrap = kPublicDhtRouters;
    const std::string port = std::to_string(s.peerPort > 0 ? s.peerPort : 6881);
    swarm.listenInterfaces = "0.0.0.0:" + port + ",[::]:" + port;
  } else if (s.peerPort > 0) {
    swarm.listenInterfaces = "127.0.0.1:" + std::to_string(s.peerPort);
  }
  // A service of a closed swarm may dial what its clients' links name there.
  swarm.closedSourcesAllowed = ClosedSwarm(swarm.dhtBootstrap);
  if (!s.noAdvert && !s.advertPicture.empty()) {
    if (!ReadFile(s.advertPicture, &s.site.advertPicture)) {
      std::cerr << "pellucor-service: cannot read " << s.advertPicture << "\n";
      return false;
    }
    s.site.advert = true;
  }
  return true;
}

// Every finished exchange counted by site and status, and logged (event=access).
std::function<void(const ExchangeRecord&)> AccessLog(Metrics& metrics, const Sites& sites) {
  return [&metrics, &sites](const ExchangeRecord& r) {
    metrics.CountRequest(sites.SiteOf(PathOf(r.target)), r.status);
    Log(LogLevel::kInfo, "access",
        {{"client", r.client},
         {"method", r.method},
         {"path", LogTarget(r.target)},
         {"status", r.status},
         {"bytes", static_cast<unsigned long long>(r.bytes)},
         {"ms", r.milliseconds}});
  };
}

// Every connection closed before a request, counted by reason and logged at debug level.
std::function<void(const char*)> RefusalLog(Metrics& metrics) {
  return [&metrics](const char* reason) {
    metrics.CountRefusedConnection(reason);
    Log(LogLevel::kDebug, "connection_refused", {{"reason", reason}});
  };
}

void AddGauges(Metrics& metrics, const StoredCount& stored, const TorrentCache& cache,
               const Fetcher& swarm, const HttpServer& server) {
  metrics.AddGauge("pellucor_torrents_stored", "Torrents in the store (counted once a minute).",
                   [&stored] { return static_cast<double>(stored.Value()); });
  metrics.AddGauge("pellucor_cache_bytes", "Memory held by stored torrents kept at hand.",
                   [&cache] { return static_cast<double>(cache.Bytes()); });
  metrics.AddGauge("pellucor_dht_nodes", "Nodes in the DHT routing table.",
                   [&swarm] { return static_cast<double>(swarm.DhtNodes()); });
  metrics.AddGauge("pellucor_open_connections", "Client connections open now.",
                   [&server] { return static_cast<double>(server.Connections()); });
}

// What the start-up lines say besides the settings.
struct Started {
  uint16_t port = 0;
  int64_t torrents = 0;
  bool leased = false;  // lookup leases of a shared store
  bool warmDht = false;
  rlim_t fileLimit = 0;
  const DemoSeed* seed = nullptr;
};

// The start-up settings as one log line (event=start), and on standard output the address
// (scripts and tests wait for "pellucor-service: serving http://"), the swarm and the demo link.
void AnnounceStart(const Settings& s, const Started& started) {
  const ResolverSettings& swarm = s.resolver;
  std::string proxies;
  for (const auto& address : s.http.trustedProxies)
    proxies += (proxies.empty() ? "" : ",") + address.to_string();
  const std::string dht = swarm.dht ? "from " + JoinList(swarm.dhtBootstrap) +
                                          (started.warmDht ? " and the saved routing table" : "")
                                    : std::string("off");
  const bool postgresql = s.storeLocation.rfind("postgres", 0) == 0;
  // Never the password of a PostgreSQL URI.
  const std::string storeShown =
      s.storeLocation.empty() ? s.dataDir + "/torrents.sqlite" : Store::Shown(s.storeLocation);
  Log(LogLevel::kInfo, "start",
      {{"listen", s.listenHost + ":" + std::to_string(started.port)},
       {"data", s.dataDir},
       {"store", postgresql ? "postgresql" : "sqlite"},
       {"store_at", storeShown},
       {"torrents", static_cast<long long>(started.torrents)},
       {"lookup_leases", started.leased},
       {"db_connections", postgresql ? s.store.connections : 1},
       {"site_tag", s.site.siteTag},
       {"swarm", s.publicDht ? "public" : "loopback/private"},
       {"peers_on", swarm.listenInterfaces},
       {"dht", dht},
       {"peers", JoinList(swarm.peers)},
       {"tracker_tiers", static_cast<unsigned long>(swarm.trackers.size())},
       {"resolve_timeout", swarm.timeoutSeconds},
       {"max_fetches", swarm.maxParallel},
       {"max_metadata", swarm.maxMetadataBytes},
       {"cache_mb", s.cacheMb},
       {"max_connections", static_cast<unsigned long>(s.http.maxConnections)},
       {"max_client_connections", static_cast<unsigned long>(s.http.maxConnectionsPerClient)},
       {"max_client_lookups", s.lookup.maxLookupsPerClient},
       {"trusted_proxies", proxies.empty() ? "(none)" : proxies},
       {"advert", s.site.advert},
       {"log_level", LogLevelName(s.logLevel)},
       {"file_limit", static_cast<unsigned long long>(started.fileLimit)}});
  const std::string shownHost =
      s.listenHost.find(':') != std::string::npos ? "[" + s.listenHost + "]" : s.listenHost;
  std::cout << "pellucor-service: serving http://" << shownHost << ":" << started.port
            << "  (store: " << (s.storeLocation.empty() ? s.dataDir : storeShown) << ", "
            << started.torrents << " torrents" << (started.leased ? ", lookups leased" : "") << ")"
            << std::endl;
  std::cout << "swarm: " << (s.publicDht ? "public" : "loopback/private") << ", peers on "
            << swarm.listenInterfaces << ", DHT " << dht << ", " << swarm.trackers.size()
            << " tracker tiers" << std::endl;
  if (started.seed)
    std::cout << "demo seed on " << started.seed->Peer()
              << "\ndemo magnet link (paste it into Pellucor):\n  " << started.seed->MagnetLink()
              << std::endl;
}

}  // namespace

int Serve(Settings& s) {
  if (!ReadSettingsFiles(s)) return 1;
  // First in, last out: whatever posts to it goes before it.
  boost::asio::io_context io(1);
  const Post post = [&io](std::function<void()> task) { boost::asio::post(io, std::move(task)); };
  auto store = OpenStore(s.storeLocation, s.dataDir, s.store);
  if (!store) return 1;
  Metrics metrics;
  // Some store errors happen on the lease thread: each is counted on the io thread.
  store->SetErrorCounter([post, &metrics] { post([&metrics] { metrics.CountStoreError(); }); });
  Started started;
  std::unique_ptr<DemoSeed> seed;
  if (s.demo) {
    std::string error;
    seed = DemoSeed::Start(s.dataDir + "/demo", &error);
    if (!seed) {
      std::cerr << "pellucor-service: " << error << "\n";
      return 1;
    }
    s.resolver.peers.push_back(seed->Peer());
    started.seed = seed.get();
  }
  started.fileLimit = RaiseFileLimit(s.http.maxConnections, s.resolver.maxParallel);

  // The DHT's routing table of the last run, so that a restart finds nodes at once.
  DhtStateFile dhtState(io, s.dataDir + "/dht-state.dat");
  if (s.resolver.dht) s.resolver.dhtState = dhtState.Read();
  started.warmDht = !s.resolver.dhtState.empty();
  Resolver resolver(io, s.resolver);
  if (s.resolver.dht) dhtState.SaveRegularly([&resolver] { return resolver.DhtState(); });

  std::string leaseError;
  const std::unique_ptr<LookupLeases> shared = store->OpenLeases(s.lease, post, &leaseError);
  if (!shared && !leaseError.empty()) {
    Log(LogLevel::kError, "store_error", {{"during", "leases"}, {"error", leaseError}});
    return 1;
  }
  NullLeases ownStore(post);
  started.leased = shared != nullptr;
  TorrentCache cache(*store, static_cast<size_t>(s.cacheMb) * 1024 * 1024, metrics);
  Lookups lookups(cache, resolver, shared ? *shared : static_cast<LookupLeases&>(ownStore), metrics,
                  s.lookup);
  Sites sites(lookups, cache, metrics, s.site);
  s.http.onExchange = AccessLog(metrics, sites);
  s.http.onRefused = RefusalLog(metrics);
  HttpServer server(io, s.http, [&sites](const Request& r, Responder respond) {
    sites.Handle(r, std::move(respond));
  });
  const StoredCount stored(*store, post);
  AddGauges(metrics, stored, cache, resolver, server);
  std::string error;
  if (!server.Listen(s.listenHost, static_cast<uint16_t>(s.listenPort), &error)) {
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
  started.port = server.Port();
  started.torrents = stored.Value();
  AnnounceStart(s, started);
  io.run();
  return 0;
}

}  // namespace pellucor::service
