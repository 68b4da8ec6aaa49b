#include "base/hex.h"

#include <algorithm>

namespace pellucor {

bool IsHexText(std::string_view s) {
  return std::all_of(s.begin(), s.end(), IsHexDigit);
}

std::string HexEncode(std::string_view bytes, HexCase letters) {
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char b : bytes) {
    const auto byte = static_cast<unsigned char>(b);
    hex.push_back(HexDigit(byte >> 4, letters));
    hex.push_back(HexDigit(byte, letters));
  }
  return hex;
}

std::optional<std::string> HexDecode(std::string_view hex) {
  if (hex.size() % 2 != 0 || !IsHexText(hex)) return std::nullopt;
  std::string bytes;
  bytes.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2)
    bytes.push_back(static_cast<char>(HexDigitValue(hex[i]) * 16 + HexDigitValue(hex[i + 1])));
  return bytes;
}

void AppendPercentEncoded(std::string& out, unsigned char byte) {
  out.push_back('%');
  out.push_back(HexDigit(byte >> 4));
  out.push_back(HexDigit(byte));
}

std::optional<std::string> PercentDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out.push_back(' ');
    } else if (s[i] != '%') {
      out.push_back(s[i]);
    } else if (i + 2 < s.size() && IsHexDigit(s[i + 1]) && IsHexDigit(s[i + 2])) {
      out.push_back(static_cast<char>(HexDigitValue(s[i + 1]) * 16 + HexDigitValue(s[i + 2])));
      i += 2;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

}  // namespace pellucor
