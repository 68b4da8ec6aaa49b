// The resolver's libtorrent session, and what every fetch in it shares: the listed peers, the
// trackers, the count of the DHT's nodes. Each fetch is a torrent added by info hash in upload
// mode on a session whose disk I/O is disabled, so nothing but the info dictionary (BEP 9) ever
// travels; the metadata watch (metadata_watch.h) looks on.
// Runs on the resolver's io thread; libtorrent runs its own network thread, on which only the
// `alertsWaiting` and `changed` callbacks given here are called.
//
// A session that could not start stays absent inside: Running() is false, Add() gives nothing,
// and every other call does nothing.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <libtorrent/fwd.hpp>
#include <libtorrent/socket.hpp>
#include <libtorrent/torrent_handle.hpp>

#include "service/swarm/fetch_report.h"
#include "service/swarm/fetcher.h"
#include "service/swarm/metadata_watch.h"
#include "torrent/info_hash.h"

namespace pellucor::service {

struct ResolverSettings;

class FetchSession {
 public:
  // Resolves the listed peers (blocking on DNS: at start-up, not on the io thread) and starts
  // the session. `alertsWaiting` runs on libtorrent's thread whenever alerts wait to be popped.
  FetchSession(const ResolverSettings& settings, std::function<void()> alertsWaiting);
  // Waits for libtorrent's thread to end.
  ~FetchSession();
  FetchSession(const FetchSession&) = delete;
  FetchSession& operator=(const FetchSession&) = delete;

  bool Running() const { return session_ != nullptr; }
  int ListenPort() const;
  // The DHT's node id and routing table, bencoded; empty without a DHT.
  std::string DhtState() const;

  // What one fetch asks besides the session's own peers and trackers: those its magnet links
  // named. Peers that are no literal address are left out.
  struct Sources {
    std::vector<lt::tcp::endpoint> peers;
    std::vector<std::string> trackers;
  };
  static Sources Read(const FetchSources& sources);
  // Adds what `more` holds that `into` lacks to both; `added` gets what was new.
  static void Merge(Sources& into, const Sources& more, Sources* added);

  // The torrent of one fetch and its watch; the watch's `changed` runs on libtorrent's thread.
  struct Torrent {
    lt::torrent_handle handle;
    std::shared_ptr<MetadataWatch::Watch> watch;
  };
  std::optional<Torrent> Add(const InfoHash& hash, const Sources& sources,
                             std::function<void()> changed);
  void Remove(const lt::torrent_handle& handle);
  // Asks the DHT for peers once its routing table has nodes; `again` (every time but the first,
  // when libtorrent does so itself) also dials the listed peers and those of `sources`, and asks
  // the trackers.
  void AskForPeers(const lt::torrent_handle& handle, bool again, const Sources& sources);
  // Adds a running fetch's new sources: its trackers are asked and its peers dialled now.
  void AddSources(const lt::torrent_handle& handle, const Sources& added);
  // The peers the session lists itself.
  const std::vector<lt::tcp::endpoint>& Listed() const { return listed_; }
  // The peers in the torrent's peer list; 0 when it is gone.
  int PeerListSize(const lt::torrent_handle& handle) const;
  // The info dictionary exactly as received, once libtorrent has it.
  std::optional<std::string> InfoSection(const lt::torrent_handle& handle) const;
  // A torrent whose info dictionary is known, added again by every hash it has, so that peers are
  // asked for its piece layers (libtorrent asks only on connections made with the SHA-256);
  // `sources` are asked besides the session's own. No watch.
  std::optional<Torrent> AddKnown(const std::string& info, const Sources& sources);
  // Whether a torrent of this info dictionary is v2 or hybrid with a file of more than one
  // piece, whose piece layer the metadata exchange does not carry.
  static bool NeedsPieceLayers(const std::string& info);
  // The "piece layers" of the torrent once libtorrent holds every layer its files need, by
  // pieces root; nothing while one is missing.
  std::optional<std::map<std::string, std::string>> PieceLayers(
      const lt::torrent_handle& handle) const;

  // This session's own address, as the DHT and the trackers name it to itself.
  bool IsSelf(const lt::tcp::endpoint& endpoint) const;
  // Asks for a fresh count of the DHT's nodes (a dht_stats_alert answers).
  void CountDhtNodes();
  void SetDhtNodes(int nodes) { dhtNodes_ = nodes; }
  int DhtNodes() const { return dhtNodes_; }
  // The DHT is on, and its routing table has no node yet.
  bool DhtFilling() const { return dht_ && dhtNodes_ == 0; }
  // What a fetch's report weighs beside its own counts; `listed` the session's peers and the
  // fetch's own.
  FetchReport::Swarm Swarm(std::span<const lt::tcp::endpoint> listed) const {
    return {dht_, dhtNodes_, listed};
  }
  // The alerts libtorrent raised since the last call; valid until the next.
  std::vector<lt::alert*> PopAlerts();

 private:
  const bool dht_;
  // Fills a torrent's peers and trackers: the session's, then those of `sources`.
  void Fill(lt::add_torrent_params& params, const Sources& sources) const;

  std::vector<lt::tcp::endpoint> listed_;
  std::vector<std::string> trackerUrls_;
  std::vector<int> trackerTiers_;
  std::string savePath_;
  std::shared_ptr<MetadataWatch> watch_;
  std::unique_ptr<lt::session> session_;
  int dhtNodes_ = 0;
  mutable int listenPort_ = 0;  // read once the session listens
};

}  // namespace pellucor::service
