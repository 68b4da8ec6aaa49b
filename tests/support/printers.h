// Readable test failure output for the base value types: printable ASCII as is, every other
// byte as \xNN (the texts are GBK, which a terminal would show garbled).
#pragma once

#include <ostream>
#include <string_view>

#include "base/hex.h"
#include "base/text.h"

namespace pellucor {

inline void PrintBytes(std::string_view bytes, std::ostream* os) {
  *os << '"';
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
      *os << static_cast<char>(c);
    } else {
      *os << "\\x" << HexDigit(c >> 4) << HexDigit(c);
    }
  }
  *os << '"';
}

inline void PrintTo(const GbkText& t, std::ostream* os) {
  PrintBytes(t.view(), os);
}
inline void PrintTo(const ByteBuffer& b, std::ostream* os) {
  PrintBytes(b.view(), os);
}
inline void PrintTo(const TextArray& a, std::ostream* os) {
  *os << '{';
  for (int32_t i = 1; i <= a.size(); ++i) {
    if (i > 1) *os << ", ";
    PrintBytes(a[i].view(), os);
  }
  *os << '}';
}

}  // namespace pellucor
