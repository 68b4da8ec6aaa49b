#include "torrent/info_hash.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "torrent/digest.h"

namespace pellucor {
namespace {

bool StartsWithAnyCase(std::string_view text, std::string_view lowerPrefix) {
  if (text.size() < lowerPrefix.size()) return false;
  for (size_t i = 0; i < lowerPrefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lowerPrefix[i]) return false;
  }
  return true;
}

template <size_t N>
std::string_view View(const std::array<uint8_t, N>& digest) {
  return std::string_view(reinterpret_cast<const char*>(digest.data()), N);
}

}  // namespace

std::optional<InfoHash> InfoHash::FromHex(std::string_view hex) {
  if (hex.size() != 40 && hex.size() != 64) return std::nullopt;
  std::optional<std::string> bytes = HexDecode(hex);
  if (!bytes) return std::nullopt;
  return InfoHash(std::move(*bytes));
}

std::optional<InfoHash> InfoHash::FromBase32(std::string_view text) {
  if (text.size() != 32) return std::nullopt;
  std::string bytes;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z') {
      v = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      v = c - 'a';
    } else if (c >= '2' && c <= '7') {
      v = c - '2' + 26;
    } else {
      return std::nullopt;
    }
    bits = (bits << 5) | static_cast<uint32_t>(v);
    count += 5;
    if (count >= 8) {
      count -= 8;
      bytes.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return InfoHash(std::move(bytes));
}

std::optional<InfoHash> InfoHash::FromText(std::string_view text) {
  return text.size() == 32 ? FromBase32(text) : FromHex(text);
}

std::optional<InfoHash> InfoHash::FromUrn(std::string_view urn) {
  constexpr std::string_view kBtih = "urn:btih:";
  constexpr std::string_view kBtmh = "urn:btmh:1220";  // multihash: SHA-256, 32 bytes
  if (StartsWithAnyCase(urn, kBtih)) {
    const std::string_view hash = urn.substr(kBtih.size());
    return hash.size() == 40 || hash.size() == 32 ? FromText(hash) : std::nullopt;
  }
  if (StartsWithAnyCase(urn, kBtmh)) {
    const std::string_view hash = urn.substr(kBtmh.size());
    return hash.size() == 64 ? FromHex(hash) : std::nullopt;
  }
  return std::nullopt;
}

std::optional<InfoHash> InfoHash::FromBytes(std::string_view bytes) {
  if (bytes.size() != 20 && bytes.size() != 32) return std::nullopt;
  return InfoHash(std::string(bytes));
}

bool InfoHash::Matches(std::string_view info) const {
  if (IsV2()) return View(Sha256(info)) == bytes_;
  return View(Sha1(info)) == bytes_ || View(Sha256(info)).substr(0, 20) == bytes_;
}

}  // namespace pellucor
