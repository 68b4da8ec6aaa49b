// The demo swarm: a few files made on the spot, a torrent of them, and a Seeder seeding it on
// loopback, so that one machine can convert a magnet link end to end. Started at start-up, before
// the io thread runs; the Seeder has a thread of its own.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "service/swarm/seeder.h"

namespace pellucor::service {

class DemoSeed {
 public:
  // Makes (or reuses) the demo files under `directory` and starts seeding them on 127.0.0.1.
  // With `dhtBootstrap` ("host:port" nodes), the seed also joins that DHT and announces itself
  // there every second. Nothing (and `*error` set) when that fails.
  static std::unique_ptr<DemoSeed> Start(const std::string& directory, std::string* error,
                                         const std::vector<std::string>& dhtBootstrap = {});

  std::string InfoHash() const { return hash_; }        // 40 lower-case hex digits
  std::string MagnetLink() const;                       // magnet:?xt=urn:btih:HASH&dn=NAME
  std::string Peer() const { return seeder_->Peer(); }  // "127.0.0.1:PORT"
  const std::string& TorrentBytes() const { return bytes_; }

 private:
  DemoSeed() = default;
  std::unique_ptr<Seeder> seeder_;
  std::string bytes_, hash_;
};

}  // namespace pellucor::service
