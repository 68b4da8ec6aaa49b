// The pieces every page of the sites is made of: the HTML frame, the content types the desktop
// tool expects, the miss paragraphs, the .torrent reply and the texts put into pages and header
// lines. Plain functions; they run on whichever thread calls them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "service/core/outcome.h"
#include "service/http/http_server.h"
#include "service/store/store.h"

namespace pellucor::service {

// Pages whose text the desktop tool looks for are UTF-8 and say so in lower case, which makes
// the tool convert them before it searches; the file list page says "UTF-8" (upper case), as
// the tool converts that page itself.
inline constexpr char kUtf8Lower[] = "text/html; charset=utf-8";
inline constexpr char kUtf8Upper[] = "text/html; charset=UTF-8";
inline constexpr char kPlainText[] = "text/plain; charset=utf-8";

// The HTML frame every page of the sites shares.
inline constexpr char kPageHead[] =
    "<!DOCTYPE html>\n<html><head><meta charset=\"UTF-8\"><title>Pellucor</title></head><body>\n";
inline constexpr char kPageTail[] = "</body></html>\n";

// How much of a torrent's file list a reply shows: the first 1000 files, fewer when their rows
// would pass 1 MiB. The second service's page ends such a list with a row saying how many files
// (and bytes) are left out; the API gives the whole count beside the files it lists.
inline constexpr size_t kMaxListedFiles = 1000;
inline constexpr size_t kMaxListedBytes = 1 << 20;

// The reply text in `slot`, made by `build` the first time (see StoredTorrent::filePage).
template <typename Build>
std::shared_ptr<const std::string> BuiltOnce(std::shared_ptr<const std::string>& slot,
                                             Build&& build) {
  if (!slot) slot = std::make_shared<const std::string>(build());
  return slot;
}

// `body` in the frame.
Response Page(http::status status, const char* type, const std::string& body);
// The stored bytes themselves, shared with every other reply that sends them.
Response TorrentReply(const std::shared_ptr<const StoredTorrent>& torrent);

// A miss page's status: 429 when the client had too many lookups waiting, 503 when the store
// could not be read or the service was busy, else 404 (also for no report at all).
http::status MissStatus(const LookupReport* report);
// Why a lookup missed, as a paragraph of the miss pages; nothing without a report.
std::string WhyParagraph(const LookupReport* report);

// A name or path as a row of a page: a line break or other control byte would end the tool's
// row pattern (or reach a terminal) where the name goes on, so each becomes a space; then
// HTML-escaped.
//   "odd\nname<" -> "odd name&lt;"
std::string RowText(std::string_view text);
// A torrent name as the download's header line gives it (`maxBytes` at most, at least 1):
// control characters, direction changes, ";" and '"' dropped (nothing in it can end the value
// and start a parameter of its own), "/" and "\\" as "_", "[" + `siteTag` + "].torrent" inside
// it (each "."
// of the tag standing for any character, as in the tool's pattern) written with "(" and ")",
// and cut at a UTF-8 character boundary.
//   ("a[x.y].torrent b", "x.y", 240) -> "a(x.y).torrent b"
std::string DownloadName(std::string_view name, std::string_view siteTag, size_t maxBytes);
// A size as the second service's page shows it, at most 9 characters: "512 B", "1.00 KB",
// "700.25 MB" (units of 1024).
std::string HumanSize(int64_t bytes);
// & < > " as entities.
std::string HtmlEscape(std::string_view text);

}  // namespace pellucor::service
