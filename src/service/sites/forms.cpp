#include "service/sites/forms.h"

#include <cctype>

#include "base/hex.h"
#include "torrent/info_hash.h"
#include "torrent/magnet_link.h"

namespace pellucor::service {

std::string_view TargetOf(const Request& request) {
  const auto t = request.target();
  return std::string_view(t.data(), t.size());
}

std::string_view PathOf(std::string_view target) {
  return target.substr(0, target.find('?'));
}

std::string HostOf(const Request& request) {
  const std::string host(request[http::field::host]);
  if (host.empty() || host.size() > 255) return "127.0.0.1:8600";
  for (char c : host)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' ||
          c == '[' || c == ']'))
      return "127.0.0.1:8600";
  return host;
}

std::optional<std::map<std::string, std::string>> ParseForm(std::string_view body) {
  std::map<std::string, std::string> fields;
  while (!body.empty()) {
    const size_t amp = body.find('&');
    const std::string_view pair = body.substr(0, amp);
    body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
    if (pair.empty()) continue;
    const size_t eq = pair.find('=');
    const auto name = PercentDecode(pair.substr(0, eq));
    const auto value =
        PercentDecode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1));
    if (!name || !value) return std::nullopt;
    fields.emplace(*name, *value);
  }
  return fields;
}

std::optional<std::string> QueryValue(std::string_view target, std::string_view name) {
  const size_t q = target.find('?');
  if (q == std::string_view::npos) return std::nullopt;
  const auto form = ParseForm(target.substr(q + 1));
  if (!form) return std::nullopt;
  const auto it = form->find(std::string(name));
  if (it == form->end()) return std::nullopt;
  return it->second;
}

namespace {

// Blanks never belong to a hash or a link; the tool's first route may send some around the
// hash, inside the link it builds.
std::string WithoutBlanks(std::string_view value) {
  std::string text;
  for (char c : value)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') text.push_back(c);
  return text;
}

}  // namespace

FetchSources SourcesFromValue(std::string_view value) {
  const std::optional<MagnetLink> link = ReadMagnetLink(WithoutBlanks(value));
  return link ? FetchSources{link->trackers, link->peers} : FetchSources{};
}

std::optional<std::string> HashFromValue(std::string_view value) {
  const std::string text = WithoutBlanks(value);
  if (const std::optional<MagnetLink> link = ReadMagnetLink(text)) return link->Hash().Hex();
  // The desktop tool puts a v2 hash where a v1 hash goes: "magnet:?xt=urn:btih:" + 64 hex.
  constexpr std::string_view kToolPrefix = "magnet:?xt=urn:btih:";
  std::string_view hex = text;
  if (text.size() >= kToolPrefix.size()) {
    std::string head = text.substr(0, kToolPrefix.size());
    for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (head == kToolPrefix) {
      hex = std::string_view(text).substr(kToolPrefix.size());
      hex = hex.substr(0, hex.find('&'));
      if (hex.size() != 64) return std::nullopt;
    }
  }
  // A bare hash, or the 64 digits after the tool's prefix.
  const std::optional<InfoHash> hash = InfoHash::FromHex(hex);
  if (!hash) return std::nullopt;
  return hash->Hex();
}

std::optional<std::string> HashFromPath(std::string_view text) {
  const std::optional<InfoHash> hash = InfoHash::FromText(text);
  if (!hash) return std::nullopt;
  return hash->Hex();
}

}  // namespace pellucor::service
