// Where the lookups get metadata they do not have: the swarm (Resolver), or nothing at all
// (a service without a swarm, and tests). The lookups hold one and never check for its absence.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "service/core/outcome.h"

namespace pellucor::service {

struct FetchResult {
  LookupReport report;                 // kFound* with `torrent`, else why not
  std::optional<std::string> torrent;  // the .torrent bytes
};

// What a magnet link names beside its hash, for its own lookup: announce URLs, and peers as
// literal addresses ("1.2.3.4:6881", "[::1]:6881"; host names are not looked up, and anything
// else is passed over). The caller decides which of them it may dial.
struct FetchSources {
  std::vector<std::string> trackers;
  std::vector<std::string> peers;
};

class Fetcher {
 public:
  virtual ~Fetcher() = default;
  // Looks for the torrent of `infoHash` (40 or 64 hex digits, either case) for the client at
  // address `client` (whose fetches take turns with other addresses'), asking `sources` besides
  // the fetcher's own. `done` runs once, always posted, never within the call. Returns a ticket
  // for Cancel (0 for an answer that is already on its way).
  virtual std::uint64_t Fetch(const std::string& infoHash, const FetchSources& sources,
                              const std::string& client, std::function<void(FetchResult)> done) = 0;
  std::uint64_t Fetch(const std::string& infoHash, const FetchSources& sources,
                      std::function<void(FetchResult)> done) {
    return Fetch(infoHash, sources, std::string(), std::move(done));
  }
  std::uint64_t Fetch(const std::string& infoHash, std::function<void(FetchResult)> done) {
    return Fetch(infoHash, FetchSources{}, std::string(), std::move(done));
  }
  // Adds `sources` to the fetch of `infoHash` under way (running or waiting its turn); nothing
  // when there is none.
  virtual void AddSources(const std::string& infoHash, const FetchSources& sources) = 0;
  // Withdraws the request of `ticket`: its `done` is never run. False, and nothing withdrawn,
  // once the result was handed on: `done` will run.
  virtual bool Cancel(std::uint64_t ticket) = 0;
  // True while metadata can be fetched (the health check).
  virtual bool Running() const = 0;
  // Nodes in the DHT's routing table, as last counted.
  virtual int DhtNodes() const = 0;
};

}  // namespace pellucor::service
