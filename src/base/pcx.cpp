// PCX: a 128-byte header, then run-length coded scan lines; each line holds every colour
// plane in turn, bytesPerLine bytes a plane. A byte with its two top bits set is a count (its
// low six bits) for the byte that follows; any other byte stands for itself. 8-bit pictures
// with one plane end with 0x0C and a 256-colour palette.
#include <array>
#include <cstdint>

#include "base/picture_decoders.h"

namespace pellucor {

namespace {

constexpr size_t kHeaderSize = 128;
constexpr size_t kPaletteSize = 768;

unsigned U8(std::string_view b, size_t i) {
  return static_cast<unsigned char>(b[i]);
}
unsigned U16(std::string_view b, size_t i) {
  return U8(b, i) | U8(b, i + 1) << 8;
}

uint32_t Rgb(unsigned r, unsigned g, unsigned b) {
  return 0xFF000000u | r << 16 | g << 8 | b;
}

// The sixteen colours of the EGA default palette, for 16-colour pictures of the version that
// carries no palette.
constexpr std::array<uint32_t, 16> kEgaPalette = {
    0xFF000000, 0xFF0000AA, 0xFF00AA00, 0xFF00AAAA, 0xFFAA0000, 0xFFAA00AA, 0xFFAA5500, 0xFFAAAAAA,
    0xFF555555, 0xFF5555FF, 0xFF55FF55, 0xFF55FFFF, 0xFFFF5555, 0xFFFF55FF, 0xFFFFFF55, 0xFFFFFFFF};

}  // namespace

std::optional<Image> DecodePcx(std::string_view b) {
  if (b.size() < kHeaderSize || U8(b, 0) != 0x0A || U8(b, 2) != 1) return std::nullopt;
  const unsigned bits = U8(b, 3);
  const unsigned planes = U8(b, 65);
  const unsigned bytesPerLine = U16(b, 66);
  const int64_t xmin = U16(b, 4), ymin = U16(b, 6), xmax = U16(b, 8), ymax = U16(b, 10);
  const int64_t width = xmax - xmin + 1, height = ymax - ymin + 1;
  if (!PictureSizeAllowed(width, height)) return std::nullopt;
  const bool eightBit = bits == 8 && (planes == 1 || planes == 3 || planes == 4);
  const bool oneBit = bits == 1 && (planes == 1 || planes == 4);
  if (!eightBit && !oneBit) return std::nullopt;
  if (bytesPerLine < (width * bits + 7) / 8) return std::nullopt;

  // An 8-bit one-plane picture takes its colours from the palette at the end of the file.
  size_t dataEnd = b.size();
  std::array<uint32_t, 256> palette{};
  if (eightBit && planes == 1) {
    if (b.size() >= kHeaderSize + kPaletteSize + 1 && U8(b, b.size() - kPaletteSize - 1) == 0x0C) {
      dataEnd = b.size() - kPaletteSize - 1;
      for (size_t i = 0; i < 256; ++i) {
        const size_t p = dataEnd + 1 + 3 * i;
        palette[i] = Rgb(U8(b, p), U8(b, p + 1), U8(b, p + 2));
      }
    } else {
      for (unsigned i = 0; i < 256; ++i) palette[i] = Rgb(i, i, i);  // no palette: grey levels
    }
  }

  // Decode every scan line; runs may carry over from one line to the next.
  const size_t lineBytes = static_cast<size_t>(bytesPerLine) * planes;
  std::vector<uint8_t> line(lineBytes);
  size_t pos = kHeaderSize;
  unsigned runLeft = 0, runValue = 0;
  Image image;
  image.width = static_cast<int>(width);
  image.height = static_cast<int>(height);
  PictureFrame frame;
  frame.pixels.resize(static_cast<size_t>(width * height));
  for (int64_t y = 0; y < height; ++y) {
    for (size_t i = 0; i < lineBytes; ++i) {
      if (runLeft == 0) {
        if (pos >= dataEnd) return std::nullopt;  // the data stops inside the picture
        const unsigned c = U8(b, pos++);
        if ((c & 0xC0) == 0xC0) {
          if (pos >= dataEnd) return std::nullopt;
          runLeft = c & 0x3F;
          runValue = U8(b, pos++);
          if (runLeft == 0) {  // a run of nothing
            --i;
            continue;
          }
        } else {
          runLeft = 1;
          runValue = c;
        }
      }
      line[i] = static_cast<uint8_t>(runValue);
      --runLeft;
    }
    uint32_t* out = &frame.pixels[static_cast<size_t>(y * width)];
    for (int64_t x = 0; x < width; ++x) {
      if (eightBit) {
        const uint8_t* p = line.data() + x;
        if (planes == 1) {
          out[x] = palette[p[0]];
        } else {
          const unsigned alpha = planes == 4 ? p[3 * bytesPerLine] : 0xFF;
          out[x] = (Rgb(p[0], p[bytesPerLine], p[2 * bytesPerLine]) & 0x00FFFFFF) | alpha << 24;
        }
      } else {
        const unsigned mask = 0x80u >> (x % 8);
        unsigned index = 0;
        for (unsigned plane = 0; plane < planes; ++plane)
          if (line[plane * bytesPerLine + static_cast<size_t>(x / 8)] & mask) index |= 1u << plane;
        out[x] = planes == 1 ? (index ? 0xFFFFFFFF : 0xFF000000) : kEgaPalette[index];
      }
    }
  }
  image.frames.push_back(std::move(frame));
  return image;
}

}  // namespace pellucor
