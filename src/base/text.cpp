#include "base/text.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/runtime_fault.h"

namespace pellucor {
namespace {

constexpr size_t kNotFound = std::string_view::npos;

inline bool IsLeadByte(unsigned char c) {
  return c >= 0x80;
}

inline unsigned char FoldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

bool EqualFolded(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (FoldAscii(static_cast<unsigned char>(a[i])) != FoldAscii(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

inline bool IsAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool HasAsciiLetter(std::string_view s) {
  return std::any_of(s.begin(), s.end(), IsAsciiLetter);
}

// Whether `c` begins a character, given that `b` <= `c` does. Every byte below 0x80 ends a
// character (it is a single-byte character or a trail byte), so only the run of bytes of 0x80
// and above just before `c` decides: they pair up as lead + trail, and `c` is a boundary when
// the run's length is even.
inline bool OnBoundary(std::string_view s, size_t b, size_t c) {
  size_t k = 0;
  while (c - k > b && static_cast<unsigned char>(s[c - k - 1]) >= 0x80) ++k;
  return k % 2 == 0;
}

// Offset of the first byte-level occurrence of `what` at or after `from` (folding ASCII letters
// when `fold`), or kNotFound. Candidates come from a memchr for one byte of `what` that folding
// cannot change, so the folded search runs at nearly the speed of the exact one.
size_t FindBytesFrom(std::string_view s, size_t from, std::string_view what, bool fold) {
  if (!fold) return s.find(what, from);
  const size_t n = s.size(), m = what.size();
  size_t anchor = 0;
  while (anchor < m && IsAsciiLetter(what[anchor])) ++anchor;
  if (anchor == m) {  // letters only: compare at every byte
    for (size_t c = from; c + m <= n; ++c)
      if (EqualFolded(s.data() + c, what.data(), m)) return c;
    return kNotFound;
  }
  for (size_t p = from + anchor; p < n;) {
    const void* hit = std::memchr(s.data() + p, what[anchor], n - p);
    if (!hit) return kNotFound;
    p = static_cast<size_t>(static_cast<const char*>(hit) - s.data());
    const size_t c = p - anchor;
    if (c + m > n) return kNotFound;
    if (EqualFolded(s.data() + c, what.data(), m)) return c;
    ++p;
  }
  return kNotFound;
}

// Offset of the first occurrence of `what` (non-empty) that begins on a character boundary,
// boundaries being counted from `from`; kNotFound when there is none. Byte-level candidates
// that begin on a trail byte are passed over. After each rejected candidate `c` the position
// c + 1 is a known boundary (c - 1 was a lead byte), so no byte is examined twice for phase.
size_t FindOnBoundary(std::string_view s, size_t from, std::string_view what, bool fold) {
  fold = fold && HasAsciiLetter(what);
  size_t known = from;
  while (known + what.size() <= s.size()) {
    const size_t c = FindBytesFrom(s, known, what, fold);
    if (c == kNotFound) return kNotFound;
    if (OnBoundary(s, known, c)) return c;
    known = c + 1;
  }
  return kNotFound;
}

inline size_t NextChar(std::string_view s, size_t i) {
  return i + (IsLeadByte(static_cast<unsigned char>(s[i])) ? 2 : 1);
}

// Length of the blank at `i` (1 for 0x20, 2 for A1 A1), or 0.
inline size_t BlankAt(std::string_view s, size_t i) {
  if (s[i] == ' ') return 1;
  if (static_cast<unsigned char>(s[i]) == 0xA1 && i + 1 < s.size() &&
      static_cast<unsigned char>(s[i + 1]) == 0xA1)
    return 2;
  return 0;
}

inline bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

int Sign(int v) {
  return (v > 0) - (v < 0);
}

// Bytes to skip for a 1-based start: max(start - 1, 0), computed without overflow.
inline size_t SkipFor(int32_t start) {
  return start > 1 ? static_cast<size_t>(start) - 1 : 0;
}

}  // namespace

const GbkText& TextArray::operator[](int32_t index) const {
  if (index < 1) RuntimeFault(4, "数组成员引用下标必须大于等于1");
  if (index > size()) RuntimeFault(1, "数组成员引用下标超出定义范围");
  return items_[static_cast<size_t>(index) - 1];
}

int32_t TextLength(const GbkText& text) {
  return text.size();
}

int CompareText(const GbkText& a, const GbkText& b) {
  const size_t n = std::min(a.view().size(), b.view().size());
  const int c = n ? std::memcmp(a.c_str(), b.c_str(), n) : 0;
  if (c != 0) return Sign(c);
  return Sign(static_cast<int>(a.view().size() > b.view().size()) -
              static_cast<int>(a.view().size() < b.view().size()));
}

GbkText ConcatText(std::initializer_list<GbkText> parts) {
  std::string out;
  size_t total = 0;
  for (const GbkText& p : parts) total += p.view().size();
  out.reserve(total);
  for (const GbkText& p : parts) out += p.view();
  return GbkText(std::move(out));
}

int32_t FindText(const GbkText& text, const GbkText& what, std::optional<int32_t> start,
                 bool ignoreAsciiCase) {
  const std::string_view s = text.view();
  const size_t skip = start ? SkipFor(*start) : 0;
  if (skip >= s.size()) return -1;
  if (what.empty()) return 1;
  const size_t at = FindOnBoundary(s, skip, what.view(), ignoreAsciiCase);
  return at == kNotFound ? -1 : static_cast<int32_t>(at + 1);
}

int32_t FindTextReverse(const GbkText& text, const GbkText& what, std::optional<int32_t> start,
                        bool ignoreAsciiCase) {
  std::string_view s = text.view();
  if (start) {
    if (*start <= 1) return -1;
    s = s.substr(0, std::min(s.size(), SkipFor(*start)));
  }
  if (what.empty()) return -1;
  size_t last = kNotFound;
  for (size_t from = 0;;) {
    const size_t at = FindOnBoundary(s, from, what.view(), ignoreAsciiCase);
    if (at == kNotFound) break;
    last = at;
    from = NextChar(s, at);
  }
  return last == kNotFound ? -1 : static_cast<int32_t>(last + 1);
}

GbkText LeftPart(const GbkText& text, int32_t n) {
  if (n <= 0) return {};
  return GbkText(text.view().substr(0, static_cast<size_t>(n)));
}

GbkText RightPart(const GbkText& text, int32_t n) {
  if (n <= 0) return {};
  const std::string_view s = text.view();
  const size_t k = std::min(s.size(), static_cast<size_t>(n));
  return GbkText(s.substr(s.size() - k));
}

GbkText MiddlePart(const GbkText& text, int32_t start, int32_t n) {
  const std::string_view s = text.view();
  if (start < 1 || static_cast<size_t>(start) > s.size() || n <= 0) return {};
  return GbkText(s.substr(static_cast<size_t>(start) - 1, static_cast<size_t>(n)));
}

GbkText CharFromCode(int32_t code) {
  const char c = static_cast<char>(code & 0xFF);
  return GbkText(std::string_view(&c, 1));
}

GbkText ReplaceText(const GbkText& text, const GbkText& find, const GbkText& replacement,
                    int32_t start, int32_t count, bool caseSensitive) {
  const std::string_view s = text.view(), f = find.view(), r = replacement.view();
  const size_t prefix = SkipFor(start);
  if (s.empty() || f.empty() || prefix >= s.size() || count == 0) return text;

  std::string out;
  out.reserve(r.size() > f.size() ? s.size() + s.size() / 8 : s.size());
  out.append(s.substr(0, prefix));
  size_t from = prefix;
  int32_t done = 0;
  for (;;) {
    const size_t at = FindOnBoundary(s, from, f, !caseSensitive);
    if (at == kNotFound) break;
    out.append(s.substr(from, at - from));
    out.append(r);
    from = at + f.size();
    if (count > 0 && ++done == count) break;
  }
  out.append(s.substr(from));
  return GbkText(std::move(out));
}

TextArray SplitText(const GbkText& text, const GbkText& separator,
                    std::optional<int32_t> maxParts) {
  TextArray result;
  const std::string_view s = text.view(), sep = separator.view();
  if (s.empty() || (maxParts && *maxParts <= 0)) return result;
  if (sep.empty()) {
    result.push_back(text);
    return result;
  }
  size_t from = 0;
  int32_t made = 0;
  for (;;) {
    const size_t at = FindOnBoundary(s, from, sep, false);
    if (at == kNotFound) break;
    result.push_back(GbkText(s.substr(from, at - from)));
    from = at + sep.size();
    if (maxParts && ++made == *maxParts) return result;
  }
  if (from < s.size()) result.push_back(GbkText(s.substr(from)));
  return result;
}

GbkText UpperCaseAscii(const GbkText& text) {
  std::string out(text.view());
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
  return GbkText(std::move(out));
}

GbkText LowerCaseAscii(const GbkText& text) {
  std::string out(text.view());
  for (char& c : out) c = static_cast<char>(FoldAscii(static_cast<unsigned char>(c)));
  return GbkText(std::move(out));
}

GbkText TrimBoth(const GbkText& text) {
  const std::string_view s = text.view();
  size_t begin = 0;
  while (begin < s.size()) {
    const size_t b = BlankAt(s, begin);
    if (!b) break;
    begin += b;
  }
  // Walk the rest by characters, remembering where the final run of blanks starts.
  size_t trailing = kNotFound;
  for (size_t i = begin; i < s.size();) {
    const size_t b = BlankAt(s, i);
    if (b) {
      if (trailing == kNotFound) trailing = i;
      i += b;
    } else {
      trailing = kNotFound;
      i = NextChar(s, i);
    }
  }
  const size_t end = trailing == kNotFound ? s.size() : trailing;
  return GbkText(s.substr(begin, end - begin));
}

GbkText RemoveBlanks(const GbkText& text) {
  const std::string_view s = text.view();
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    if (const size_t b = BlankAt(s, i)) {
      i += b;
      continue;
    }
    const size_t next = std::min(NextChar(s, i), s.size());
    out.append(s.substr(i, next - i));
    i = next;
  }
  return GbkText(std::move(out));
}

GbkText SpacesText(int32_t n) {
  if (n < 1) return {};
  return GbkText(std::string(static_cast<size_t>(n), ' '));
}

int32_t ElementCount(const TextArray& array) {
  return array.size();
}

const GbkText& Element(const TextArray& array, int32_t index) {
  return array[index];
}

void AppendElement(TextArray& array, const GbkText& text) {
  array.push_back(text);
}

int32_t ToInteger(const GbkText& text) {
  const std::string_view s = text.view();
  // Fold the full-width forms to ASCII first.
  std::string folded;
  folded.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (!IsLeadByte(c) || i + 1 >= s.size()) {
      folded.push_back(s[i++]);
      continue;
    }
    const unsigned char t = static_cast<unsigned char>(s[i + 1]);
    if (c == 0xA3 && t >= 0xA1 && t <= 0xFE) {
      folded.push_back(static_cast<char>(t - 0x80));
    } else if (c == 0xA1 && t == 0xA1) {
      folded.push_back(' ');
    } else if (c == 0xA1 && t == 0xAB) {
      folded.push_back('~');
    } else if (c == 0xA1 && (t == 0xEE || t == 0xEF)) {
      folded.push_back('*');
    } else {
      folded.append(s.substr(i, 2));
    }
    i += 2;
  }
  size_t i = 0;
  while (i < folded.size() && IsCSpace(folded[i])) ++i;
  bool negative = false;
  if (i < folded.size() && (folded[i] == '+' || folded[i] == '-')) negative = folded[i++] == '-';
  uint32_t value = 0;  // unsigned: the accumulation wraps around instead of overflowing
  for (; i < folded.size() && folded[i] >= '0' && folded[i] <= '9'; ++i)
    value = value * 10u + static_cast<uint32_t>(folded[i] - '0');
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);
}

GbkText IntegerToText(int32_t value) {
  return GbkText(std::to_string(value));
}

int32_t BitOr(std::initializer_list<int32_t> values) {
  int32_t r = 0;
  for (int32_t v : values) r |= v;
  return r;
}

ByteBuffer TextToBytes(const GbkText& text) {
  return ByteBuffer(text.str());
}

GbkText BytesToText(const ByteBuffer& buffer) {
  return GbkText(buffer.view());
}

int32_t BytesLength(const ByteBuffer& buffer) {
  return buffer.size();
}

ByteBuffer ZeroBytes(int32_t n) {
  if (n <= 0) return {};
  return ByteBuffer(std::string(static_cast<size_t>(n), '\0'));
}

ByteBuffer BytesLeftPart(const ByteBuffer& buffer, int32_t n) {
  if (n < 0) return {};
  return ByteBuffer(std::string(buffer.view().substr(0, static_cast<size_t>(n))));
}

int32_t FindBytes(const ByteBuffer& haystack, const ByteBuffer& needle, int32_t start) {
  const std::string_view h = haystack.view(), n = needle.view();
  if (n.empty()) return -1;
  const size_t skip = SkipFor(start);
  if (skip >= h.size() || h.size() - skip < n.size()) return -1;
  const size_t at = h.find(n, skip);
  return at == kNotFound ? -1 : static_cast<int32_t>(at + 1);
}

ByteBuffer ConcatBytes(std::initializer_list<ByteBuffer> parts) {
  std::string out;
  size_t total = 0;
  for (const ByteBuffer& p : parts) total += p.view().size();
  out.reserve(total);
  for (const ByteBuffer& p : parts) out += p.view();
  return ByteBuffer(std::move(out));
}

int CompareBytes(const ByteBuffer& a, const ByteBuffer& b, int32_t n) {
  if (n <= 0) return 0;
  const size_t la = std::min(a.view().size(), static_cast<size_t>(n));
  const size_t lb = std::min(b.view().size(), static_cast<size_t>(n));
  const size_t common = std::min(la, lb);
  const int c = common ? std::memcmp(a.data(), b.data(), common) : 0;
  if (c != 0) return Sign(c);
  return Sign(static_cast<int>(la > lb) - static_cast<int>(la < lb));
}

}  // namespace pellucor
