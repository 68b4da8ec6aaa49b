// A libtorrent session seeding torrents whose files are on disk (v1, hybrid or v2), and the
// making of such torrents: the demo swarm, the tests' seeds and the benchmarks' loopback swarm. It
// may join a DHT from given bootstrap nodes and announce its torrents there, and announce them to
// trackers. With the DHT on and nothing to seed it is a bare DHT node: the first node of a loopback
// DHT, which the others start from. Called from one thread, the one that started it; a thread of
// its own re-announces on the DHT.
//   SeederSettings settings;  settings.dht = true;
//   auto node = Seeder::Start(settings, &error);              // a DHT of one node
//   settings.dhtBootstrap = {node->Peer()};
//   auto seed = Seeder::Start(settings, &error);              // joins it
//   seed->Add(torrentBytes, "/srv/files", &error);  // files at /srv/files/<torrent's name>/...
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pellucor::service {

enum class TorrentFormat { kV1, kHybrid, kV2 };

// A torrent of files on disk, as a seed publishes it.
struct MadeTorrent {
  std::string bytes;        // the .torrent
  std::string infoSection;  // its raw info dictionary
  // 40 hex digits: the SHA-1 info hash; for a v2-only torrent the truncated SHA-256, which peers
  // use on the wire.
  std::string v1;
  std::string v2;  // 64 hex digits: the SHA-256 info hash; empty for a v1 torrent
};

// The torrent of the file or directory `root`/`name` (its files hashed), in pieces of
// `pieceSize` bytes (a power of two, 16 KiB at least), made by `creator` (none when empty).
// Nothing, and `*error` set, when the files cannot be read.
std::optional<MadeTorrent> MakeTorrentOfFiles(const std::string& root, const std::string& name,
                                              TorrentFormat format, int pieceSize,
                                              std::string* error, const std::string& creator = "");

struct SeederSettings {
  bool dht = false;                       // joins a DHT...
  std::vector<std::string> dhtBootstrap;  // ...starting from these "host:port" nodes
  std::vector<std::string> trackers;      // announce URLs for every torrent it seeds
  std::string listenInterfaces = "127.0.0.1:0";
  // On the DHT, its torrents are announced when added and every `announceEvery`; after
  // `quickAnnounces` rounds (0: never) every `announceLater` instead (the DHT keeps announced
  // peers far longer, and a benchmark's seed holds a hundred torrents).
  std::chrono::milliseconds announceEvery{1000};
  int quickAnnounces = 0;
  std::chrono::milliseconds announceLater{30000};
};

class Seeder {
 public:
  // Starts the session and waits until it listens (five seconds at most). Resolves the host
  // names of `dhtBootstrap`, blocking. Nothing, and `*error` set, when it does not listen.
  static std::unique_ptr<Seeder> Start(SeederSettings settings, std::string* error);
  ~Seeder();
  Seeder(const Seeder&) = delete;
  Seeder& operator=(const Seeder&) = delete;

  // Seeds the torrent of the .torrent bytes `torrent`, whose files are under `directory` as the
  // torrent names them, complete (they are not checked). False, and `*error` set, for bytes
  // that are no torrent or a torrent libtorrent refuses.
  bool Add(std::string_view torrent, const std::string& directory, std::string* error);

  int Port() const;
  std::string Peer() const;  // "127.0.0.1:PORT"

 private:
  struct Impl;
  explicit Seeder(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace pellucor::service
