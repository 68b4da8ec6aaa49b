// The demo swarm: a few files made on the spot, a torrent of them, and a libtorrent session
// seeding it on loopback, so that one machine can convert a magnet link end to end.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace pellucor::service {

class DemoSeed {
 public:
  // Makes (or reuses) the demo files under `directory` and starts seeding them on 127.0.0.1.
  // With `dhtBootstrap` ("host:port" nodes), the seed also joins that DHT and announces itself
  // there every second. Nothing (and `*error` set) when that fails.
  static std::unique_ptr<DemoSeed> Start(const std::string& directory, std::string* error,
                                         const std::vector<std::string>& dhtBootstrap = {});
  ~DemoSeed();

  std::string InfoHash() const;    // 40 lower-case hex digits
  std::string MagnetLink() const;  // magnet:?xt=urn:btih:HASH&dn=NAME
  std::string Peer() const;        // "127.0.0.1:PORT"
  const std::string& TorrentBytes() const;

 private:
  struct Impl;
  explicit DemoSeed(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace pellucor::service
