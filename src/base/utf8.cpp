#include "base/utf8.h"

#include <cstdint>

namespace pellucor {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

uint32_t Utf8CodePoint(std::string_view s, size_t i, size_t length) {
  const auto c = static_cast<unsigned char>(s[i]);
  uint32_t value = length == 2 ? c & 0x1F : length == 3 ? c & 0x0F : c & 0x07;
  for (size_t k = 1; k < length; ++k)
    value = (value << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  return value;
}

bool IsControlOrBidi(uint32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string PrintableUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t length = c < 0x80 ? 1 : Utf8SequenceLength(text, i);
    if (length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    if (IsControlOrBidi(length == 1 ? c : Utf8CodePoint(text, i, length))) {
      out += kReplacement;
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out;
}

}  // namespace pellucor
