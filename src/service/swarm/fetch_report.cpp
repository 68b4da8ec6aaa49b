#include "service/swarm/fetch_report.h"

#include <algorithm>

#include <libtorrent/peer_info.hpp>

namespace pellucor::service {

void FetchReport::NoteConnection(const lt::tcp::endpoint& peer, bool incoming, bool self) {
  if (incoming) {
    incoming_.insert(peer);
  } else if (self) {
    self_ = true;
  } else if (!incoming_.count(peer)) {
    tried_.insert(peer);
  }
}

void FetchReport::NotePeerList(int peers) {
  peersSeen_ = std::max(peersSeen_, peers - (self_ ? 1 : 0));
}

void FetchReport::NoteTrackerReply(int peers) {
  trackerReplied_ = true;
  if (peers > 1) trackerNamedPeers_ = true;  // the tracker names us among the peers too
}

void FetchReport::NoteDhtReply(int peers) {
  if (peers > 0) dhtNamedPeers_ = true;
}

Outcome FetchReport::Classify(const MetadataWatch::Snapshot& seen, const Swarm& swarm) const {
  if (seen.tooLarge) return Outcome::kTooLarge;
  if (seen.bad) return Outcome::kBadMetadata;
  if (seen.offering > 0) return Outcome::kTimedOut;  // a peer was still at it
  if (peersSeen_ > 0 || !tried_.empty()) return Outcome::kNoMetadata;
  if (swarm.dht && swarm.dhtNodes == 0 && swarm.listed.empty() && !trackerReplied_)
    return Outcome::kNoDhtNodes;
  return Outcome::kNoPeers;
}

Outcome FetchReport::FoundBy(const MetadataWatch::Snapshot& seen, const Swarm& swarm) const {
  if (std::find(swarm.listed.begin(), swarm.listed.end(), seen.from) != swarm.listed.end())
    return Outcome::kFoundPeer;
  const lt::peer_source_flags_t sources = seen.fromSource;
  if (sources & lt::peer_info::resume_data) return Outcome::kFoundPeer;  // listed peers come so
  if (sources & lt::peer_info::dht) return Outcome::kFoundDht;
  if (sources & lt::peer_info::tracker) return Outcome::kFoundTracker;
  if (dhtNamedPeers_) return Outcome::kFoundDht;
  if (trackerNamedPeers_) return Outcome::kFoundTracker;
  if (!swarm.listed.empty()) return Outcome::kFoundPeer;
  return swarm.dht ? Outcome::kFoundDht : Outcome::kFoundTracker;
}

int FetchReport::PeersSeen() const {
  return std::max(peersSeen_, PeersTried());
}

}  // namespace pellucor::service
