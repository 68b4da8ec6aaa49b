// The second service:
//   POST /magnet-bt/index.php  form field "magnet" (a link, whose trackers and peers join the
//                              lookup, or a hash) → a page listing the torrent's files, with a
//                              download link
//   GET  /magnet-bt/down.php?hash=H → the stored .torrent, named in Content-Disposition:
//                              NAME[site tag].torrent
// and the page the desktop tool recognises as a miss, then why the lookup missed. Runs on the
// io thread (serve.cpp).
#pragma once

#include <string>

#include "service/http/http_server.h"
#include "service/lookup/lookups.h"
#include "service/lookup/torrent_cache.h"

namespace pellucor::service {

class SecondService {
 public:
  SecondService(Lookups& lookups, TorrentCache& cache, std::string siteTag)
      : lookups_(lookups), cache_(cache), siteTag_(std::move(siteTag)) {}
  // POST /magnet-bt/index.php: looks the hash up (the swarm too).
  void Form(const Request& request, Responder respond);
  // GET /magnet-bt/down.php: the store (and memory) only.
  void Download(const Request& request, Responder respond);

 private:
  Lookups& lookups_;
  TorrentCache& cache_;
  const std::string siteTag_;  // must equal the desktop tool's
};

}  // namespace pellucor::service
