#include "service/swarm/fetch_queue.h"

#include <algorithm>

namespace pellucor::service {
namespace {

void MergeInto(std::vector<std::string>& into, const std::vector<std::string>& more) {
  for (const std::string& item : more) {
    if (into.size() >= FetchQueue::kMaxSources) return;
    if (std::find(into.begin(), into.end(), item) == into.end()) into.push_back(item);
  }
}

}  // namespace

std::pair<std::uint64_t, FetchQueue::Added> FetchQueue::Add(const InfoHash& hash,
                                                            const FetchSources& sources,
                                                            const std::string& client, Done done) {
  const std::uint64_t ticket = ++lastTicket_;
  tickets_.emplace(ticket, hash);
  auto [it, fresh] = entries_.try_emplace(hash);
  Entry& entry = it->second;
  entry.callers.byTicket.emplace_back(ticket, std::move(done));
  MergeInto(entry.callers.sources.trackers, sources.trackers);
  MergeInto(entry.callers.sources.peers, sources.peers);
  if (!fresh) return {ticket, Added::kJoined};
  entry.callers.since = Clock::now();
  entry.callers.client = client;
  if (running_ < maxRunning_) {
    Started(entry);
    return {ticket, Added::kStart};
  }
  queued_.push_back(hash);
  return {ticket, Added::kQueued};
}

std::pair<FetchQueue::Withdrawn, std::optional<InfoHash>> FetchQueue::Cancel(std::uint64_t ticket) {
  const auto t = tickets_.find(ticket);
  if (t == tickets_.end()) return {Withdrawn::kUnknown, std::nullopt};
  const InfoHash hash = t->second;
  tickets_.erase(t);
  const auto it = entries_.find(hash);  // there is one: a ticket names a booked fetch
  auto& callers = it->second.callers.byTicket;
  callers.erase(std::remove_if(callers.begin(), callers.end(),
                               [&](const auto& caller) { return caller.first == ticket; }),
                callers.end());
  if (!callers.empty()) return {Withdrawn::kOthersWait, hash};
  const bool running = it->second.running;
  if (running) Stopped(it->second);
  entries_.erase(it);
  if (running) return {Withdrawn::kRunningEmptied, hash};
  queued_.erase(std::find(queued_.begin(), queued_.end(), hash));
  return {Withdrawn::kQueuedEmptied, hash};
}

void FetchQueue::AddSources(const InfoHash& hash, const FetchSources& sources) {
  const auto it = entries_.find(hash);
  if (it == entries_.end()) return;
  MergeInto(it->second.callers.sources.trackers, sources.trackers);
  MergeInto(it->second.callers.sources.peers, sources.peers);
}

FetchSources FetchQueue::SourcesOf(const InfoHash& hash) const {
  const auto it = entries_.find(hash);
  return it == entries_.end() ? FetchSources{} : it->second.callers.sources;
}

std::optional<InfoHash> FetchQueue::Booked(const InfoHash& hash) const {
  if (entries_.count(hash)) return hash;
  for (const auto& [booked, entry] : entries_)
    if (booked.Wire() == hash.Wire()) return booked;
  return std::nullopt;
}

void FetchQueue::Merge(const InfoHash& from, const InfoHash& into) {
  const auto source = entries_.find(from);
  const auto target = entries_.find(into);
  if (source == entries_.end() || target == entries_.end() || source == target) return;
  Callers& callers = target->second.callers;
  for (auto& caller : source->second.callers.byTicket) {
    tickets_.insert_or_assign(caller.first, into);
    callers.byTicket.push_back(std::move(caller));
  }
  callers.since = std::min(callers.since, source->second.callers.since);
  MergeInto(callers.sources.trackers, source->second.callers.sources.trackers);
  MergeInto(callers.sources.peers, source->second.callers.sources.peers);
  if (source->second.running) {
    Stopped(source->second);
  } else {
    queued_.erase(std::find(queued_.begin(), queued_.end(), from));
  }
  entries_.erase(source);
}

FetchQueue::Callers FetchQueue::Finish(const InfoHash& hash) {
  const auto it = entries_.find(hash);
  if (it == entries_.end() || !it->second.running) return {};
  Stopped(it->second);
  Callers callers = std::move(it->second.callers);
  entries_.erase(it);
  for (const auto& caller : callers.byTicket) tickets_.erase(caller.first);
  return callers;
}

std::optional<InfoHash> FetchQueue::Next() {
  if (running_ >= maxRunning_ || queued_.empty()) return std::nullopt;
  // The oldest of the fetches whose address has the fewest running.
  auto next = queued_.end();
  int fewest = 0;
  for (auto it = queued_.begin(); it != queued_.end(); ++it) {
    const auto running = runningByClient_.find(entries_.at(*it).callers.client);
    const int count = running == runningByClient_.end() ? 0 : running->second;
    if (next == queued_.end() || count < fewest) {
      next = it;
      fewest = count;
      if (count == 0) break;
    }
  }
  const InfoHash hash = *next;
  queued_.erase(next);
  Started(entries_.at(hash));
  return hash;
}

std::vector<std::pair<InfoHash, FetchQueue::Callers>> FetchQueue::TakeQueuedBefore(
    Clock::time_point before) {
  std::vector<std::pair<InfoHash, Callers>> taken;
  for (auto it = queued_.begin(); it != queued_.end();) {
    const auto entry = entries_.find(*it);
    if (entry->second.callers.since >= before) {
      ++it;
      continue;
    }
    for (const auto& caller : entry->second.callers.byTicket) tickets_.erase(caller.first);
    taken.emplace_back(*it, std::move(entry->second.callers));
    entries_.erase(entry);
    it = queued_.erase(it);
  }
  return taken;
}

std::optional<FetchQueue::Clock::time_point> FetchQueue::OldestQueued() const {
  std::optional<Clock::time_point> oldest;
  for (const InfoHash& hash : queued_)
    oldest = std::min(oldest.value_or(Clock::time_point::max()), entries_.at(hash).callers.since);
  return oldest;
}

void FetchQueue::Started(Entry& entry) {
  entry.running = true;
  ++running_;
  ++runningByClient_[entry.callers.client];
}

void FetchQueue::Stopped(const Entry& entry) {
  --running_;
  const auto it = runningByClient_.find(entry.callers.client);
  if (it != runningByClient_.end() && --it->second <= 0) runningByClient_.erase(it);
}

}  // namespace pellucor::service
