#include "service/sites/second_service.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <vector>

#include "base/hex.h"

#include "service/sites/forms.h"
#include "service/sites/pages.h"

namespace pellucor::service {
namespace {

// The desktop tool reads at most this much of a reply's header block (5000 bytes, with a margin
// for what proxies add), and takes at most 300 characters of the name in it; 240 bytes of name
// also leave room for ".torrent" in a 255-byte file name.
constexpr size_t kMaxHeaderBlock = 2000;
constexpr size_t kMaxDownloadName = 240;
// The longest Connection field the server may add when it writes the reply.
constexpr size_t kConnectionField = sizeof("Connection: keep-alive\r\n") - 1;

// The text the tool looks for, then why the lookup failed.
Response Cannot(const LookupReport* report) {
  return Page(MissStatus(report), kUtf8Upper,
              std::string("<p>该磁力链接无法生成BT种子</p>\n") + WhyParagraph(report));
}

// The download's Content-Disposition, within what the header block may still take (`used`
// bytes are taken): RFC 6266's "filename*" (UTF-8, percent-encoded) for browsers and download
// tools, then "filename=" with the raw UTF-8 bytes the desktop tool reads. Its pattern takes
// what stands right after "filename=" up to the last "[TAG].torrent" within 300 characters, so
// that value is not quoted (a quote would become part of the saved name); instead the name
// holds nothing that could end it (see DownloadName).
//   attachment; filename*=UTF-8''a%20b%5Bpellucor.local%5D.torrent; filename=a
//   b[pellucor.local].torrent
std::string ContentDisposition(const std::string& name, const std::string& siteTag, size_t used) {
  const std::string suffix = "[" + siteTag + "].torrent";
  used += sizeof("Content-Disposition: attachment; filename*=UTF-8''; filename=\r\n") - 1;
  for (size_t most = kMaxDownloadName;; most = most * 3 / 4) {
    const std::string shown = DownloadName(name, siteTag, most) + suffix;
    std::string encoded;
    for (const char ch : shown) {
      const auto c = static_cast<unsigned char>(ch);
      if (std::isalnum(c) || std::string_view("!#$&+-.^_`|~").find(ch) != std::string_view::npos)
        encoded += ch;
      else
        AppendPercentEncoded(encoded, c);
    }
    if (used + shown.size() + encoded.size() < kMaxHeaderBlock || most <= 1)
      return "attachment; filename*=UTF-8''" + encoded + "; filename=" + shown;
  }
}

// A row of the file list, as the tool's preview pattern reads it.
std::string FileRow(const std::string& text, int64_t size) {
  return "<tr><td>" + text + "</td><td style=\"text-align:right\">" + HumanSize(size) +
         "</td></tr>\n";
}

// The file list page: the name, a row per file (within kMaxListedFiles and kMaxListedBytes),
// one row for the files left out, which the tool's preview shows too, and the download link.
std::string FileListBody(const StoredTorrent& torrent) {
  const std::vector<TorrentFile>& files = torrent.meta.files;
  std::string rows;
  size_t listed = 0;
  for (; listed < files.size() && listed < kMaxListedFiles; ++listed) {
    std::string row = FileRow(RowText(files[listed].path), files[listed].size);
    if (rows.size() + row.size() > kMaxListedBytes) break;
    rows += row;
  }
  if (listed < files.size()) {
    int64_t leftOut = 0;
    for (size_t i = listed; i < files.size(); ++i) leftOut += files[i].size;
    rows += FileRow("……另有 " + std::to_string(files.size() - listed) + " 个文件未列出", leftOut);
  }
  return "<h2>" + RowText(torrent.meta.name) + "</h2>\n<table>\n" + rows +
         "</table>\n<p><a href=\"./down.php?hash=" + torrent.meta.infoHash +
         "\" class=\"btn btn-primary\" target=\"_blank\">点击下载</a></p>\n";
}

}  // namespace

void SecondService::Form(const Request& request, Responder respond) {
  const auto form = ParseForm(request.body());
  const auto field = form ? form->find("magnet") : decltype(form->end()){};
  if (!form || field == form->end()) {
    return respond(Page(http::status::bad_request, kUtf8Upper, "<p>缺少表单字段 magnet。</p>\n"));
  }
  const auto hash = HashFromValue(field->second);
  if (!hash) return respond(Cannot(nullptr));
  const auto page = [respond](Lookups::Torrent found, const LookupReport& report) {
    if (!found) return respond(Cannot(&report));
    respond(MakeResponse(http::status::ok, kUtf8Upper, BuiltOnce(found->filePage, [&] {
                           return kPageHead + FileListBody(*found) + kPageTail;
                         })));
  };
  // The link's own trackers and peers join the search.
  lookups_.Lookup(*hash, respond, page, SourcesFromValue(field->second));
}

void SecondService::Download(const Request& request, Responder respond) {
  const auto value = QueryValue(TargetOf(request), "hash");
  const auto hash = value ? HashFromValue(*value) : std::nullopt;
  bool unreadable = false;
  const auto found = hash ? cache_.Find(*hash, &unreadable) : nullptr;
  if (!found) {
    LookupReport unavailable;
    unavailable.outcome = Outcome::kStoreUnavailable;
    const LookupReport* why = unreadable ? &unavailable
                              : hash     ? lookups_.RecentMiss(*hash)
                                         : nullptr;
    return respond(
        Page(MissStatus(why), kUtf8Upper, "<p>该磁力链接无法生成BT种子</p>\n" + WhyParagraph(why)));
  }
  Response r = TorrentReply(found);
  r.set(http::field::content_disposition,
        ContentDisposition(found->meta.name, siteTag_, HeaderBlockSize(r) + kConnectionField));
  respond(std::move(r));
}

}  // namespace pellucor::service
