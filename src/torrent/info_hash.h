// An info hash: what a torrent is known by. Version 1 is the SHA-1 of the torrent's raw "info"
// bytes (20 bytes); version 2 (BEP 52) their SHA-256 (32 bytes). v2 peers use the first 20
// bytes of the SHA-256 on the wire, so 20 bytes may also be a truncated v2 hash: which one a
// 20-byte hash is only the info bytes can tell (Matches).
//   InfoHash::FromText("0123…(40 hex)")     -> 20 bytes
//   InfoHash::FromText("ABCD…(32 base-32)") -> 20 bytes (as magnet links carry v1 hashes)
//   InfoHash::FromText("0123…(64 hex)")     -> 32 bytes
//   InfoHash::FromUrn("urn:btih:<40 hex or 32 base-32>") -> 20 bytes
//   InfoHash::FromUrn("urn:btmh:1220<64 hex>")           -> 32 bytes (a SHA-256 multihash)
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/hex.h"

namespace pellucor {

class InfoHash {
 public:
  // 40 or 64 hex digits, either case.
  static std::optional<InfoHash> FromHex(std::string_view hex);
  // 32 characters of the RFC 4648 base-32 alphabet, either case: 20 bytes.
  static std::optional<InfoHash> FromBase32(std::string_view text);
  // Hex (40 or 64 digits) or base 32 (32 characters): what a hash typed or pasted looks like.
  static std::optional<InfoHash> FromText(std::string_view text);
  // A magnet link's exact topic: "urn:btih:" + a v1 hash as FromText reads 40- or 32-character
  // hashes, or "urn:btmh:1220" + 64 hex digits. The "urn:btih:"/"urn:btmh:" part in any case.
  static std::optional<InfoHash> FromUrn(std::string_view urn);
  // 20 or 32 raw bytes.
  static std::optional<InfoHash> FromBytes(std::string_view bytes);

  const std::string& Bytes() const { return bytes_; }
  // 40 or 64 hex digits.
  std::string Hex(HexCase letters = HexCase::Lower) const { return HexEncode(bytes_, letters); }
  // A SHA-256 (32 bytes), not a SHA-1 or a truncated SHA-256.
  bool IsV2() const { return bytes_.size() == 32; }
  // The 20 bytes peers use on the wire: a SHA-1 itself, a SHA-256 truncated. A v2 torrent's
  // SHA-256 and its truncation name one swarm.
  std::string_view Wire() const { return std::string_view(bytes_).substr(0, 20); }

  // Whether this is the hash of the raw info bytes `info`: a 20-byte hash their SHA-1 or the
  // first 20 bytes of their SHA-256 (a v2 torrent asked for by the hash its peers use), a
  // 32-byte hash their SHA-256.
  bool Matches(std::string_view info) const;

  friend bool operator==(const InfoHash&, const InfoHash&) = default;
  friend auto operator<=>(const InfoHash&, const InfoHash&) = default;

 private:
  explicit InfoHash(std::string bytes) : bytes_(std::move(bytes)) {}
  std::string bytes_;
};

}  // namespace pellucor
