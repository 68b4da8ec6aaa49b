// Metadata fetch on a libtorrent session of its own. Every fetch is a torrent added by info hash
// in upload mode on a session whose disk I/O is disabled, so nothing but the info dictionary
// (BEP 9) ever travels; as soon as libtorrent has it, the torrent is removed again.
//
// Threading: libtorrent runs its own network thread. Its alert notification only posts a task
// onto the caller's io_context, and that task pops and handles the alerts; timers run on the same
// io_context. The state shared by those tasks and by Fetch() sits behind one mutex, so Fetch()
// may be called from any thread. Callbacks are never run under that mutex: they are posted.
#include "resolver.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <utility>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/disabled_disk_io.hpp>
#include <libtorrent/error_code.hpp>
#include <libtorrent/info_hash.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/session_params.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/sha1_hash.hpp>
#include <libtorrent/torrent_flags.hpp>
#include <libtorrent/torrent_handle.hpp>
#include <libtorrent/torrent_info.hpp>

namespace pellucor::service {
namespace {

namespace lt = libtorrent;
using Done = std::function<void(std::optional<std::string>)>;
using Clock = std::chrono::steady_clock;

// How often running fetches are looked after (DHT routing table size, announces, peers).
constexpr auto kTick = std::chrono::seconds(1);
// A fetch re-announces to the DHT and re-dials the configured peers after this long, doubling
// each time up to kMaxKickInterval: DHT lookups started while the routing table was still
// filling find little, and a peer may come up after the fetch began.
constexpr auto kFirstKickInterval = std::chrono::seconds(2);
constexpr auto kMaxKickInterval = std::chrono::seconds(8);

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses 40 hex digits (either case) into a SHA-1 hash; the key of the fetch maps is the
// lower-case spelling.
std::optional<lt::sha1_hash> ParseInfoHash(const std::string& hex, std::string* key) {
  if (hex.size() != 40) return std::nullopt;
  char bytes[20];
  for (std::size_t i = 0; i < 20; ++i) {
    const int hi = HexValue(hex[2 * i]);
    const int lo = HexValue(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes[i] = static_cast<char>(hi * 16 + lo);
  }
  key->resize(40);
  std::transform(hex.begin(), hex.end(), key->begin(),
                 [](char c) { return (c >= 'A' && c <= 'F') ? static_cast<char>(c + 32) : c; });
  return lt::sha1_hash(bytes);
}

// "a.b.c.d:port" or "[v6]:port". Names are not looked up: the peers given are loopback or
// local addresses.
std::optional<lt::tcp::endpoint> ParseEndpoint(const std::string& text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return std::nullopt;
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  int port = 0;
  for (std::size_t i = colon + 1; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    port = port * 10 + (text[i] - '0');
    if (port > 65535) return std::nullopt;
  }
  if (port == 0) return std::nullopt;
  boost::system::error_code ec;
  const boost::asio::ip::address address = boost::asio::ip::make_address(host, ec);
  if (ec) return std::nullopt;
  return lt::tcp::endpoint(address, static_cast<unsigned short>(port));
}

// True when every DHT bootstrap node is a loopback or private address: a closed swarm, where
// many nodes share one address and libtorrent's defences against crowded address ranges would
// keep them out of the routing table.
bool ClosedSwarm(const std::vector<std::string>& nodes) {
  if (nodes.empty()) return false;
  for (const std::string& node : nodes) {
    const std::optional<lt::tcp::endpoint> ep = ParseEndpoint(node);
    if (!ep) return false;
    const boost::asio::ip::address a = ep->address();
    bool closed = a.is_loopback();
    if (a.is_v4()) {
      const auto b = a.to_v4().to_bytes();
      closed = closed || b[0] == 10 || (b[0] == 172 && (b[1] & 0xf0) == 16) ||
               (b[0] == 192 && b[1] == 168);
    } else if (a.is_v6()) {
      const auto b = a.to_v6().to_bytes();
      closed = closed || (b[0] & 0xfe) == 0xfc || a.to_v6().is_link_local();
    }
    if (!closed) return false;
  }
  return true;
}

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) {
    if (!out.empty()) out += ',';
    out += item;
  }
  return out;
}

class Core : public std::enable_shared_from_this<Core> {
 public:
  Core(boost::asio::io_context& io, ResolverSettings settings)
      : io_(io), settings_(std::move(settings)), tickTimer_(io) {
    settings_.maxParallel = std::max(settings_.maxParallel, 1);
    settings_.timeoutSeconds = std::max(settings_.timeoutSeconds, 1);
    for (const std::string& peer : settings_.peers) {
      if (std::optional<lt::tcp::endpoint> ep = ParseEndpoint(peer)) peers_.push_back(*ep);
    }
    std::error_code ec;
    const std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
    savePath_ = ((ec ? std::filesystem::path("/tmp") : tmp) / "pellucor-resolver").string();
  }

  // Creates the session; separate from the constructor because the alert notification holds a
  // weak pointer to this object.
  void Start() {
    lt::settings_pack pack =
        SessionSettings(settings_.listenInterfaces, settings_.dht, settings_.dhtBootstrap);
    pack.set_int(lt::settings_pack::alert_mask,
                 lt::alert_category::status | lt::alert_category::error | lt::alert_category::dht |
                     lt::alert_category::peer);
    pack.set_int(lt::settings_pack::connections_limit, std::min(40 * settings_.maxParallel, 800));
    // A peer that refused a connection is tried again soon, and not given up on after three
    // failures: the configured peers may come up after the fetch started.
    pack.set_int(lt::settings_pack::max_failcount, 10);
    pack.set_int(lt::settings_pack::min_reconnect_time, 2);

    lt::session_params params(std::move(pack));
    // Nothing is ever downloaded but metadata, which does not touch the disk.
    params.disk_io_constructor = lt::disabled_disk_io_constructor;
    try {
      auto session = std::make_unique<lt::session>(std::move(params));
      std::weak_ptr<Core> weak = weak_from_this();
      boost::asio::io_context* io = &io_;
      // Runs on a libtorrent thread: it only hands the work to the io_context.
      session->set_alert_notify([weak, io] {
        boost::asio::post(*io, [weak] {
          if (std::shared_ptr<Core> core = weak.lock()) core->PopAlerts();
        });
      });
      std::lock_guard lock(mutex_);
      session_ = std::move(session);
    } catch (const std::exception&) {
      // Without a session every fetch fails (see Begin).
    }
  }

  // Takes the session out for destruction and forgets every fetch; their callbacks are
  // destroyed without being run.
  std::unique_ptr<lt::session> Stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    tickTimer_.cancel();
    for (auto& [key, job] : running_) job.timer->cancel();
    running_.clear();
    queued_.clear();
    queueOrder_.clear();
    if (session_) session_->set_alert_notify([] {});
    return std::move(session_);
  }

  int ListenPort() const {
    std::lock_guard lock(mutex_);
    if (!session_) return 0;
    try {
      return session_->listen_port();
    } catch (const std::exception&) {
      return 0;
    }
  }

  void Fetch(const std::string& infoHash, Done done) {
    if (!done) return;
    std::string key;
    const std::optional<lt::sha1_hash> hash = ParseInfoHash(infoHash, &key);
    if (!hash) {
      Deliver(std::move(done), std::nullopt);
      return;
    }
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    if (auto it = running_.find(key); it != running_.end()) {
      it->second.waiters.push_back(std::move(done));
      return;
    }
    if (auto it = queued_.find(key); it != queued_.end()) {
      it->second.push_back(std::move(done));
      return;
    }
    std::vector<Done> waiters;
    waiters.push_back(std::move(done));
    if (static_cast<int>(running_.size()) < settings_.maxParallel) {
      Begin(key, *hash, std::move(waiters));
    } else {
      queued_.emplace(key, std::move(waiters));
      queueOrder_.push_back(key);
    }
  }

 private:
  struct Job {
    std::uint64_t id = 0;
    std::vector<Done> waiters;
    lt::torrent_handle handle;
    std::unique_ptr<boost::asio::steady_timer> timer;
    Clock::time_point nextKick;
    Clock::duration kickInterval = kFirstKickInterval;
  };

  void Deliver(Done done, std::optional<std::string> result) {
    boost::asio::post(io_, [done = std::move(done), result = std::move(result)]() mutable {
      done(std::move(result));
    });
  }

  void DeliverAll(std::vector<Done>& waiters, const std::optional<std::string>& result) {
    for (Done& done : waiters) Deliver(std::move(done), result);
    waiters.clear();
  }

  // Adds the torrent for one fetch. Called with the mutex held.
  void Begin(const std::string& key, const lt::sha1_hash& hash, std::vector<Done> waiters) {
    if (!session_) {
      DeliverAll(waiters, std::nullopt);
      return;
    }
    lt::add_torrent_params params;
    params.info_hashes = lt::info_hash_t(hash);
    params.save_path = savePath_;
    params.max_connections = 40;
    params.flags |= lt::torrent_flags::upload_mode;
    // Left set, these keep the torrent stopped (or at the queue's mercy) and nothing happens.
    params.flags &= ~(lt::torrent_flags::paused | lt::torrent_flags::auto_managed);
    lt::error_code ec;
    lt::torrent_handle handle;
    try {
      handle = session_->add_torrent(std::move(params), ec);
    } catch (const std::exception&) {
      handle = lt::torrent_handle();
    }
    if (ec || !handle.is_valid()) {
      DeliverAll(waiters, std::nullopt);
      return;
    }

    Job& job = running_[key];
    job.id = ++lastJobId_;
    job.waiters = std::move(waiters);
    job.handle = handle;
    job.timer = std::make_unique<boost::asio::steady_timer>(io_);
    job.timer->expires_after(std::chrono::seconds(settings_.timeoutSeconds));
    job.timer->async_wait(
        [weak = weak_from_this(), key, id = job.id](const boost::system::error_code& error) {
          if (error) return;
          if (std::shared_ptr<Core> core = weak.lock()) core->OnTimeout(key, id);
        });
    Kick(job, Clock::now());
    if (!ticking_) ScheduleTick();
  }

  // Dials the configured peers and, once the routing table has nodes, asks the DHT for peers:
  // libtorrent's own DHT announce of a new torrent can come much later.
  void Kick(Job& job, Clock::time_point now) {
    try {
      for (const lt::tcp::endpoint& peer : peers_) job.handle.connect_peer(peer);
      if (settings_.dht && dhtNodes_ > 0) job.handle.force_dht_announce();
    } catch (const std::exception&) {
      // The torrent is gone; its fetch ends with the timeout.
    }
    job.nextKick = now + job.kickInterval;
    job.kickInterval = std::min<Clock::duration>(job.kickInterval * 2, kMaxKickInterval);
  }

  void KickAllNow() {
    const Clock::time_point now = Clock::now();
    for (auto& [key, job] : running_) {
      job.kickInterval = kFirstKickInterval;
      Kick(job, now);
    }
  }

  void ScheduleTick() {
    ticking_ = true;
    tickTimer_.expires_after(kTick);
    tickTimer_.async_wait([weak = weak_from_this()](const boost::system::error_code& error) {
      if (error) return;
      if (std::shared_ptr<Core> core = weak.lock()) core->OnTick();
    });
  }

  void OnTick() {
    std::lock_guard lock(mutex_);
    ticking_ = false;
    if (stopped_ || !session_ || running_.empty()) return;
    // The answer (dht_stats_alert) tells whether the routing table has nodes yet.
    if (settings_.dht) session_->post_dht_stats();
    const Clock::time_point now = Clock::now();
    for (auto& [key, job] : running_) {
      if (now >= job.nextKick) Kick(job, now);
    }
    ScheduleTick();
  }

  void OnTimeout(const std::string& key, std::uint64_t id) {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    auto it = running_.find(key);
    if (it == running_.end() || it->second.id != id) return;
    Finish(it, std::nullopt);
  }

  // Ends a fetch: removes its torrent, hands the result to every waiter and starts queued
  // fetches in its place. Called with the mutex held.
  void Finish(std::map<std::string, Job>::iterator it, std::optional<std::string> result) {
    Job job = std::move(it->second);
    running_.erase(it);
    job.timer->cancel();
    try {
      if (session_) session_->remove_torrent(job.handle, lt::session::delete_files);
    } catch (const std::exception&) {
    }
    DeliverAll(job.waiters, result);
    while (static_cast<int>(running_.size()) < settings_.maxParallel && !queueOrder_.empty()) {
      const std::string key = std::move(queueOrder_.front());
      queueOrder_.pop_front();
      auto queued = queued_.find(key);
      std::vector<Done> waiters = std::move(queued->second);
      queued_.erase(queued);
      std::string unused;
      Begin(key, *ParseInfoHash(key, &unused), std::move(waiters));
    }
  }

  std::map<std::string, Job>::iterator FindJob(const lt::torrent_handle& handle) {
    return std::find_if(running_.begin(), running_.end(),
                        [&](const auto& entry) { return entry.second.handle == handle; });
  }

  void OnMetadata(const lt::torrent_handle& handle) {
    auto it = FindJob(handle);
    if (it == running_.end()) return;
    std::shared_ptr<const lt::torrent_info> info;
    try {
      info = handle.torrent_file();
    } catch (const std::exception&) {
    }
    if (!info) return;  // keep waiting: another peer may deliver, or the timeout ends it
    // The info dictionary exactly as received, so the info hash holds for v1 and v2 alike;
    // re-encoding the torrent could reorder or drop keys of a hybrid torrent.
    const lt::span<const char> section = info->info_section();
    std::string bytes = "d4:info";
    bytes.append(section.data(), static_cast<std::size_t>(section.size()));
    bytes += 'e';
    Finish(it, std::move(bytes));
  }

  void PopAlerts() {
    std::lock_guard lock(mutex_);
    if (stopped_ || !session_) return;
    std::vector<lt::alert*> alerts;
    session_->pop_alerts(&alerts);
    for (lt::alert* alert : alerts) {
      if (auto* a = lt::alert_cast<lt::metadata_received_alert>(alert)) {
        OnMetadata(a->handle);
      } else if (auto* e = lt::alert_cast<lt::torrent_error_alert>(alert)) {
        // A torrent in error is stopped: waiting on would only run into the timeout.
        if (auto it = FindJob(e->handle); it != running_.end()) Finish(it, std::nullopt);
      } else if (lt::alert_cast<lt::dht_bootstrap_alert>(alert)) {
        dhtNodes_ = std::max(dhtNodes_, 1);
        KickAllNow();
      } else if (auto* s = lt::alert_cast<lt::dht_stats_alert>(alert)) {
        int nodes = 0;
        for (const lt::dht_routing_bucket& bucket : s->routing_table) nodes += bucket.num_nodes;
        const bool first = dhtNodes_ == 0 && nodes > 0;
        dhtNodes_ = nodes;
        if (first) KickAllNow();
      }
    }
  }

  boost::asio::io_context& io_;
  ResolverSettings settings_;
  std::vector<lt::tcp::endpoint> peers_;
  std::string savePath_;

  mutable std::mutex mutex_;
  std::unique_ptr<lt::session> session_;
  std::map<std::string, Job> running_;
  std::map<std::string, std::vector<Done>> queued_;
  std::deque<std::string> queueOrder_;
  boost::asio::steady_timer tickTimer_;
  bool ticking_ = false;
  bool stopped_ = false;
  int dhtNodes_ = 0;
  std::uint64_t lastJobId_ = 0;
};

}  // namespace

lt::settings_pack SessionSettings(const std::string& listenInterfaces, bool dht,
                                  const std::vector<std::string>& dhtBootstrap) {
  lt::settings_pack pack;
  pack.set_str(lt::settings_pack::listen_interfaces, listenInterfaces);
  pack.set_bool(lt::settings_pack::enable_dht, dht);
  pack.set_str(lt::settings_pack::dht_bootstrap_nodes, Join(dhtBootstrap));
  if (ClosedSwarm(dhtBootstrap)) {
    pack.set_bool(lt::settings_pack::dht_restrict_routing_ips, false);
    pack.set_bool(lt::settings_pack::dht_restrict_search_ips, false);
    pack.set_bool(lt::settings_pack::dht_enforce_node_id, false);
    pack.set_bool(lt::settings_pack::dht_prefer_verified_node_ids, false);
  }
  pack.set_bool(lt::settings_pack::enable_lsd, false);
  pack.set_bool(lt::settings_pack::enable_upnp, false);
  pack.set_bool(lt::settings_pack::enable_natpmp, false);
  pack.set_bool(lt::settings_pack::allow_multiple_connections_per_ip, true);
  return pack;
}

struct Resolver::Impl {
  std::shared_ptr<Core> core;
};

Resolver::Resolver(boost::asio::io_context& io, ResolverSettings settings)
    : impl_(std::make_unique<Impl>()) {
  impl_->core = std::make_shared<Core>(io, std::move(settings));
  impl_->core->Start();
}

Resolver::~Resolver() {
  // Destroying the session waits for libtorrent's thread; done outside the mutex so a late
  // alert notification cannot deadlock against it. Tasks already posted hold only weak
  // pointers, or find the core stopped.
  std::unique_ptr<libtorrent::session> session = impl_->core->Stop();
  session.reset();
  impl_->core.reset();
}

void Resolver::Fetch(const std::string& infoHash,
                     std::function<void(std::optional<std::string>)> done) {
  impl_->core->Fetch(infoHash, std::move(done));
}

int Resolver::ListenPort() const {
  return impl_->core->ListenPort();
}

}  // namespace pellucor::service
