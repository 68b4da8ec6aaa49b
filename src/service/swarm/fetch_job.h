// One fetch under way: its torrent in the session, its timeout, when it next asks for peers, and
// what it saw (FetchReport). The job asks at once, then again after a second, doubling up to
// four: DHT lookups started while the routing table was still filling find little, and a listed
// peer may come up after the fetch began. Gone, it cancels its timeout and removes its torrent.
// Runs on the resolver's io thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "service/core/outcome.h"
#include "service/swarm/fetch_report.h"
#include "service/swarm/fetch_session.h"

namespace pellucor::service {

class FetchJob {
 public:
  using Clock = std::chrono::steady_clock;

  // Asks for peers at once, the session's and `sources` (those the torrent was added with).
  // `timedOut` runs on `io` after `timeout`, unless the job is gone first (or, if the timer had
  // fired already, it finds no job of this `id`).
  FetchJob(boost::asio::io_context& io, FetchSession& session, FetchSession::Torrent torrent,
           FetchSession::Sources sources, std::uint64_t id, Clock::duration timeout,
           std::function<void()> timedOut);
  ~FetchJob();
  FetchJob(const FetchJob&) = delete;
  FetchJob& operator=(const FetchJob&) = delete;

  std::uint64_t Id() const { return id_; }  // tells this job from a later one of the same hash
  const lt::torrent_handle& Handle() const { return torrent_.handle; }
  FetchReport& Report() { return report_; }
  const FetchReport& Report() const { return report_; }
  MetadataWatch::Snapshot Seen() const { return MetadataWatch::Read(*torrent_.watch); }

  // The peers and trackers of the links this fetch is for.
  const FetchSession::Sources& Sources() const { return sources_; }
  // More of them, from a request that joined the fetch: asked at once.
  void AddSources(const FetchSession::Sources& more);

  // Counts the torrent's peer list, and asks for peers again when it is time.
  void Tick(Clock::time_point now);
  // Asks again now, and from a second on again: the DHT's routing table has nodes now.
  void KickNow();
  // Why there is no metadata (FetchReport::Classify), or who gave it (FetchReport::FoundBy).
  Outcome Missed() const { return report_.Classify(Seen(), session_.Swarm(listed_)); }
  Outcome FoundBy(const MetadataWatch::Snapshot& seen) const {
    return report_.FoundBy(seen, session_.Swarm(listed_));
  }
  // The counts of the lookup's report, the peer list counted once more.
  void Count(LookupReport& report);

  // Waiting for the piece layers of the metadata that came (`info`, from `seen`): `poll` runs
  // in 50 ms, and again after each PollAgain(); `until` is the grace period's end. The job's
  // torrent is replaced by `known` (one added with every hash it has) when one is given:
  // DropTorrent() first, since the session takes no second torrent of the same hash.
  void AwaitLayers(std::string info, MetadataWatch::Snapshot seen, Clock::time_point until,
                   std::optional<FetchSession::Torrent> known, std::function<void()> poll);
  void PollAgain() { SchedulePoll(); }
  void DropTorrent();
  bool AwaitingLayers() const { return layers_.has_value(); }
  struct Layers {
    std::string info;
    MetadataWatch::Snapshot seen;
    Clock::time_point until;
  };
  const Layers& LayersWait() const { return *layers_; }

 private:
  void Kick(Clock::time_point now);

  void SchedulePoll();

  FetchSession& session_;
  FetchSession::Torrent torrent_;
  FetchSession::Sources sources_;
  std::vector<lt::tcp::endpoint> listed_;  // the session's peers and those of `sources_`
  const std::uint64_t id_;
  boost::asio::steady_timer timeout_;
  Clock::time_point nextKick_;
  Clock::duration kickInterval_;
  bool kicked_ = false;
  FetchReport report_;
  std::optional<Layers> layers_;
  boost::asio::steady_timer layersTimer_;
  std::function<void()> poll_;
};

}  // namespace pellucor::service
