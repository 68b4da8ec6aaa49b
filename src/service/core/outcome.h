// How a lookup of a torrent ended, and what it saw on the way: the value the resolver and the
// sites hand on to the log, the miss pages and the JSON API.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pellucor::service {

enum class Outcome {
  kFoundStore,
  kFoundPeer,         // from a peer given on the command line
  kFoundDht,          // from a peer the DHT named
  kFoundTracker,      // from a peer a tracker named
  kNoDhtNodes,        // the DHT was the only source, and its routing table stayed empty
  kNoPeers,           // nobody named a peer
  kNoMetadata,        // peers were named, none gave the metadata
  kBadMetadata,       // a peer sent metadata that does not hash to the info hash
  kTooLarge,          // a peer offered metadata over the size cap
  kTimedOut,          // a peer was still sending the metadata when the time ran out
  kStoreFailed,       // the metadata came, but the store's checks refused it
  kCancelled,         // every client that asked went away first
  kTooManyLookups,    // not looked up: the client had as many lookups waiting as it may
  kStoreUnavailable,  // not looked up: the store could not be read (the torrent may be in it)
  kBusy,              // not looked up: every fetch was taken for the whole of the lookup's time
};

struct LookupReport {
  Outcome outcome = Outcome::kNoPeers;
  int dhtNodes = 0;    // nodes in the DHT routing table when the lookup ended
  int peersSeen = 0;   // peers the lookup learnt of: listed, from the DHT, from trackers
  int peersTried = 0;  // peers it connected to, or tried to
  double seconds = 0;  // from the start of the lookup to its end
};

bool IsFound(Outcome outcome);
// "found_dht": the code programs read (the JSON API).
const char* OutcomeCode(Outcome outcome);
// The outcome of a code OutcomeCode gives; nothing for any other text.
std::optional<Outcome> OutcomeFromCode(std::string_view code);
// "found through the DHT": what the command-line converter prints.
const char* OutcomePhrase(Outcome outcome);
// One Chinese sentence with the counts, for the sites' pages:
//   "未找到：没有找到拥有这个种子的节点（DHT 节点 12 个，发现节点 0 个，尝试连接 0 个，用时 3.0
//   秒）。"
std::string OutcomeSentence(const LookupReport& report);

}  // namespace pellucor::service
