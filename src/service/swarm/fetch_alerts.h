// libtorrent's alerts, read for the resolver, in the order libtorrent raised them: the counts of
// each fetch's report and of the DHT's nodes are kept here; what ends a fetch or calls for new
// announces is handed to the resolver. Runs on the resolver's io thread, where it pops them.
#pragma once

#include <string>

#include <libtorrent/fwd.hpp>

namespace pellucor::service {

class FetchReport;
class FetchSession;

// The resolver's side of the alerts.
class FetchAlertSink {
 public:
  // The report of the fetch whose torrent `handle` is; null for none (a fetch that ended).
  virtual FetchReport* ReportOf(const lt::torrent_handle& handle) = 0;
  // libtorrent has the metadata, checked against the hash the torrent was added with.
  virtual void MetadataReceived(const lt::torrent_handle& handle) = 0;
  // The torrent is in error, and stopped: waiting on would only run into the timeout.
  virtual void TorrentFailed(const lt::torrent_handle& handle) = 0;
  // Two torrents turned out to be one (a hybrid torrent looked up by its SHA-1 and by its
  // SHA-256): libtorrent stopped both. `info` is the info dictionary `handle` received.
  virtual void Conflict(const lt::torrent_handle& handle, const lt::torrent_handle& other,
                        const std::string& info) = 0;
  // The DHT's routing table has nodes now: fetches may ask it for peers.
  virtual void DhtNodesCame() = 0;

 protected:
  ~FetchAlertSink() = default;
};

// Pops the session's alerts and hands each on.
void HandleFetchAlerts(FetchSession& session, FetchAlertSink& sink);

}  // namespace pellucor::service
