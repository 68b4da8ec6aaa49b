// Decoding of web replies that declare UTF-8: all text inside the program is GBK.
//
// The Windows build converts with the system's code-page functions (MultiByteToWideChar with
// code page 65001, WideCharToMultiByte with code page 936); other builds use the project's own
// converters, which give the same bytes. Malformed UTF-8 is converted, not rejected (each bad
// byte becomes U+FFFD, then "?"), a byte-order mark is converted like any other character, and
// zero bytes stay in the output; no terminator is added.
#pragma once

#include "base/text.h"

namespace pellucor {

// UTF-8 bytes to UTF-16 little-endian code units, two bytes each.
ByteBuffer Utf8ToUtf16(const ByteBuffer& input);

// UTF-8 bytes to GBK, composing a letter and a following combining mark into the precomposed
// character where GBK has one (WC_COMPOSITECHECK): "e" U+0301 -> A8 A6.
ByteBuffer Utf8ToGbk(const ByteBuffer& input);

// UTF-8 text to GBK text, without composition (flags 0): "e" U+0301 -> "e?".
GbkText Utf8TextToGbk(const GbkText& text);

}  // namespace pellucor
