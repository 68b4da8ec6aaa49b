// The three sites pellucor-service serves on one address:
//   first service   POST /download.aspx              form field "hash"   → the .torrent itself
//   second service  POST /magnet-bt/index.php        form field "magnet" → a page listing the
//                                                    files, with a download link
//                   GET  /magnet-bt/down.php?hash=H  → the .torrent, named in
//                                                    Content-Disposition: NAME[site tag].torrent
//   publisher       GET  /  (home page), /ggurl.html (advert document), /advert-picture
// A hash the store lacks is looked for in the swarm; what is found is stored and served.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "service/http_server.h"
#include "service/resolver.h"
#include "service/store.h"

namespace pellucor::service {

struct SiteSettings {
  std::string siteTag = "pellucor.local";  // must equal the desktop tool's
  bool advert = false;
  std::string advertPicture;  // the picture's bytes
  std::string advertLink;     // where a click on it leads
};

// Used on one thread: the io_context's that runs the server and the resolver.
class Sites {
 public:
  // `resolver` may be null: then only the store answers.
  Sites(Store& store, Resolver* resolver, SiteSettings settings);
  void Handle(const Request& request, Responder respond);

 private:
  using LookupDone = std::function<void(std::shared_ptr<const StoredTorrent>)>;
  // The stored torrent of `hash`, fetched from the swarm and stored first when needed.
  void Lookup(const std::string& hash, LookupDone done);
  // The stored torrent of `hash` from memory or the store; null when there is none.
  std::shared_ptr<const StoredTorrent> Stored(const std::string& hash);
  void FirstService(const Request& request, Responder respond);
  void SecondServiceForm(const Request& request, Responder respond);
  void SecondServiceDownload(const Request& request, Responder respond);
  void AdvertDocument(const Request& request, Responder respond);

  static constexpr size_t kCacheEntries = 4096;

  Store& store_;
  Resolver* resolver_;
  SiteSettings settings_;
  std::unordered_map<std::string, std::shared_ptr<const StoredTorrent>> cache_;
};

// Helpers, exposed for their tests.

// The fields of an application/x-www-form-urlencoded body ("+" is a space); the first of
// repeated names counts. Nothing for a body with a broken %-escape.
std::optional<std::map<std::string, std::string>> ParseForm(std::string_view body);
// The info hash (40 lower-case hex) a form value names: a magnet link with an "xt=urn:btih:"
// parameter (40 hex digits or 32 base32 letters), or a bare hash; blanks around it are ignored.
std::optional<std::string> HashFromValue(std::string_view value);
// A size as the second service's page shows it, at most 9 characters: "512 B", "1.00 KB",
// "700.25 MB" (units of 1024).
std::string HumanSize(int64_t bytes);
std::string HtmlEscape(std::string_view text);

}  // namespace pellucor::service
