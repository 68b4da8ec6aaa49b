// pellucor-convert --swarm: each link looked up in the BitTorrent swarm by the converter itself,
// with no service, through the service's own swarm code (service/swarm/resolver.h): the DHT, the
// listed peers and trackers, and the trackers (tr=) and peers (x.pe=) the link names. All links
// of a run share one libtorrent session; -j bounds the lookups at once, and a link asked twice is
// looked up once.
//
// A torrent is saved only when its info dictionary hashes to the link's hash (SHA-1, SHA-256, or
// the truncated SHA-256 a v2 torrent goes by), with the piece layers of a v2 or hybrid torrent
// when they came, and the link's and --trackers' trackers outside the info dictionary; as
// NAME.torrent after the torrent's own name made safe (SafeFileName), never over another file
// ("NAME (2).torrent"); a file of the same info dictionary is the torrent already.
//
// Standard output as in the other modes: "OK <hash> <file>", "FAIL <hash> <input> <reason>" with
// the lookup's outcome phrase ("no peers found", "bad metadata", …), or with --json the outcome
// codes and "pieceLayers". <hash> is the link's hash in lower-case hex: its v1 hash, else its
// 64-digit v2 hash. The DHT's routing table is read from the state file at the start and saved
// there at the end.
#pragma once

#include "cli/convert_command.h"

namespace pellucor {

// Whether this build can look links up in the swarm (it has libtorrent).
extern const bool kSwarmBuilt;

// Converts every link of `options` through the swarm; the exit status.
int ConvertFromSwarm(const ConvertOptions& options);

}  // namespace pellucor
