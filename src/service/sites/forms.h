// What a request says: its path, form fields and query values, the info hash a value or an API
// path names, and the address the client reached the service under. Plain functions; they run
// on whichever thread calls them.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "service/http/http_server.h"

#include "service/swarm/fetcher.h"

namespace pellucor::service {

// The request target as a view: "/magnet-bt/down.php?hash=H".
std::string_view TargetOf(const Request& request);
// The target without its query: "/magnet-bt/down.php?hash=H" -> "/magnet-bt/down.php".
std::string_view PathOf(std::string_view target);
// The address clients reached us under, for absolute links: the Host header when it is a plain
// host[:port], else the loopback default "127.0.0.1:8600".
std::string HostOf(const Request& request);

// The fields of an application/x-www-form-urlencoded body ("+" is a space); the first of
// repeated names counts. Nothing for a body with a broken %-escape.
//   "a=1+2&a=3&b" -> {a: "1 2", b: ""}
std::optional<std::map<std::string, std::string>> ParseForm(std::string_view body);
// The value of `name` in the target's query string, read as a form.
//   ("/x?resolve=1", "resolve") -> "1"
std::optional<std::string> QueryValue(std::string_view target, std::string_view name);

// The info hash (40 or 64 lower-case hex) a form value names, blanks ignored: a magnet link with
// an "xt=urn:btih:" (40 hex digits or 32 base-32 letters) or "xt=urn:btmh:1220" (64 hex)
// parameter; the desktop tool's "magnet:?xt=urn:btih:" + 64 hex digits; or a bare hash of 40 or
// 64 hex digits.
std::optional<std::string> HashFromValue(std::string_view value);
// The trackers ("tr") and peers ("x.pe") of the magnet link a form value holds, blanks ignored;
// none for a bare hash or text that is no link. The resolver decides which it asks.
FetchSources SourcesFromValue(std::string_view value);
// The hash an API path names: 40 or 64 hex digits or 32 base-32 letters, any case → lower-case
// hex.
std::optional<std::string> HashFromPath(std::string_view text);

}  // namespace pellucor::service
