// The operators' pages:
//   GET /metrics  → Prometheus text (metrics.h)
//   GET /healthz  → 200 "ok" when the store answers and the swarm session runs, else 503 and
//                   one line for each that does not
// Runs on the io thread (serve.cpp).
#pragma once

#include "service/core/metrics.h"
#include "service/http/http_server.h"
#include "service/lookup/lookups.h"
#include "service/lookup/torrent_cache.h"

namespace pellucor::service {

class OperatorPages {
 public:
  OperatorPages(Metrics& metrics, Lookups& lookups, TorrentCache& cache)
      : metrics_(metrics), lookups_(lookups), cache_(cache) {}
  void MetricsPage(const Request& request, Responder respond);
  void Health(const Request& request, Responder respond);

 private:
  Metrics& metrics_;
  Lookups& lookups_;
  TorrentCache& cache_;
};

}  // namespace pellucor::service
