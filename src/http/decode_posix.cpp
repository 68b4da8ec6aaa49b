// Reply decoding with the project's own converters (every build but Windows).
#if defined(_WIN32)
#error "decode_posix.cpp is for non-Windows builds; Windows uses decode_win32.cpp"
#endif

#include "base/codepage.h"
#include "http/decode.h"

namespace pellucor {

ByteBuffer Utf8ToUtf16(const ByteBuffer& input) {
  const std::u16string units = pellucor::Utf8ToUtf16(input.view());
  std::string bytes;
  bytes.reserve(units.size() * 2);
  for (char16_t u : units) {
    bytes.push_back(static_cast<char>(u & 0xFF));
    bytes.push_back(static_cast<char>(u >> 8));
  }
  return ByteBuffer(std::move(bytes));
}

ByteBuffer Utf8ToGbk(const ByteBuffer& input) {
  return ByteBuffer(Utf16ToGbk(pellucor::Utf8ToUtf16(input.view()), kCompositeCheck));
}

GbkText Utf8TextToGbk(const GbkText& text) {
  return GbkText(Utf8ToGbk(text.view()));
}

}  // namespace pellucor
