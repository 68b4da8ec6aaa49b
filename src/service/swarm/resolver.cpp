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
#include <optional>
#include <utility>

#include <boost/asio/post.hpp>

#include "service/core/log.h"
#include "service/swarm/fetch_job.h"
#include "service/swarm/fetch_report.h"
#include "service/swarm/fetch_session.h"
#include "torrent/bencode.h"

namespace pellucor::service {
namespace {

using Clock = std::chrono::steady_clock;

// How often running fetches are looked after (DHT routing table size, announces, peers).
constexpr auto kTick = std::chrono::seconds(1);

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
// received, so the info hash holds for v1 and v2 alike.
std::string TorrentBytes(const std::string& info,
                         const std::vector<std::vector<std::string>>& trackers) {
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
  return Bencode(std::move(torrent)).Encode();
}

}  // namespace

Resolver::Resolver(boost::asio::io_context& io, ResolverSettings settings)
    : io_(io),
      settings_(Clamped(std::move(settings))),
      self_(std::make_shared<Resolver*>(this)),
      queue_(settings_.maxParallel),
      tick_(io) {
  session_ = std::make_unique<FetchSession>(
      settings_,
      PostFromLibtorrent(WhileAlive([](Resolver& r) { HandleFetchAlerts(*r.session_, r); })));
}

Resolver::~Resolver() {
  self_.reset();     // tasks already posted find nothing to act on
  jobs_.clear();     // nor do their timers' handlers
  session_.reset();  // waits for libtorrent's thread
}

std::function<void()> Resolver::WhileAlive(std::function<void(Resolver&)> work) {
  return [weak = std::weak_ptr<Resolver*>(self_), work = std::move(work)] {
    if (const std::shared_ptr<Resolver*> self = weak.lock()) work(**self);
  };
}

std::function<void()> Resolver::PostFromLibtorrent(std::function<void()> task) {
  return [io = &io_, task = std::move(task)] { boost::asio::post(*io, task); };
}

bool Resolver::Running() const {
  return session_->Running();
}

int Resolver::ListenPort() const {
  return session_->ListenPort();
}

std::string Resolver::DhtState() const {
  return session_->DhtState();
}

int Resolver::DhtNodes() const {
  return session_->DhtNodes();
}

std::uint64_t Resolver::Fetch(const std::string& infoHash, std::function<void(FetchResult)> done) {
  if (!done) return 0;
  const std::optional<InfoHash> hash = InfoHash::FromHex(infoHash);
  if (!hash) {
    FetchResult result;
    result.report.outcome = Outcome::kNoPeers;
    Deliver(std::move(done), std::move(result));
    return 0;
  }
  const auto [ticket, added] = queue_.Add(*hash, std::move(done));
  if (added == FetchQueue::Added::kStart) {
    Begin(*hash);
  } else if (added == FetchQueue::Added::kQueued) {
    Log(LogLevel::kDebug, "fetch_queued", {{"hash", hash->Hex()}});
  }
  return ticket;
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
      jobs_.erase(*hash);
      StartQueued();
      break;
  }
  return true;
}

void Resolver::Deliver(std::function<void(FetchResult)> done, FetchResult result) {
  boost::asio::post(io_, [done = std::move(done), result = std::move(result)]() mutable {
    done(std::move(result));
  });
}

// Adds the torrent of a fetch the queue let start; without one, its callers learn at once.
void Resolver::Begin(const InfoHash& hash) {
  const std::uint64_t id = ++lastId_;
  std::optional<FetchSession::Torrent> torrent = session_->Add(
      hash, PostFromLibtorrent(WhileAlive([hash, id](Resolver& r) { r.OnWatch(hash, id); })));
  if (!torrent) {
    FetchQueue::Callers callers = queue_.Finish(hash);
    FetchResult failed;
    failed.report.outcome = Outcome::kNoPeers;
    failed.report.seconds = SecondsSince(callers.since);
    for (auto& [ticket, done] : callers.byTicket) Deliver(std::move(done), failed);
    return;
  }
  Log(LogLevel::kDebug, "fetch_started", {{"hash", hash.Hex()}});
  jobs_.emplace(hash, std::make_unique<FetchJob>(
                          io_, *session_, std::move(*torrent), id,
                          std::chrono::seconds(settings_.timeoutSeconds),
                          WhileAlive([hash, id](Resolver& r) { r.OnTimeout(hash, id); })));
  // A fresh count of the DHT's nodes for this fetch's report.
  session_->CountDhtNodes();
  if (!ticking_) ScheduleTick();
}

// Ends a fetch: hands the result with its counts to every caller, removes its torrent and
// starts queued fetches in its place.
void Resolver::Finish(InfoHash hash, FetchResult result) {
  jobs_.at(hash)->Count(result.report);
  FetchQueue::Callers callers = queue_.Finish(hash);
  result.report.seconds = SecondsSince(callers.since);
  for (auto& [ticket, done] : callers.byTicket) Deliver(std::move(done), result);
  jobs_.erase(hash);
  StartQueued();
}

void Resolver::StartQueued() {
  while (const std::optional<InfoHash> next = queue_.Next()) Begin(*next);
}

void Resolver::ScheduleTick() {
  ticking_ = true;
  tick_.expires_after(kTick);
  tick_.async_wait(
      [tick = WhileAlive([](Resolver& r) { r.OnTick(); })](const boost::system::error_code& error) {
        if (!error) tick();
      });
}

void Resolver::OnTick() {
  ticking_ = false;
  if (jobs_.empty()) return;
  // The answer (dht_stats_alert) tells whether the routing table has nodes yet.
  session_->CountDhtNodes();
  const Clock::time_point now = Clock::now();
  for (auto& [hash, job] : jobs_) job->Tick(now);
  ScheduleTick();
}

void Resolver::OnTimeout(const InfoHash& hash, std::uint64_t id) {
  HandleFetchAlerts(*session_, *this);
  const auto it = Find(hash, id);
  if (it == jobs_.end()) return;
  FetchResult result;
  result.report.outcome = it->second->Missed();
  Finish(hash, std::move(result));
}

// The watch saw something; a complete, matching info dictionary ends the fetch.
void Resolver::OnWatch(const InfoHash& hash, std::uint64_t id) {
  // The alerts of the connection that brought the metadata may still wait; they hold its
  // counts.
  HandleFetchAlerts(*session_, *this);
  const auto it = Find(hash, id);
  if (it == jobs_.end()) return;
  const MetadataWatch::Snapshot seen = it->second->Seen();
  if (!seen.info) return;
  FetchResult result;
  result.report.outcome = it->second->FoundBy(seen);
  result.torrent = TorrentBytes(*seen.info, settings_.trackers);
  Finish(hash, std::move(result));
}

Resolver::Jobs::iterator Resolver::Find(const lt::torrent_handle& handle) {
  return std::find_if(jobs_.begin(), jobs_.end(),
                      [&](const auto& entry) { return entry.second->Handle() == handle; });
}

Resolver::Jobs::iterator Resolver::Find(const InfoHash& hash, std::uint64_t id) {
  const auto it = jobs_.find(hash);
  return it != jobs_.end() && it->second->Id() == id ? it : jobs_.end();
}

FetchReport* Resolver::ReportOf(const lt::torrent_handle& handle) {
  const auto it = Find(handle);
  return it == jobs_.end() ? nullptr : &it->second->Report();
}

void Resolver::MetadataReceived(const lt::torrent_handle& handle) {
  const auto it = Find(handle);
  if (it == jobs_.end()) return;
  // The info dictionary exactly as received; re-encoding the torrent could reorder or drop
  // keys of a hybrid torrent.
  const std::optional<std::string> info = session_->InfoSection(handle);
  if (!info) return;  // keep waiting: another peer may deliver, or the timeout ends it
  FetchResult result;
  result.report.outcome = it->second->FoundBy(it->second->Seen());
  result.torrent = TorrentBytes(*info, settings_.trackers);
  Finish(it->first, std::move(result));
}

void Resolver::TorrentFailed(const lt::torrent_handle& handle) {
  const auto it = Find(handle);
  if (it == jobs_.end()) return;
  FetchResult result;
  result.report.outcome = it->second->Missed();
  Finish(it->first, std::move(result));
}

void Resolver::DhtNodesCame() {
  for (auto& [hash, job] : jobs_) job->KickNow();
}

}  // namespace pellucor::service
