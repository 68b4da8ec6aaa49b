// The lookup broker: the stored torrent of a hash for the clients that ask, from the torrent
// cache, or else from the swarm (stored first). Requests for one hash wait on one lookup; a
// lookup whose every waiting client hung up is cancelled, unless the swarm already handed the
// metadata over (then it is stored). A client may have `maxLookupsPerClient` lookups waiting at
// once; more end at once with kTooManyLookups. Every lookup ends with an outcome (outcome.h): it
// is logged (event=lookup), counted, and a miss is remembered for a minute (a repeat is answered
// with it at once).
//
// Before searching, a lookup asks the lookup leases whether this instance should: with a store
// several instances share, only the one holding the hash's lease searches; the others wait for
// it (counted against their clients' lookups, and cancelled like a search when they all hang up)
// and answer from the store or with that instance's miss. A lease that comes for a lookup that
// is gone goes straight back; a cancelled search hands its lease back too.
//
// Runs on the io thread (serve.cpp): the fetcher's and the leases' answers come posted there.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "service/core/metrics.h"
#include "service/http/http_server.h"
#include "service/lookup/miss_memory.h"
#include "service/lookup/torrent_cache.h"
#include "service/store/lookup_lease.h"
#include "service/swarm/fetcher.h"

namespace pellucor::service {

struct LookupSettings {
  int maxLookupsPerClient = 4;  // lookups waiting for one client address; 0: no limit
  // Called once for every lookup that finished (store hits included), after its log line.
  std::function<void(const std::string& hash, const LookupReport& report)> onLookup;
};

class Lookups {
 public:
  using Torrent = TorrentCache::Torrent;
  // The torrent (null for a miss) and how the lookup ended.
  using Done = std::function<void(Torrent, const LookupReport&)>;

  Lookups(TorrentCache& cache, Fetcher& fetcher, LookupLeases& leases, Metrics& metrics,
          LookupSettings settings);
  Lookups(const Lookups&) = delete;
  Lookups& operator=(const Lookups&) = delete;

  // The stored torrent of `hash` (40 or 64 lower-case hex) for the client `respond` answers:
  // `done` runs at once for a store hit, a miss of the last minute or a client over its
  // lookups, else when the lookup ends; never when the client hung up first. `sources` (a
  // link's trackers and peers) join the swarm's search; a request that names some is not
  // answered with a recent miss.
  void Lookup(const std::string& hash, const Responder& respond, Done done,
              const FetchSources& sources = {});
  // The report of a lookup of `hash` that missed within the last minute; null when none did.
  const LookupReport* RecentMiss(const std::string& hash) { return misses_.Recent(hash); }
  // True while the swarm can be asked (the health check).
  bool SwarmRunning() const { return fetcher_.Running(); }

 private:
  struct Waiter {
    uint64_t id;
    std::string client;
    Done done;
  };
  struct Pending {
    uint64_t lookup = 0;        // tells this lookup from a later one of the same hash
    bool waitingLease = false;  // for another instance's search, not the swarm
    bool leased = false;        // the search holds the hash's lease
    uint64_t ticket = 0;        // the swarm fetch, while searching
    FetchSources sources;       // what the waiters' links named, until the search starts
    std::chrono::steady_clock::time_point since;
    std::vector<Waiter> waiters;
  };

  // Asks the swarm for the pending lookup of `hash`; `leased`: this instance holds the hash's
  // lease, released once what the search found is stored.
  void Search(const std::string& hash, bool leased);
  // The lease answered for the pending lookup numbered `lookup`: search, or answer its waiters.
  void LeaseTurned(const std::string& hash, uint64_t lookup, const LeaseTurn& turn);
  void Fetched(const std::string& hash, FetchResult result);
  // The client of `waiter` hung up.
  void Abandon(const std::string& hash, uint64_t waiter);
  // Ends a lookup of `hash` that `waiters` waited for: their clients' places are given back,
  // `report` is logged and counted, and each waiter gets `found`.
  void Answer(const std::string& hash, std::vector<Waiter> waiters, const Torrent& found,
              const LookupReport& report);
  void Finished(const std::string& hash, const LookupReport& report);
  void GiveBack(const std::string& client);

  TorrentCache& cache_;
  Fetcher& fetcher_;
  LookupLeases& leases_;
  Metrics& metrics_;
  const LookupSettings settings_;
  MissMemory misses_{std::chrono::seconds(60)};
  std::unordered_map<std::string, Pending> pending_;  // by hash
  std::unordered_map<std::string, int> clientLookups_;
  uint64_t lastWaiter_ = 0;
  uint64_t lastLookup_ = 0;
};

}  // namespace pellucor::service
