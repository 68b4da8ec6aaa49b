// Hexadecimal digits and percent-encoding: the one home for spelling bytes as hex digits and
// reading them back, used for hashes, request targets, magnet links and JSON escapes.
//   HexEncode("\x01\xAB")               -> "01AB";  with HexCase::Lower -> "01ab"
//   HexDecode("01ab")                   -> "\x01\xAB";  HexDecode("1") -> nothing
//   PercentDecode("urn%3Abtih%3a+x")    -> "urn:btih: x";  PercentDecode("100%") -> nothing
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace pellucor {

enum class HexCase { Upper, Lower };

constexpr bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// 0 to 15 for a hex digit of either case, -1 for any other character.
constexpr int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The digit for 0 to 15.
constexpr char HexDigit(unsigned value, HexCase letters = HexCase::Upper) {
  return (letters == HexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef")[value & 15];
}

// Whether every character of `s` is a hex digit (true for empty text).
bool IsHexText(std::string_view s);

// Each byte as two hex digits, high digit first.
std::string HexEncode(std::string_view bytes, HexCase letters = HexCase::Upper);
// The same for any contiguous run of bytes: a digest array, a std::string, a hash object.
template <typename Bytes>
requires requires(const Bytes& b) {
  b.data();
  b.size();
} &&(sizeof(*std::declval<const Bytes&>().data()) == 1) std::string
    HexEncode(const Bytes& bytes, HexCase letters = HexCase::Upper) {
  return HexEncode(std::string_view(reinterpret_cast<const char*>(bytes.data()),
                                    static_cast<size_t>(bytes.size())),
                   letters);
}

// The bytes that an even number of hex digits (either case) spell; nothing for any other text.
std::optional<std::string> HexDecode(std::string_view hex);

// Appends "%" and the byte's two upper-case hex digits: 0x0D -> "%0D".
void AppendPercentEncoded(std::string& out, unsigned char byte);

// Decodes a percent-encoded component the way form fields and query strings are written:
// "%XX" (hex digits of either case) is the byte XX and "+" is a space. Nothing when a "%" is
// not followed by two hex digits.
std::optional<std::string> PercentDecode(std::string_view s);

}  // namespace pellucor
