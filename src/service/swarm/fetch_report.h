// What one fetch saw of the swarm, and what the lookup's report makes of it: the peers it learnt
// of and tried (from libtorrent's alerts), why a fetch that ended without metadata found none
// (Classify) and who gave the metadata of one that found it (FoundBy), from the most telling sign
// down. Runs on the resolver's io thread.
//   a peer offered the metadata and the time ran out          -> Classify: kTimedOut
//   the DHT named peers, one of them sent the metadata        -> FoundBy: kFoundDht
#pragma once

#include <set>
#include <span>

#include <libtorrent/socket.hpp>

#include "service/core/outcome.h"
#include "service/swarm/metadata_watch.h"

namespace pellucor::service {

class FetchReport {
 public:
  // What the resolver knows beside this fetch.
  struct Swarm {
    bool dht = false;                           // the DHT is on
    int dhtNodes = 0;                           // nodes in its routing table
    std::span<const lt::tcp::endpoint> listed;  // the peers the settings name
  };

  // A connection with `peer`. Connections that came in are left out of the counts altogether (the
  // far side of one is an ephemeral port), and so is a dial to this session itself (`self`): the
  // DHT and the trackers name it among the peers of what it looks for, as it announces itself.
  void NoteConnection(const lt::tcp::endpoint& peer, bool incoming, bool self);
  // libtorrent found a connection to be one to this session itself.
  void NoteSelfConnection() { self_ = true; }
  // The peers in the torrent's peer list now (libtorrent drops peers that keep failing, so the
  // largest count is kept); this session itself, once seen, is not one of them.
  void NotePeerList(int peers);
  // A tracker answered, naming `peers` peers (this session among them).
  void NoteTrackerReply(int peers);
  // The DHT answered a lookup, naming `peers` peers.
  void NoteDhtReply(int peers);

  // Why a fetch that ran out of time, or whose torrent failed, has no metadata.
  Outcome Classify(const MetadataWatch::Snapshot& seen, const Swarm& swarm) const;
  // Who gave the metadata: a listed peer, or how the peer that sent it was found (as the watch
  // recorded it); for a peer that came by itself, what named peers to this fetch.
  Outcome FoundBy(const MetadataWatch::Snapshot& seen, const Swarm& swarm) const;

  int PeersSeen() const;  // never fewer than those tried
  int PeersTried() const { return static_cast<int>(tried_.size()); }

 private:
  int peersSeen_ = 0;
  std::set<lt::tcp::endpoint> tried_;
  std::set<lt::tcp::endpoint> incoming_;  // far ends of connections that came in
  bool dhtNamedPeers_ = false;
  bool trackerNamedPeers_ = false;
  bool trackerReplied_ = false;
  bool self_ = false;  // this session was among the peers named
};

}  // namespace pellucor::service
