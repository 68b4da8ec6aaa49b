// Fetching a torrent's metadata from the BitTorrent swarm (DHT and the BEP 9/10 metadata
// exchange) with libtorrent: nothing is downloaded but the info dictionary.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <libtorrent/settings_pack.hpp>

namespace pellucor::service {

struct ResolverSettings {
  bool dht = true;
  // "host:port" nodes the DHT starts from; they replace libtorrent's public default. Tests
  // and the demo give loopback nodes.
  std::vector<std::string> dhtBootstrap;
  // Peers to ask directly, besides those the DHT finds ("host:port"; for loopback swarms).
  std::vector<std::string> peers;
  std::string listenInterfaces = "127.0.0.1:0";  // libtorrent's listen_interfaces
  int timeoutSeconds = 20;
  int maxParallel = 16;  // fetches running at once; more wait their turn
};

// The settings every libtorrent session of the service starts from: listening on
// `listenInterfaces`; the DHT on when `dht` is set, starting from `dhtBootstrap` alone (the
// public default node is replaced, so a closed swarm stays closed; when every node is private
// or loopback, the rules against many nodes on one address are relaxed); no local peer
// discovery or port mapping; several connections to one address (loopback swarms).
lt::settings_pack SessionSettings(const std::string& listenInterfaces, bool dht,
                                  const std::vector<std::string>& dhtBootstrap);

class Resolver {
 public:
  // Callbacks run on `io`.
  Resolver(boost::asio::io_context& io, ResolverSettings settings);
  ~Resolver();
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;

  // Looks for the torrent of `infoHash` (40 lower-case hex) in the swarm. `done` receives the
  // .torrent bytes ("d4:info" + the raw info bytes + "e", so the info hash holds byte for
  // byte), or nothing when the timeout passed first. Requests for a hash already being
  // fetched join that fetch.
  void Fetch(const std::string& infoHash, std::function<void(std::optional<std::string>)> done);

  // The port the session listens on (for tests that point a peer at it).
  int ListenPort() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace pellucor::service
