// A small BitTorrent internet on loopback, shared by the service's swarm tests and its
// benchmark: libtorrent DHT nodes that know each other, seeds (service::Seeder) that announce
// themselves on that DHT (a v1, a hybrid and a v2-only torrent, and one more v1 torrent kept for a
// later lookup), a seed that only a tracker knows, and the tracker itself (Debian's opentracker,
// started on a loopback port with a whitelist of the swarm's hashes). Nodes are named
// "localhost:PORT".
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "service/swarm/seeder.h"

namespace pellucor::testing {

// A port that is free for TCP and UDP on 127.0.0.1 at the moment of asking; 0 when none was
// found.
int FreePort();
// Whether something accepts TCP connections on 127.0.0.1:`port`.
bool Accepts(int port);

class LoopbackSwarm {
 public:
  // The .torrent, its raw info dictionary and its hashes (v1: 40 hex digits, the truncated
  // SHA-256 for the v2-only torrent; v2: 64, or empty for v1 torrents), and its name.
  struct Torrent : service::MadeTorrent {
    std::string name;
  };
  struct Options {
    int nodes = 20;
    // More 40-hex hashes the tracker accepts announces for (fake peers).
    std::vector<std::string> trackerHashes;
    // Small v1 torrents seeded on the DHT besides the others, for runs of many lookups.
    int extraTorrents = 0;
  };

  // Makes the content under `dir`, starts everything and waits until the DHT nodes know each
  // other. Nothing (and `*error` set) when a part cannot start.
  static std::unique_ptr<LoopbackSwarm> Start(const std::string& dir, const Options& options,
                                              std::string* error);
  ~LoopbackSwarm();

  // The three nodes every other node started from.
  std::vector<std::string> BootstrapNodes() const;
  // Stops those three; the others and the seeds go on.
  void StopBootstrapNodes();
  std::string TrackerUrl() const;  // "http://127.0.0.1:PORT/announce"
  // Tells the tracker that 127.0.0.1:`port` has the torrent of `hash` (40 hex).
  bool AnnounceToTracker(const std::string& hash, int port);

  const Torrent& V1() const;
  const Torrent& Hybrid() const;
  const Torrent& V2Only() const;
  const Torrent& Spare() const;         // a v1 torrent on the DHT, for a lookup after a restart
  const Torrent& TrackerOnly() const;   // seeded by a peer without DHT, known to the tracker
  std::string TrackerOnlySeed() const;  // that peer: "127.0.0.1:PORT"
  const std::vector<Torrent>& Extra() const;

  struct Impl;

 private:
  explicit LoopbackSwarm(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace pellucor::testing
