#include "cli/console.h"

#include "base/codepage.h"

namespace pellucor {

Argument TextFromUserBytes(std::string_view bytes) {
  const std::u16string units = Utf8ToUtf16(bytes);
  // Only well-formed UTF-8 comes back unchanged: anything else was read with U+FFFD.
  if (Utf16ToUtf8(units) != bytes) return {GbkText(bytes), false};
  bool lossy = false;
  GbkText text(Utf16ToGbk(units, 0, &lossy));
  return {std::move(text), !lossy};
}

void WriteText(StandardStream stream, const GbkText& text) {
  WriteUtf8(stream, GbkToUtf8(text.view()));
}

std::string WithPlatformLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (text[i] == '\n') {
      out += kLineEnd;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

}  // namespace pellucor
