#include "service/core/metrics.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace pellucor::service {
namespace {

// A label value in the text format: backslash, quote and line feed escaped.
std::string LabelValue(std::string_view value) {
  std::string out;
  for (char c : value) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

std::string Number(double value) {
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  if (std::isnan(value)) return "NaN";
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

}  // namespace

const std::vector<double>& Metrics::LookupBuckets() {
  static const std::vector<double> kBuckets = {0.25, 0.5, 1, 2, 5, 10, 20, 30, 60, 120};
  return kBuckets;
}

Metrics::Metrics() : buckets_(LookupBuckets().size() + 1, 0) {
  // Every reason has a value from the start, so that a rate over it is defined before the first
  // refusal.
  for (const char* reason : {"client_limit", "evicted", "full", "idle"}) refused_[reason] = 0;
}

void Metrics::CountRequest(std::string_view site, int status) {
  ++requests_[{std::string(site), status}];
}

void Metrics::CountLookup(Outcome outcome, double seconds, bool askedSwarm) {
  ++lookups_[OutcomeCode(outcome)];
  if (!askedSwarm) return;
  size_t bucket = 0;
  while (bucket < LookupBuckets().size() && seconds > LookupBuckets()[bucket]) ++bucket;
  ++buckets_[bucket];
  durationSum_ += seconds;
  ++durationCount_;
}

void Metrics::CountStoreError() {
  ++storeErrors_;
}

void Metrics::CountRefusedConnection(std::string_view reason) {
  ++refused_[std::string(reason)];
}

void Metrics::AddGauge(std::string name, std::string help, std::function<double()> read) {
  gauges_.push_back({std::move(name), std::move(help), std::move(read)});
}

std::string Metrics::Render() const {
  std::string out;
  Family(out, "pellucor_http_requests_total", "counter",
         "Requests answered, by site and status (499: the client went away first).");
  for (const auto& [key, count] : requests_)
    out += "pellucor_http_requests_total{site=\"" + LabelValue(key.first) + "\",status=\"" +
           std::to_string(key.second) + "\"} " + std::to_string(count) + "\n";
  Family(out, "pellucor_lookups_total", "counter", "Torrent lookups, by outcome.");
  for (const auto& [outcome, count] : lookups_)
    out += "pellucor_lookups_total{outcome=\"" + LabelValue(outcome) + "\"} " +
           std::to_string(count) + "\n";
  Family(out, "pellucor_lookup_duration_seconds", "histogram",
         "Time from the start of a swarm lookup to its end.");
  uint64_t cumulative = 0;
  for (size_t i = 0; i < buckets_.size(); ++i) {
    cumulative += buckets_[i];
    const double bound =
        i < LookupBuckets().size() ? LookupBuckets()[i] : std::numeric_limits<double>::infinity();
    out += "pellucor_lookup_duration_seconds_bucket{le=\"" + Number(bound) + "\"} " +
           std::to_string(cumulative) + "\n";
  }
  out += "pellucor_lookup_duration_seconds_sum " + Number(durationSum_) + "\n";
  out += "pellucor_lookup_duration_seconds_count " + std::to_string(durationCount_) + "\n";
  Family(out, "pellucor_store_errors_total", "counter",
         "Store writes, reads and lookup lease statements that failed.");
  out += "pellucor_store_errors_total " + std::to_string(storeErrors_) + "\n";
  Family(out, "pellucor_connections_refused_total", "counter",
         "Connections closed before a whole request came: over the per-client limit, no free "
         "slot, or idle while the slots ran short.");
  for (const auto& [reason, count] : refused_)
    out += "pellucor_connections_refused_total{reason=\"" + LabelValue(reason) + "\"} " +
           std::to_string(count) + "\n";
  for (const Gauge& gauge : gauges_) {
    Family(out, gauge.name.c_str(), "gauge", gauge.help.c_str());
    out += gauge.name + " " + Number(gauge.read()) + "\n";
  }
  return out;
}

}  // namespace pellucor::service
