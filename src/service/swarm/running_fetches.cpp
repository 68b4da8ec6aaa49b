#include "service/swarm/running_fetches.h"

#include <algorithm>
#include <chrono>

namespace pellucor::service {

void RunningFetches::Add(const InfoHash& hash, std::unique_ptr<FetchJob> job) {
  jobs_.emplace(hash, std::move(job));
  if (!ticking_) ScheduleTick();
}

RunningFetches::iterator RunningFetches::Find(const InfoHash& hash, std::uint64_t id) {
  const auto it = jobs_.find(hash);
  return it != jobs_.end() && it->second->Id() == id ? it : jobs_.end();
}

RunningFetches::iterator RunningFetches::Find(const lt::torrent_handle& handle) {
  return std::find_if(jobs_.begin(), jobs_.end(),
                      [&](const auto& entry) { return entry.second->Handle() == handle; });
}

void RunningFetches::KickAllNow() {
  for (auto& [hash, job] : jobs_) job->KickNow();
}

// A routing table read from a saved state fills only as its nodes answer, and no bootstrap alert
// says when: while the DHT has no node, its nodes are counted every tenth of a second, so that
// the fetches ask it as soon as it can answer (DhtNodesCame). The jobs tick every second.
void RunningFetches::ScheduleTick() {
  ticking_ = true;
  tick_.expires_after(session_.DhtFilling() ? std::chrono::milliseconds(100)
                                            : std::chrono::milliseconds(1000));
  tick_.async_wait([tick = life_.Task([](RunningFetches& f) { f.OnTick(); })](
                       const boost::system::error_code& error) {
    if (!error) tick();
  });
}

void RunningFetches::OnTick() {
  ticking_ = false;
  if (jobs_.empty()) return;
  // The answer (dht_stats_alert) tells whether the routing table has nodes yet.
  session_.CountDhtNodes();
  const FetchJob::Clock::time_point now = FetchJob::Clock::now();
  if (now - lastJobTick_ >= std::chrono::milliseconds(950)) {
    lastJobTick_ = now;
    for (auto& [hash, job] : jobs_) job->Tick(now);
  }
  ScheduleTick();
}

int RunningFetches::PeersSeen() const {
  int peers = 0;
  for (const auto& [hash, job] : jobs_) peers += job->Report().PeersSeen();
  return peers;
}

}  // namespace pellucor::service
