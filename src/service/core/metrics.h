// What the service counts, served as GET /metrics in the Prometheus text format (version 0.0.4):
//   pellucor_http_requests_total{site,status}   answered requests (499: the client left first)
//   pellucor_lookups_total{outcome}             lookups by outcome (outcome.h codes)
//   pellucor_lookup_duration_seconds            histogram of lookups that asked the swarm
//   pellucor_store_errors_total                 failed store writes and reads, failed lease
//                                               statements
//   pellucor_connections_refused_total{reason}  connections closed before a request was read
// and the gauges the program adds (torrents stored, cache bytes, DHT nodes, open connections),
// read when the page is asked for. Runs on the io thread (serve.cpp): what another thread counts
// (a store error on the lease thread) is posted there first.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "service/core/outcome.h"

namespace pellucor::service {

class Metrics {
 public:
  Metrics();

  void CountRequest(std::string_view site, int status);
  // A lookup that ended; `askedSwarm` when it went to the swarm (its time enters the histogram).
  void CountLookup(Outcome outcome, double seconds, bool askedSwarm);
  void CountStoreError();
  // "client_limit", "full", "idle"
  void CountRefusedConnection(std::string_view reason);
  // A gauge: `read` is called each time the page is made.
  void AddGauge(std::string name, std::string help, std::function<double()> read);

  std::string Render() const;

  // The upper bounds of the histogram's buckets, in seconds (+Inf besides).
  static const std::vector<double>& LookupBuckets();

 private:
  std::map<std::pair<std::string, int>, uint64_t> requests_;
  std::map<std::string, uint64_t> lookups_;
  std::map<std::string, uint64_t> refused_;
  std::vector<uint64_t> buckets_;  // per bucket, not cumulative; the last is +Inf
  double durationSum_ = 0;
  uint64_t durationCount_ = 0;
  uint64_t storeErrors_ = 0;
  struct Gauge {
    std::string name, help;
    std::function<double()> read;
  };
  std::vector<Gauge> gauges_;
};

}  // namespace pellucor::service
