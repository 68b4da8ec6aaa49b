// Metadata fetch on a libtorrent session of its own. Every fetch is a torrent added by info hash
// in upload mode on a session whose disk I/O is disabled, so nothing but the info dictionary
// (BEP 9) ever travels; as soon as it is here, the torrent is removed again.
//
// A fetch ends with an outcome: found (and by whom: a listed peer, the DHT, a tracker), or at its
// timeout, why not (see Classify). The counts come from libtorrent's alerts and the metadata
// watch (metadata_watch.h).
//
// Threading: libtorrent runs its own network thread. Its alert notification and the metadata
// watch only post tasks onto the caller's io_context, and those tasks do the work; timers run on
// the same io_context. The state shared by those tasks and by Fetch() sits behind one mutex, so
// Fetch() may be called from any thread. Callbacks are never run under that mutex: they are
// posted.
#include "service/swarm/resolver.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <utility>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/disabled_disk_io.hpp>
#include <libtorrent/error_code.hpp>
#include <libtorrent/info_hash.hpp>
#include <libtorrent/peer_info.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/session_params.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/sha1_hash.hpp>
#include <libtorrent/torrent_flags.hpp>
#include <libtorrent/torrent_handle.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>

#include "base/host_port.h"
#include "service/core/log.h"
#include "service/swarm/metadata_watch.h"
#include "torrent/bencode.h"
#include "torrent/info_hash.h"

namespace pellucor::service {
namespace {

namespace lt = libtorrent;
using Done = std::function<void(FetchResult)>;
using Clock = std::chrono::steady_clock;

// How often running fetches are looked after (DHT routing table size, announces, peers).
constexpr auto kTick = std::chrono::seconds(1);
// A fetch re-announces to the DHT and the trackers and re-dials the configured peers after this
// long, doubling each time up to kMaxKickInterval: DHT lookups started while the routing table
// was still filling find little, and a peer may come up after the fetch began.
constexpr auto kFirstKickInterval = std::chrono::seconds(1);
constexpr auto kMaxKickInterval = std::chrono::seconds(4);

// libtorrent reports trouble by throwing; each catch says where it was and what was thrown.
void LogException(const char* where, const std::exception& e) {
  Log(LogLevel::kWarn, "resolver_exception", {{"where", where}, {"what", e.what()}});
}

struct ParsedHash {
  std::string key;  // the lower-case hex spelling: the key of the fetch maps
  std::string raw;  // 20 or 32 bytes
  lt::info_hash_t hashes;
};

// 40 hex digits (either case) → a SHA-1 hash; 64 → a SHA-256 hash.
std::optional<ParsedHash> ParseHash(const std::string& hex) {
  const std::optional<InfoHash> hash = InfoHash::FromHex(hex);
  if (!hash) return std::nullopt;
  ParsedHash parsed{hash->Hex(), hash->Bytes(), {}};
  parsed.hashes = hash->IsV2() ? lt::info_hash_t(lt::sha256_hash(parsed.raw.data()))
                               : lt::info_hash_t(lt::sha1_hash(parsed.raw.data()));
  return parsed;
}

// "host:port" or "[v6]:port" → its addresses. Host names are resolved ("localhost:6881"); a
// name that does not resolve gives nothing.
std::vector<lt::tcp::endpoint> ResolveEndpoints(const std::string& text) {
  const std::optional<HostPort> parsed = ParseHostPort(text);
  if (!parsed) return {};
  const std::string& host = parsed->host;
  const int port = parsed->port;
  boost::system::error_code ec;
  const boost::asio::ip::address address = boost::asio::ip::make_address(host, ec);
  if (!ec) return {lt::tcp::endpoint(address, static_cast<unsigned short>(port))};
  boost::asio::io_context io;
  boost::asio::ip::tcp::resolver resolver(io);
  const auto results = resolver.resolve(host, std::to_string(port), ec);
  std::vector<lt::tcp::endpoint> endpoints;
  if (ec) return endpoints;
  for (const auto& entry : results) endpoints.push_back(entry.endpoint());
  return endpoints;
}

bool IsClosedAddress(const boost::asio::ip::address& a) {
  if (a.is_loopback()) return true;
  if (a.is_v4()) {
    const auto b = a.to_v4().to_bytes();
    return b[0] == 10 || (b[0] == 172 && (b[1] & 0xf0) == 16) || (b[0] == 192 && b[1] == 168);
  }
  const auto b = a.to_v6().to_bytes();
  return (b[0] & 0xfe) == 0xfc || a.to_v6().is_link_local();
}

// True when every DHT bootstrap node is a loopback or private address: a closed swarm, where
// many nodes share one address and libtorrent's defences against crowded address ranges would
// keep them out of the routing table.
bool ClosedSwarm(const std::vector<std::string>& nodes) {
  if (nodes.empty()) return false;
  for (const std::string& node : nodes) {
    const std::vector<lt::tcp::endpoint> endpoints = ResolveEndpoints(node);
    if (endpoints.empty()) return false;
    for (const lt::tcp::endpoint& ep : endpoints)
      if (!IsClosedAddress(ep.address())) return false;
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

// The .torrent of a fetched info dictionary: the trackers outside it, the info bytes exactly as
// received, so the info hash holds for v1 and v2 alike.
std::string TorrentBytes(const std::string& info,
                         const std::vector<std::vector<std::string>>& trackers) {
  Bencode::Dict torrent;
  Bencode::List tiers;
  std::string first;
  for (const std::vector<std::string>& tier : trackers) {
    if (tier.empty()) continue;
    Bencode::List urls;
    for (const std::string& url : tier) {
      if (first.empty()) first = url;
      urls.emplace_back(url);
    }
    tiers.emplace_back(std::move(urls));
  }
  if (!first.empty()) {
    torrent.emplace("announce", first);
    torrent.emplace("announce-list", std::move(tiers));
  }
  torrent.emplace("info", Bencode::Raw(info));
  return Bencode(std::move(torrent)).Encode();
}

class Core : public std::enable_shared_from_this<Core> {
 public:
  Core(boost::asio::io_context& io, ResolverSettings settings)
      : io_(io), settings_(std::move(settings)), tickTimer_(io) {
    settings_.maxParallel = std::max(settings_.maxParallel, 1);
    settings_.timeoutSeconds = std::max(settings_.timeoutSeconds, 1);
    settings_.maxMetadataBytes = std::max(settings_.maxMetadataBytes, 1);
    for (const std::string& peer : settings_.peers) {
      for (const lt::tcp::endpoint& ep : ResolveEndpoints(peer)) peers_.push_back(ep);
    }
    for (const std::vector<std::string>& tier : settings_.trackers) {
      if (tier.empty()) continue;
      for (const std::string& url : tier) {
        trackerUrls_.push_back(url);
        trackerTiers_.push_back(tierCount_);
      }
      ++tierCount_;
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
                     lt::alert_category::peer | lt::alert_category::connect |
                     lt::alert_category::tracker);
    pack.set_int(lt::settings_pack::connections_limit, std::min(40 * settings_.maxParallel, 800));
    // A peer that refused a connection is tried again soon, and not given up on after three
    // failures: the configured peers may come up after the fetch started.
    pack.set_int(lt::settings_pack::max_failcount, 10);
    pack.set_int(lt::settings_pack::min_reconnect_time, 2);
    pack.set_int(lt::settings_pack::max_metadata_size, settings_.maxMetadataBytes);

    lt::session_params params(std::move(pack));
    // Nothing is ever downloaded but metadata, which does not touch the disk.
    params.disk_io_constructor = lt::disabled_disk_io_constructor;
    watch_ = std::make_shared<MetadataWatch>(settings_.maxMetadataBytes);
    params.extensions.insert(params.extensions.begin(), watch_);
    if (settings_.dht && !settings_.dhtState.empty()) {
      try {
        lt::session_params saved = lt::read_session_params(
            lt::span<const char>(settings_.dhtState.data(),
                                 static_cast<std::ptrdiff_t>(settings_.dhtState.size())),
            lt::session::save_dht_state);
        params.dht_state = std::move(saved.dht_state);
      } catch (const std::exception& e) {
        // A damaged state file: start cold.
        LogException("reading the saved DHT state", e);
      }
    }
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
      if (settings_.dht) session_->post_dht_stats();
    } catch (const std::exception& e) {
      // Without a session every fetch fails (see Begin).
      Log(LogLevel::kError, "session_failed",
          {{"listen", settings_.listenInterfaces}, {"what", e.what()}});
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
    tickets_.clear();
    queueOrder_.clear();
    if (session_) session_->set_alert_notify([] {});
    return std::move(session_);
  }

  bool Running() const {
    std::lock_guard lock(mutex_);
    return session_ && !stopped_;
  }

  int ListenPort() const {
    std::lock_guard lock(mutex_);
    if (!session_) return 0;
    try {
      return session_->listen_port();
    } catch (const std::exception& e) {
      LogException("reading the listen port", e);
      return 0;
    }
  }

  std::string DhtState() const {
    std::lock_guard lock(mutex_);
    if (!session_ || !settings_.dht) return {};
    try {
      const lt::session_params state = session_->session_state(lt::session::save_dht_state);
      const std::vector<char> bytes =
          lt::write_session_params_buf(state, lt::session::save_dht_state);
      return std::string(bytes.begin(), bytes.end());
    } catch (const std::exception& e) {
      LogException("saving the DHT state", e);
      return {};
    }
  }

  std::uint64_t Fetch(const std::string& infoHash, Done done) {
    if (!done) return 0;
    const std::optional<ParsedHash> hash = ParseHash(infoHash);
    if (!hash) {
      FetchResult result;
      result.report.outcome = Outcome::kNoPeers;
      Deliver(std::move(done), std::move(result));
      return 0;
    }
    std::lock_guard lock(mutex_);
    if (stopped_) return 0;
    const std::uint64_t ticket = ++lastTicket_;
    tickets_[ticket] = hash->key;
    if (auto it = running_.find(hash->key); it != running_.end()) {
      it->second.waiting.waiters.emplace_back(ticket, std::move(done));
      return ticket;
    }
    if (auto it = queued_.find(hash->key); it != queued_.end()) {
      it->second.waiters.emplace_back(ticket, std::move(done));
      return ticket;
    }
    Waiting waiting;
    waiting.waiters.emplace_back(ticket, std::move(done));
    waiting.since = Clock::now();
    if (static_cast<int>(running_.size()) < settings_.maxParallel) {
      Begin(*hash, std::move(waiting));
    } else {
      Log(LogLevel::kDebug, "fetch_queued", {{"hash", hash->key}});
      queued_.emplace(hash->key, std::move(waiting));
      queueOrder_.push_back(hash->key);
    }
    return ticket;
  }

  bool Cancel(std::uint64_t ticket) {
    std::lock_guard lock(mutex_);
    const auto t = tickets_.find(ticket);
    if (stopped_ || t == tickets_.end()) return false;  // handed on already, or never was
    const std::string key = t->second;
    tickets_.erase(t);
    auto forget = [ticket](Waiting& waiting) {
      auto& w = waiting.waiters;
      w.erase(std::remove_if(w.begin(), w.end(), [&](const auto& e) { return e.first == ticket; }),
              w.end());
      return w.empty();
    };
    if (auto it = running_.find(key); it != running_.end()) {
      if (!forget(it->second.waiting)) return true;
      Log(LogLevel::kDebug, "fetch_cancelled", {{"hash", key}});
      Drop(it);
      StartQueued();
    } else if (auto q = queued_.find(key); q != queued_.end()) {
      if (!forget(q->second)) return true;
      Log(LogLevel::kDebug, "fetch_cancelled", {{"hash", key}, {"queued", true}});
      queued_.erase(q);
      queueOrder_.erase(std::find(queueOrder_.begin(), queueOrder_.end(), key));
    }
    return true;
  }

  int DhtNodes() const {
    std::lock_guard lock(mutex_);
    return dhtNodes_;
  }

 private:
  struct Waiting {
    std::vector<std::pair<std::uint64_t, Done>> waiters;  // by ticket
    Clock::time_point since;                              // when the first of them asked
  };

  struct Job {
    std::uint64_t id = 0;
    Waiting waiting;
    lt::torrent_handle handle;
    std::shared_ptr<MetadataWatch::Watch> watch;
    std::unique_ptr<boost::asio::steady_timer> timer;
    Clock::time_point nextKick;
    Clock::duration kickInterval = kFirstKickInterval;
    bool kicked = false;
    int peersSeen = 0;
    std::set<lt::tcp::endpoint> tried;
    std::set<lt::tcp::endpoint> incoming;  // far ends of connections that came in
    bool dhtNamedPeers = false;
    bool trackerNamedPeers = false;
    bool self = false;  // this session was among the peers named
  };
  using JobIt = std::map<std::string, Job>::iterator;

  void Deliver(Done done, FetchResult result) {
    boost::asio::post(io_, [done = std::move(done), result = std::move(result)]() mutable {
      done(std::move(result));
    });
  }

  void DeliverAll(Waiting& waiting, const FetchResult& result) {
    for (auto& [ticket, done] : waiting.waiters) {
      tickets_.erase(ticket);
      Deliver(std::move(done), result);
    }
    waiting.waiters.clear();
  }

  // Adds the torrent for one fetch. Called with the mutex held.
  void Begin(const ParsedHash& hash, Waiting waiting) {
    if (!session_) {
      FetchResult failed;
      failed.report.outcome = Outcome::kNoPeers;
      DeliverAll(waiting, failed);
      return;
    }
    const std::uint64_t id = ++lastJobId_;
    std::weak_ptr<Core> weak = weak_from_this();
    boost::asio::io_context* io = &io_;
    // Runs on a libtorrent thread, like the alert notification.
    auto watch = watch_->Expect(hash.raw, [weak, io, key = hash.key, id] {
      boost::asio::post(*io, [weak, key, id] {
        if (std::shared_ptr<Core> core = weak.lock()) core->OnWatch(key, id);
      });
    });
    lt::add_torrent_params params;
    params.info_hashes = hash.hashes;
    params.save_path = savePath_;
    params.max_connections = 40;
    // Listed peers go in with the torrent (libtorrent marks them resume_data).
    params.peers = peers_;
    params.trackers = trackerUrls_;
    params.tracker_tiers = trackerTiers_;
    params.userdata = MetadataWatch::Token(watch.get());
    params.flags |= lt::torrent_flags::upload_mode;
    // Left set, these keep the torrent stopped (or at the queue's mercy) and nothing happens.
    params.flags &= ~(lt::torrent_flags::paused | lt::torrent_flags::auto_managed);
    lt::error_code ec;
    lt::torrent_handle handle;
    try {
      handle = session_->add_torrent(std::move(params), ec);
    } catch (const std::exception& e) {
      LogException("adding a torrent", e);
      handle = lt::torrent_handle();
    }
    if (ec)
      Log(LogLevel::kWarn, "add_torrent_failed", {{"hash", hash.key}, {"error", ec.message()}});
    if (ec || !handle.is_valid()) {
      FetchResult failed;
      failed.report.outcome = Outcome::kNoPeers;
      failed.report.seconds = Seconds(waiting.since);
      DeliverAll(waiting, failed);
      return;
    }

    Log(LogLevel::kDebug, "fetch_started", {{"hash", hash.key}});
    Job& job = running_[hash.key];
    job.id = id;
    job.waiting = std::move(waiting);
    job.handle = handle;
    job.watch = std::move(watch);
    job.timer = std::make_unique<boost::asio::steady_timer>(io_);
    job.timer->expires_after(std::chrono::seconds(settings_.timeoutSeconds));
    job.timer->async_wait([weak, key = hash.key, id](const boost::system::error_code& error) {
      if (error) return;
      if (std::shared_ptr<Core> core = weak.lock()) core->OnTimeout(key, id);
    });
    Kick(job, Clock::now());
    // A fresh count of the DHT's nodes for this fetch's report.
    if (settings_.dht) session_->post_dht_stats();
    if (!ticking_) ScheduleTick();
  }

  static double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
  }

  // Asks the DHT for peers once the routing table has nodes (the DHT announce libtorrent makes
  // itself for a new torrent can come much later), and after the first round dials the
  // configured peers and asks the trackers again (libtorrent does both once when the torrent
  // is added).
  void Kick(Job& job, Clock::time_point now) {
    try {
      if (job.kicked)
        for (const lt::tcp::endpoint& peer : peers_)
          job.handle.connect_peer(peer, lt::peer_info::resume_data);
      if (settings_.dht && dhtNodes_ > 0) job.handle.force_dht_announce();
      if (job.kicked && !trackerUrls_.empty())
        job.handle.force_reannounce(0, -1, lt::torrent_handle::ignore_min_interval);
    } catch (const std::exception& e) {
      // The torrent is gone; its fetch ends with the timeout.
      LogException("asking for peers", e);
    }
    job.kicked = true;
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

  // The peers in the torrent's peer list: those named by the DHT, the trackers and the command
  // line. libtorrent drops peers that keep failing, so the largest count seen is kept.
  void CountPeers(Job& job) {
    try {
      const lt::torrent_status status = job.handle.status({});
      job.peersSeen = std::max(job.peersSeen, status.list_peers - (job.self ? 1 : 0));
    } catch (const std::exception& e) {
      LogException("counting peers", e);
    }
  }

  void OnTick() {
    std::lock_guard lock(mutex_);
    ticking_ = false;
    if (stopped_ || !session_ || running_.empty()) return;
    // The answer (dht_stats_alert) tells whether the routing table has nodes yet.
    if (settings_.dht) session_->post_dht_stats();
    const Clock::time_point now = Clock::now();
    for (auto& [key, job] : running_) {
      CountPeers(job);
      if (now >= job.nextKick) Kick(job, now);
    }
    ScheduleTick();
  }

  // Why a fetch that ran out of time found nothing, from the most telling sign down.
  Outcome Classify(const Job& job, const MetadataWatch::Snapshot& seen) const {
    if (seen.tooLarge) return Outcome::kTooLarge;
    if (seen.bad) return Outcome::kBadMetadata;
    if (seen.offering > 0) return Outcome::kTimedOut;  // a peer was still at it
    if (job.peersSeen > 0 || !job.tried.empty()) return Outcome::kNoMetadata;
    if (settings_.dht && dhtNodes_ == 0 && peers_.empty() && !trackerReplied_.count(job.id))
      return Outcome::kNoDhtNodes;
    return Outcome::kNoPeers;
  }

  // Who gave the metadata: a listed peer, or how the peer that sent it was found (as the watch
  // recorded it); for a peer that came by itself, what named peers to this fetch.
  Outcome FoundBy(const Job& job, const MetadataWatch::Snapshot& seen) const {
    if (std::find(peers_.begin(), peers_.end(), seen.from) != peers_.end())
      return Outcome::kFoundPeer;
    const lt::peer_source_flags_t sources = seen.fromSource;
    if (sources & lt::peer_info::resume_data) return Outcome::kFoundPeer;
    if (sources & lt::peer_info::dht) return Outcome::kFoundDht;
    if (sources & lt::peer_info::tracker) return Outcome::kFoundTracker;
    if (job.dhtNamedPeers) return Outcome::kFoundDht;
    if (job.trackerNamedPeers) return Outcome::kFoundTracker;
    if (!peers_.empty()) return Outcome::kFoundPeer;
    return settings_.dht ? Outcome::kFoundDht : Outcome::kFoundTracker;
  }

  void OnTimeout(const std::string& key, std::uint64_t id) {
    std::lock_guard lock(mutex_);
    HandleAlerts();
    if (stopped_) return;
    auto it = running_.find(key);
    if (it == running_.end() || it->second.id != id) return;
    FetchResult result;
    result.report.outcome = Classify(it->second, MetadataWatch::Read(*it->second.watch));
    Finish(it, std::move(result));
  }

  // The watch saw something; a complete, matching info dictionary ends the fetch.
  void OnWatch(const std::string& key, std::uint64_t id) {
    std::lock_guard lock(mutex_);
    // The alerts of the connection that brought the metadata may still wait; they hold its
    // counts.
    HandleAlerts();
    if (stopped_) return;
    auto it = running_.find(key);
    if (it == running_.end() || it->second.id != id) return;
    MetadataWatch::Snapshot seen = MetadataWatch::Read(*it->second.watch);
    if (!seen.info) return;
    FetchResult result;
    result.report.outcome = FoundBy(it->second, seen);
    result.torrent = TorrentBytes(*seen.info, settings_.trackers);
    Finish(it, std::move(result));
  }

  // Ends a fetch: removes its torrent, hands the result with its counts to every waiter and
  // starts queued fetches in its place. Called with the mutex held.
  void Finish(JobIt it, FetchResult result) {
    Job& job = it->second;
    CountPeers(job);
    result.report.dhtNodes = dhtNodes_;
    result.report.peersSeen = std::max(job.peersSeen, static_cast<int>(job.tried.size()));
    result.report.peersTried = static_cast<int>(job.tried.size());
    result.report.seconds = Seconds(job.waiting.since);
    DeliverAll(job.waiting, result);
    Drop(it);
    StartQueued();
  }

  // Forgets a fetch and removes its torrent. Called with the mutex held.
  void Drop(JobIt it) {
    Job job = std::move(it->second);
    running_.erase(it);
    trackerReplied_.erase(job.id);
    job.timer->cancel();
    try {
      if (session_) session_->remove_torrent(job.handle, lt::session::delete_files);
    } catch (const std::exception& e) {
      LogException("removing a torrent", e);
    }
  }

  // Starts queued fetches while there is room. Called with the mutex held.
  void StartQueued() {
    while (static_cast<int>(running_.size()) < settings_.maxParallel && !queueOrder_.empty()) {
      const std::string key = std::move(queueOrder_.front());
      queueOrder_.pop_front();
      auto queued = queued_.find(key);
      Waiting waiting = std::move(queued->second);
      queued_.erase(queued);
      Begin(*ParseHash(key), std::move(waiting));
    }
  }

  JobIt FindJob(const lt::torrent_handle& handle) {
    return std::find_if(running_.begin(), running_.end(),
                        [&](const auto& entry) { return entry.second.handle == handle; });
  }

  // libtorrent checked the metadata against the hash the torrent was added with.
  void OnMetadata(const lt::torrent_handle& handle) {
    auto it = FindJob(handle);
    if (it == running_.end()) return;
    std::shared_ptr<const lt::torrent_info> info;
    try {
      info = handle.torrent_file();
    } catch (const std::exception& e) {
      LogException("reading the metadata", e);
    }
    if (!info) return;  // keep waiting: another peer may deliver, or the timeout ends it
    // The info dictionary exactly as received; re-encoding the torrent could reorder or drop
    // keys of a hybrid torrent.
    const lt::span<const char> section = info->info_section();
    FetchResult result;
    result.report.outcome = FoundBy(it->second, MetadataWatch::Read(*it->second.watch));
    result.torrent = TorrentBytes(
        std::string(section.data(), static_cast<std::size_t>(section.size())), settings_.trackers);
    Finish(it, std::move(result));
  }

  // The DHT and the trackers name this session among the peers of what it looks for, as it
  // announces itself; libtorrent then dials itself (and drops the connection) now and then.
  // Neither side of that counts: the dial goes to our own port, and connections that came in
  // are left out of the counts altogether (the far side of one of them is an ephemeral port).
  bool IsSelf(const lt::tcp::endpoint& ep) {
    if (listenPort_ == 0 && session_) listenPort_ = session_->listen_port();
    return ep.port() == listenPort_ && IsClosedAddress(ep.address());
  }

  void NotePeer(const lt::peer_alert& alert, bool incoming) {
    auto it = FindJob(alert.handle);
    if (it == running_.end()) return;
    Job& job = it->second;
    if (incoming) {
      job.incoming.insert(alert.endpoint);
    } else if (IsSelf(alert.endpoint)) {
      job.self = true;
    } else if (!job.incoming.count(alert.endpoint)) {
      job.tried.insert(alert.endpoint);
    }
  }

  void PopAlerts() {
    std::lock_guard lock(mutex_);
    HandleAlerts();
  }

  // Called with the mutex held.
  void HandleAlerts() {
    if (stopped_ || !session_) return;
    std::vector<lt::alert*> alerts;
    session_->pop_alerts(&alerts);
    for (lt::alert* alert : alerts) {
      if (auto* a = lt::alert_cast<lt::metadata_received_alert>(alert)) {
        OnMetadata(a->handle);
      } else if (auto* e = lt::alert_cast<lt::torrent_error_alert>(alert)) {
        // A torrent in error is stopped: waiting on would only run into the timeout.
        if (auto it = FindJob(e->handle); it != running_.end()) {
          FetchResult result;
          result.report.outcome = Classify(it->second, MetadataWatch::Read(*it->second.watch));
          Finish(it, std::move(result));
        }
      } else if (auto* c = lt::alert_cast<lt::peer_connect_alert>(alert)) {
        NotePeer(*c, c->direction == lt::peer_connect_alert::direction_t::in);
      } else if (auto* d = lt::alert_cast<lt::peer_disconnected_alert>(alert)) {
        if (d->error == lt::errors::self_connection) {
          if (auto it = FindJob(d->handle); it != running_.end()) it->second.self = true;
        } else {
          NotePeer(*d, false);
        }
      } else if (auto* p = lt::alert_cast<lt::peer_error_alert>(alert)) {
        NotePeer(*p, false);
      } else if (auto* t = lt::alert_cast<lt::tracker_reply_alert>(alert)) {
        if (auto it = FindJob(t->handle); it != running_.end()) {
          trackerReplied_.insert(it->second.id);
          // The tracker names us among the peers too.
          if (t->num_peers > 1) it->second.trackerNamedPeers = true;
        }
      } else if (auto* r = lt::alert_cast<lt::dht_reply_alert>(alert)) {
        if (auto it = FindJob(r->handle); it != running_.end() && r->num_peers > 0)
          it->second.dhtNamedPeers = true;
      } else if (lt::alert_cast<lt::dht_bootstrap_alert>(alert)) {
        dhtNodes_ = std::max(dhtNodes_, 1);
        session_->post_dht_stats();
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
  std::vector<std::string> trackerUrls_;
  std::vector<int> trackerTiers_;
  int tierCount_ = 0;
  std::string savePath_;
  std::shared_ptr<MetadataWatch> watch_;

  mutable std::mutex mutex_;
  std::unique_ptr<lt::session> session_;
  std::map<std::string, Job> running_;
  std::map<std::string, Waiting> queued_;
  std::deque<std::string> queueOrder_;
  std::set<std::uint64_t> trackerReplied_;  // fetches a tracker answered
  boost::asio::steady_timer tickTimer_;
  bool ticking_ = false;
  bool stopped_ = false;
  int dhtNodes_ = 0;
  int listenPort_ = 0;
  std::uint64_t lastJobId_ = 0;
  std::uint64_t lastTicket_ = 0;
  std::map<std::uint64_t, std::string> tickets_;  // waiting fetches: ticket → hash key
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
    // Every node of the swarm shares one address: the flood guard (packets per second and
    // address) would ban the whole swarm at once, and the DHT's upload cap drops replies
    // when many lookups run side by side.
    pack.set_int(lt::settings_pack::dht_block_ratelimit, 100000);
    pack.set_int(lt::settings_pack::dht_upload_rate_limit, 64 * 1024 * 1024);
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

std::uint64_t Resolver::Fetch(const std::string& infoHash, std::function<void(FetchResult)> done) {
  return impl_->core->Fetch(infoHash, std::move(done));
}

bool Resolver::Cancel(std::uint64_t ticket) {
  return impl_->core->Cancel(ticket);
}

int Resolver::DhtNodes() const {
  return impl_->core->DhtNodes();
}

bool Resolver::Running() const {
  return impl_->core->Running();
}

int Resolver::ListenPort() const {
  return impl_->core->ListenPort();
}

std::string Resolver::DhtState() const {
  return impl_->core->DhtState();
}

}  // namespace pellucor::service
