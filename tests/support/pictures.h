// Picture files for tests, written here byte by byte: BMP, ICO/CUR, GIF (animated too) and
// PCX. JPEG and PNG, which need real compressors, are small files in tests/data/pictures/.
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace pellucor::testing {

// A picture file of tests/data/pictures (empty when it cannot be read).
inline std::string PictureFixture(const std::string& name) {
  std::ifstream in(std::string(PELLUCOR_TESTDATA_DIR) + "/pictures/" + name, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// A colour as 0xAARRGGBB; the writers below drop alpha except where noted.
using PixelFn = std::function<uint32_t(int x, int y)>;

inline void Put16(std::string& s, unsigned v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>(v >> 8 & 0xFF));
}
inline void Put32(std::string& s, uint32_t v) {
  Put16(s, v & 0xFFFF);
  Put16(s, v >> 16);
}

// A 24-bit bottom-up BMP.
inline std::string MakeBmp(int w, int h, const PixelFn& pixel) {
  const uint32_t stride = (static_cast<uint32_t>(w) * 3 + 3) & ~3u;
  std::string s = "BM";
  Put32(s, 54 + stride * static_cast<uint32_t>(h));
  Put32(s, 0);
  Put32(s, 54);
  Put32(s, 40);
  Put32(s, static_cast<uint32_t>(w));
  Put32(s, static_cast<uint32_t>(h));
  Put16(s, 1);
  Put16(s, 24);
  for (int i = 0; i < 6; ++i) Put32(s, 0);
  for (int y = h - 1; y >= 0; --y) {
    std::string row;
    for (int x = 0; x < w; ++x) {
      const uint32_t c = pixel(x, y);
      row.push_back(static_cast<char>(c & 0xFF));
      row.push_back(static_cast<char>(c >> 8 & 0xFF));
      row.push_back(static_cast<char>(c >> 16 & 0xFF));
    }
    row.resize(stride, '\0');
    s += row;
  }
  return s;
}

inline std::string SolidBmp(int w, int h, uint32_t colour = 0xFF2040C0) {
  return MakeBmp(w, h, [colour](int, int) { return colour; });
}

// An icon (type 1) or cursor (type 2) file holding one 32-bit picture with alpha.
inline std::string MakeIcon(int w, int h, const PixelFn& pixel, unsigned type = 1) {
  std::string dib;
  Put32(dib, 40);
  Put32(dib, static_cast<uint32_t>(w));
  Put32(dib, static_cast<uint32_t>(2 * h));  // the colour picture and the mask
  Put16(dib, 1);
  Put16(dib, 32);
  for (int i = 0; i < 6; ++i) Put32(dib, 0);
  for (int y = h - 1; y >= 0; --y)
    for (int x = 0; x < w; ++x) Put32(dib, pixel(x, y));
  const uint32_t maskStride = ((static_cast<uint32_t>(w) + 31) / 32) * 4;
  dib.append(maskStride * static_cast<uint32_t>(h), '\0');  // all opaque; alpha decides
  std::string s;
  Put16(s, 0);
  Put16(s, type);
  Put16(s, 1);
  s.push_back(static_cast<char>(w >= 256 ? 0 : w));
  s.push_back(static_cast<char>(h >= 256 ? 0 : h));
  s.push_back(0);  // colour count
  s.push_back(0);
  Put16(s, type == 1 ? 1 : 0);   // planes, or the hot spot's x
  Put16(s, type == 1 ? 32 : 0);  // bits per pixel, or the hot spot's y
  Put32(s, static_cast<uint32_t>(dib.size()));
  Put32(s, 22);
  return s + dib;
}

struct GifFrame {
  int left = 0, top = 0, width = 0, height = 0;
  std::vector<uint8_t> indices;  // width x height palette indices
  int delayCs = 0;               // hundredths of a second
  int disposal = 1;              // 1: keep the frame in place for the next one
};

// A GIF89a with a global palette (up to 256 colours, 0xRRGGBB) and the given frames; more than
// one frame adds the looping extension. The image data is LZW with nine-bit codes only: a
// clear code every 250 codes keeps the table from growing past 512 entries.
inline std::string MakeGif(int w, int h, std::vector<uint32_t> palette,
                           const std::vector<GifFrame>& frames) {
  palette.resize(256, 0);
  std::string s = "GIF89a";
  Put16(s, static_cast<unsigned>(w));
  Put16(s, static_cast<unsigned>(h));
  s.push_back(static_cast<char>(0xF7));  // global table of 256 colours
  s.push_back(0);
  s.push_back(0);
  for (uint32_t c : palette) {
    s.push_back(static_cast<char>(c >> 16 & 0xFF));
    s.push_back(static_cast<char>(c >> 8 & 0xFF));
    s.push_back(static_cast<char>(c & 0xFF));
  }
  if (frames.size() > 1) {
    s += "\x21\xFF\x0BNETSCAPE2.0\x03\x01";
    Put16(s, 0);
    s.push_back(0);
  }
  for (const GifFrame& f : frames) {
    s += "\x21\xF9\x04";
    s.push_back(static_cast<char>((f.disposal & 7) << 2));
    Put16(s, static_cast<unsigned>(f.delayCs));
    s.push_back(0);
    s.push_back(0);
    s.push_back(',');
    Put16(s, static_cast<unsigned>(f.left));
    Put16(s, static_cast<unsigned>(f.top));
    Put16(s, static_cast<unsigned>(f.width));
    Put16(s, static_cast<unsigned>(f.height));
    s.push_back(0);
    s.push_back(8);  // minimum code size
    std::string data;
    uint32_t bits = 0;
    int count = 0;
    auto put = [&](unsigned code) {
      bits |= code << count;
      count += 9;
      while (count >= 8) {
        data.push_back(static_cast<char>(bits & 0xFF));
        bits >>= 8;
        count -= 8;
      }
    };
    put(256);
    int sinceClear = 0;
    for (uint8_t i : f.indices) {
      if (sinceClear == 250) {
        put(256);
        sinceClear = 0;
      }
      put(i);
      ++sinceClear;
    }
    put(257);
    if (count > 0) data.push_back(static_cast<char>(bits & 0xFF));
    for (size_t p = 0; p < data.size(); p += 255) {
      const size_t n = std::min<size_t>(255, data.size() - p);
      s.push_back(static_cast<char>(n));
      s += data.substr(p, n);
    }
    s.push_back(0);
  }
  s.push_back(';');
  return s;
}

inline GifFrame SolidGifFrame(int w, int h, uint8_t index, int delayCs = 0) {
  GifFrame f;
  f.width = w;
  f.height = h;
  f.indices.assign(static_cast<size_t>(w) * static_cast<size_t>(h), index);
  f.delayCs = delayCs;
  return f;
}

// A still GIF of one colour.
inline std::string SolidGif(int w, int h, uint32_t colour = 0x20C040) {
  return MakeGif(w, h, {colour}, {SolidGifFrame(w, h, 0)});
}

inline std::string PcxHeader(int version, int bits, int planes, int w, int h, int bytesPerLine) {
  std::string s(128, '\0');
  s[0] = 0x0A;
  s[1] = static_cast<char>(version);
  s[2] = 1;
  s[3] = static_cast<char>(bits);
  auto at16 = [&s](size_t i, unsigned v) {
    s[i] = static_cast<char>(v & 0xFF);
    s[i + 1] = static_cast<char>(v >> 8);
  };
  at16(8, static_cast<unsigned>(w - 1));
  at16(10, static_cast<unsigned>(h - 1));
  s[65] = static_cast<char>(planes);
  at16(66, static_cast<unsigned>(bytesPerLine));
  return s;
}

// Run-length codes one scan line the PCX way.
inline std::string PcxRle(const std::string& line) {
  std::string out;
  for (size_t i = 0; i < line.size();) {
    size_t n = 1;
    while (i + n < line.size() && n < 63 && line[i + n] == line[i]) ++n;
    if (n > 1 || (static_cast<unsigned char>(line[i]) & 0xC0) == 0xC0)
      out.push_back(static_cast<char>(0xC0 | n));
    out.push_back(line[i]);
    i += n;
  }
  return out;
}

// An 8-bit PCX with one plane and the palette at the end (palette index = pixel(x, y) & 0xFF,
// palette entry i = paletteFn(i)).
inline std::string MakePcx8(int w, int h, const std::function<uint8_t(int, int)>& index,
                            const std::function<uint32_t(int)>& paletteFn) {
  const int bpl = (w + 1) & ~1;
  std::string s = PcxHeader(5, 8, 1, w, h, bpl);
  for (int y = 0; y < h; ++y) {
    std::string line(static_cast<size_t>(bpl), '\0');
    for (int x = 0; x < w; ++x) line[static_cast<size_t>(x)] = static_cast<char>(index(x, y));
    s += PcxRle(line);
  }
  s.push_back(0x0C);
  for (int i = 0; i < 256; ++i) {
    const uint32_t c = paletteFn(i);
    s.push_back(static_cast<char>(c >> 16 & 0xFF));
    s.push_back(static_cast<char>(c >> 8 & 0xFF));
    s.push_back(static_cast<char>(c & 0xFF));
  }
  return s;
}

// An 8-bit PCX with three planes (red, green, blue).
inline std::string MakePcx24(int w, int h, const PixelFn& pixel) {
  const int bpl = (w + 1) & ~1;
  std::string s = PcxHeader(5, 8, 3, w, h, bpl);
  for (int y = 0; y < h; ++y) {
    std::string line(static_cast<size_t>(3 * bpl), '\0');
    for (int x = 0; x < w; ++x) {
      const uint32_t c = pixel(x, y);
      line[static_cast<size_t>(x)] = static_cast<char>(c >> 16 & 0xFF);
      line[static_cast<size_t>(bpl + x)] = static_cast<char>(c >> 8 & 0xFF);
      line[static_cast<size_t>(2 * bpl + x)] = static_cast<char>(c & 0xFF);
    }
    s += PcxRle(line);
  }
  return s;
}

// A 1-bit monochrome PCX (version 3): set bits are white.
inline std::string MakePcx1(int w, int h, const std::function<bool(int, int)>& white) {
  const int bpl = ((w + 15) / 16) * 2;
  std::string s = PcxHeader(3, 1, 1, w, h, bpl);
  for (int y = 0; y < h; ++y) {
    std::string line(static_cast<size_t>(bpl), '\0');
    for (int x = 0; x < w; ++x)
      if (white(x, y)) line[static_cast<size_t>(x / 8)] |= static_cast<char>(0x80 >> (x % 8));
    s += PcxRle(line);
  }
  return s;
}

}  // namespace pellucor::testing
