#include "service/sites/api.h"

#include "service/sites/forms.h"
#include "service/sites/json_replies.h"
#include "service/sites/pages.h"

namespace pellucor::service {
namespace {

// A torrent's description, built once and shared by every reply that sends it.
Response Description(const Lookups::Torrent& torrent) {
  return MakeResponse(http::status::ok, "application/json", BuiltOnce(torrent->description, [&] {
                        return TorrentJson(*torrent) + "\n";
                      }));
}

}  // namespace

void Api::Serve(const Request& request, Responder respond) {
  const std::string_view target = TargetOf(request);
  std::string_view path = PathOf(target);
  constexpr std::string_view kTorrents = "/api/v1/torrents/";
  if (path.rfind(kTorrents, 0) != 0) {
    return respond(JsonError(http::status::not_found, "not_found", "no such API path"));
  }
  if (request.method() != http::verb::get && request.method() != http::verb::head) {
    Response r = JsonError(http::status::method_not_allowed, "method_not_allowed",
                           "only GET and HEAD are served here");
    r.set(http::field::allow, "GET, HEAD");
    return respond(std::move(r));
  }
  path.remove_prefix(kTorrents.size());
  constexpr std::string_view kSuffix = ".torrent";
  const bool file =
      path.size() > kSuffix.size() && path.substr(path.size() - kSuffix.size()) == kSuffix;
  if (file) path.remove_suffix(kSuffix.size());
  const std::optional<std::string> hash = HashFromPath(path);
  if (!hash) {
    return respond(JsonError(http::status::bad_request, "bad_hash",
                             "the hash must be 40 or 64 hex digits or 32 base-32 letters"));
  }
  // link=: a magnet link of this hash, whose trackers and peers join a search.
  FetchSources sources;
  if (const std::optional<std::string> link = QueryValue(target, "link")) {
    if (HashFromValue(*link) != hash) {
      return respond(JsonError(http::status::bad_request, "bad_link",
                               "link must be a magnet link of the hash in the path"));
    }
    sources = SourcesFromValue(*link);
  }
  const bool resolve = QueryValue(target, "resolve") == "1";
  LookupReport unavailable;
  unavailable.outcome = Outcome::kStoreUnavailable;
  if (file && resolve) {
    // For scripts written for hash-to-torrent caches: the file, looked up when not stored.
    return lookups_.Lookup(
        *hash, respond,
        [respond](Lookups::Torrent found, const LookupReport& report) {
          respond(found ? TorrentReply(found) : MissJson(&report));
        },
        sources);
  }
  if (file) {
    bool unreadable = false;
    const auto found = cache_.Find(*hash, &unreadable);
    if (!found) return respond(MissJson(unreadable ? &unavailable : nullptr));
    return respond(TorrentReply(found));
  }
  if (!resolve) {
    bool unreadable = false;
    const auto found = cache_.Find(*hash, &unreadable);
    if (found) return respond(Description(found));
    return respond(MissJson(unreadable ? &unavailable : lookups_.RecentMiss(*hash)));
  }
  lookups_.Lookup(
      *hash, respond,
      [respond](Lookups::Torrent found, const LookupReport& report) {
        respond(found ? Description(found) : MissJson(&report));
      },
      sources);
}

}  // namespace pellucor::service
