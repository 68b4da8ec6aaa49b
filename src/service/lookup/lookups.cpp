#include "service/lookup/lookups.h"

#include <algorithm>
#include <utility>

#include "service/core/log.h"

namespace pellucor::service {

Lookups::Lookups(TorrentCache& cache, Fetcher& fetcher, LookupLeases& leases, Metrics& metrics,
                 LookupSettings settings)
    : cache_(cache),
      fetcher_(fetcher),
      leases_(leases),
      metrics_(metrics),
      settings_(std::move(settings)) {}

void Lookups::Lookup(const std::string& hash, const Responder& respond, Done done,
                     const FetchSources& sources) {
  bool unreadable = false;
  if (Torrent found = cache_.Find(hash, &unreadable)) {
    LookupReport report;
    report.outcome = Outcome::kFoundStore;
    Finished(hash, report);
    return done(std::move(found), report);
  }
  // The store may hold it: the swarm is not asked for what could not be read.
  if (unreadable) {
    LookupReport report;
    report.outcome = Outcome::kStoreUnavailable;
    Finished(hash, report);
    return done(nullptr, report);
  }
  // A repeat within a minute of a miss: the swarm is not asked again so soon.
  const bool named = !sources.trackers.empty() || !sources.peers.empty();
  if (const LookupReport* miss = named ? nullptr : RecentMiss(hash)) return done(nullptr, *miss);
  const std::string& client = respond.Client();
  int& lookups = clientLookups_[client];
  if (settings_.maxLookupsPerClient > 0 && lookups >= settings_.maxLookupsPerClient) {
    LookupReport report;
    report.outcome = Outcome::kTooManyLookups;
    Finished(hash, report);
    return done(nullptr, report);
  }
  ++lookups;
  const uint64_t id = ++lastWaiter_;
  Pending& pending = pending_[hash];
  pending.waiters.push_back({id, client, std::move(done)});
  respond.OnGone([this, hash, id] { Abandon(hash, id); });
  // A search under way takes the sources at once; one still to start, when it starts (a few
  // more than the ten of each the resolver takes once it dropped those it refuses).
  if (pending.ticket != 0) {
    if (named) fetcher_.AddSources(hash, sources);
  } else {
    for (const std::string& url : sources.trackers)
      if (pending.sources.trackers.size() < 16) pending.sources.trackers.push_back(url);
    for (const std::string& peer : sources.peers)
      if (pending.sources.peers.size() < 16) pending.sources.peers.push_back(peer);
  }
  if (pending.lookup != 0) return;  // joins the lookup under way
  pending.lookup = ++lastLookup_;
  pending.since = std::chrono::steady_clock::now();
  // Another instance on the same store may be searching for it already. The answer is always
  // posted, never given within Acquire.
  pending.waitingLease = true;
  leases_.Acquire(hash, [this, hash, lookup = pending.lookup](const LeaseTurn& turn) {
    LeaseTurned(hash, lookup, turn);
  });
}

void Lookups::Search(const std::string& hash, bool leased) {
  Pending& pending = pending_[hash];
  pending.waitingLease = false;
  pending.leased = leased;
  // The result is always posted, never delivered within Fetch. The fetch takes its turns as
  // the first waiter's address.
  const std::string client = pending.waiters.empty() ? std::string() : pending.waiters[0].client;
  pending.ticket =
      fetcher_.Fetch(hash, std::exchange(pending.sources, {}), client,
                     [this, hash](FetchResult result) { Fetched(hash, std::move(result)); });
}

void Lookups::LeaseTurned(const std::string& hash, uint64_t lookup, const LeaseTurn& turn) {
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
      leases_.Release(hash, cancelled);
    }
    return;
  }
  if (turn.kind == LeaseTurn::Kind::kSearch) return Search(hash, true);
  // Another instance searched: its torrent is in the store, or its miss is the answer.
  std::vector<Waiter> waiters = std::move(it->second.waiters);
  pending_.erase(it);
  LookupReport report = turn.report;
  Torrent found;
  if (turn.kind == LeaseTurn::Kind::kStored) {
    found = cache_.Find(hash);
    report = LookupReport{};
    report.outcome = found ? Outcome::kFoundStore : Outcome::kStoreFailed;
  }
  Answer(hash, std::move(waiters), found, report);
}

void Lookups::Abandon(const std::string& hash, uint64_t waiter) {
  const auto it = pending_.find(hash);
  if (it == pending_.end()) return;
  std::vector<Waiter>& waiters = it->second.waiters;
  const auto w = std::find_if(waiters.begin(), waiters.end(),
                              [waiter](const Waiter& x) { return x.id == waiter; });
  if (w == waiters.end()) return;
  GiveBack(w->client);
  waiters.erase(w);
  if (!waiters.empty()) return;
  // Every client went away. Once the swarm handed the metadata over it is stored all the same
  // (Fetched comes with nobody to answer). A lookup waiting for another instance's lease just
  // stops waiting (the lease's answer, when it comes, finds it gone).
  if (!it->second.waitingLease && !fetcher_.Cancel(it->second.ticket)) return;
  LookupReport report;
  report.outcome = Outcome::kCancelled;
  // A cancelled search hands its lease back: another instance's waiting lookup searches then,
  // rather than being told this one's "cancelled".
  if (it->second.leased) leases_.Release(hash, report);
  report.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - it->second.since).count();
  pending_.erase(it);
  Finished(hash, report);
}

void Lookups::Fetched(const std::string& hash, FetchResult result) {
  std::vector<Waiter> waiters;
  bool leased = false;
  if (const auto it = pending_.find(hash); it != pending_.end()) {
    waiters = std::move(it->second.waiters);
    leased = it->second.leased;
    pending_.erase(it);
  }
  LookupReport report = result.report;
  Torrent found;
  if (result.torrent) {
    found = cache_.Keep(hash, std::move(*result.torrent));
    // Metadata the torrent reader refuses (its reason is in the log) is bad metadata.
    if (!found) report.outcome = Outcome::kBadMetadata;
  }
  // After the write: the instances waiting for this hash read the store once woken.
  if (leased) leases_.Release(hash, report);
  Answer(hash, std::move(waiters), found, report);
}

void Lookups::Answer(const std::string& hash, std::vector<Waiter> waiters, const Torrent& found,
                     const LookupReport& report) {
  for (const Waiter& w : waiters) GiveBack(w.client);
  Finished(hash, report);
  for (Waiter& w : waiters) w.done(found, report);
}

void Lookups::Finished(const std::string& hash, const LookupReport& report) {
  const bool swarm = report.outcome != Outcome::kFoundStore &&
                     report.outcome != Outcome::kTooManyLookups &&
                     report.outcome != Outcome::kStoreUnavailable &&
                     report.outcome != Outcome::kCancelled && report.outcome != Outcome::kBusy;
  if (IsFound(report.outcome)) {
    misses_.Forget(hash);
  } else if (swarm) {
    misses_.Remember(hash, report);
  }
  Log(LogLevel::kInfo, "lookup",
      {{"hash", hash},
       {"outcome", OutcomeCode(report.outcome)},
       {"seconds", report.seconds},
       {"dht_nodes", report.dhtNodes},
       {"peers_seen", report.peersSeen},
       {"peers_tried", report.peersTried}});
  metrics_.CountLookup(report.outcome, report.seconds,
                       swarm || report.outcome == Outcome::kCancelled);
  if (settings_.onLookup) settings_.onLookup(hash, report);
}

void Lookups::GiveBack(const std::string& client) {
  if (--clientLookups_[client] <= 0) clientLookups_.erase(client);
}

}  // namespace pellucor::service
