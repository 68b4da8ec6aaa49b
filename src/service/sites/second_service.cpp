#include "service/sites/second_service.h"

#include <algorithm>

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

}  // namespace

void SecondService::Form(const Request& request, Responder respond) {
  const auto form = ParseForm(request.body());
  const auto field = form ? form->find("magnet") : decltype(form->end()){};
  if (!form || field == form->end()) {
    return respond(Page(http::status::bad_request, kUtf8Upper, "<p>缺少表单字段 magnet。</p>\n"));
  }
  const auto hash = HashFromValue(field->second);
  if (!hash) return respond(Cannot(nullptr));
  lookups_.Lookup(*hash, respond, [respond](Lookups::Torrent found, const LookupReport& report) {
    if (!found) return respond(Cannot(&report));
    std::string body = "<h2>" + RowText(found->meta.name) + "</h2>\n<table>\n";
    for (const TorrentFile& f : found->meta.files)
      body += "<tr><td>" + RowText(f.path) + "</td><td style=\"text-align:right\">" +
              HumanSize(f.size) + "</td></tr>\n";
    body += "</table>\n<p><a href=\"./down.php?hash=" + found->meta.infoHash +
            "\" class=\"btn btn-primary\" target=\"_blank\">点击下载</a></p>\n";
    respond(Page(http::status::ok, kUtf8Upper, body));
  });
}

void SecondService::Download(const Request& request, Responder respond) {
  const auto value = QueryValue(TargetOf(request), "hash");
  const auto hash = value ? HashFromValue(*value) : std::nullopt;
  const auto found = hash ? cache_.Find(*hash) : nullptr;
  if (!found) {
    return respond(Page(http::status::not_found, kUtf8Upper,
                        "<p>该磁力链接无法生成BT种子</p>\n" +
                            WhyParagraph(hash ? lookups_.RecentMiss(*hash) : nullptr)));
  }
  Response r = TorrentReply(found);
  // The name goes out as raw UTF-8 bytes; the desktop tool reads the header block as UTF-8, up
  // to a size, and takes the name before the last "[TAG].torrent" within 300 characters.
  const std::string prefix = "attachment; filename=";
  const std::string suffix = "[" + siteTag_ + "].torrent";
  const size_t used = HeaderBlockSize(r) + kConnectionField + sizeof("Content-Disposition: \r\n") -
                      1 + prefix.size() + suffix.size();
  const size_t room = used < kMaxHeaderBlock ? kMaxHeaderBlock - 1 - used : 0;
  r.set(
      http::field::content_disposition,
      prefix + DownloadName(found->meta.name, siteTag_, std::min(room, kMaxDownloadName)) + suffix);
  respond(std::move(r));
}

}  // namespace pellucor::service
