#include "torrent/magnet_link.h"

namespace pellucor {
namespace {

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace

std::optional<MagnetLink> ReadMagnetLink(std::string_view s) {
  constexpr std::string_view kScheme = "magnet:?";
  if (s.size() < kScheme.size() || LowerAscii(s.substr(0, kScheme.size())) != kScheme)
    return std::nullopt;
  for (unsigned char c : s)
    if (c < 0x21 || c == 0x7F) return std::nullopt;
  MagnetLink link;
  std::string_view rest = s.substr(kScheme.size());
  while (!rest.empty()) {
    const size_t amp = rest.find('&');
    const std::string_view param = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    const size_t eq = param.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string name = LowerAscii(param.substr(0, eq));
    const std::optional<std::string> value = PercentDecode(param.substr(eq + 1));
    if (!value) continue;
    if (name == "xt") {
      if (std::optional<InfoHash> hash = InfoHash::FromUrn(*value)) {
        std::optional<InfoHash>& slot = hash->IsV2() ? link.v2 : link.v1;
        if (!slot) slot = std::move(hash);
      }
    } else if (name == "dn") {
      if (link.name.empty()) link.name = *value;
    } else if (name == "tr") {
      link.trackers.push_back(*value);
    } else if (name == "x.pe") {
      link.peers.push_back(*value);
    }
  }
  if (!link.v1 && !link.v2) return std::nullopt;
  return link;
}

}  // namespace pellucor
