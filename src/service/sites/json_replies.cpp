#include "service/sites/json_replies.h"

#include <cstdio>
#include <ctime>

#include "base/json.h"
#include "service/sites/pages.h"

namespace pellucor::service {
namespace {

std::string Iso8601(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

}  // namespace

Response JsonReply(http::status status, const std::string& body) {
  return MakeResponse(status, "application/json", body + "\n");
}

Response JsonError(http::status status, const char* error, const std::string& message) {
  return JsonReply(status,
                   "{\"error\":" + JsonQuote(error) + ",\"message\":" + JsonQuote(message) + "}");
}

std::string TorrentJson(const StoredTorrent& t) {
  std::string files;
  for (size_t i = 0; i < t.meta.files.size() && i < kMaxListedFiles; ++i) {
    const TorrentFile& f = t.meta.files[i];
    std::string entry = (i == 0 ? "{\"path\":" : ",{\"path\":") + JsonQuote(f.path) +
                        ",\"size\":" + std::to_string(f.size) + "}";
    if (files.size() + entry.size() > kMaxListedBytes) break;
    files += entry;
  }
  return "{\"infoHash\":" + JsonQuote(t.meta.infoHash) +
         ",\"infoHashV2\":" + (t.meta.infoHashV2.empty() ? "null" : JsonQuote(t.meta.infoHashV2)) +
         ",\"name\":" + JsonQuote(t.meta.name) + ",\"size\":" + std::to_string(t.meta.totalSize) +
         ",\"files\":[" + files + "],\"fileCount\":" + std::to_string(t.meta.files.size()) +
         ",\"source\":" + JsonQuote(t.source) + ",\"added\":" + JsonQuote(Iso8601(t.addedAt)) +
         ",\"pieceLayers\":" + (t.meta.pieceLayers ? "true" : "false") + "}";
}

Response MissJson(const LookupReport* report) {
  if (!report) return JsonError(http::status::not_found, "not_found", "not in the store");
  if (report->outcome == Outcome::kTooManyLookups)
    return JsonError(http::status::too_many_requests, "too_many_lookups",
                     OutcomePhrase(report->outcome));
  if (report->outcome == Outcome::kStoreUnavailable || report->outcome == Outcome::kBusy)
    return JsonError(http::status::service_unavailable, OutcomeCode(report->outcome),
                     OutcomePhrase(report->outcome));
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", report->seconds);
  return JsonReply(
      http::status::not_found,
      "{\"error\":\"not_found\",\"outcome\":" + JsonQuote(OutcomeCode(report->outcome)) +
          ",\"message\":" + JsonQuote(OutcomePhrase(report->outcome)) + ",\"dhtNodes\":" +
          std::to_string(report->dhtNodes) + ",\"peersSeen\":" + std::to_string(report->peersSeen) +
          ",\"peersTried\":" + std::to_string(report->peersTried) + ",\"seconds\":" + seconds +
          "}");
}

}  // namespace pellucor::service
