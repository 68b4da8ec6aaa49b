#include "service/sites/sites.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <iterator>

#include "base/hex.h"
#include "base/json.h"
#include "base/utf8.h"
#include "service/core/log.h"
#include "torrent/magnet_link.h"

namespace pellucor::service {

namespace {

constexpr std::string_view kBlanks = " \t\r\n";

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

const char kPageHead[] =
    "<!DOCTYPE html>\n<html><head><meta charset=\"UTF-8\"><title>Pellucor</title></head><body>\n";
const char kPageTail[] = "</body></html>\n";

// Pages whose text the desktop tool looks for are UTF-8 and say so in lower case, which makes
// the tool convert them before it searches; the file list page says "UTF-8" (upper case), as
// the tool converts that page itself.
const char kUtf8Lower[] = "text/html; charset=utf-8";
const char kUtf8Upper[] = "text/html; charset=UTF-8";

Response Page(http::status status, const char* type, const std::string& body) {
  return MakeResponse(status, type, kPageHead + body + kPageTail);
}

// The stored bytes themselves, shared with every other reply that sends them.
Response TorrentReply(const std::shared_ptr<const StoredTorrent>& torrent) {
  return MakeResponse(http::status::ok, "application/x-bittorrent",
                      std::shared_ptr<const std::string>(torrent, &torrent->bytes));
}

// The desktop tool reads at most this much of a reply's header block (5000 bytes, with a margin
// for what proxies add), and takes at most 300 characters of the name in it; 240 bytes of name
// also leave room for ".torrent" in a 255-byte file name.
constexpr size_t kMaxHeaderBlock = 2000;
constexpr size_t kMaxDownloadName = 240;
// The longest Connection field the server may add when it writes the reply.
constexpr size_t kConnectionField = sizeof("Connection: keep-alive\r\n") - 1;

// A name or path as a row of a page: a line break or other control byte would end the tool's
// row pattern (or reach a terminal) where the name goes on, so each becomes a space.
std::string RowText(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return HtmlEscape(out);
}

// The length of a match of "[" + `tag` + "].torrent" at `name[at]`, the tag's dots standing for
// any one character; 0 when there is none.
size_t TagMatch(std::string_view name, size_t at, std::string_view tag) {
  if (name[at] != '[') return 0;
  size_t i = at + 1;
  for (char t : tag) {
    if (i >= name.size()) return 0;
    if (t == '.') {
      const size_t length = static_cast<unsigned char>(name[i]) < 0x80
                                ? 1
                                : std::max<size_t>(1, Utf8SequenceLength(name, i));
      i += length;
    } else if (name[i++] != t) {
      return 0;
    }
  }
  constexpr std::string_view kEnd = "].torrent";
  if (name.substr(i, kEnd.size()) != kEnd) return 0;
  return i + kEnd.size() - at;
}

// The value of `name` in the target's query string.
std::optional<std::string> QueryValue(std::string_view target, std::string_view name) {
  const size_t q = target.find('?');
  if (q == std::string_view::npos) return std::nullopt;
  const auto form = ParseForm(target.substr(q + 1));
  if (!form) return std::nullopt;
  const auto it = form->find(std::string(name));
  if (it == form->end()) return std::nullopt;
  return it->second;
}

// Why a lookup missed, as a paragraph of the miss pages.
std::string WhyParagraph(const LookupReport& report) {
  return "<p>" + HtmlEscape(OutcomeSentence(report)) + "</p>\n";
}

Response Json(http::status status, const std::string& body) {
  return MakeResponse(status, "application/json", body + "\n");
}

Response JsonError(http::status status, const char* error, const std::string& message) {
  return Json(status,
              "{\"error\":" + JsonQuote(error) + ",\"message\":" + JsonQuote(message) + "}");
}

std::string Iso8601(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string TorrentJson(const StoredTorrent& t) {
  std::string files;
  for (const TorrentFile& f : t.meta.files) {
    if (!files.empty()) files += ',';
    files += "{\"path\":" + JsonQuote(f.path) + ",\"size\":" + std::to_string(f.size) + "}";
  }
  return "{\"infoHash\":" + JsonQuote(t.meta.infoHash) +
         ",\"infoHashV2\":" + (t.meta.infoHashV2.empty() ? "null" : JsonQuote(t.meta.infoHashV2)) +
         ",\"name\":" + JsonQuote(t.meta.name) + ",\"size\":" + std::to_string(t.meta.totalSize) +
         ",\"files\":[" + files + "],\"source\":" + JsonQuote(t.source) +
         ",\"added\":" + JsonQuote(Iso8601(t.addedAt)) +
         ",\"pieceLayers\":" + (t.meta.pieceLayers ? "true" : "false") + "}";
}

// A miss page's status: 429 when the client had too many lookups waiting, else 404.
http::status MissStatus(const LookupReport* report) {
  return report && report->outcome == Outcome::kTooManyLookups ? http::status::too_many_requests
                                                               : http::status::not_found;
}

// The 404 of the API; with the outcome of a lookup when there is one.
Response MissJson(const LookupReport* report) {
  if (!report) return JsonError(http::status::not_found, "not_found", "not in the store");
  if (report->outcome == Outcome::kTooManyLookups)
    return JsonError(http::status::too_many_requests, "too_many_lookups",
                     OutcomePhrase(report->outcome));
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", report->seconds);
  return Json(http::status::not_found,
              "{\"error\":\"not_found\",\"outcome\":" + JsonQuote(OutcomeCode(report->outcome)) +
                  ",\"message\":" + JsonQuote(OutcomePhrase(report->outcome)) +
                  ",\"dhtNodes\":" + std::to_string(report->dhtNodes) +
                  ",\"peersSeen\":" + std::to_string(report->peersSeen) + ",\"peersTried\":" +
                  std::to_string(report->peersTried) + ",\"seconds\":" + seconds + "}");
}

std::string_view TargetOf(const Request& request) {
  const auto t = request.target();
  return std::string_view(t.data(), t.size());
}

std::string_view PathOf(std::string_view target) {
  return target.substr(0, target.find('?'));
}

// The address clients reached us under, for absolute links: the Host header when it is a plain
// host[:port], else the loopback default.
std::string HostOf(const Request& request) {
  const std::string host(request[http::field::host]);
  if (host.empty() || host.size() > 255) return "127.0.0.1:8600";
  for (char c : host)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' ||
          c == '[' || c == ']'))
      return "127.0.0.1:8600";
  return host;
}

}  // namespace

std::optional<std::map<std::string, std::string>> ParseForm(std::string_view body) {
  std::map<std::string, std::string> fields;
  while (!body.empty()) {
    const size_t amp = body.find('&');
    const std::string_view pair = body.substr(0, amp);
    body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
    if (pair.empty()) continue;
    const size_t eq = pair.find('=');
    const auto name = PercentDecode(pair.substr(0, eq));
    const auto value =
        PercentDecode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1));
    if (!name || !value) return std::nullopt;
    fields.emplace(*name, *value);
  }
  return fields;
}

std::optional<std::string> HashFromValue(std::string_view value) {
  // Blanks never belong to a hash or a link; the tool's first route may send some around the
  // hash, inside the link it builds.
  std::string text;
  for (char c : value)
    if (kBlanks.find(c) == std::string_view::npos) text.push_back(c);
  std::string hash;
  auto allHex = [](std::string_view s) { return IsHexText(s); };
  // The desktop tool puts a v2 hash where a v1 hash goes: "magnet:?xt=urn:btih:" + 64 hex.
  constexpr std::string_view kToolPrefix = "magnet:?xt=urn:btih:";
  std::string lowered = text;
  for (char& c : lowered) c = Lower(c);
  std::string_view afterPrefix;
  if (lowered.rfind(kToolPrefix, 0) == 0) {
    afterPrefix = std::string_view(lowered).substr(kToolPrefix.size());
    afterPrefix = afterPrefix.substr(0, afterPrefix.find('&'));
  }
  if (const std::optional<MagnetLink> link = ReadMagnetLink(text)) {
    hash = link->Hash().Hex();
  } else if (afterPrefix.size() == 64 && allHex(afterPrefix)) {
    hash = afterPrefix;
  } else if ((text.size() == 40 || text.size() == 64) && allHex(text)) {
    hash = text;
  } else {
    return std::nullopt;
  }
  for (char& c : hash) c = Lower(c);
  return hash;
}

std::optional<std::string> HashFromPath(std::string_view text) {
  const std::optional<InfoHash> hash = InfoHash::FromText(text);
  if (!hash) return std::nullopt;
  return hash->Hex();
}

std::string HumanSize(int64_t bytes) {
  if (bytes < 0) bytes = 0;
  if (bytes < 1000) return std::to_string(bytes) + " B";
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(bytes) / 1024.0;
  size_t unit = 0;
  // Keep the number below 1000 so that "999.99 XB" is the longest form.
  while (value >= 999.995 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.2f %s", value, kUnits[unit]);
  return text;
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string DownloadName(std::string_view name, std::string_view siteTag, size_t maxBytes) {
  std::string out;
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) continue;
    out.push_back(c == '/' || c == '\\' ? '_' : c);
  }
  if (out.empty()) out = "torrent";
  for (size_t i = 0; i < out.size(); ++i) {
    const size_t match = TagMatch(out, i, siteTag);
    if (match == 0) continue;
    out[i] = '(';
    out[i + match - sizeof("].torrent") + 1] = ')';
    i += match - 1;
  }
  maxBytes = std::max<size_t>(maxBytes, 1);
  if (out.size() > maxBytes) {
    size_t cut = maxBytes;
    // Back to the start of the character the cut falls in.
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut == 0 ? maxBytes : cut);
  }
  return out;
}

const char* SiteOfPath(std::string_view path) {
  if (path == "/download.aspx") return "first";
  if (path.rfind("/magnet-bt/", 0) == 0) return "second";
  if (path.rfind("/api/", 0) == 0) return "api";
  if (path == "/metrics") return "metrics";
  if (path == "/healthz") return "healthz";
  if (path == "/" || path == "/index.html" || path == "/ggurl.html" || path == "/advert-picture")
    return "publisher";
  return "other";
}

Sites::Sites(Store& store, Resolver* resolver, SiteSettings settings, LookupLeases* leases)
    : store_(store), resolver_(resolver), settings_(std::move(settings)), leases_(leases) {}

void Sites::Handle(const Request& request, Responder respond) {
  const std::string_view path = PathOf(TargetOf(request));
  const bool get = request.method() == http::verb::get || request.method() == http::verb::head;
  const bool post = request.method() == http::verb::post;
  auto methodNotAllowed = [&](const char* allowed) {
    Response r = MakeResponse(http::status::method_not_allowed, "text/plain; charset=utf-8",
                              "method not allowed\n");
    r.set(http::field::allow, allowed);
    respond(std::move(r));
  };
  if (path == "/download.aspx") {
    if (!post) return methodNotAllowed("POST");
    return FirstService(request, std::move(respond));
  }
  if (path == "/magnet-bt/index.php") {
    if (!post) return methodNotAllowed("POST");
    return SecondServiceForm(request, std::move(respond));
  }
  if (path == "/magnet-bt/down.php") {
    if (!get) return methodNotAllowed("GET, HEAD");
    return SecondServiceDownload(request, std::move(respond));
  }
  if (path.rfind("/api/", 0) == 0) return Api(request, std::move(respond));
  if (path == "/metrics" && settings_.metrics) {
    if (!get) return methodNotAllowed("GET, HEAD");
    return respond(MakeResponse(http::status::ok, "text/plain; version=0.0.4; charset=utf-8",
                                settings_.metrics->Render()));
  }
  if (path == "/healthz") {
    if (!get) return methodNotAllowed("GET, HEAD");
    return Health(std::move(respond));
  }
  if (path == "/ggurl.html") {
    if (!get) return methodNotAllowed("GET, HEAD");
    return AdvertDocument(request, std::move(respond));
  }
  if (path == "/advert-picture" && settings_.advert && !settings_.advertPicture.empty()) {
    if (!get) return methodNotAllowed("GET, HEAD");
    return respond(
        MakeResponse(http::status::ok, "application/octet-stream", settings_.advertPicture));
  }
  if (path == "/" || path == "/index.html") {
    if (!get) return methodNotAllowed("GET, HEAD");
    return respond(
        Page(http::status::ok, kUtf8Lower,
             "<h1>Pellucor</h1>\n<p>Pellucor 把磁力链接转换成 .torrent 种子文件：粘贴链接或 40 位"
             "的信息哈希，选择下载方式，按“开始”，种子就保存在程序旁边。</p>\n"
             "<p>本站同时提供两种转换服务：种子库（按信息哈希存储的种子）和网络下载（从 BitTorrent "
             "网络获取种子信息）。</p>\n"));
  }
  respond(Page(http::status::not_found, kUtf8Lower, "<p>404 Not Found</p>\n"));
}

Sites::Torrent Sites::Stored(const std::string& hash) {
  if (const auto it = known_.find(hash); it != known_.end()) {
    if (Torrent torrent = it->second.lock()) {
      Touch(torrent->meta.infoHash);
      return torrent;
    }
    known_.erase(it);
  }
  std::optional<StoredTorrent> found = store_.Find(hash);
  if (!found) return nullptr;
  return Remember(std::make_shared<const StoredTorrent>(std::move(*found)));
}

Sites::Torrent Sites::Remember(Torrent torrent) {
  const TorrentMeta& meta = torrent->meta;
  // The same torrent may be in memory already, found under another of its hashes.
  if (const auto it = known_.find(meta.infoHash); it != known_.end())
    if (Torrent same = it->second.lock()) return same;
  known_[meta.infoHash] = torrent;
  if (!meta.infoHashV2.empty()) {
    known_[meta.infoHashV2] = torrent;
    known_[meta.infoHashV2.substr(0, 40)] = torrent;
  }
  // Hashes of torrents that left memory are dropped now and then, not one by one.
  if (known_.size() >= knownSweepAt_) {
    for (auto it = known_.begin(); it != known_.end();)
      it = it->second.expired() ? known_.erase(it) : std::next(it);
    knownSweepAt_ = std::max<size_t>(64, known_.size() * 2);
  }
  size_t bytes = torrent->bytes.size() + sizeof(StoredTorrent) + meta.name.size();
  for (const TorrentFile& f : meta.files) bytes += sizeof(TorrentFile) + f.path.size();
  if (bytes > settings_.cacheBytes || cache_.count(meta.infoHash)) return torrent;
  recent_.push_front(meta.infoHash);
  cache_[meta.infoHash] = Cached{torrent, bytes, recent_.begin()};
  cacheBytes_ += bytes;
  while (cacheBytes_ > settings_.cacheBytes) {
    const auto oldest = cache_.find(recent_.back());
    cacheBytes_ -= oldest->second.bytes;
    cache_.erase(oldest);
    recent_.pop_back();
  }
  return torrent;
}

void Sites::Touch(const std::string& infoHash) {
  const auto it = cache_.find(infoHash);
  if (it != cache_.end()) recent_.splice(recent_.begin(), recent_, it->second.recent);
}

const LookupReport* Sites::RecentMiss(const std::string& hash) {
  const auto now = std::chrono::steady_clock::now();
  while (!missOrder_.empty() && now - missOrder_.front().first >= kMissMemory) {
    const auto it = misses_.find(missOrder_.front().second);
    if (it != misses_.end() && it->second.at == missOrder_.front().first) misses_.erase(it);
    missOrder_.pop_front();
  }
  const auto it = misses_.find(hash);
  return it == misses_.end() ? nullptr : &it->second.report;
}

void Sites::Finished(const std::string& hash, const LookupReport& report) {
  const bool swarm = report.outcome != Outcome::kFoundStore &&
                     report.outcome != Outcome::kTooManyLookups &&
                     report.outcome != Outcome::kCancelled;
  if (IsFound(report.outcome)) {
    misses_.erase(hash);
  } else if (swarm) {
    const auto now = std::chrono::steady_clock::now();
    misses_[hash] = Miss{report, now};
    missOrder_.emplace_back(now, hash);
  }
  Log(LogLevel::kInfo, "lookup",
      {{"hash", hash},
       {"outcome", OutcomeCode(report.outcome)},
       {"seconds", report.seconds},
       {"dht_nodes", report.dhtNodes},
       {"peers_seen", report.peersSeen},
       {"peers_tried", report.peersTried}});
  if (settings_.metrics)
    settings_.metrics->CountLookup(report.outcome, report.seconds,
                                   swarm || report.outcome == Outcome::kCancelled);
  if (settings_.onLookup) settings_.onLookup(hash, report);
}

void Sites::Lookup(const std::string& hash, const Responder& respond, LookupDone done) {
  if (Torrent found = Stored(hash)) {
    LookupReport report;
    report.outcome = Outcome::kFoundStore;
    Finished(hash, report);
    return done(std::move(found), report);
  }
  // A repeat within a minute of a miss: the swarm is not asked again so soon.
  if (const LookupReport* miss = RecentMiss(hash)) return done(nullptr, *miss);
  LookupReport report;
  report.outcome = Outcome::kNoPeers;
  if (!resolver_) {
    Finished(hash, report);
    return done(nullptr, report);
  }
  const std::string& client = respond.Client();
  int& lookups = clientLookups_[client];
  if (settings_.maxLookupsPerClient > 0 && lookups >= settings_.maxLookupsPerClient) {
    report.outcome = Outcome::kTooManyLookups;
    Finished(hash, report);
    return done(nullptr, report);
  }
  ++lookups;
  const uint64_t id = ++lastWaiter_;
  Pending& pending = pending_[hash];
  pending.waiters.push_back({id, client, std::move(done)});
  respond.OnGone([this, hash, id] { Abandon(hash, id); });
  if (pending.lookup != 0) return;  // joins the lookup under way
  pending.lookup = ++lastLookup_;
  pending.since = std::chrono::steady_clock::now();
  if (!leases_) return Search(hash, false);
  // Another instance on the same store may be searching for it already. The answer is always
  // posted, never given within Acquire.
  pending.waitingLease = true;
  leases_->Acquire(hash, [this, hash, lookup = pending.lookup](const LeaseTurn& turn) {
    LeaseTurned(hash, lookup, turn);
  });
}

void Sites::Search(const std::string& hash, bool leased) {
  Pending& pending = pending_[hash];
  pending.waitingLease = false;
  pending.leased = leased;
  // The result is always posted, never delivered within Fetch.
  pending.ticket = resolver_->Fetch(
      hash, [this, hash](FetchResult result) { Fetched(hash, std::move(result)); });
}

void Sites::LeaseTurned(const std::string& hash, uint64_t lookup, const LeaseTurn& turn) {
  const auto it = pending_.find(hash);
  const bool waiting = it != pending_.end() && it->second.waitingLease;
  if (!waiting || it->second.lookup != lookup) {
    // The lookup that asked is gone (every client hung up) or searches already.
    if (turn.kind != LeaseTurn::Kind::kSearch) return;
    // The lease is ours now: a lookup of the hash that waits for it searches; with none, it is
    // handed back at once, so that the other instances need not wait for it to expire.
    if (waiting) return Search(hash, true);
    if (it == pending_.end()) {
      LookupReport cancelled;
      cancelled.outcome = Outcome::kCancelled;
      leases_->Release(hash, cancelled);
    }
    return;
  }
  if (turn.kind == LeaseTurn::Kind::kSearch) return Search(hash, true);
  // Another instance searched: its torrent is in the store, or its miss is the answer.
  std::vector<Waiter> waiters = std::move(it->second.waiters);
  pending_.erase(it);
  for (const Waiter& w : waiters)
    if (--clientLookups_[w.client] <= 0) clientLookups_.erase(w.client);
  LookupReport report = turn.report;
  Torrent found;
  if (turn.kind == LeaseTurn::Kind::kStored) {
    found = Stored(hash);
    report = LookupReport{};
    report.outcome = found ? Outcome::kFoundStore : Outcome::kStoreFailed;
  }
  Finished(hash, report);
  for (Waiter& w : waiters) w.done(found, report);
}

void Sites::Abandon(const std::string& hash, uint64_t waiter) {
  const auto it = pending_.find(hash);
  if (it == pending_.end()) return;
  std::vector<Waiter>& waiters = it->second.waiters;
  const auto w = std::find_if(waiters.begin(), waiters.end(),
                              [waiter](const Waiter& x) { return x.id == waiter; });
  if (w == waiters.end()) return;
  if (--clientLookups_[w->client] <= 0) clientLookups_.erase(w->client);
  waiters.erase(w);
  if (!waiters.empty()) return;
  // Every client went away. Once the swarm handed the metadata over it is stored all the same
  // (Fetched comes with nobody to answer). A lookup waiting for another instance's lease just
  // stops waiting (the lease's answer, when it comes, finds it gone).
  if (!it->second.waitingLease && !resolver_->Cancel(it->second.ticket)) return;
  LookupReport report;
  report.outcome = Outcome::kCancelled;
  // A cancelled search hands its lease back: another instance's waiting lookup searches then,
  // rather than being told this one's "cancelled".
  if (it->second.leased) leases_->Release(hash, report);
  report.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - it->second.since).count();
  pending_.erase(it);
  Finished(hash, report);
}

void Sites::Fetched(const std::string& hash, FetchResult result) {
  std::vector<Waiter> waiters;
  bool leased = false;
  if (const auto it = pending_.find(hash); it != pending_.end()) {
    waiters = std::move(it->second.waiters);
    leased = it->second.leased;
    pending_.erase(it);
  }
  for (const Waiter& w : waiters)
    if (--clientLookups_[w.client] <= 0) clientLookups_.erase(w.client);
  LookupReport report = result.report;
  Torrent found;
  if (result.torrent) found = Keep(hash, std::move(*result.torrent), &report);
  // After the write: the instances waiting for this hash read the store once woken.
  if (leased) leases_->Release(hash, report);
  Finished(hash, report);
  for (Waiter& w : waiters) w.done(found, report);
}

Sites::Torrent Sites::Keep(const std::string& hash, std::string bytes, LookupReport* report) {
  std::optional<TorrentMeta> meta = DescribeTorrent(bytes);
  if (!meta) {
    Log(LogLevel::kError, "torrent_refused", {{"hash", hash}, {"bytes", bytes.size()}});
    report->outcome = Outcome::kStoreFailed;
    return nullptr;
  }
  std::string error;
  if (!store_.Add(bytes, "swarm", &error)) {
    // The torrent is served all the same, from memory.
    Log(LogLevel::kError, "store_error", {{"hash", hash}, {"error", error}});
    if (settings_.metrics) settings_.metrics->CountStoreError();
  }
  auto torrent = std::make_shared<StoredTorrent>();
  torrent->meta = std::move(*meta);
  torrent->bytes = std::move(bytes);
  torrent->addedAt = static_cast<int64_t>(std::time(nullptr));
  torrent->source = "swarm";
  return Remember(std::move(torrent));
}

void Sites::FirstService(const Request& request, Responder respond) {
  const auto form = ParseForm(request.body());
  const auto field = form ? form->find("hash") : decltype(form->end()){};
  if (!form || field == form->end()) {
    return respond(Page(http::status::bad_request, kUtf8Lower, "<p>缺少表单字段 hash。</p>\n"));
  }
  const auto hash = HashFromValue(field->second);
  // The tool looks for the first sentence; why the lookup failed comes after it.
  auto notStored = [](const std::string& shown, const LookupReport* report) {
    return Page(MissStatus(report), kUtf8Lower,
                "<p>您输入的HASH暂未存储：" + HtmlEscape(shown) + "</p>\n" +
                    (report ? WhyParagraph(*report) : ""));
  };
  if (!hash) return respond(notStored(field->second, nullptr));
  Lookup(*hash, respond,
         [respond, notStored, hash = *hash](Torrent found, const LookupReport& report) {
           respond(found ? TorrentReply(found) : notStored(hash, &report));
         });
}

void Sites::SecondServiceForm(const Request& request, Responder respond) {
  const auto form = ParseForm(request.body());
  const auto field = form ? form->find("magnet") : decltype(form->end()){};
  if (!form || field == form->end()) {
    return respond(Page(http::status::bad_request, kUtf8Upper, "<p>缺少表单字段 magnet。</p>\n"));
  }
  const auto hash = HashFromValue(field->second);
  auto cannot = [](const LookupReport* report) {
    return Page(
        MissStatus(report), kUtf8Upper,
        std::string("<p>该磁力链接无法生成BT种子</p>\n") + (report ? WhyParagraph(*report) : ""));
  };
  if (!hash) return respond(cannot(nullptr));
  Lookup(*hash, respond, [respond, cannot](Torrent found, const LookupReport& report) {
    if (!found) return respond(cannot(&report));
    std::string body = "<h2>" + RowText(found->meta.name) + "</h2>\n<table>\n";
    for (const TorrentFile& f : found->meta.files)
      body += "<tr><td>" + RowText(f.path) + "</td><td style=\"text-align:right\">" +
              HumanSize(f.size) + "</td></tr>\n";
    body += "</table>\n<p><a href=\"./down.php?hash=" + found->meta.infoHash +
            "\" class=\"btn btn-primary\" target=\"_blank\">点击下载</a></p>\n";
    respond(Page(http::status::ok, kUtf8Upper, body));
  });
}

void Sites::SecondServiceDownload(const Request& request, Responder respond) {
  const auto value = QueryValue(TargetOf(request), "hash");
  const auto hash = value ? HashFromValue(*value) : std::nullopt;
  const auto found = hash ? Stored(*hash) : nullptr;
  if (!found) {
    const LookupReport* miss = hash ? RecentMiss(*hash) : nullptr;
    return respond(Page(http::status::not_found, kUtf8Upper,
                        "<p>该磁力链接无法生成BT种子</p>\n" + (miss ? WhyParagraph(*miss) : "")));
  }
  Response r = TorrentReply(found);
  // The name goes out as raw UTF-8 bytes; the desktop tool reads the header block as UTF-8, up
  // to a size, and takes the name before the last "[TAG].torrent" within 300 characters.
  const std::string prefix = "attachment; filename=";
  const std::string suffix = "[" + settings_.siteTag + "].torrent";
  const size_t used = HeaderBlockSize(r) + kConnectionField + sizeof("Content-Disposition: \r\n") -
                      1 + prefix.size() + suffix.size();
  const size_t room = used < kMaxHeaderBlock ? kMaxHeaderBlock - 1 - used : 0;
  r.set(http::field::content_disposition,
        prefix +
            DownloadName(found->meta.name, settings_.siteTag, std::min(room, kMaxDownloadName)) +
            suffix);
  respond(std::move(r));
}

void Sites::Api(const Request& request, Responder respond) {
  const std::string_view target = TargetOf(request);
  std::string_view path = PathOf(target);
  constexpr std::string_view kTorrents = "/api/v1/torrents/";
  if (path.rfind(kTorrents, 0) != 0) {
    return respond(JsonError(http::status::not_found, "not_found", "no such API path"));
  }
  if (request.method() != http::verb::get && request.method() != http::verb::head) {
    Response r = JsonError(http::status::method_not_allowed, "method_not_allowed",
                           "only GET and HEAD are served here");
    r.set(http::field::allow, "GET, HEAD");
    return respond(std::move(r));
  }
  path.remove_prefix(kTorrents.size());
  constexpr std::string_view kSuffix = ".torrent";
  const bool file =
      path.size() > kSuffix.size() && path.substr(path.size() - kSuffix.size()) == kSuffix;
  if (file) path.remove_suffix(kSuffix.size());
  const std::optional<std::string> hash = HashFromPath(path);
  if (!hash) {
    return respond(JsonError(http::status::bad_request, "bad_hash",
                             "the hash must be 40 or 64 hex digits or 32 base-32 letters"));
  }
  if (file) {
    const auto found = Stored(*hash);
    if (!found) return respond(MissJson(nullptr));
    return respond(TorrentReply(found));
  }
  if (QueryValue(target, "resolve") != "1") {
    const auto found = Stored(*hash);
    if (found) return respond(Json(http::status::ok, TorrentJson(*found)));
    return respond(MissJson(RecentMiss(*hash)));
  }
  Lookup(*hash, respond, [respond](Torrent found, const LookupReport& report) {
    respond(found ? Json(http::status::ok, TorrentJson(*found)) : MissJson(&report));
  });
}

void Sites::Health(Responder respond) {
  std::string problems, error;
  if (!store_.Reachable(&error)) problems += "store: " + error + "\n";
  if (resolver_ && !resolver_->Running())
    problems += "swarm: the libtorrent session is not running\n";
  if (problems.empty())
    return respond(MakeResponse(http::status::ok, "text/plain; charset=utf-8", "ok\n"));
  respond(MakeResponse(http::status::service_unavailable, "text/plain; charset=utf-8", problems));
}

void Sites::AdvertDocument(const Request& request, Responder respond) {
  if (!settings_.advert) return respond(Page(http::status::ok, kUtf8Lower, "<p>暂无广告</p>\n"));
  // One value a line, ended by "\n" alone: the tool takes everything up to the line's end.
  respond(MakeResponse(http::status::ok, kUtf8Lower,
                       std::string(kPageHead) + "Pellucor广告投放ok\n广告图片地址：http://" +
                           HostOf(request) + "/advert-picture\n广告地址：" + settings_.advertLink +
                           "\n" + kPageTail));
}

}  // namespace pellucor::service
