#include "service/sites/first_service.h"

#include "service/sites/forms.h"
#include "service/sites/pages.h"

namespace pellucor::service {
namespace {

// The tool looks for the first sentence; why the lookup failed comes after it.
Response NotStored(const std::string& shown, const LookupReport* report) {
  return Page(MissStatus(report), kUtf8Lower,
              "<p>您输入的HASH暂未存储：" + HtmlEscape(shown) + "</p>\n" + WhyParagraph(report));
}

}  // namespace

void FirstService::Serve(const Request& request, Responder respond) {
  const auto form = ParseForm(request.body());
  const auto field = form ? form->find("hash") : decltype(form->end()){};
  if (!form || field == form->end()) {
    return respond(Page(http::status::bad_request, kUtf8Lower, "<p>缺少表单字段 hash。</p>\n"));
  }
  const auto hash = HashFromValue(field->second);
  if (!hash) return respond(NotStored(field->second, nullptr));
  lookups_.Lookup(*hash, respond,
                  [respond, hash = *hash](Lookups::Torrent found, const LookupReport& report) {
                    respond(found ? TorrentReply(found) : NotStored(hash, &report));
                  });
}

}  // namespace pellucor::service
