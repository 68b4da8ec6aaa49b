#include "base/codepage.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "base/cp936_tables.h"

namespace pellucor {
namespace {

// The word-at-a-time paths below read and write units as words, low byte first.
static_assert(std::endian::native == std::endian::little);

constexpr char16_t kReplacement = 0xFFFD;
constexpr uint16_t kDefaultCode = '?';

// UTF-16 unit -> GBK code (one byte below 0x100, else lead << 8 | trail): the inverse of the
// byte tables plus the best-fit entries, every other unit mapping to "?".
const std::array<uint16_t, 0x10000>& UnitToCode() {
  static const std::array<uint16_t, 0x10000> table = [] {
    std::array<uint16_t, 0x10000> t;
    t.fill(kDefaultCode);
    for (int b = 0; b < 0x100; ++b) {
      const uint16_t u = cp936::kSingleByte[b];
      if (u != kDefaultCode || b == kDefaultCode) t[u] = static_cast<uint16_t>(b);
    }
    for (int lead = 0x81; lead <= 0xFE; ++lead) {
      for (int trail = 0x40; trail <= 0xFE; ++trail) {
        const int i = cp936::DoubleByteIndex(static_cast<unsigned char>(lead),
                                             static_cast<unsigned char>(trail));
        if (i >= 0) t[cp936::kDoubleByte[i]] = static_cast<uint16_t>(lead << 8 | trail);
      }
    }
    for (size_t i = 0; i < cp936::kBestFitCount; ++i)
      t[cp936::kBestFit[i].unit] = cp936::kBestFit[i].code;
    return t;
  }();
  return table;
}

// Whether the table writes every unit below 0x80 as that one byte (code page 936 does; the
// reference tests check every unit), so that runs of such units may be narrowed without it.
bool AsciiUnitsAsIs() {
  static const bool asIs = [] {
    const auto& t = UnitToCode();
    for (uint16_t u = 0; u < 0x80; ++u)
      if (t[u] != u) return false;
    return true;
  }();
  return asIs;
}

// Four units below 0x80 (read as one word, low byte first) as their four bytes.
inline uint32_t NarrowFour(uint64_t units) {
  return static_cast<uint32_t>((units & 0xFF) | ((units >> 8) & 0xFF00) |
                               ((units >> 16) & 0xFF0000) | ((units >> 24) & 0xFF000000));
}

// The precomposed character for base + mark that code page 936 can write, or 0.
char16_t Compose(char16_t base, char16_t mark) {
  const cp936::Composition* begin = cp936::kCompositions;
  const cp936::Composition* end = begin + cp936::kCompositionCount;
  const auto it =
      std::lower_bound(begin, end, std::pair{base, mark},
                       [](const cp936::Composition& c, std::pair<char16_t, char16_t> k) {
                         return c.base < k.first || (c.base == k.first && c.mark < k.second);
                       });
  return (it != end && it->base == base && it->mark == mark) ? it->composed : 0;
}

// Four bytes b0 b1 b2 b3 (in memory order) as the four units b0 00 b1 00 b2 00 b3 00.
inline uint64_t WidenFour(uint32_t bytes) {
  uint64_t v = bytes;
  v = (v | (v << 16)) & 0x0000FFFF0000FFFFu;
  return (v | (v << 8)) & 0x00FF00FF00FF00FFu;
}

// Bytes below 0x80 stand for themselves in code page 936 and in UTF-8 alike (the reference
// tests check every byte). A run of them is widened eight at a time; `p` and `o` are advanced
// past the run's whole words.
inline void CopyAsciiWords(const unsigned char*& p, const unsigned char* end, char16_t*& o) {
  while (end - p >= 8) {
    uint32_t half[2];
    std::memcpy(half, p, 8);
    if ((half[0] | half[1]) & 0x80808080u) return;
    const uint64_t units[2] = {WidenFour(half[0]), WidenFour(half[1])};
    std::memcpy(o, units, 16);
    p += 8;
    o += 8;
  }
}

// Decodes the sequence whose first byte `c` (0x80 or above) has been read; `p` points after it
// and is advanced past the bytes taken. Returns the code point, or 0xFFFFFFFF for an invalid
// or cut-off sequence. This is the decoder of the Windows implementation the project matches:
// a sequence cut off by the end of the input swallows the rest; one broken by a bad byte stops
// before that byte, which is then read afresh.
uint32_t DecodeUtf8(unsigned char c, const unsigned char*& p, const unsigned char* end) {
  int len;
  if (c < 0xC2) {
    len = 0;  // continuation byte, or an overlong two-byte lead
  } else if (c < 0xE0) {
    len = 1;
  } else if (c < 0xF0) {
    len = 2;
  } else if (c < 0xF5) {
    len = 3;
  } else {
    len = 0;
  }
  static constexpr unsigned char kMask[4] = {0x7F, 0x1F, 0x0F, 0x07};
  uint32_t res = c & kMask[len];
  if (len == 0) return 0xFFFFFFFF;
  if (end - p < len) {
    p = end;
    return 0xFFFFFFFF;
  }
  const unsigned char* seq = p;  // the continuation bytes
  int k = 0;
  if (len == 3) {
    const unsigned char b = seq[k++] ^ 0x80;
    if (b >= 0x40) return 0xFFFFFFFF;
    res = (res << 6) | b;
    ++p;
    if (res < 0x10) return 0xFFFFFFFF;  // overlong four-byte form
  }
  if (len >= 2) {
    const unsigned char b = seq[k++] ^ 0x80;
    if (b >= 0x40) return 0xFFFFFFFF;
    res = (res << 6) | b;
    if (res >= (0x110000 >> 6)) return 0xFFFFFFFF;  // above U+10FFFF
    ++p;
    if (res < 0x20) return 0xFFFFFFFF;  // overlong three-byte form
    if (res >= (0xD800 >> 6) && res <= (0xDFFF >> 6)) return 0xFFFFFFFF;  // surrogate
  }
  const unsigned char b = seq[k] ^ 0x80;
  if (b >= 0x40) return 0xFFFFFFFF;
  res = (res << 6) | b;
  ++p;
  if (res < 0x80) return 0xFFFFFFFF;
  return res;
}

}  // namespace

std::u16string GbkToUtf16(std::string_view gbk) {
  std::u16string out(gbk.size(), u'\0');  // one unit per byte at most
  char16_t* o = out.data();
  const auto* p = reinterpret_cast<const unsigned char*>(gbk.data());
  const auto* end = p + gbk.size();
  while (p < end) {
    CopyAsciiWords(p, end, o);
    if (p == end) break;
    const unsigned char c = *p++;
    if (c < 0x80) {
      *o++ = c;
    } else if (c >= 0x81 && c <= 0xFE && p < end && *p != 0) {
      const int i = cp936::DoubleByteIndex(c, *p++);
      *o++ = i >= 0 ? static_cast<char16_t>(cp936::kDoubleByte[i]) : u'?';
    } else {
      *o++ = static_cast<char16_t>(cp936::kSingleByte[c]);
    }
  }
  out.resize(static_cast<size_t>(o - out.data()));
  return out;
}

std::string Utf16ToGbk(std::u16string_view units, unsigned flags, bool* usedDefault) {
  const auto& table = UnitToCode();
  std::string out(units.size() * 2, '\0');  // two bytes per unit at most
  char* o = out.data();
  auto put = [&o](uint16_t code) {
    if (code > 0xFF) *o++ = static_cast<char>(code >> 8);
    *o++ = static_cast<char>(code & 0xFF);
  };
  // Without composition a unit's bytes depend on that unit alone: runs of units below 0x80
  // go four at a time.
  const bool narrowRuns = !(flags & kCompositeCheck) && AsciiUnitsAsIs();
  bool used = false;
  for (size_t i = 0; i < units.size(); ++i) {
    if (narrowRuns) {
      for (uint64_t four; i + 4 <= units.size(); i += 4, o += 4) {
        std::memcpy(&four, units.data() + i, 8);
        if (four & 0xFF80FF80FF80FF80u) break;
        const uint32_t bytes = NarrowFour(four);
        std::memcpy(o, &bytes, 4);
      }
      if (i == units.size()) break;
    }
    if ((flags & kCompositeCheck) && i + 1 < units.size()) {
      if (const char16_t composed = Compose(units[i], units[i + 1])) {
        put(table[composed]);
        ++i;
        continue;
      }
    }
    const uint16_t code = table[units[i]];
    used |= code == kDefaultCode && units[i] != u'?';
    put(code);
  }
  out.resize(static_cast<size_t>(o - out.data()));
  if (usedDefault) *usedDefault = used;
  return out;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  // Every unit written consumes at least one byte (a pair, four), so the input's length bounds
  // the output's.
  std::u16string out(utf8.size(), u'\0');
  char16_t* o = out.data();
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto* end = p + utf8.size();
  while (p < end) {
    CopyAsciiWords(p, end, o);
    if (p == end) break;
    const unsigned char c = *p++;
    if (c < 0x80) {
      *o++ = c;
      continue;
    }
    const uint32_t cp = DecodeUtf8(c, p, end);
    if (cp <= 0xFFFF) {
      *o++ = static_cast<char16_t>(cp);
    } else if (cp <= 0x10FFFF) {
      *o++ = static_cast<char16_t>(0xD800 | ((cp - 0x10000) >> 10));
      *o++ = static_cast<char16_t>(0xDC00 | (cp & 0x3FF));
    } else {
      *o++ = kReplacement;
    }
  }
  out.resize(static_cast<size_t>(o - out.data()));
  return out;
}

std::string Utf16ToUtf8(std::u16string_view units) {
  std::string out;
  out.reserve(units.size() * 3);
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t cp = units[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00);
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

}  // namespace pellucor
