// Reading UTF-8 byte by byte: where well-formed text must be told from other bytes
// (JSON strings, log values, torrent names).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pellucor {

// The length of the well-formed UTF-8 sequence of a character of U+0080 and up that starts at
// `s[i]`; 0 when none starts there (a stray continuation byte, a cut or overlong sequence, a
// surrogate, a value above U+10FFFF, or an ASCII byte).
//   "\xE7\x94\xB5" at 0 -> 3;   "\xE7\x94" at 0 -> 0;   "\xC0\xAF" at 0 -> 0
inline size_t Utf8SequenceLength(std::string_view s, size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
  if (length == 0 || c > 0xF4 || i + length > s.size()) return 0;
  for (size_t k = 1; k < length; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  const auto c1 = static_cast<unsigned char>(s[i + 1]);
  if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0) || (c == 0xF0 && c1 < 0x90) ||
      (c == 0xF4 && c1 >= 0x90))
    return 0;
  return length;
}

// The code point of the well-formed sequence of `length` bytes at `s[i]` (Utf8SequenceLength).
uint32_t Utf8CodePoint(std::string_view s, size_t i, size_t length);
// C0 and C1 controls, DEL, and the characters that change the direction of what follows.
bool IsControlOrBidi(uint32_t codePoint);

// `text` (UTF-8) safe to show on a terminal or in a line-based file: every control character
// (C0, DEL, C1) and every bidirectional control (U+061C, U+200E, U+200F, U+202A-U+202E,
// U+2066-U+2069) becomes U+FFFD, and so does each byte that is not UTF-8. Nothing of it can move
// the cursor, start an escape sequence, end the line or reorder what follows.
//   "a\x1B]52;c;x\x07" -> "a\uFFFD]52;c;x\uFFFD";   "a\nOK b" -> "a\uFFFDOK b"
std::string PrintableUtf8(std::string_view text);

inline bool IsUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size(); ++i) {
    if (static_cast<unsigned char>(s[i]) < 0x80) continue;
    const size_t length = Utf8SequenceLength(s, i);
    if (length == 0) return false;
    i += length - 1;
  }
  return true;
}

}  // namespace pellucor
