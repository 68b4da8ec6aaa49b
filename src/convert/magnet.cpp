#include "convert/magnet.h"

#include <string>

#include "base/hex.h"

namespace pellucor {
namespace {

// 32 characters of the RFC 4648 base-32 alphabet (either case) -> 20 bytes as upper-case hex.
std::optional<std::string> Base32ToHex(std::string_view s) {
  std::string bytes;
  uint32_t bits = 0;
  int count = 0;
  for (char c : s) {
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
  return HexEncode(bytes);
}

// True when `value` starts with `urn` in any case.
bool HasUrn(std::string_view value, std::string_view urn) {
  return value.size() >= urn.size() &&
         LowerCaseAscii(GbkText(value.substr(0, urn.size()))).view() == urn;
}

std::optional<std::string> UpperHex(std::string_view hash) {
  if (!IsHexText(hash)) return std::nullopt;
  return std::string(UpperCaseAscii(GbkText(hash)).view());
}

// "urn:btih:" + 40 hex digits or 32 base-32 characters -> 40 upper-case hex digits.
std::optional<std::string> BtihHash(std::string_view value) {
  constexpr std::string_view kUrn = "urn:btih:";
  if (!HasUrn(value, kUrn)) return std::nullopt;
  const std::string_view hash = value.substr(kUrn.size());
  if (hash.size() == 40) return UpperHex(hash);
  if (hash.size() == 32) return Base32ToHex(hash);
  return std::nullopt;
}

// "urn:btmh:1220" + 64 hex digits (a SHA-256 multihash, BEP 52) -> 64 upper-case hex digits.
std::optional<std::string> BtmhHash(std::string_view value) {
  constexpr std::string_view kUrn = "urn:btmh:1220";
  if (!HasUrn(value, kUrn) || value.size() != kUrn.size() + 64) return std::nullopt;
  return UpperHex(value.substr(kUrn.size()));
}

GbkText RemovePrefixAndUpperCase(const GbkText& text) {
  return UpperCaseAscii(MultiReplace(text, {{MagnetPrefix, ""}}));
}

bool HasPartLength(const GbkText& trimmed) {
  const int32_t n = TextLength(trimmed);
  return n == 40 || n == 60;
}

}  // namespace

std::optional<GbkText> MagnetUriHash(const GbkText& text) {
  const std::string_view s = text.view();
  constexpr std::string_view kScheme = "magnet:?";
  if (s.size() < kScheme.size() ||
      LowerCaseAscii(GbkText(s.substr(0, kScheme.size()))).view() != kScheme)
    return std::nullopt;
  for (unsigned char c : s)
    if (c < 0x21 || c == 0x7F) return std::nullopt;
  std::string_view rest = s.substr(kScheme.size());
  std::optional<std::string> v2;
  while (!rest.empty()) {
    const size_t amp = rest.find('&');
    const std::string_view param = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    const size_t eq = param.find('=');
    if (eq == std::string_view::npos) continue;
    if (LowerCaseAscii(GbkText(param.substr(0, eq))).view() != "xt") continue;
    const std::optional<std::string> value = PercentDecode(param.substr(eq + 1));
    if (!value) continue;
    if (auto hash = BtihHash(*value)) return GbkText(*hash);
    if (!v2) v2 = BtmhHash(*value);
  }
  // A hybrid link names both hashes: the version-1 hash wins wherever it stands, since every
  // service knows torrents by it.
  if (v2) return GbkText(*v2);
  return std::nullopt;
}

bool CheckMagnetText(const GbkText& boxText) {
  const GbkText trimmed = TrimBoth(boxText);
  return HasPartLength(trimmed) || MagnetUriHash(trimmed).has_value();
}

GbkText TakeMagnetHash(Route route, const GbkText& boxText) {
  const GbkText trimmed = TrimBoth(boxText);
  if (!HasPartLength(trimmed)) return MagnetUriHash(trimmed).value_or(GbkText());
  // The first route works on the untrimmed text, so blanks around a link stay in its hash.
  const GbkText& source = route == Route::First ? boxText : trimmed;
  if (FindText(source, MagnetPrefix) != -1) return RemovePrefixAndUpperCase(source);
  return trimmed;
}

}  // namespace pellucor
