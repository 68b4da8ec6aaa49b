// The resolver ties its parts together: a request is booked (FetchQueue); a fetch that may start
// adds its torrent to the session (FetchSession) and runs as a job (FetchJob) until the metadata
// comes (libtorrent's metadata_received_alert, or the metadata watch, which also takes v2
// torrents by their truncated hash), its torrent fails, or its timeout; then every caller gets
// the result, with the counts of the job's report (FetchReport), and a queued fetch starts in
// its place.
//
// Threading: everything here runs on the io thread. libtorrent's alert notification and the
// metadata watch run on libtorrent's thread and only post tasks to `io_`; those tasks, like the
// timers', hold the resolver weakly, so none runs on a resolver that is gone.
#include "service/swarm/resolver.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/post.hpp>

#include "service/core/log.h"
#include "service/swarm/fetch_job.h"
#include "service/swarm/fetch_report.h"
#include "service/swarm/fetch_session.h"
#include "service/swarm/session_settings.h"
#include "torrent/bencode.h"
#include "torrent/digest.h"

namespace pellucor::service {
namespace {

using Clock = std::chrono::steady_clock;

ResolverSettings Clamped(ResolverSettings settings) {
  settings.maxParallel = std::max(settings.maxParallel, 1);
  settings.timeoutSeconds = std::max(settings.timeoutSeconds, 1);
  settings.maxMetadataBytes = std::max(settings.maxMetadataBytes, 1);
  return settings;
}

double SecondsSince(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// The .torrent of a fetched info dictionary: the trackers outside it, the info bytes exactly as
// received, so the info hash holds for v1 and v2 alike, and the piece layers that came.
std::string TorrentBytes(const std::string& info,
                         const std::vector<std::vector<std::string>>& trackers,
                         const std::map<std::string, std::string>& layers) {
  Bencode::Dict torrent;
  Bencode::List tiers;
  std::string first;
  for (const std::vector<std::string>& tier : trackers) {
    if (tier.empty()) continue;
    Bencode::List urls;
    for (const std::string& url : tier) {
      if (first.empty()) first = url;
      urls.emplace_back(url);
    }
    tiers.emplace_back(std::move(urls));
  }
  if (!first.empty()) {
    torrent.emplace("announce", first);
    torrent.emplace("announce-list", std::move(tiers));
  }
  torrent.emplace("info", Bencode::Raw(info));
  if (!layers.empty()) {
    Bencode::Dict byRoot;
    for (const auto& [root, layer] : layers) byRoot.emplace(root, layer);
    torrent.emplace("piece layers", std::move(byRoot));
  }
  return Bencode(std::move(torrent)).Encode();
}

}  // namespace

Resolver::Resolver(boost::asio::io_context& io, ResolverSettings settings)
    : io_(io),
      settings_(Clamped(std::move(settings))),
      queue_(settings_.maxParallel),
      session_(settings_,
               life_.PostedTask(io_, [](Resolver& r) { HandleFetchAlerts(r.session_, r); })),
      jobs_(io_, session_),
      queueExpiry_(io_) {}

// Then the jobs go (removing their torrents), and the session (waiting for libtorrent's thread).
Resolver::~Resolver() {
  life_.Cut();  // tasks already posted, and the timers' handlers, find nothing to act on
}

bool Resolver::Running() const {
  return session_.Running();
}

int Resolver::ListenPort() const {
  return session_.ListenPort();
}

std::string Resolver::DhtState() const {
  return session_.DhtState();
}

int Resolver::DhtNodes() const {
  return session_.DhtNodes();
}

std::uint64_t Resolver::Fetch(const std::string& infoHash, const FetchSources& named,
                              const std::string& client, std::function<void(FetchResult)> done) {
  if (!done) return 0;
  const FetchSources sources = Allowed(infoHash, named);
  const std::optional<InfoHash> hash = InfoHash::FromHex(infoHash);
  const bool nowhere = !settings_.dht && session_.Listed().empty() && settings_.trackers.empty() &&
                       sources.trackers.empty() && FetchSession::Read(sources).peers.empty();
  if (!hash || nowhere) {
    FetchResult result;
    result.report.outcome = Outcome::kNoPeers;
    Post(std::move(done), std::move(result));
    return 0;
  }
  // A v2 torrent asked by its SHA-256 and by its truncation is one fetch.
  const InfoHash key = queue_.Booked(*hash).value_or(*hash);
  const auto [ticket, added] = queue_.Add(key, sources, client, std::move(done));
  if (added == FetchQueue::Added::kStart) {
    Begin(key);
  } else if (added == FetchQueue::Added::kQueued) {
    Log(LogLevel::kDebug, "fetch_queued", {{"hash", key.Hex()}, {"client", client}});
    if (settings_.waitingCounts && !expiryArmed_) ExpireQueued();
  } else if (const auto job = jobs_.Find(key); job != jobs_.end()) {
    job->second->AddSources(FetchSession::Read(queue_.SourcesOf(key)));
  }
  return ticket;
}

FetchSources Resolver::Allowed(const std::string& infoHash, const FetchSources& named) const {
  FetchSources sources;
  for (const std::string& url : named.trackers)
    if (SourceTrackerAllowed(url, settings_.closedSourcesAllowed)) sources.trackers.push_back(url);
  for (const std::string& peer : named.peers)
    if (SourcePeerAllowed(peer, settings_.closedSourcesAllowed)) sources.peers.push_back(peer);
  if (sources.trackers.size() < named.trackers.size() || sources.peers.size() < named.peers.size())
    Log(LogLevel::kDebug, "sources_refused",
        {{"hash", infoHash},
         {"trackers", static_cast<int>(named.trackers.size() - sources.trackers.size())},
         {"peers", static_cast<int>(named.peers.size() - sources.peers.size())}});
  return sources;
}

void Resolver::AddSources(const std::string& infoHash, const FetchSources& named) {
  const std::optional<InfoHash> hash = InfoHash::FromHex(infoHash);
  const std::optional<InfoHash> key = hash ? queue_.Booked(*hash) : std::nullopt;
  if (!key) return;
  queue_.AddSources(*key, Allowed(infoHash, named));
  if (const auto job = jobs_.Find(*key); job != jobs_.end())
    job->second->AddSources(FetchSession::Read(queue_.SourcesOf(*key)));
}

bool Resolver::Cancel(std::uint64_t ticket) {
  const auto [withdrawn, hash] = queue_.Cancel(ticket);
  switch (withdrawn) {
    case FetchQueue::Withdrawn::kUnknown:
      return false;  // handed on already, or never was
    case FetchQueue::Withdrawn::kOthersWait:
      break;
    case FetchQueue::Withdrawn::kQueuedEmptied:
      Log(LogLevel::kDebug, "fetch_cancelled", {{"hash", hash->Hex()}, {"queued", true}});
      break;
    case FetchQueue::Withdrawn::kRunningEmptied:
      Log(LogLevel::kDebug, "fetch_cancelled", {{"hash", hash->Hex()}});
      jobs_.Erase(*hash);  // removes its torrent
      StartQueued();
      break;
  }
  return true;
}

void Resolver::Post(std::function<void(FetchResult)> done, FetchResult result) {
  boost::asio::post(io_, [done = std::move(done), result = std::move(result)]() mutable {
    done(std::move(result));
  });
}

void Resolver::Deliver(FetchQueue::Callers callers, FetchResult result) {
  result.report.seconds = SecondsSince(callers.since);
  for (auto& [ticket, done] : callers.byTicket) Post(std::move(done), result);
}

// Adds the torrent of a fetch the queue let start, for what is left of its time; without one,
// its callers learn at once.
void Resolver::Begin(const InfoHash& hash, bool waited) {
  const std::uint64_t id = ++lastId_;
  Clock::duration timeout = std::chrono::seconds(settings_.timeoutSeconds);
  if (waited && settings_.waitingCounts) {
    timeout -= Clock::now() - queue_.Since(hash);
    // Under a second left: too little to find anyone, and the slot goes to a fetch with time.
    if (timeout < std::chrono::seconds(1)) return Deliver(queue_.Finish(hash), Busy());
  }
  FetchSession::Sources sources = FetchSession::Read(queue_.SourcesOf(hash));
  std::optional<FetchSession::Torrent> torrent = session_.Add(
      hash, sources, life_.PostedTask(io_, [hash, id](Resolver& r) { r.OnWatch(hash, id); }));
  if (!torrent) {
    FetchResult failed;
    failed.report.outcome = Outcome::kNoPeers;
    return Deliver(queue_.Finish(hash), std::move(failed));
  }
  Log(LogLevel::kDebug, "fetch_started", {{"hash", hash.Hex()}});
  jobs_.Add(hash, std::make_unique<FetchJob>(
                      io_, session_, std::move(*torrent), std::move(sources), id, timeout,
                      life_.Task([hash, id](Resolver& r) { r.OnTimeout(hash, id); })));
  // A fresh count of the DHT's nodes for this fetch's report.
  session_.CountDhtNodes();
}

// The metadata came. A v2 or hybrid torrent whose larger files need piece layers waits for them
// a little (libtorrent asks peers for them only on connections made with the SHA-256: a torrent
// looked up by another hash is added again with all of its hashes, the peer that sent the
// metadata among those it dials); any other ends the fetch at once.
// `readd`: the job's torrent stopped (a conflict), and one with every hash takes its place.
void Resolver::Found(Job job, const std::string& info, const MetadataWatch::Snapshot& seen,
                     bool readd) {
  FetchJob& fetch = *job->second;
  if (fetch.AwaitingLayers() && !readd) return;
  Absorb(job, info);
  if (settings_.layersGraceMilliseconds <= 0 || !FetchSession::NeedsPieceLayers(info))
    return FoundWith(job, info, seen, {});
  std::optional<FetchSession::Torrent> known;
  if (!job->first.IsV2() || readd) {
    fetch.DropTorrent();
    FetchSession::Sources sources = fetch.Sources();
    if (seen.from.port() != 0) FetchSession::Merge(sources, {{seen.from}, {}}, nullptr);
    known = session_.AddKnown(info, sources);
    if (!known) return FoundWith(job, info, seen, {});
  }
  const InfoHash hash = job->first;
  const std::uint64_t id = fetch.Id();
  fetch.AwaitLayers(
      info, seen, Clock::now() + std::chrono::milliseconds(settings_.layersGraceMilliseconds),
      std::move(known), life_.Task([hash, id](Resolver& r) { r.PollLayers(hash, id); }));
}

// Fetches of the same torrent by another of its hashes (a hybrid's SHA-1 and SHA-256) join this
// one and stop: libtorrent takes no two torrents with a hash in common, and stops both once
// the second has the metadata.
void Resolver::Absorb(Job job, const std::string& info) {
  const std::array<std::uint8_t, 20> v1 = Sha1(info);
  const std::array<std::uint8_t, 32> v2 = Sha256(info);
  const std::string_view wire[] = {{reinterpret_cast<const char*>(v1.data()), 20},
                                   {reinterpret_cast<const char*>(v2.data()), 20}};
  std::vector<InfoHash> same;
  jobs_.ForEach([&](const InfoHash& hash, FetchJob&) {
    if (!(hash == job->first) && (hash.Wire() == wire[0] || hash.Wire() == wire[1]))
      same.push_back(hash);
  });
  for (const InfoHash& hash : same) {
    Log(LogLevel::kDebug, "fetch_joined", {{"hash", hash.Hex()}, {"into", job->first.Hex()}});
    const Job other = jobs_.Find(hash);
    job->second->AddSources(other->second->Sources());
    queue_.Merge(hash, job->first);
    jobs_.Erase(other);  // removes its torrent
  }
}

// The layers are all in, or the grace period is over: the fetch ends with what there is.
void Resolver::PollLayers(const InfoHash& hash, std::uint64_t id) {
  const auto job = jobs_.Find(hash, id);
  if (job == jobs_.end()) return;
  FetchJob& fetch = *job->second;
  std::optional<std::map<std::string, std::string>> layers = session_.PieceLayers(fetch.Handle());
  if (!layers && Clock::now() < fetch.LayersWait().until) return fetch.PollAgain();
  if (!layers) Log(LogLevel::kInfo, "piece_layers_missing", {{"hash", hash.Hex()}});
  const FetchJob::Layers wait = fetch.LayersWait();
  FoundWith(job, wait.info, wait.seen, layers.value_or(std::map<std::string, std::string>{}));
}

// Ends a fetch with its metadata: `info` exactly as received, since re-encoding the torrent
// could reorder or drop keys of a hybrid torrent; with the piece layers that came.
void Resolver::FoundWith(Job job, const std::string& info, const MetadataWatch::Snapshot& seen,
                         const std::map<std::string, std::string>& layers) {
  FetchResult result;
  result.report.outcome = job->second->FoundBy(seen);
  std::vector<std::vector<std::string>> trackers = settings_.trackers;
  for (const std::string& url : job->second->Sources().trackers) {
    const bool known = std::any_of(trackers.begin(), trackers.end(), [&](const auto& tier) {
      return std::find(tier.begin(), tier.end(), url) != tier.end();
    });
    if (!known) trackers.push_back({url});
  }
  result.torrent = TorrentBytes(info, trackers, layers);
  Finish(job, std::move(result));
}

void Resolver::Missed(Job job) {
  FetchResult result;
  result.report.outcome = job->second->Missed();
  Finish(job, std::move(result));
}

// Ends a fetch: hands the result with its counts to every caller, removes its torrent and
// starts queued fetches in its place.
void Resolver::Finish(Job job, FetchResult result) {
  job->second->Count(result.report);
  Deliver(queue_.Finish(job->first), std::move(result));
  jobs_.Erase(job);
  StartQueued();
}

void Resolver::StartQueued() {
  while (const std::optional<InfoHash> next = queue_.Next()) Begin(*next, true);
}

FetchResult Resolver::Busy() const {
  FetchResult busy;
  busy.report.outcome = Outcome::kBusy;
  busy.report.dhtNodes = session_.DhtNodes();
  return busy;
}

void Resolver::ExpireQueued() {
  const Clock::duration time = std::chrono::seconds(settings_.timeoutSeconds);
  for (auto& [hash, callers] : queue_.TakeQueuedBefore(Clock::now() - time)) {
    Log(LogLevel::kDebug, "fetch_busy", {{"hash", hash.Hex()}, {"client", callers.client}});
    Deliver(std::move(callers), Busy());
  }
  const std::optional<Clock::time_point> oldest = queue_.OldestQueued();
  expiryArmed_ = oldest.has_value();
  if (!oldest) return;
  queueExpiry_.expires_at(*oldest + time);
  queueExpiry_.async_wait([expire = life_.Task([](Resolver& r) { r.ExpireQueued(); })](
                              const boost::system::error_code& error) {
    if (!error) expire();
  });
}

void Resolver::OnTimeout(const InfoHash& hash, std::uint64_t id) {
  HandleFetchAlerts(session_, *this);
  if (const auto job = jobs_.Find(hash, id); job != jobs_.end()) Missed(job);
}

// The watch saw something; a complete, matching info dictionary ends the fetch.
void Resolver::OnWatch(const InfoHash& hash, std::uint64_t id) {
  // The alerts of the connection that brought the metadata may still wait; they hold its
  // counts.
  HandleFetchAlerts(session_, *this);
  const auto job = jobs_.Find(hash, id);
  if (job == jobs_.end()) return;
  const MetadataWatch::Snapshot seen = job->second->Seen();
  if (seen.info) Found(job, *seen.info, seen);
}

FetchReport* Resolver::ReportOf(const lt::torrent_handle& handle) {
  const auto it = jobs_.Find(handle);
  return it == jobs_.end() ? nullptr : &it->second->Report();
}

void Resolver::MetadataReceived(const lt::torrent_handle& handle) {
  const auto job = jobs_.Find(handle);
  if (job == jobs_.end()) return;
  const std::optional<std::string> info = session_.InfoSection(handle);
  // Without it, keep waiting: another peer may deliver, or the timeout ends the fetch.
  if (info) Found(job, *info, job->second->Seen());
}

void Resolver::TorrentFailed(const lt::torrent_handle& handle) {
  if (const auto job = jobs_.Find(handle); job != jobs_.end()) Missed(job);
}

// Both torrents stopped: the fetch of the one that received the metadata goes on, the other's
// callers with it.
void Resolver::Conflict(const lt::torrent_handle& handle, const lt::torrent_handle& other,
                        const std::string& info) {
  Job job = jobs_.Find(handle);
  if (job == jobs_.end()) job = jobs_.Find(other);
  if (job == jobs_.end()) return;
  Found(job, info, job->second->Seen(), true);
}

void Resolver::DhtNodesCame() {
  jobs_.KickAllNow();
}

}  // namespace pellucor::service
