// The sites pellucor-service serves on one address, routed by path:
//   first service   POST /download.aspx                first_service.h
//   second service  POST /magnet-bt/index.php          second_service.h
//                   GET  /magnet-bt/down.php?hash=H
//   publisher       GET  /, /index.html, /ggurl.html,  publisher.h
//                        /advert-picture
//   programs        /api/v1/torrents/…                 api.h
//   operators       GET  /metrics, /healthz            operator_pages.h
// A path of no route gets the 404 page; a route asked with a method it does not take gets 405
// with Allow ("POST", or "GET, HEAD": HEAD is answered as GET). The same table says which site
// a path belongs to, for the request counts. Runs on the io thread (serve.cpp).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "service/core/metrics.h"
#include "service/http/http_server.h"
#include "service/lookup/lookups.h"
#include "service/lookup/torrent_cache.h"
#include "service/sites/api.h"
#include "service/sites/first_service.h"
#include "service/sites/operator_pages.h"
#include "service/sites/publisher.h"
#include "service/sites/second_service.h"

namespace pellucor::service {

struct SiteSettings {
  std::string siteTag = "pellucor.local";  // must equal the desktop tool's
  bool advert = false;
  std::string advertPicture;  // the picture's bytes
  std::string advertLink;     // where a click on it leads
};

class Sites {
 public:
  Sites(Lookups& lookups, TorrentCache& cache, Metrics& metrics, SiteSettings settings);
  Sites(const Sites&) = delete;
  Sites& operator=(const Sites&) = delete;

  void Handle(const Request& request, Responder respond);
  // Which site `path` (no query) belongs to, for the request counts: "first", "second",
  // "publisher", "api", "metrics", "healthz" or "other".
  //   "/magnet-bt/anything" -> "second";  "/nothing" -> "other"
  const char* SiteOf(std::string_view path) const;

 private:
  enum class Methods { kGet, kPost, kAny };  // kGet: GET and HEAD
  struct Route {
    std::string_view path;
    bool prefix;  // every path that starts with `path`
    const char* site;
    Methods methods;
    HttpHandler handler;  // empty: a path of the site that serves nothing (404)
  };
  const Route* RouteOf(std::string_view path) const;

  FirstService first_;
  SecondService second_;
  Publisher publisher_;
  Api api_;
  OperatorPages operator_;
  std::vector<Route> routes_;  // the first that matches counts
};

}  // namespace pellucor::service
