#include "service/swarm/fetch_job.h"

#include <algorithm>

namespace pellucor::service {
namespace {

constexpr auto kFirstKickInterval = std::chrono::seconds(1);
constexpr auto kMaxKickInterval = std::chrono::seconds(4);

}  // namespace

FetchJob::FetchJob(boost::asio::io_context& io, FetchSession& session,
                   FetchSession::Torrent torrent, std::uint64_t id, std::chrono::seconds timeout,
                   std::function<void()> timedOut)
    : session_(session),
      torrent_(std::move(torrent)),
      id_(id),
      timeout_(io),
      kickInterval_(kFirstKickInterval) {
  timeout_.expires_after(timeout);
  timeout_.async_wait([timedOut = std::move(timedOut)](const boost::system::error_code& error) {
    if (!error) timedOut();
  });
  Kick(Clock::now());
}

FetchJob::~FetchJob() {
  timeout_.cancel();
  session_.Remove(torrent_.handle);
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
  session_.AskForPeers(torrent_.handle, kicked_);
  kicked_ = true;
  nextKick_ = now + kickInterval_;
  kickInterval_ = std::min<Clock::duration>(kickInterval_ * 2, kMaxKickInterval);
}

}  // namespace pellucor::service
