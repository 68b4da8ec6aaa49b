#include "service/swarm/fetch_job.h"

#include <algorithm>

namespace pellucor::service {
namespace {

constexpr auto kFirstKickInterval = std::chrono::seconds(1);
constexpr auto kMaxKickInterval = std::chrono::seconds(4);

}  // namespace

FetchJob::FetchJob(boost::asio::io_context& io, FetchSession& session,
                   FetchSession::Torrent torrent, FetchSession::Sources sources, std::uint64_t id,
                   Clock::duration timeout, std::function<void()> timedOut)
    : session_(session),
      torrent_(std::move(torrent)),
      sources_(std::move(sources)),
      id_(id),
      timeout_(io),
      kickInterval_(kFirstKickInterval),
      layersTimer_(io) {
  timeout_.expires_after(timeout);
  timeout_.async_wait([timedOut = std::move(timedOut)](const boost::system::error_code& error) {
    if (!error) timedOut();
  });
  listed_ = session_.Listed();
  listed_.insert(listed_.end(), sources_.peers.begin(), sources_.peers.end());
  Kick(Clock::now());
}

void FetchJob::AddSources(const FetchSession::Sources& more) {
  FetchSession::Sources added;
  FetchSession::Merge(sources_, more, &added);
  listed_.insert(listed_.end(), added.peers.begin(), added.peers.end());
  session_.AddSources(torrent_.handle, added);
}

FetchJob::~FetchJob() {
  timeout_.cancel();
  layersTimer_.cancel();
  session_.Remove(torrent_.handle);
}

void FetchJob::AwaitLayers(std::string info, MetadataWatch::Snapshot seen, Clock::time_point until,
                           std::optional<FetchSession::Torrent> known, std::function<void()> poll) {
  if (known) {
    // The watch stays: it holds what the first torrent saw.
    known->watch = torrent_.watch;
    torrent_ = std::move(*known);
  }
  layers_ = Layers{std::move(info), std::move(seen), until};
  poll_ = std::move(poll);
  SchedulePoll();
}

void FetchJob::DropTorrent() {
  session_.Remove(torrent_.handle);
  torrent_.handle = lt::torrent_handle();
}

void FetchJob::SchedulePoll() {
  layersTimer_.expires_after(std::chrono::milliseconds(50));
  layersTimer_.async_wait([this](const boost::system::error_code& error) {
    if (error) return;
    poll_();  // may end the job
  });
}

void FetchJob::Tick(Clock::time_point now) {
  report_.NotePeerList(session_.PeerListSize(torrent_.handle));
  if (now >= nextKick_) Kick(now);
}

void FetchJob::KickNow() {
  kickInterval_ = kFirstKickInterval;
  Kick(Clock::now());
}

void FetchJob::Count(LookupReport& report) {
  report_.NotePeerList(session_.PeerListSize(torrent_.handle));
  report.dhtNodes = session_.DhtNodes();
  report.peersSeen = report_.PeersSeen();
  report.peersTried = report_.PeersTried();
}

// The first time, libtorrent has just dialled the listed peers and asked the trackers itself.
void FetchJob::Kick(Clock::time_point now) {
  session_.AskForPeers(torrent_.handle, kicked_, sources_);
  kicked_ = true;
  nextKick_ = now + kickInterval_;
  kickInterval_ = std::min<Clock::duration>(kickInterval_ * 2, kMaxKickInterval);
}

}  // namespace pellucor::service
