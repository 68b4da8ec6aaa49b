// Reply decoding with the Windows code-page functions.
#if !defined(_WIN32)
#error "decode_win32.cpp is the Windows back end; other builds use decode_posix.cpp"
#endif

#include <windows.h>

#include <string>

#include "http/decode.h"

namespace pellucor {
namespace {

// UTF-8 bytes to UTF-16 units: ask for the size, then convert. Empty input gives nothing
// (the function refuses a length of 0).
std::wstring Units(std::string_view utf8) {
  const int n = static_cast<int>(utf8.size());
  const int w = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), n, nullptr, 0);
  if (w <= 0) return {};
  std::wstring units(static_cast<size_t>(w), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), n, units.data(), w);
  return units;
}

std::string Gbk(const std::wstring& units, DWORD flags) {
  const int u = static_cast<int>(units.size());
  const int m = WideCharToMultiByte(936, flags, units.data(), u, nullptr, 0, nullptr, nullptr);
  if (m <= 0) return {};
  std::string bytes(static_cast<size_t>(m), '\0');
  WideCharToMultiByte(936, flags, units.data(), u, bytes.data(), m, nullptr, nullptr);
  return bytes;
}

}  // namespace

ByteBuffer Utf8ToUtf16(const ByteBuffer& input) {
  const std::wstring units = Units(input.view());
  return ByteBuffer(units.data(), units.size() * sizeof(wchar_t));  // little-endian
}

ByteBuffer Utf8ToGbk(const ByteBuffer& input) {
  return ByteBuffer(Gbk(Units(input.view()), WC_COMPOSITECHECK));
}

GbkText Utf8TextToGbk(const GbkText& text) {
  return GbkText(Gbk(Units(text.view()), 0));
}

}  // namespace pellucor
