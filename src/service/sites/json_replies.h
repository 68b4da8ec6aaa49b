// The JSON API's replies (README: "The service"): a torrent's description, its errors and the
// miss of a lookup, each one object and a line feed, Content-Type application/json. Plain
// functions; they run on whichever thread calls them.
#pragma once

#include <string>

#include "service/core/outcome.h"
#include "service/http/http_server.h"
#include "service/store/store.h"

namespace pellucor::service {

// `body` + "\n" as application/json.
Response JsonReply(http::status status, const std::string& body);
//   (404, "not_found", "not in the store") -> {"error":"not_found","message":"not in the store"}
Response JsonError(http::status status, const char* error, const std::string& message);
// {"infoHash":…,"infoHashV2":…|null,"name":…,"size":…,"files":[{"path":…,"size":…},…],
//  "fileCount":N,"source":…,"added":"2026-03-01T08:15:02Z","pieceLayers":true|false}, the
// files within kMaxListedFiles and kMaxListedBytes, fileCount all of them.
std::string TorrentJson(const StoredTorrent& torrent);
// The API's miss: without a report a plain 404; a client over its lookups 429
// "too_many_lookups"; a store that could not be read or a busy service 503 "store_unavailable" or
// "busy"; else a 404 with the lookup's outcome, its counts and seconds (one decimal).
Response MissJson(const LookupReport* report);

}  // namespace pellucor::service
