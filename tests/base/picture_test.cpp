#include "base/picture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/pictures.h"

namespace pellucor {
namespace {

using testing::GifFrame;
using testing::MakeBmp;
using testing::MakeGif;
using testing::MakeIcon;
using testing::MakePcx1;
using testing::MakePcx24;
using testing::MakePcx8;
using testing::SolidBmp;
using testing::SolidGifFrame;

std::string Fixture(const std::string& name) {
  std::string bytes = testing::PictureFixture(name);
  EXPECT_FALSE(bytes.empty()) << name;
  return bytes;
}

uint32_t Rgb(unsigned r, unsigned g, unsigned b) {
  return 0xFF000000u | r << 16 | g << 8 | b;
}

// Whether two colours agree within `tolerance` on every channel that `mask` selects.
bool Near(uint32_t a, uint32_t b, int tolerance, uint32_t mask) {
  for (int shift = 0; shift < 32; shift += 8) {
    if (!((mask >> shift) & 0xFF)) continue;
    const int x = static_cast<int>(a >> shift & 0xFF), y = static_cast<int>(b >> shift & 0xFF);
    if (std::abs(x - y) > tolerance) return false;
  }
  return true;
}

TEST(PictureFormat, RecognisesExactlyTheSignatureTable) {
  const std::string png = "\x89PNG\r\n\x1A\n";
  struct Case {
    std::string bytes;
    PictureFormat format;
  } cases[] = {
      {std::string("\xFF\xD8\xFF\xE0\0\x10", 6), PictureFormat::Jpeg},
      {std::string("\xFF\xD8", 2), PictureFormat::None},  // shorter than six bytes
      {std::string("BM\x10\0\0\0", 6), PictureFormat::Bmp},
      {"BMxyz", PictureFormat::None},
      {std::string("\0\0\x01\0\x01\0", 6), PictureFormat::Ico},
      {std::string("\0\0\x01\0\0\x01", 6), PictureFormat::Ico},  // 256 pictures
      {std::string("\0\0\x01\0\0\0", 6), PictureFormat::None},   // no picture in it
      {std::string("\0\0\x02\0\x02\0", 6), PictureFormat::Cur},
      {std::string("\0\0\x02\0\0\0", 6), PictureFormat::None},
      {std::string("\0\0\x03\0\x01\0", 6), PictureFormat::None},
      {std::string("\0\x01\x01\0\x01\0", 6), PictureFormat::None},
      {"GIF87a", PictureFormat::Gif},
      {"GIF89a;", PictureFormat::Gif},
      {"GIF88a", PictureFormat::None},
      {"gif89a", PictureFormat::None},
      {"GIF89", PictureFormat::None},
      {std::string("\x0A\x05\x01\x08\0\0", 6), PictureFormat::Pcx8},
      {std::string("\x0A\x00\x01\x08\0\0", 6), PictureFormat::Pcx8},
      {std::string("\x0A\x06\x01\x08\0\0", 6), PictureFormat::None},  // version above 5
      {std::string("\x0A\x05\x00\x08\0\0", 6), PictureFormat::None},  // not run-length coded
      {std::string("\x0A\x05\x01\x04\0\0", 6), PictureFormat::None},  // 4 bits per pixel
      {std::string("\x0A\x03\x01\x01\0\0", 6), PictureFormat::Pcx1},
      {std::string("\x0A\x05\x01\x01\0\0", 6), PictureFormat::None},  // 1 bit, other version
      {png, PictureFormat::None},
      {std::string("II*\0\x08\0", 6), PictureFormat::None},  // TIFF
      {"", PictureFormat::None},
  };
  for (const Case& c : cases)
    EXPECT_EQ(PictureFormatOf(c.bytes), c.format) << ::testing::PrintToString(c.bytes);
}

struct Probe {
  int x, y;
  uint32_t colour;
  uint32_t mask = 0xFFFFFFFF;  // which channels count
};

TEST(DecodeImage, EveryFormatGivesItsSizeAndColours) {
  const auto gradient = [](int x, int y) {
    return Rgb(static_cast<unsigned>(x * 30), static_cast<unsigned>(y * 40), 200);
  };
  // Icons carry alpha: the top-left pixel is transparent, the others opaque.
  const auto iconPixel = [](int x, int y) -> uint32_t {
    if (x == 0 && y == 0) return 0x00000000;
    return Rgb(static_cast<unsigned>(x * 15), 100, static_cast<unsigned>(y * 15));
  };
  const uint32_t red = Rgb(255, 0, 0), green = Rgb(0, 255, 0);
  struct Case {
    const char* name;
    std::string bytes;
    int width, height;
    std::vector<Probe> probes;
    int tolerance = 0;
  } cases[] = {
      {"bmp",
       MakeBmp(7, 5, gradient),
       7,
       5,
       {{0, 0, gradient(0, 0)}, {6, 4, gradient(6, 4)}, {3, 2, gradient(3, 2)}}},
      {"ico",
       MakeIcon(16, 16, iconPixel),
       16,
       16,
       {{0, 0, 0, 0xFF000000}, {15, 15, iconPixel(15, 15)}, {4, 9, iconPixel(4, 9)}}},
      {"cur",
       MakeIcon(16, 16, iconPixel, 2),
       16,
       16,
       {{0, 0, 0, 0xFF000000}, {15, 0, iconPixel(15, 0)}, {7, 3, iconPixel(7, 3)}}},
      {"gif checkerboard",
       MakeGif(9, 7, {0xFF0000, 0x00FF00}, {[] {
                 GifFrame f;
                 f.width = 9;
                 f.height = 7;
                 for (int y = 0; y < 7; ++y)
                   for (int x = 0; x < 9; ++x)
                     f.indices.push_back(static_cast<uint8_t>((x + y) % 2));
                 return f;
               }()}),
       9,
       7,
       {{0, 0, red}, {1, 0, green}, {8, 6, red}, {8, 5, green}}},
      {"gif 87a",
       [] {
         std::string g = MakeGif(3, 2, {0x0000FF}, {SolidGifFrame(3, 2, 0)});
         return "GIF87a" + g.substr(6);
       }(),
       3,
       2,
       {{2, 1, Rgb(0, 0, 255)}}},
      {"pcx 8-bit palette",
       MakePcx8(
           10, 6, [](int x, int) { return static_cast<uint8_t>(x * 25); },
           [](int i) { return static_cast<uint32_t>(i << 16 | (255 - i) << 8 | 7); }),
       10,
       6,
       {{0, 0, Rgb(0, 255, 7)}, {9, 5, Rgb(225, 30, 7)}, {4, 3, Rgb(100, 155, 7)}}},
      {"pcx 8-bit three planes",
       MakePcx24(5, 4, gradient),
       5,
       4,
       {{0, 0, gradient(0, 0)}, {4, 3, gradient(4, 3)}, {2, 1, gradient(2, 1)}}},
      {"pcx 1-bit",
       MakePcx1(17, 3, [](int x, int) { return x % 3 == 0; }),
       17,
       3,
       {{0, 0, Rgb(255, 255, 255)},
        {1, 0, Rgb(0, 0, 0)},
        {15, 2, Rgb(255, 255, 255)},
        {16, 2, Rgb(0, 0, 0)}}},
      {"jpeg", Fixture("rgb.jpg"), 48, 32, {{2, 2, red}, {45, 29, Rgb(0, 0, 255)}}, 8},
      {"jpeg grey", Fixture("gray.jpg"), 16, 8, {{8, 4, Rgb(128, 128, 128)}}, 4},
      {"jpeg progressive", Fixture("progressive.jpg"), 40, 24, {{20, 12, Rgb(0, 160, 0)}}, 8},
      {"jpeg cmyk", Fixture("cmyk.jpg"), 20, 10, {{10, 5, Rgb(0, 128, 255)}}, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<Image> image = DecodeImage(c.bytes);
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->width, c.width);
    EXPECT_EQ(image->height, c.height);
    ASSERT_EQ(image->frames.size(), 1u);
    EXPECT_EQ(image->frames[0].delayMs, 0);
    for (const Probe& p : c.probes) {
      const uint32_t got = image->frames[0].pixels[static_cast<size_t>(p.y * c.width + p.x)];
      EXPECT_TRUE(Near(got, p.colour, c.tolerance, p.mask))
          << "(" << p.x << "," << p.y << ") got " << std::hex << got << " want " << p.colour;
    }
  }
}

TEST(DecodeImage, AnimatedGifGivesComposedFramesAndDelays) {
  GifFrame second = SolidGifFrame(4, 3, 1, 20);
  second.left = 5;
  second.top = 2;
  GifFrame third = SolidGifFrame(2, 2, 2, 5);
  const std::string gif = MakeGif(20, 10, {0xFFFFFF, 0xFF0000, 0x0000FF},
                                  {SolidGifFrame(20, 10, 0, 10), second, third});
  const std::optional<Image> image = DecodeImage(gif);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->width, 20);
  EXPECT_EQ(image->height, 10);
  ASSERT_EQ(image->frames.size(), 3u);
  const uint32_t white = Rgb(255, 255, 255), red = Rgb(255, 0, 0), blue = Rgb(0, 0, 255);
  struct Case {
    size_t frame;
    int delayMs;
    std::vector<Probe> probes;
  } cases[] = {
      {0, 100, {{0, 0, white}, {6, 3, white}, {19, 9, white}}},
      {1, 200, {{0, 0, white}, {5, 2, red}, {8, 4, red}, {9, 4, white}}},
      // Each frame stays in place for the next one: the red block is still there.
      {2, 50, {{0, 0, blue}, {1, 1, blue}, {2, 2, white}, {6, 3, red}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame);
    const PictureFrame& f = image->frames[c.frame];
    EXPECT_EQ(f.delayMs, c.delayMs);
    for (const Probe& p : c.probes)
      EXPECT_EQ(f.pixels[static_cast<size_t>(p.y * 20 + p.x)], p.colour)
          << "(" << p.x << "," << p.y << ")";
  }
}

// Files of another encoder (ImageMagick, tests/data/pictures/make.sh) than the writers above.
TEST(DecodeImage, ReadsAnotherEncodersFiles) {
  const struct Case {
    const char* file;
    int width, height;
    std::vector<uint32_t> frameColours;  // pixel (0, 0) of each frame
    int delayMs;
  } cases[] = {
      {"other.bmp", 8, 6, {Rgb(10, 200, 30)}, 0},
      {"other.ico", 16, 16, {Rgb(200, 10, 30)}, 0},
      {"other-anim.gif", 12, 8, {Rgb(255, 0, 0), Rgb(0, 255, 0), Rgb(0, 0, 255)}, 70},
      {"other.pcx", 10, 6, {Rgb(255, 0, 0)}, 0},
      {"other-mono.pcx", 19, 5, {}, 0},  // two colours in an 8-bit file
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::optional<Image> image = DecodeImage(Fixture(c.file));
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->width, c.width);
    EXPECT_EQ(image->height, c.height);
    if (c.frameColours.empty()) continue;
    ASSERT_EQ(image->frames.size(), c.frameColours.size());
    for (size_t i = 0; i < c.frameColours.size(); ++i) {
      EXPECT_EQ(image->frames[i].pixels[0], c.frameColours[i]) << i;
      EXPECT_EQ(image->frames[i].delayMs, c.delayMs) << i;
    }
  }
}

TEST(DecodeImage, RefusesEverythingElse) {
  const std::string bmp = SolidBmp(8, 8);
  std::string hugeBmp = bmp;
  hugeBmp.replace(18, 8, std::string("\xA0\x86\x01\0\xA0\x86\x01\0", 8));  // 100000 x 100000
  std::string icoPastEnd = MakeIcon(16, 16, [](int, int) { return 0xFF000000u; });
  icoPastEnd.replace(18, 4, std::string("\0\x10\0\0", 4));  // picture at offset 4096
  const std::string pcx = MakePcx8(
      10, 6, [](int x, int) { return static_cast<uint8_t>(x); }, [](int i) { return i; });
  std::string pcxHuge = pcx;
  pcxHuge[8] = static_cast<char>(0x1F);  // xmax 20255
  pcxHuge[9] = static_cast<char>(0x4F);
  std::string pcxTwoPlanes = pcx;
  pcxTwoPlanes[65] = 2;
  std::string pcxShortLines = pcx;
  pcxShortLines[66] = 4;  // fewer bytes a line than the width needs
  const std::string jpeg = Fixture("rgb.jpg");
  const struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"five bytes of a GIF", "GIF89"},
      {"PNG", Fixture("picture.png")},
      {"TIFF", std::string("II*\0\x08\0\0\0", 8)},
      {"BMP header cut short", bmp.substr(0, 20)},
      {"BMP of 100000 x 100000", hugeBmp},
      {"BMP without its pixels", bmp.substr(0, 54)},
      {"GIF with its screen only", testing::SolidGif(4, 4).substr(0, 13)},
      {"GIF without image data", testing::SolidGif(4, 4).substr(0, 6 + 7 + 768)},
      {"ICO whose picture lies past the end", icoPastEnd},
      {"ICO with a directory only", icoPastEnd.substr(0, 22)},
      {"CUR with a directory only", std::string("\0\0\x02\0\x01\0", 6) + std::string(16, '\0')},
      {"PCX header only", pcx.substr(0, 128)},
      {"PCX cut in the middle of the pixels", pcx.substr(0, 140)},
      {"PCX over the size limit", pcxHuge},
      {"PCX with two planes", pcxTwoPlanes},
      {"PCX with lines too short", pcxShortLines},
      {"JPEG marker and noise", std::string("\xFF\xD8\xFF\xE0", 4) + std::string(200, 'x')},
      {"JPEG cut inside its header", jpeg.substr(0, 20)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(DecodeImage(c.bytes).has_value());
    EXPECT_EQ(DecodePicture(ByteBuffer(c.bytes)), 0);
  }
}

TEST(PictureHandles, MeasureUntilUnloaded) {
  const int32_t a = DecodePicture(ByteBuffer(SolidBmp(600, 90)));
  const int32_t b = DecodePicture(ByteBuffer(testing::SolidGif(300, 100)));
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  EXPECT_NE(a, b);
  EXPECT_EQ(PictureWidth(a), 600);
  EXPECT_EQ(PictureHeight(a), 90);
  EXPECT_EQ(PictureWidth(b), 300);
  EXPECT_EQ(PictureHeight(b), 100);
  UnloadPicture(a);
  EXPECT_EQ(PictureWidth(a), 0);
  EXPECT_EQ(PictureHeight(a), 0);
  EXPECT_EQ(PictureWidth(b), 300);  // the other picture stays
  UnloadPicture(b);
  UnloadPicture(b);  // twice is harmless
  for (int32_t none : {0, -1, 123456})
    EXPECT_EQ(PictureWidth(none) + PictureHeight(none), 0) << none;

  // The list is shared by every thread; each uses its own pictures.
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 1; t <= 4; ++t) {
    threads.emplace_back([t, &wrong] {
      const ByteBuffer bytes(SolidBmp(t, 2 * t));
      for (int i = 0; i < 50; ++i) {
        const int32_t h = DecodePicture(bytes);
        if (h == 0 || PictureWidth(h) != t || PictureHeight(h) != 2 * t) ++wrong;
        UnloadPicture(h);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace pellucor
