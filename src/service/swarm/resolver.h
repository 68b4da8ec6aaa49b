// Fetching a torrent's metadata from the BitTorrent swarm (DHT, trackers, listed peers and the
// BEP 9/10 metadata exchange) with libtorrent: nothing is downloaded but the info dictionary.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <libtorrent/settings_pack.hpp>

#include "service/core/outcome.h"
#include "service/swarm/fetcher.h"

namespace pellucor::service {

// The routers a DHT joining the public swarm starts from.
inline const std::vector<std::string> kPublicDhtRouters = {
    "dht.libtorrent.org:25401", "router.bittorrent.com:6881", "dht.transmissionbt.com:6881",
    "router.utorrent.com:6881"};

struct ResolverSettings {
  bool dht = true;
  // "host:port" nodes the DHT starts from; they replace libtorrent's public default. Tests
  // and the demo give loopback nodes.
  std::vector<std::string> dhtBootstrap;
  // The DHT state a previous session saved (DhtState()); empty for a cold start.
  std::string dhtState;
  // Peers to ask directly, besides those the DHT finds ("host:port"; for loopback swarms).
  std::vector<std::string> peers;
  // Announce URLs every lookup asks, by tier; a fetched torrent carries them as "announce" and
  // "announce-list".
  std::vector<std::vector<std::string>> trackers;
  std::string listenInterfaces = "127.0.0.1:0";  // libtorrent's listen_interfaces
  int timeoutSeconds = 20;
  int maxParallel = 16;                     // fetches running at once; more wait their turn
  int maxMetadataBytes = 30 * 1024 * 1024;  // larger info dictionaries are refused
};

// The settings every libtorrent session of the service starts from: listening on
// `listenInterfaces`; the DHT on when `dht` is set, starting from `dhtBootstrap` alone (the
// public default node is replaced, so a closed swarm stays closed); no local peer discovery or
// port mapping; several connections to one address (loopback swarms). When every bootstrap node
// is loopback or private (names are resolved), many nodes share an address: libtorrent's rules
// against crowded address ranges, its per-address flood guard and its DHT upload cap are
// relaxed, or it drops most of such a swarm's nodes and packets.
lt::settings_pack SessionSettings(const std::string& listenInterfaces, bool dht,
                                  const std::vector<std::string>& dhtBootstrap);

class Resolver final : public Fetcher {
 public:
  // Starts the libtorrent session at once, so the DHT fills before the first lookup. Callbacks
  // run on `io`.
  Resolver(boost::asio::io_context& io, ResolverSettings settings);
  ~Resolver() override;
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;

  // Looks for the torrent of `infoHash` in the swarm: 40 hex digits (a SHA-1 info hash, or the
  // truncated SHA-256 of a v2 torrent) or 64 (a SHA-256 info hash), either case. `done`
  // receives the .torrent bytes: "d" + the trackers' "announce"/"announce-list" + "4:info" +
  // the raw info bytes + "e", so the info hash holds byte for byte; or why there are none.
  // Requests for a hash already being fetched join that fetch. Anything but such a hash ends at
  // once (on `io`) with kNoPeers and no counts. Returns a ticket for Cancel (0 for an answer that
  // is already on its way).
  std::uint64_t Fetch(const std::string& infoHash, std::function<void(FetchResult)> done) override;
  // Withdraws the request of `ticket`: its `done` is never run. A fetch whose every request was
  // withdrawn stops (its torrent is removed, a queued one starts in its place). False, and
  // nothing withdrawn, once the result was handed on: `done` will run.
  bool Cancel(std::uint64_t ticket) override;
  // Nodes in the DHT's routing table, as last counted.
  int DhtNodes() const override;

  // True while the libtorrent session runs; false when it could not be started.
  bool Running() const override;
  // The port the session listens on (for tests that point a peer at it).
  int ListenPort() const;
  // The DHT's node id and routing table, bencoded, for ResolverSettings::dhtState; empty when
  // there is no DHT.
  std::string DhtState() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace pellucor::service
