// The three sites pellucor-service serves on one address:
//   first service   POST /download.aspx              form field "hash"   → the .torrent itself
//   second service  POST /magnet-bt/index.php        form field "magnet" → a page listing the
//                                                    files, with a download link
//                   GET  /magnet-bt/down.php?hash=H  → the .torrent, named in
//                                                    Content-Disposition: NAME[site tag].torrent
//   publisher       GET  /  (home page), /ggurl.html (advert document), /advert-picture
//   programs        GET  /api/v1/torrents/HASH[?resolve=1]   → JSON (see README)
//                   GET  /api/v1/torrents/HASH.torrent       → the stored .torrent
//   operators       GET  /metrics   → Prometheus text (metrics.h)
//                   GET  /healthz   → 200 "ok" when the store answers and the swarm session
//                                     runs, else 503 saying which does not
// A hash the store lacks is looked for in the swarm; what is found is stored and served (served
// even when the store write fails: that is logged and counted). Requests for one hash wait on
// one lookup; a lookup whose every waiting client hung up is cancelled, unless the swarm already
// handed over the metadata (then it is stored). A client may have `maxLookupsPerClient` lookups
// waiting at once; more get the miss page (429; on the API a 429 JSON error). Every lookup ends
// with an outcome (outcome.h): it is logged, a miss is remembered for a minute (a repeat is
// answered at once), and the miss pages say it in one sentence after the texts the desktop tool
// searches for. With lookup leases (a store several instances share), an instance searches the
// swarm only when it holds the hash's lease; otherwise its lookup waits for the instance that
// does (counted against the client's lookups, and cancelled like a search when they all hang
// up) and answers from the store or with that instance's miss.
//
// Stored torrents are kept in memory, each as one immutable buffer that every reply sending it
// shares; the cache holds up to `cacheBytes` (least recently used first out), and a torrent that
// is being sent stays shared even when it has left the cache.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "service/core/metrics.h"
#include "service/http/http_server.h"
#include "service/store/store.h"
#include "service/swarm/resolver.h"

namespace pellucor::service {

struct SiteSettings {
  std::string siteTag = "pellucor.local";  // must equal the desktop tool's
  bool advert = false;
  std::string advertPicture;  // the picture's bytes
  std::string advertLink;     // where a click on it leads
  size_t cacheBytes = 256 * 1024 * 1024;
  int maxLookupsPerClient = 4;  // lookups waiting for one client address; 0: no limit
  // Counted into, and served at /metrics, when set.
  Metrics* metrics = nullptr;
  // Called once for every lookup that finished (store hits included), after its log line.
  std::function<void(const std::string& hash, const LookupReport& report)> onLookup;
};

// Used on one thread: the io_context's that runs the server and the resolver.
class Sites {
 public:
  // `resolver` may be null: then only the store answers. `leases` may be null: then every
  // lookup the store cannot answer is searched here.
  Sites(Store& store, Resolver* resolver, SiteSettings settings, LookupLeases* leases = nullptr);
  void Handle(const Request& request, Responder respond);
  size_t CacheBytes() const { return cacheBytes_; }

 private:
  using Torrent = std::shared_ptr<const StoredTorrent>;
  using LookupDone = std::function<void(Torrent, const LookupReport&)>;
  // The stored torrent of `hash` (40 or 64 lower-case hex), fetched from the swarm and stored
  // first when needed, for the client `respond` answers; a miss of the last minute is answered
  // at once with its report.
  void Lookup(const std::string& hash, const Responder& respond, LookupDone done);
  // Asks the swarm for the pending lookup of `hash`; `leased`: this instance holds the hash's
  // lease, released once what the search found is stored.
  void Search(const std::string& hash, bool leased);
  // The lease answered for the pending lookup numbered `lookup`: search, or answer its waiters.
  void LeaseTurned(const std::string& hash, uint64_t lookup, const LeaseTurn& turn);
  void Fetched(const std::string& hash, FetchResult result);
  void Abandon(const std::string& hash, uint64_t waiter);
  // The torrent fetched for `hash`, stored (a failed write is logged and counted) and kept in
  // memory; null, with the outcome changed, when its bytes are not a torrent the store takes.
  Torrent Keep(const std::string& hash, std::string bytes, LookupReport* report);
  // The stored torrent of `hash` from memory or the store; null when there is none.
  Torrent Stored(const std::string& hash);
  // The torrent in memory under every hash it is known by, and in the cache when it fits.
  Torrent Remember(Torrent torrent);
  void Touch(const std::string& infoHash);
  // The report of a lookup of `hash` that missed within the last minute.
  const LookupReport* RecentMiss(const std::string& hash);
  void Finished(const std::string& hash, const LookupReport& report);
  void Api(const Request& request, Responder respond);
  void FirstService(const Request& request, Responder respond);
  void SecondServiceForm(const Request& request, Responder respond);
  void SecondServiceDownload(const Request& request, Responder respond);
  void AdvertDocument(const Request& request, Responder respond);
  void Health(Responder respond);

  static constexpr std::chrono::seconds kMissMemory{60};

  struct Miss {
    LookupReport report;
    std::chrono::steady_clock::time_point at;
  };
  struct Waiter {
    uint64_t id;
    std::string client;
    LookupDone done;
  };
  struct Pending {
    uint64_t lookup = 0;        // tells this lookup from a later one of the same hash
    bool waitingLease = false;  // for another instance's search, not the swarm
    bool leased = false;        // the search holds the hash's lease
    uint64_t ticket = 0;        // the swarm fetch, while searching
    std::chrono::steady_clock::time_point since;
    std::vector<Waiter> waiters;
  };
  struct Cached {
    Torrent torrent;
    size_t bytes;
    std::list<std::string>::iterator recent;
  };

  Store& store_;
  Resolver* resolver_;
  SiteSettings settings_;
  LookupLeases* leases_;
  std::unordered_map<std::string, Cached> cache_;  // by TorrentMeta::infoHash
  std::list<std::string> recent_;                  // cache keys, most recently used first
  size_t cacheBytes_ = 0;
  // Every hash a torrent in memory is known by (v1, v2, truncated v2), cached or being sent.
  std::unordered_map<std::string, std::weak_ptr<const StoredTorrent>> known_;
  size_t knownSweepAt_ = 64;
  std::unordered_map<std::string, Pending> pending_;  // lookups waiting for the swarm, by hash
  std::unordered_map<std::string, int> clientLookups_;
  uint64_t lastWaiter_ = 0;
  uint64_t lastLookup_ = 0;
  std::unordered_map<std::string, Miss> misses_;
  std::deque<std::pair<std::chrono::steady_clock::time_point, std::string>> missOrder_;
};

// Which site a request path belongs to, for the request counts: "first", "second", "publisher",
// "api", "metrics", "healthz" or "other".
const char* SiteOfPath(std::string_view path);

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
// A torrent name as the download's header line gives it (`maxBytes` at most, at least 1):
// control bytes dropped, "/" and "\\" as "_", "[" + `siteTag` + "].torrent" inside it (each "."
// of the tag standing for any character, as in the tool's pattern) written with "(" and ")",
// and cut at a UTF-8 character boundary.
//   ("a[x.y].torrent b", "x.y", 240) -> "a(x.y).torrent b"
std::string DownloadName(std::string_view name, std::string_view siteTag, size_t maxBytes);
// A size as the second service's page shows it, at most 9 characters: "512 B", "1.00 KB",
// "700.25 MB" (units of 1024).
std::string HumanSize(int64_t bytes);
std::string HtmlEscape(std::string_view text);

}  // namespace pellucor::service
