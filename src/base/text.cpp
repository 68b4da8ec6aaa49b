#include "base/text.h"

#include <algorithm>
#include <cstring>

#include "base/runtime_fault.h"

namespace pellucor {
namespace {

constexpr size_t kNotFound = std::string_view::npos;

inline bool IsLeadByte(unsigned char c) { return c >= 0x80; }

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

bool HasAsciiLetter(std::string_view s) {
  return std::any_of(s.begin(), s.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  });
}

// Moves the character cursor `b` forward until it reaches or passes `target`. Runs of ASCII
// bytes are crossed eight at a time: only bytes of 0x80 and above change the phase.
inline size_t StepTo(std::string_view s, size_t b, size_t target) {
  const char* p = s.data();
  while (b < target) {
    if (target - b >= 8) {
      uint64_t chunk;
      std::memcpy(&chunk, p + b, 8);
      if ((chunk & 0x8080808080808080ull) == 0) {
        b += 8;
        continue;
      }
    }
    b += IsLeadByte(static_cast<unsigned char>(p[b])) ? 2 : 1;
  }
  return b;
}

// Offset of the first occurrence of `what` (non-empty) that begins on a character boundary,
// boundaries being counted from `from`; kNotFound when there is none. A candidate found by a
// plain byte search is accepted only when the character cursor lands exactly on it; when the
// cursor steps over it (the candidate began on a trail byte) the search resumes at the cursor.
size_t FindOnBoundary(std::string_view s, size_t from, std::string_view what, bool fold) {
  const size_t n = s.size(), m = what.size();
  size_t b = from;
  if (fold && HasAsciiLetter(what)) {
    const unsigned char first = FoldAscii(static_cast<unsigned char>(what[0]));
    while (b + m <= n) {
      const unsigned char c = static_cast<unsigned char>(s[b]);
      if (FoldAscii(c) == first && EqualFolded(s.data() + b, what.data(), m)) return b;
      b += IsLeadByte(c) ? 2 : 1;
    }
    return kNotFound;
  }
  while (b + m <= n) {
    const size_t c = s.find(what, b);
    if (c == kNotFound) return kNotFound;
    b = StepTo(s, b, c);
    if (b == c) return c;
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

int Sign(int v) { return (v > 0) - (v < 0); }

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

int32_t TextLength(const GbkText& text) { return text.size(); }

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
  return GbkText(out);
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
  return GbkText(out);
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
  return GbkText(out);
}

GbkText LowerCaseAscii(const GbkText& text) {
  std::string out(text.view());
  for (char& c : out) c = static_cast<char>(FoldAscii(static_cast<unsigned char>(c)));
  return GbkText(out);
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
  return GbkText(out);
}

GbkText SpacesText(int32_t n) {
  if (n < 1) return {};
  return GbkText(std::string(static_cast<size_t>(n), ' '));
}

int32_t ElementCount(const TextArray& array) { return array.size(); }

const GbkText& Element(const TextArray& array, int32_t index) { return array[index]; }

void AppendElement(TextArray& array, const GbkText& text) { array.push_back(text); }

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

GbkText IntegerToText(int32_t value) { return GbkText(std::to_string(value)); }

int32_t BitOr(std::initializer_list<int32_t> values) {
  int32_t r = 0;
  for (int32_t v : values) r |= v;
  return r;
}

ByteBuffer TextToBytes(const GbkText& text) { return ByteBuffer(text.str()); }

GbkText BytesToText(const ByteBuffer& buffer) { return GbkText(buffer.view()); }

int32_t BytesLength(const ByteBuffer& buffer) { return buffer.size(); }

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
