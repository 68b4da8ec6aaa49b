#include "support/loopback_swarm.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include <libtorrent/alert_types.hpp>
#include <libtorrent/session.hpp>

#include "base/hex.h"
#include "service/swarm/seeder.h"
#include "service/swarm/session_settings.h"
#include "support/http_exchange.h"
#include "support/process.h"

namespace pellucor::testing {

namespace fs = std::filesystem;
namespace lt = libtorrent;

bool Accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

// A port that is free for TCP and UDP on 127.0.0.1 at the moment of asking.
int FreePort() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    const int tcp = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    ::bind(tcp, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(tcp, reinterpret_cast<sockaddr*>(&addr), &length);
    const int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
    const bool udpFree = ::bind(udp, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(udp);
    ::close(tcp);
    if (udpFree) return ntohs(addr.sin_port);
  }
  return 0;
}

namespace {

std::string TrackerUrlOf(int port) {
  return "http://127.0.0.1:" + std::to_string(port) + "/announce";
}

int WaitForPort(const lt::session& session) {
  for (int i = 0; i < 200 && session.listen_port() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return session.listen_port();
}

// The nodes in a session's DHT routing table (0 when it does not answer within a second).
int RoutingTableSize(lt::session& session) {
  session.post_dht_stats();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (std::chrono::steady_clock::now() < deadline) {
    session.wait_for_alert(std::chrono::milliseconds(100));
    std::vector<lt::alert*> alerts;
    session.pop_alerts(&alerts);
    for (lt::alert* a : alerts) {
      if (auto* stats = lt::alert_cast<lt::dht_stats_alert>(a)) {
        int nodes = 0;
        for (const auto& bucket : stats->routing_table) nodes += bucket.num_nodes;
        return nodes;
      }
    }
  }
  return 0;
}

}  // namespace

struct LoopbackSwarm::Impl {
  std::vector<std::unique_ptr<lt::session>> nodes;  // the first three are the bootstrap nodes
  std::vector<std::string> bootstrap;
  std::vector<std::unique_ptr<service::Seeder>> seeds;
  Torrent v1, hybrid, v2Only, spare, trackerOnly;
  std::vector<Torrent> extra;
  std::unique_ptr<ChildProcess> tracker;
  int trackerPort = 0;
};

namespace {

// opentracker with `args`: it drops to "nobody" where this process can become that account. It
// refuses to run as root, so in a user namespace that maps root alone (scripts/i386-under-qemu)
// it starts in a user namespace of its own, as nobody's id there.
std::vector<std::string> TrackerCommand(std::vector<std::string> args) {
  const passwd* nobody = getpwnam("nobody");
  std::ifstream map("/proc/self/uid_map");
  bool mapped = false;
  for (long long inside, outside, count; nobody && map >> inside >> outside >> count;)
    mapped = mapped || (inside <= nobody->pw_uid && nobody->pw_uid < inside + count);
  std::vector<std::string> command = {"opentracker"};
  if (!mapped)
    command = {"unshare", "--user", "--map-user=65534", "--map-group=65534", "opentracker"};
  command.insert(command.end(), args.begin(), args.end());
  if (mapped) command.insert(command.end(), {"-u", "nobody"});
  return command;
}

// A torrent of files made here under `root` (the same bytes for the same name on every run): two
// files, or a small one.
bool MakeTorrent(const fs::path& root, const std::string& name, service::TorrentFormat format,
                 LoopbackSwarm::Torrent* out, bool small = false) {
  const fs::path content = root / name;
  fs::create_directories(content);
  std::mt19937 random(static_cast<unsigned>(std::hash<std::string>{}(name)));
  using Parts = std::vector<std::pair<const char*, int>>;
  const Parts parts =
      small ? Parts{{"part-1.bin", 20000}} : Parts{{"part-1.bin", 100000}, {"part-2.bin", 50001}};
  for (const auto& [file, size] : parts) {
    std::ofstream f(content / file, std::ios::binary | std::ios::trunc);
    for (int i = 0; i < size; ++i) f.put(static_cast<char>(random()));
  }
  std::optional<service::MadeTorrent> made =
      service::MakeTorrentOfFiles(root.string(), name, format, 16 * 1024, nullptr);
  if (!made) return false;
  static_cast<service::MadeTorrent&>(*out) = std::move(*made);
  out->name = name;
  return true;
}

lt::settings_pack DhtNode(const std::string& listen, const std::vector<std::string>& bootstrap) {
  lt::settings_pack pack = service::SessionSettings(listen, true, bootstrap);
  pack.set_int(lt::settings_pack::alert_mask, lt::alert_category::dht);  // RoutingTableSize
  return pack;
}

}  // namespace

std::unique_ptr<LoopbackSwarm> LoopbackSwarm::Start(const std::string& dir, const Options& options,
                                                    std::string* error) {
  auto fail = [error](const std::string& message) {
    if (error) *error = message;
    return nullptr;
  };
  auto impl = std::make_unique<Impl>();
  const fs::path root = fs::path(dir) / "content";
  fs::create_directories(root);
  using service::TorrentFormat;
  if (!MakeTorrent(root, "swarm-v1", TorrentFormat::kV1, &impl->v1) ||
      !MakeTorrent(root, "swarm-hybrid", TorrentFormat::kHybrid, &impl->hybrid) ||
      !MakeTorrent(root, "swarm-v2", TorrentFormat::kV2, &impl->v2Only) ||
      !MakeTorrent(root, "swarm-spare", TorrentFormat::kV1, &impl->spare) ||
      !MakeTorrent(root, "swarm-tracker", TorrentFormat::kV1, &impl->trackerOnly))
    return fail("cannot make the swarm's torrents under " + root.string());
  impl->extra.resize(static_cast<size_t>(options.extraTorrents));
  for (size_t i = 0; i < impl->extra.size(); ++i)
    if (!MakeTorrent(root, "swarm-extra-" + std::to_string(i), TorrentFormat::kV1, &impl->extra[i],
                     true))
      return fail("cannot make the swarm's torrents under " + root.string());

  // The tracker, with every hash its announces may carry (hybrid torrents announce both).
  const fs::path trackerDir = fs::path(dir) / "tracker";
  fs::create_directories(trackerDir);
  fs::permissions(trackerDir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  {
    std::ofstream whitelist(trackerDir / "whitelist.txt");
    for (const Torrent* t :
         {&impl->v1, &impl->hybrid, &impl->v2Only, &impl->spare, &impl->trackerOnly}) {
      whitelist << t->v1 << "\n";
      if (!t->v2.empty()) whitelist << t->v2.substr(0, 40) << "\n";
    }
    for (const Torrent& t : impl->extra) whitelist << t.v1 << "\n";
    for (const std::string& hash : options.trackerHashes) whitelist << hash << "\n";
  }
  for (int attempt = 0; attempt < 5 && !impl->tracker; ++attempt) {
    const int port = FreePort();
    // opentracker changes into its directory (chroot) and reads the whitelist from there.
    auto tracker = std::make_unique<ChildProcess>(
        TrackerCommand({"-i", "127.0.0.1", "-p", std::to_string(port), "-P", std::to_string(port),
                        "-d", trackerDir.string(), "-w", "whitelist.txt"}),
        (trackerDir / "log.txt").string(), (trackerDir / "log.txt").string());
    for (int i = 0; i < 150 && tracker->Running() && !Accepts(port); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (tracker->Running() && Accepts(port)) {
      impl->tracker = std::move(tracker);
      impl->trackerPort = port;
    }
  }
  if (!impl->tracker)
    return fail("opentracker did not start (is it installed?): " +
                ReadWholeFile((trackerDir / "log.txt").string()));

  // The DHT: every node starts from the first three, which start from each other, on ports
  // picked first so that all of them start with their final settings (changing DHT settings
  // later restarts a node's DHT with an empty table).
  for (int attempt = 0; attempt < 5 && impl->nodes.size() < 3; ++attempt) {
    impl->nodes.clear();
    impl->bootstrap.clear();
    std::vector<int> ports;
    for (int i = 0; i < 3; ++i) {
      ports.push_back(FreePort());
      impl->bootstrap.push_back("localhost:" + std::to_string(ports.back()));
    }
    for (int port : ports) {
      auto node = std::make_unique<lt::session>(
          DhtNode("127.0.0.1:" + std::to_string(port), impl->bootstrap));
      if (WaitForPort(*node) != port) break;  // taken meanwhile: pick again
      impl->nodes.push_back(std::move(node));
    }
  }
  if (impl->nodes.size() < 3) return fail("the bootstrap nodes could not listen");
  while (static_cast<int>(impl->nodes.size()) < options.nodes) {
    impl->nodes.push_back(std::make_unique<lt::session>(DhtNode("127.0.0.1:0", impl->bootstrap)));
    if (WaitForPort(*impl->nodes.back()) == 0) return fail("a DHT node could not listen");
  }
  // libtorrent keeps bootstrap nodes out of its routing table, and they knew nobody yet when
  // most nodes asked them; so each node is also given the three and its predecessor as
  // ordinary nodes.
  for (size_t i = 0; i < impl->nodes.size(); ++i) {
    for (size_t j : {size_t{0}, size_t{1}, size_t{2}, i == 0 ? impl->nodes.size() - 1 : i - 1})
      if (j != i) impl->nodes[i]->add_dht_node({"127.0.0.1", impl->nodes[j]->listen_port()});
  }

  // The seeds announce on the DHT every second at first, while the swarm fills; then every half
  // minute (the DHT keeps announced peers for much longer, and a benchmark's swarm seeds a
  // hundred torrents). The one without DHT announces to the tracker.
  auto seed = [&](const std::vector<const Torrent*>& torrents, bool dht) {
    service::SeederSettings settings;
    settings.dht = dht;
    if (dht) settings.dhtBootstrap = impl->bootstrap;
    if (!dht) settings.trackers = {TrackerUrlOf(impl->trackerPort)};
    settings.quickAnnounces = 5;
    std::string error;
    auto seeder = service::Seeder::Start(std::move(settings), &error);
    if (!seeder) return false;
    for (const Torrent* torrent : torrents)
      if (!seeder->Add(torrent->bytes, root.string(), &error)) return false;
    impl->seeds.push_back(std::move(seeder));
    return true;
  };
  std::vector<const Torrent*> extra;
  for (const Torrent& torrent : impl->extra) extra.push_back(&torrent);
  if ((!extra.empty() && !seed(extra, true)) || !seed({&impl->v1, &impl->spare}, true) ||
      !seed({&impl->hybrid}, true) || !seed({&impl->v2Only}, true) ||
      !seed({&impl->trackerOnly}, false))
    return fail("a seed could not start");

  // Ready once the nodes know most of each other and the seeds had time to announce.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  bool ready = false;
  std::string sizes;
  while (!ready && std::chrono::steady_clock::now() < deadline) {
    ready = true;
    sizes.clear();
    for (auto& node : impl->nodes) {
      const int size = RoutingTableSize(*node);
      sizes += " " + std::to_string(size);
      // Buckets hold eight nodes, so a twenty-node table does not grow much past ten.
      ready = ready && size >= std::min(5, options.nodes - 1);
    }
    if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  if (!ready) return fail("the DHT nodes did not find each other; routing tables:" + sizes);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  return std::unique_ptr<LoopbackSwarm>(new LoopbackSwarm(std::move(impl)));
}

LoopbackSwarm::LoopbackSwarm(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
LoopbackSwarm::~LoopbackSwarm() = default;

std::vector<std::string> LoopbackSwarm::BootstrapNodes() const {
  return impl_->bootstrap;
}

void LoopbackSwarm::StopBootstrapNodes() {
  for (int i = 0; i < 3 && i < static_cast<int>(impl_->nodes.size()); ++i) impl_->nodes[i].reset();
}

std::string LoopbackSwarm::TrackerUrl() const {
  return TrackerUrlOf(impl_->trackerPort);
}

bool LoopbackSwarm::AnnounceToTracker(const std::string& hash, int port) {
  std::string escaped;
  for (size_t i = 0; i + 1 < hash.size(); i += 2) escaped += "%" + hash.substr(i, 2);
  const std::string reply =
      Exchange(impl_->trackerPort, Get("/announce?info_hash=" + escaped + "&peer_id=-FP0001-" +
                                       hash.substr(0, 12) + "&port=" + std::to_string(port) +
                                       "&uploaded=0&downloaded=0&left=0&event=started&compact=1"));
  return Status(reply).find(" 200 ") != std::string::npos &&
         Body(reply).find("failure") == std::string::npos;
}

const LoopbackSwarm::Torrent& LoopbackSwarm::V1() const {
  return impl_->v1;
}
const LoopbackSwarm::Torrent& LoopbackSwarm::Hybrid() const {
  return impl_->hybrid;
}
const LoopbackSwarm::Torrent& LoopbackSwarm::V2Only() const {
  return impl_->v2Only;
}
const LoopbackSwarm::Torrent& LoopbackSwarm::Spare() const {
  return impl_->spare;
}
const LoopbackSwarm::Torrent& LoopbackSwarm::TrackerOnly() const {
  return impl_->trackerOnly;
}
std::string LoopbackSwarm::TrackerOnlySeed() const {
  return impl_->seeds.back()->Peer();  // started last
}
const std::vector<LoopbackSwarm::Torrent>& LoopbackSwarm::Extra() const {
  return impl_->extra;
}

}  // namespace pellucor::testing
