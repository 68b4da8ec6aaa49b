#include "cli/service_api.h"

#include <optional>

#include "base/json.h"
#include "cli/console.h"
#include "http/web_request.h"
#include "torrent/info_hash.h"

namespace pellucor {
namespace {

// The status code of a raw header block ("HTTP/1.1 404 Not Found" -> 404), or 0.
int StatusCode(const GbkText& headers) {
  if (LeftPart(headers, 5) != GbkText("HTTP/")) return 0;
  const int32_t space = FindText(headers, " ");
  return space == -1 ? 0 : ToInteger(MiddlePart(headers, space + 1, 3));
}

}  // namespace

bool IsApiHash(const GbkText& hash) {
  return InfoHash::FromText(hash.view()).has_value();
}

ServiceAnswer AskServiceAbout(const GbkText& host, const GbkText& hash) {
  ServiceAnswer answer;
  GbkText headers;
  const ByteBuffer body =
      WebRequest(ConcatText("http://", host, "/api/v1/torrents/", hash), 0, {}, nullptr, nullptr,
                 nullptr, nullptr, false, nullptr, std::nullopt, &headers);
  const int status = StatusCode(headers);
  answer.reached = status != 0;
  if (status != 404) return answer;
  const std::optional<JsonValue> reply = ParseJson(body.view());
  if (!reply) return answer;  // not the API: the service's own 404 page
  const std::optional<std::string> outcome = reply->StringMember("outcome");
  if (!outcome || outcome->empty()) return answer;
  answer.outcome = *outcome;
  // The codes and phrases are ASCII; WebRequest hands a body that declares UTF-8 over as GBK,
  // any other as it came, and either way the phrase reads right.
  answer.phrase = TextFromUserBytes(reply->StringMember("message").value_or(*outcome)).text;
  return answer;
}

}  // namespace pellucor
