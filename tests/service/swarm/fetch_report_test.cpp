// A fetch's report: the peers it counts, and the outcome it draws from them and from the metadata
// watch, from the most telling sign down. One table per rule.
#include "service/swarm/fetch_report.h"

#include <functional>
#include <ostream>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/ip/address.hpp>
#include <libtorrent/peer_info.hpp>

namespace pellucor::service {

// Failures name the outcome by its code.
inline void PrintTo(Outcome outcome, std::ostream* os) {
  *os << OutcomeCode(outcome);
}

namespace {

using Events = std::function<void(FetchReport&)>;
using Snapshot = MetadataWatch::Snapshot;

const lt::tcp::endpoint kListed(boost::asio::ip::make_address("127.0.0.1"), 6881);
const lt::tcp::endpoint kOther(boost::asio::ip::make_address("127.0.0.2"), 7000);
const std::vector<lt::tcp::endpoint> kListedPeers = {kListed};

FetchReport::Swarm Dht(int nodes) {
  return {true, nodes, {}};
}
FetchReport::Swarm NoDht() {
  return {false, 0, {}};
}
FetchReport::Swarm Listed(bool dht) {
  return {dht, 0, kListedPeers};
}

Snapshot Seen(bool tooLarge, bool bad, int offering) {
  Snapshot seen;
  seen.tooLarge = tooLarge;
  seen.bad = bad;
  seen.offering = offering;
  return seen;
}

Snapshot From(const lt::tcp::endpoint& peer, lt::peer_source_flags_t source = {}) {
  Snapshot seen;
  seen.info = "d4:name1:xe";
  seen.from = peer;
  seen.fromSource = source;
  return seen;
}

TEST(FetchReport, CountsThePeersSeenAndTried) {
  const struct {
    const char* name;
    Events events;
    int seen, tried;
  } cases[] = {
      {"a dial", [](FetchReport& r) { r.NoteConnection(kOther, false, false); }, 1, 1},
      {"two dials to one peer",
       [](FetchReport& r) {
         r.NoteConnection(kOther, false, false);
         r.NoteConnection(kOther, false, false);
       },
       1, 1},
      // Its far end is an ephemeral port; a failed dial back to it is no peer tried.
      {"a connection that came in, and a dial to its far end",
       [](FetchReport& r) {
         r.NoteConnection(kOther, true, false);
         r.NoteConnection(kOther, false, false);
       },
       0, 0},
      {"a dial to this session itself",
       [](FetchReport& r) { r.NoteConnection(kListed, false, true); }, 0, 0},
      {"a peer list with this session in it",
       [](FetchReport& r) {
         r.NoteSelfConnection();
         r.NotePeerList(3);
       },
       2, 0},
      {"the largest peer list counts",
       [](FetchReport& r) {
         r.NotePeerList(4);
         r.NotePeerList(1);
       },
       4, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FetchReport report;
    c.events(report);
    EXPECT_EQ(report.PeersSeen(), c.seen);
    EXPECT_EQ(report.PeersTried(), c.tried);
  }
}

// Why a fetch that ran out of time has no metadata.
TEST(FetchReport, ClassifiesAMiss) {
  const Events none = [](FetchReport&) {};
  const Snapshot nothing;  // no offer, no metadata
  const struct {
    const char* name;
    Snapshot seen;
    Events events;
    FetchReport::Swarm swarm;
    Outcome outcome;
  } cases[] = {
      {"metadata over the cap, before all else", Seen(true, true, 1), none, Dht(0),
       Outcome::kTooLarge},
      {"bad metadata, before an offer", Seen(false, true, 1), none, Dht(0), Outcome::kBadMetadata},
      {"a peer still offering the metadata", Seen(false, false, 1), none, Dht(0),
       Outcome::kTimedOut},
      {"peers named, none gave it", nothing, [](FetchReport& r) { r.NotePeerList(1); }, Dht(0),
       Outcome::kNoMetadata},
      {"a peer tried", nothing, [](FetchReport& r) { r.NoteConnection(kOther, false, false); },
       Dht(0), Outcome::kNoMetadata},
      {"only this session named", nothing,
       [](FetchReport& r) {
         r.NoteSelfConnection();
         r.NotePeerList(1);
       },
       Dht(5), Outcome::kNoPeers},
      {"an empty DHT, the only source", nothing, none, Dht(0), Outcome::kNoDhtNodes},
      {"an empty DHT, and a tracker that answered", nothing,
       [](FetchReport& r) { r.NoteTrackerReply(1); }, Dht(0), Outcome::kNoPeers},
      {"an empty DHT, and listed peers", nothing, none, Listed(true), Outcome::kNoPeers},
      {"a DHT with nodes that named nobody", nothing, none, Dht(5), Outcome::kNoPeers},
      {"no DHT", nothing, none, NoDht(), Outcome::kNoPeers},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FetchReport report;
    c.events(report);
    EXPECT_EQ(report.Classify(c.seen, c.swarm), c.outcome);
  }
}

// Who gave the metadata.
TEST(FetchReport, SaysWhoGaveTheMetadata) {
  const Events none = [](FetchReport&) {};
  const struct {
    const char* name;
    Snapshot seen;
    Events events;
    FetchReport::Swarm swarm;
    Outcome outcome;
  } cases[] = {
      {"a listed peer", From(kListed), none, Listed(true), Outcome::kFoundPeer},
      {"a peer from the torrent's own list", From(kOther, lt::peer_info::resume_data), none, Dht(5),
       Outcome::kFoundPeer},
      {"a peer the DHT named", From(kOther, lt::peer_info::dht), none, Listed(false),
       Outcome::kFoundDht},
      {"a peer a tracker named", From(kOther, lt::peer_info::tracker), none, Listed(true),
       Outcome::kFoundTracker},
      {"a peer that came by itself, others named by the DHT", From(kOther),
       [](FetchReport& r) { r.NoteDhtReply(2); }, Listed(false), Outcome::kFoundDht},
      {"a peer that came by itself, others named by a tracker", From(kOther),
       [](FetchReport& r) { r.NoteTrackerReply(2); }, Listed(true), Outcome::kFoundTracker},
      // A tracker's one peer is this session itself; a DHT that names nobody names nobody.
      {"a peer that came by itself, listed peers", From(kOther),
       [](FetchReport& r) {
         r.NoteTrackerReply(1);
         r.NoteDhtReply(0);
       },
       Listed(true), Outcome::kFoundPeer},
      {"a peer that came by itself, with the DHT on", From(kOther), none, Dht(5),
       Outcome::kFoundDht},
      {"a peer that came by itself, without the DHT", From(kOther), none, NoDht(),
       Outcome::kFoundTracker},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FetchReport report;
    c.events(report);
    EXPECT_EQ(report.FoundBy(c.seen, c.swarm), c.outcome);
  }
}

}  // namespace
}  // namespace pellucor::service
