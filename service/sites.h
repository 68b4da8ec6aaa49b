// The three sites pellucor-service serves on one address:
//   first service   POST /download.aspx              form field "hash"   → the .torrent itself
//   second service  POST /magnet-bt/index.php        form field "magnet" → a page listing the
//                                                    files, with a download link
//                   GET  /magnet-bt/down.php?hash=H  → the .torrent, named in
//                                                    Content-Disposition: NAME[site tag].torrent
//   publisher       GET  /  (home page), /ggurl.html (advert document), /advert-picture
//   programs        GET  /api/v1/torrents/HASH[?resolve=1]   → JSON (see README)
//                   GET  /api/v1/torrents/HASH.torrent       → the stored .torrent
//   operators       GET  /healthz   → 200 "ok" when the store answers and the swarm session
//                                     runs, else 503 saying which does not
// A hash the store lacks is looked for in the swarm; what is found is stored and served. Every
// lookup ends with an outcome (outcome.h): it is logged, a miss is remembered for a minute (a
// repeat is answered at once), and the miss pages say it in one sentence after the texts the
// desktop tool searches for. With lookup leases (a store several instances share), an instance
// searches the swarm only when it holds the hash's lease; otherwise it waits for the instance
// that does and answers from the store or with that instance's miss.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
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
  // Called once for every lookup that finished (store hits included); by default one line on
  // stderr.
  std::function<void(const std::string& hash, const LookupReport& report)> onLookup;
};

// Used on one thread: the io_context's that runs the server and the resolver.
class Sites {
 public:
  // `resolver` may be null: then only the store answers. `leases` may be null: then every
  // lookup the store cannot answer is searched here.
  Sites(Store& store, Resolver* resolver, SiteSettings settings, LookupLeases* leases = nullptr);
  void Handle(const Request& request, Responder respond);

 private:
  using LookupDone = std::function<void(std::shared_ptr<const StoredTorrent>, const LookupReport&)>;
  // The stored torrent of `hash` (40 or 64 lower-case hex), fetched from the swarm and stored
  // first when needed; a miss of the last minute is answered at once with its report.
  void Lookup(const std::string& hash, LookupDone done);
  // Searches the swarm for `hash` and stores what it finds; `leased`: the hash's lease is held
  // and is released once that is done.
  void Search(const std::string& hash, LookupDone done, bool leased);
  // The stored torrent of `hash` from memory or the store; null when there is none.
  std::shared_ptr<const StoredTorrent> Stored(const std::string& hash);
  // The report of a lookup of `hash` that missed within the last minute.
  const LookupReport* RecentMiss(const std::string& hash);
  void Finished(const std::string& hash, const LookupReport& report);
  void Api(const Request& request, Responder respond);
  void FirstService(const Request& request, Responder respond);
  void SecondServiceForm(const Request& request, Responder respond);
  void SecondServiceDownload(const Request& request, Responder respond);
  void AdvertDocument(const Request& request, Responder respond);
  void Health(Responder respond);

  static constexpr size_t kCacheEntries = 4096;
  static constexpr std::chrono::seconds kMissMemory{60};

  struct Miss {
    LookupReport report;
    std::chrono::steady_clock::time_point at;
  };

  Store& store_;
  Resolver* resolver_;
  SiteSettings settings_;
  LookupLeases* leases_;
  std::unordered_map<std::string, std::shared_ptr<const StoredTorrent>> cache_;
  std::unordered_map<std::string, Miss> misses_;
  std::deque<std::pair<std::chrono::steady_clock::time_point, std::string>> missOrder_;
};

// Helpers, exposed for their tests.

// The fields of an application/x-www-form-urlencoded body ("+" is a space); the first of
// repeated names counts. Nothing for a body with a broken %-escape.
std::optional<std::map<std::string, std::string>> ParseForm(std::string_view body);
// The info hash (40 or 64 lower-case hex) a form value names, blanks ignored: a magnet link with
// an "xt=urn:btih:" (40 hex digits or 32 base-32 letters) or "xt=urn:btmh:1220" (64 hex)
// parameter; the desktop tool's "magnet:?xt=urn:btih:" + 64 hex digits; or a bare hash of 40 or
// 64 hex digits.
std::optional<std::string> HashFromValue(std::string_view value);
// The hash an API path names: 40 or 64 hex digits or 32 base-32 letters, any case → lower-case
// hex.
std::optional<std::string> HashFromPath(std::string_view text);
// `text` as a JSON string literal, quotes included; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(std::string_view text);
// A size as the second service's page shows it, at most 9 characters: "512 B", "1.00 KB",
// "700.25 MB" (units of 1024).
std::string HumanSize(int64_t bytes);
std::string HtmlEscape(std::string_view text);

}  // namespace pellucor::service
