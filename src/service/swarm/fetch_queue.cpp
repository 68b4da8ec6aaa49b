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
                                                            Done done) {
  const std::uint64_t ticket = ++lastTicket_;
  tickets_.emplace(ticket, hash);
  auto [it, fresh] = entries_.try_emplace(hash);
  Entry& entry = it->second;
  entry.callers.byTicket.emplace_back(ticket, std::move(done));
  MergeInto(entry.callers.sources.trackers, sources.trackers);
  MergeInto(entry.callers.sources.peers, sources.peers);
  if (!fresh) return {ticket, Added::kJoined};
  entry.callers.since = Clock::now();
  if (running_ < maxRunning_) {
    entry.running = true;
    ++running_;
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
  entries_.erase(it);
  if (running) {
    --running_;
    return {Withdrawn::kRunningEmptied, hash};
  }
  queued_.erase(std::find(queued_.begin(), queued_.end(), hash));
  return {Withdrawn::kQueuedEmptied, hash};
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
    --running_;
  } else {
    queued_.erase(std::find(queued_.begin(), queued_.end(), from));
  }
  entries_.erase(source);
}

FetchQueue::Callers FetchQueue::Finish(const InfoHash& hash) {
  const auto it = entries_.find(hash);
  if (it == entries_.end() || !it->second.running) return {};
  Callers callers = std::move(it->second.callers);
  entries_.erase(it);
  --running_;
  for (const auto& caller : callers.byTicket) tickets_.erase(caller.first);
  return callers;
}

std::optional<InfoHash> FetchQueue::Next() {
  if (running_ >= maxRunning_ || queued_.empty()) return std::nullopt;
  const InfoHash hash = queued_.front();
  queued_.pop_front();
  entries_.at(hash).running = true;
  ++running_;
  return hash;
}

}  // namespace pellucor::service
