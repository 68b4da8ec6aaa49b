// The JSON API for programs (README: "The service"):
//   GET /api/v1/torrents/HASH            → the stored torrent's description (json_replies.h),
//                                          or a 404 with the last minute's miss
//   GET /api/v1/torrents/HASH?resolve=1  → the same, looked up in the swarm when not stored
//   GET /api/v1/torrents/HASH.torrent    → the stored .torrent (?resolve=1: looked up when not
//                                          stored, as above)
//   &link=MAGNET (percent-encoded)       → a link of HASH whose trackers ("tr") and peers
//                                          ("x.pe") join the lookup (400 bad_link otherwise)
// HASH: 40 or 64 hex digits or 32 base-32 letters, any case. Errors are JSON too: 400
// bad_hash, 404 not_found, 405 method_not_allowed, 429 too_many_lookups. Runs on the io thread
// (serve.cpp).
#pragma once

#include "service/http/http_server.h"
#include "service/lookup/lookups.h"
#include "service/lookup/torrent_cache.h"

namespace pellucor::service {

class Api {
 public:
  Api(Lookups& lookups, TorrentCache& cache) : lookups_(lookups), cache_(cache) {}
  // Any request under /api/.
  void Serve(const Request& request, Responder respond);

 private:
  Lookups& lookups_;
  TorrentCache& cache_;
};

}  // namespace pellucor::service
