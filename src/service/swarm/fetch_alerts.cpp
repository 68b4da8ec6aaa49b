#include "service/swarm/fetch_alerts.h"

#include <algorithm>
#include <vector>

#include <libtorrent/alert_types.hpp>
#include <libtorrent/error_code.hpp>

#include "service/swarm/fetch_report.h"
#include "service/swarm/fetch_session.h"

namespace pellucor::service {
namespace {

// A connection we made or tried, or one that came in.
void NoteConnection(FetchSession& session, FetchAlertSink& sink, const lt::peer_alert& alert,
                    bool incoming) {
  FetchReport* report = sink.ReportOf(alert.handle);
  if (!report) return;
  const bool self = !incoming && session.IsSelf(alert.endpoint);
  report->NoteConnection(alert.endpoint, incoming, self);
}

}  // namespace

void HandleFetchAlerts(FetchSession& session, FetchAlertSink& sink) {
  for (lt::alert* alert : session.PopAlerts()) {
    if (auto* m = lt::alert_cast<lt::metadata_received_alert>(alert)) {
      sink.MetadataReceived(m->handle);
    } else if (auto* e = lt::alert_cast<lt::torrent_error_alert>(alert)) {
      // A duplicate is a conflict, told next with the metadata.
      if (e->error != lt::errors::duplicate_torrent) sink.TorrentFailed(e->handle);
    } else if (auto* x = lt::alert_cast<lt::torrent_conflict_alert>(alert)) {
      if (x->metadata) {
        const lt::span<const char> info = x->metadata->info_section();
        sink.Conflict(x->handle, x->conflicting_torrent,
                      std::string(info.data(), static_cast<std::size_t>(info.size())));
      }
    } else if (auto* c = lt::alert_cast<lt::peer_connect_alert>(alert)) {
      NoteConnection(session, sink, *c, c->direction == lt::peer_connect_alert::direction_t::in);
    } else if (auto* d = lt::alert_cast<lt::peer_disconnected_alert>(alert)) {
      if (d->error != lt::errors::self_connection) {
        NoteConnection(session, sink, *d, false);
      } else if (FetchReport* report = sink.ReportOf(d->handle)) {
        report->NoteSelfConnection();
      }
    } else if (auto* p = lt::alert_cast<lt::peer_error_alert>(alert)) {
      NoteConnection(session, sink, *p, false);
    } else if (auto* t = lt::alert_cast<lt::tracker_reply_alert>(alert)) {
      if (FetchReport* report = sink.ReportOf(t->handle)) report->NoteTrackerReply(t->num_peers);
    } else if (auto* r = lt::alert_cast<lt::dht_reply_alert>(alert)) {
      if (FetchReport* report = sink.ReportOf(r->handle)) report->NoteDhtReply(r->num_peers);
    } else if (lt::alert_cast<lt::dht_bootstrap_alert>(alert)) {
      session.SetDhtNodes(std::max(session.DhtNodes(), 1));
      session.CountDhtNodes();
      sink.DhtNodesCame();
    } else if (auto* s = lt::alert_cast<lt::dht_stats_alert>(alert)) {
      int nodes = 0;
      for (const lt::dht_routing_bucket& bucket : s->routing_table) nodes += bucket.num_nodes;
      const bool first = session.DhtNodes() == 0 && nodes > 0;
      session.SetDhtNodes(nodes);
      if (first) sink.DhtNodesCame();
    }
  }
}

}  // namespace pellucor::service
