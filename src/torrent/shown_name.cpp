#include "torrent/shown_name.h"

#include <algorithm>

#include "base/codepage.h"
#include "base/utf8.h"

namespace pellucor {

namespace {
constexpr size_t kMaxShownBytes = 255;
}  // namespace

std::string ReadableUtf8(std::string_view raw) {
  if (IsUtf8(raw)) return std::string(raw);
  // Code page 936 "works" when every byte pair is a character of it: the text then converts
  // back to the same bytes (a pair that is not one reads as "?").
  const std::u16string units = GbkToUtf16(raw);
  if (Utf16ToGbk(units) == raw) return Utf16ToUtf8(units);
  return Utf16ToUtf8(Utf8ToUtf16(raw));
}

std::optional<std::string> ShownNameComponent(std::string_view raw) {
  if (raw == ".") return std::nullopt;
  if (raw.empty()) return "_";
  const std::string text = ReadableUtf8(raw);
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (c == '/' || c == '\\') {
      } else if (c < 0x20) {
        out += '_';
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    const size_t length = std::max<size_t>(1, Utf8SequenceLength(text, i));
    const std::string_view ch = std::string_view(text).substr(i, length);
    i += length;
    // U+200E, U+200F: E2 80 8E/8F; U+202A-U+202E: E2 80 AA-AE
    if (ch.size() == 3 && ch[0] == '\xE2' && ch[1] == '\x80' &&
        (ch[2] == '\x8E' || ch[2] == '\x8F' ||
         (static_cast<unsigned char>(ch[2]) >= 0xAA && static_cast<unsigned char>(ch[2]) <= 0xAE)))
      continue;
    out += ch;
  }
  if (out.size() <= 2 && out.find_first_not_of('.') == std::string::npos) {
    if (out.empty()) return "_";  // only separators: nothing left to name it by
    return std::nullopt;          // "." or ".."
  }
  // At most 255 bytes, as a file name may be; a longer one is cut at a character and ends in
  // "…", so that no page or reply grows with the name.
  if (out.size() > kMaxShownBytes) {
    constexpr std::string_view kCut = "\xE2\x80\xA6";
    size_t keep = kMaxShownBytes - kCut.size();
    while (keep > 0 && (static_cast<unsigned char>(out[keep]) & 0xC0) == 0x80) --keep;
    out.resize(keep);
    out += kCut;
  }
  return out;
}

}  // namespace pellucor
