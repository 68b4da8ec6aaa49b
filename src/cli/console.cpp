#include "cli/console.h"

#include "base/codepage.h"
#include "base/utf8.h"

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

std::string PrintableText(const GbkText& text, bool oneLine) {
  const std::string utf8 = GbkToUtf8(text.view());
  if (oneLine) return PrintableUtf8(utf8);
  std::string out;
  for (size_t start = 0; start < utf8.size();) {
    size_t end = utf8.find('\n', start);
    if (end == std::string::npos) end = utf8.size();
    size_t line = end;
    if (line > start && utf8[line - 1] == '\r') --line;  // "\r\n" is a line end too
    out += PrintableUtf8(std::string_view(utf8).substr(start, line - start));
    out += std::string_view(utf8).substr(line, end + (end < utf8.size() ? 1 : 0) - line);
    start = end + 1;
  }
  return out;
}

void WriteOutsideText(StandardStream stream, const GbkText& text, bool oneLine) {
  WriteUtf8(stream, PrintableText(text, oneLine));
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
