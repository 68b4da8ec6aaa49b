// Text, byte and array primitives.
//
// All text inside the program is GBK (code page 936) bytes. Lengths and positions count bytes,
// positions are 1-based, and a search that finds nothing gives -1. Empty and absent are the same
// value. Letter-case folding touches only the ASCII letters A-Z and a-z, byte by byte (so the
// trail byte of a double-byte character that lies in A-Z/a-z is folded too).
//
// "Char-stepping" operations walk the text one character at a time: a byte below 0x80 is one
// character, a byte of 0x80 or above is a lead byte that takes the next byte with it. They never
// start a comparison on a trail byte:
//   FindText("\xD6\xD0" "a", "a")  -> 3      (the 'a' after the double-byte character)
//   FindText("\x81" "ab", "ab")    -> -1     (0x81 swallows 'a'; the scan resumes at 'b')
// The other operations count plain bytes and may cut a double-byte character in two:
//   LeftPart("\xD6\xD0\xCE\xC4", 1) -> "\xD6"
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pellucor {

// GBK text: bytes with no zero byte inside. Constructing from bytes that hold a zero keeps
// only the bytes before it, the way a C string would be read.
class GbkText {
 public:
  GbkText() = default;
  GbkText(const char* s) : bytes_(s ? s : "") {}  // NOLINT: literals convert implicitly
  GbkText(std::string_view s) : bytes_(s.substr(0, s.find('\0'))) {}  // NOLINT
  GbkText(const std::string& s) : GbkText(std::string_view(s)) {}     // NOLINT
  // Takes the bytes over without copying them (a converter's result, a built line).
  GbkText(std::string&& s) : bytes_(std::move(s)) {  // NOLINT
    bytes_.resize(std::min(bytes_.find('\0'), bytes_.size()));
  }

  std::string_view view() const { return bytes_; }
  const std::string& str() const { return bytes_; }
  const char* c_str() const { return bytes_.c_str(); }
  bool empty() const { return bytes_.empty(); }
  int32_t size() const { return static_cast<int32_t>(bytes_.size()); }

  friend bool operator==(const GbkText& a, const GbkText& b) = default;

 private:
  std::string bytes_;
};

// A length-counted byte sequence that may hold zero bytes (web replies, torrents, pictures).
class ByteBuffer {
 public:
  ByteBuffer() = default;
  explicit ByteBuffer(std::string bytes) : bytes_(std::move(bytes)) {}
  ByteBuffer(const void* data, size_t n) : bytes_(static_cast<const char*>(data), n) {}

  std::string_view view() const { return bytes_; }
  const std::string& str() const { return bytes_; }
  const unsigned char* data() const {
    return reinterpret_cast<const unsigned char*>(bytes_.data());
  }
  bool empty() const { return bytes_.empty(); }
  int32_t size() const { return static_cast<int32_t>(bytes_.size()); }

  friend bool operator==(const ByteBuffer& a, const ByteBuffer& b) = default;

 private:
  std::string bytes_;
};

// An ordered list of texts, indexed from 1 to ElementCount. Reading an index outside that
// range is a programming error that ends the process through RuntimeFault.
class TextArray {
 public:
  TextArray() = default;
  TextArray(std::initializer_list<GbkText> items) : items_(items) {}

  int32_t size() const { return static_cast<int32_t>(items_.size()); }
  const GbkText& operator[](int32_t index) const;  // 1-based
  void push_back(GbkText text) { items_.push_back(std::move(text)); }

  friend bool operator==(const TextArray& a, const TextArray& b) = default;

 private:
  std::vector<GbkText> items_;
};

// ---- measure, compare, join ----

int32_t TextLength(const GbkText& text);
// Byte-wise unsigned comparison: -1, 0 or 1.
int CompareText(const GbkText& a, const GbkText& b);
GbkText ConcatText(std::initializer_list<GbkText> parts);
template <typename... T>
GbkText ConcatText(const T&... parts) {
  return ConcatText({GbkText(parts)...});
}

// ---- search and extract ----

// 1-based position of the first occurrence of `what` at or after `start` (char-stepping from
// the start, so a start inside a double-byte character reads out of phase). An empty `what`
// gives 1 when the searched region is non-empty, else -1.
//   FindText("User-Agent: x", "user-agent:", {}, true) -> 1;  with false -> -1
int32_t FindText(const GbkText& text, const GbkText& what, std::optional<int32_t> start = {},
                 bool ignoreAsciiCase = false);
// 1-based position of the last occurrence. With a start s, only matches lying wholly within
// the first s-1 bytes count (s <= 1 gives -1).
//   FindTextReverse("host:80:90", ":") -> 8
int32_t FindTextReverse(const GbkText& text, const GbkText& what, std::optional<int32_t> start = {},
                        bool ignoreAsciiCase = false);
GbkText LeftPart(const GbkText& text, int32_t n);
GbkText RightPart(const GbkText& text, int32_t n);
// Up to n bytes from the 1-based start; empty when start < 1, start > length or n <= 0.
GbkText MiddlePart(const GbkText& text, int32_t start, int32_t n);
GbkText CharFromCode(int32_t code);

// ---- replace, split, case, blanks ----

// Replaces occurrences of `find` left to right, never overlapping and never rescanning the
// inserted text. Letter case is IGNORED unless caseSensitive is true. A negative count replaces
// all; a count of 0 changes nothing.
//   ReplaceText("aXbxc", "x", "-")                -> "a-b-c"
//   ReplaceText("aaa", "a", "b", 2, 1, true)      -> "aba"
GbkText ReplaceText(const GbkText& text, const GbkText& find, const GbkText& replacement = {},
                    int32_t start = 1, int32_t count = -1, bool caseSensitive = false);
// Splits at exact matches of the separator. Empty elements between separators are kept, but a
// trailing empty remainder is not; with maxParts the scan stops after that many elements.
//   "a,,b" -> {"a", "", "b"};  ",a" -> {"", "a"};  "a," -> {"a"};  "a,b,c" max 2 -> {"a", "b"}
TextArray SplitText(const GbkText& text, const GbkText& separator = ",",
                    std::optional<int32_t> maxParts = {});
GbkText UpperCaseAscii(const GbkText& text);
GbkText LowerCaseAscii(const GbkText& text);
// Blanks are 0x20 and the ideographic space A1 A1 only; tabs and line breaks are not blanks.
GbkText TrimBoth(const GbkText& text);
GbkText RemoveBlanks(const GbkText& text);
GbkText SpacesText(int32_t n);

// ---- arrays ----

int32_t ElementCount(const TextArray& array);
const GbkText& Element(const TextArray& array, int32_t index);  // 1-based
void AppendElement(TextArray& array, const GbkText& text);

// ---- numbers ----

// Folds full-width digits and signs (A3 xx -> xx - 0x80, A1 A1 -> ' ') and parses a decimal
// integer the way atoi does, accumulating in wrapping 32-bit arithmetic.
//   "  -42x" -> -42;  "\xA3\xB8\xA3\xB0" (full-width "80") -> 80;  "" -> 0
int32_t ToInteger(const GbkText& text);
GbkText IntegerToText(int32_t value);
int32_t BitOr(std::initializer_list<int32_t> values);
template <typename... T>
int32_t BitOr(int32_t first, T... rest) {
  return BitOr({first, static_cast<int32_t>(rest)...});
}

// ---- text and bytes ----

ByteBuffer TextToBytes(const GbkText& text);
// The bytes before the first zero byte: 41 00 42 -> "A".
GbkText BytesToText(const ByteBuffer& buffer);
int32_t BytesLength(const ByteBuffer& buffer);
ByteBuffer ZeroBytes(int32_t n);
ByteBuffer BytesLeftPart(const ByteBuffer& buffer, int32_t n);
// Plain byte search; an empty needle gives -1.
int32_t FindBytes(const ByteBuffer& haystack, const ByteBuffer& needle, int32_t start = 1);
ByteBuffer ConcatBytes(std::initializer_list<ByteBuffer> parts);
// Compares the first n bytes; a buffer that ends earlier is the smaller one.
int CompareBytes(const ByteBuffer& a, const ByteBuffer& b, int32_t n);

}  // namespace pellucor
