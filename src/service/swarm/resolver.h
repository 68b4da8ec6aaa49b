// Fetching a torrent's metadata from the BitTorrent swarm (DHT, trackers, listed peers and the
// BEP 9/10 metadata exchange) with libtorrent: nothing is downloaded but the info dictionary.
// Runs on one io thread: the constructor before that thread runs it (it resolves host names),
// everything else on it. libtorrent's own thread only posts tasks there.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "service/core/outcome.h"
#include "service/swarm/fetch_alerts.h"
#include "service/swarm/fetch_queue.h"
#include "service/swarm/fetcher.h"
#include "service/swarm/lifeline.h"
#include "service/swarm/metadata_watch.h"
#include "service/swarm/running_fetches.h"
#include "service/swarm/session_settings.h"
#include "torrent/info_hash.h"

namespace pellucor::service {

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
  int maxParallel = 16;  // fetches running at once; more wait their turn
  // Whether the time a fetch waits for its turn counts toward its timeout: a service answers
  // every lookup within its time (kBusy when no fetch came free); the converter gives each of
  // its links the whole time, however long it waited.
  bool waitingCounts = true;
  int maxMetadataBytes = 30 * 1024 * 1024;  // larger info dictionaries are refused
  // How long a v2 or hybrid torrent's fetch waits, once the metadata is in, for the piece
  // layers its larger files need; without them by then it is delivered as it is (0: never
  // waits).
  int layersGraceMilliseconds = 2000;
  // Whether a lookup's own sources (a link's peers and trackers) may name loopback, private
  // and link-local addresses. A public service must not dial into its own network for a
  // client; a closed swarm's service and the converter (the user's own links) may.
  bool closedSourcesAllowed = false;
};

// A fetch ends with an outcome: found (and by whom: a listed peer, the DHT, a tracker), or at its
// timeout, why not (FetchReport). The parts: the books of who waits for what (FetchQueue), the
// libtorrent session (FetchSession) and its alerts (HandleFetchAlerts), each fetch under way
// (FetchJob).
class Resolver final : public Fetcher, private FetchAlertSink {
 public:
  // Starts the libtorrent session at once, so the DHT fills before the first lookup. Resolves
  // the host names of `peers` and `dhtBootstrap`, blocking: construct it before the io thread
  // runs `io`, never on it. Callbacks run on `io`.
  Resolver(boost::asio::io_context& io, ResolverSettings settings);
  // Fetches running or queued are dropped: their callbacks never run, nor do tasks libtorrent
  // posted for this resolver.
  ~Resolver() override;
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;

  // Looks for the torrent of `infoHash` in the swarm: 40 hex digits (a SHA-1 info hash, or the
  // truncated SHA-256 of a v2 torrent) or 64 (a SHA-256 info hash), either case. `done`
  // receives the .torrent bytes: "d" + the trackers' "announce"/"announce-list" + "4:info" +
  // the raw info bytes + "e", so the info hash holds byte for byte; or why there are none.
  // Requests for a hash already being fetched join that fetch, their sources with them. Anything
  // but such a hash, or a lookup with nowhere to look (no DHT, no peers, no trackers, nothing in
  // `sources`), ends at once (on `io`) with kNoPeers and no counts. The torrent carries the
  // sources' trackers after the settings' own, each a tier of its own. Returns a ticket for
  // Cancel (0 for an answer that is already on its way).
  using Fetcher::Fetch;
  std::uint64_t Fetch(const std::string& infoHash, const FetchSources& sources,
                      const std::string& client, std::function<void(FetchResult)> done) override;
  // Adds the sources it may ask (as Fetch takes them) to the fetch of `infoHash` under way.
  void AddSources(const std::string& infoHash, const FetchSources& sources) override;
  // Withdraws the request of `ticket`: its `done` is never run. A fetch whose every request was
  // withdrawn stops (its torrent is removed, a queued one starts in its place). False, and
  // nothing withdrawn, once the result was handed on: `done` will run.
  bool Cancel(std::uint64_t ticket) override;
  // Nodes in the DHT's routing table, as last counted.
  int DhtNodes() const override;
  // The peers the fetches under way learnt of, together (for a progress line).
  int PeersSeen() const { return jobs_.PeersSeen(); }

  // True while the libtorrent session runs; false when it could not be started.
  bool Running() const override;
  // The port the session listens on (for tests that point a peer at it).
  int ListenPort() const;
  // The DHT's node id and routing table, bencoded, for ResolverSettings::dhtState; empty when
  // there is no DHT.
  std::string DhtState() const;

 private:
  using Job = RunningFetches::iterator;

  // `waited`: the fetch waited its turn in the queue.
  void Begin(const InfoHash& hash, bool waited = false);
  // The sources of `named` a lookup may ask (closedSourcesAllowed); those left out are logged.
  FetchSources Allowed(const std::string& infoHash, const FetchSources& named) const;
  void Found(Job job, const std::string& info, const MetadataWatch::Snapshot& seen,
             bool readd = false);
  void Absorb(Job job, const std::string& info);
  void PollLayers(const InfoHash& hash, std::uint64_t id);
  void FoundWith(Job job, const std::string& info, const MetadataWatch::Snapshot& seen,
                 const std::map<std::string, std::string>& layers);
  void Missed(Job job);
  void Finish(Job job, FetchResult result);
  void StartQueued();
  // Ends the queued fetches whose whole time went by waiting (kBusy), and sets the timer for the
  // next one.
  void ExpireQueued();
  FetchResult Busy() const;
  // Hands `result` on, posted: to one caller, or to every caller of a fetch with its seconds.
  void Post(std::function<void(FetchResult)> done, FetchResult result);
  void Deliver(FetchQueue::Callers callers, FetchResult result);
  void OnTimeout(const InfoHash& hash, std::uint64_t id);
  void OnWatch(const InfoHash& hash, std::uint64_t id);

  // FetchAlertSink
  FetchReport* ReportOf(const lt::torrent_handle& handle) override;
  void MetadataReceived(const lt::torrent_handle& handle) override;
  void TorrentFailed(const lt::torrent_handle& handle) override;
  void Conflict(const lt::torrent_handle& handle, const lt::torrent_handle& other,
                const std::string& info) override;
  void DhtNodesCame() override;

  boost::asio::io_context& io_;
  const ResolverSettings settings_;
  Lifeline<Resolver> life_{this};  // cut first thing in the destructor
  FetchQueue queue_;
  FetchSession session_;
  RunningFetches jobs_;  // after the session: they go first
  boost::asio::steady_timer queueExpiry_;
  bool expiryArmed_ = false;
  std::uint64_t lastId_ = 0;
};

}  // namespace pellucor::service
