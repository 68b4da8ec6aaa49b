// The fetches under way (FetchJob), by info hash, and found by their torrent as well (libtorrent's
// alerts name torrents). While there are any, it looks after them every second: a fresh count of
// the DHT's nodes, and each job counts its peers and asks for more when it is time.
// Runs on the resolver's io thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "service/swarm/fetch_job.h"
#include "service/swarm/fetch_session.h"
#include "service/swarm/lifeline.h"
#include "torrent/info_hash.h"

namespace pellucor::service {

class RunningFetches {
 public:
  using Jobs = std::map<InfoHash, std::unique_ptr<FetchJob>>;
  using iterator = Jobs::iterator;

  RunningFetches(boost::asio::io_context& io, FetchSession& session)
      : session_(session), tick_(io) {}
  ~RunningFetches() { life_.Cut(); }
  RunningFetches(const RunningFetches&) = delete;
  RunningFetches& operator=(const RunningFetches&) = delete;

  void Add(const InfoHash& hash, std::unique_ptr<FetchJob> job);
  // The job of `hash` with `id` (not a later one of the same hash); end() for none.
  iterator Find(const InfoHash& hash, std::uint64_t id);
  iterator Find(const InfoHash& hash) { return jobs_.find(hash); }
  // The job whose torrent `handle` is; end() for none.
  iterator Find(const lt::torrent_handle& handle);
  iterator end() { return jobs_.end(); }
  // Ends a job: its torrent is removed.
  void Erase(iterator job) { jobs_.erase(job); }
  void Erase(const InfoHash& hash) { jobs_.erase(hash); }
  void Clear() { jobs_.clear(); }
  template <typename F>
  void ForEach(F f) {
    for (auto& [hash, job] : jobs_) f(hash, *job);
  }
  // Every job asks for peers now: the DHT's routing table has nodes now.
  void KickAllNow();
  // The peers the jobs learnt of, together.
  int PeersSeen() const;

 private:
  void ScheduleTick();
  void OnTick();

  FetchSession& session_;
  Jobs jobs_;
  boost::asio::steady_timer tick_;
  bool ticking_ = false;
  FetchJob::Clock::time_point lastJobTick_{};
  Lifeline<RunningFetches> life_{this};  // a tick that fired finds nothing once it is gone
};

}  // namespace pellucor::service
