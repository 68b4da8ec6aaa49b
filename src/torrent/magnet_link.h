// Reading a magnet link (BEP 9, BEP 53):
//   "magnet:?xt=urn:btih:<40 hex or 32 base-32>&dn=NAME&tr=URL&x.pe=HOST:PORT"
//   "magnet:?xt=urn:btmh:1220<64 hex>"   (a v2 hash, BEP 52)
// The scheme "magnet:?" and parameter names in any case; values percent-decoded ("+" is a
// space); a parameter whose value does not decode is passed over. A link holds no control byte
// or space. The first v1 "xt" and the first v2 "xt" count; a hybrid link names both.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "torrent/info_hash.h"

namespace pellucor {

struct MagnetLink {
  std::optional<InfoHash> v1;         // from "urn:btih:"
  std::optional<InfoHash> v2;         // from "urn:btmh:1220"
  std::string name;                   // "dn", the first given
  std::vector<std::string> trackers;  // "tr", in the order given
  std::vector<std::string> peers;     // "x.pe", in the order given
  // The hash the link is known by: its v1 hash wherever it stands (every service knows
  // torrents by it), else its v2 hash.
  const InfoHash& Hash() const { return v1 ? *v1 : *v2; }
};

// Nothing when `text` is not a magnet link with a v1 or a v2 hash.
std::optional<MagnetLink> ReadMagnetLink(std::string_view text);

}  // namespace pellucor
