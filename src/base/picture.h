// Pictures: recognising a picture's format from its first bytes, decoding it into frames of
// pixels, and the handles through which the advert banner measures a picture.
//
// Recognised formats, by their first bytes (anything else, PNG included, is no picture):
//   FF D8                              JPEG
//   "BM"                               BMP
//   00 00 01 00 + non-zero count       ICO        (the count is the 16-bit value at byte 4)
//   00 00 02 00 + non-zero count       CUR
//   "GIF87a" / "GIF89a"                GIF        (every frame, with its delay)
//   0A, version <= 5, 01, 08           PCX, 8 bits per pixel
//   0A 03 01 01                        PCX, 1 bit per pixel
// A buffer shorter than six bytes is no picture either.
//
// Decoders: JPEG through libjpeg on Linux and GDI+ on Windows; BMP, ICO, CUR and GIF through
// the toolkit's readers (Qt on Linux, GDI+ on Windows); PCX through our own decoder on both.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "base/text.h"

namespace pellucor {

enum class PictureFormat { None, Jpeg, Bmp, Ico, Cur, Gif, Pcx8, Pcx1 };

PictureFormat PictureFormatOf(std::string_view bytes);

struct PictureFrame {
  // width x height pixels, rows top to bottom, each 0xAARRGGBB (not premultiplied).
  std::vector<uint32_t> pixels;
  int delayMs = 0;  // how long an animation shows this frame; 0 for a still picture
};

struct Image {
  int width = 0, height = 0;
  std::vector<PictureFrame> frames;  // at least one
};

// Pictures come from the web: anything larger than this is refused rather than decoded.
constexpr int kMaxPictureSide = 16384;
constexpr int64_t kMaxPicturePixels = 64 * 1024 * 1024;  // summed over all frames
constexpr int kMaxPictureFrames = 1000;  // a GIF animation is cut off after this many frames

// How long an animation shows a frame: delays under 20 ms count as 100 ms, as browsers do, since
// many GIFs say 0 and mean "the default".
inline int ShownDelayMs(const PictureFrame& frame) {
  return frame.delayMs < 20 ? 100 : frame.delayMs;
}

// Decodes a picture in a recognised format; nothing for any other signature, for corrupt or
// truncated data and for pictures over the limits.
std::optional<Image> DecodeImage(std::string_view bytes);

// Picture handles: DecodePicture gives a handle (0 when DecodeImage gives nothing) that stays
// valid until UnloadPicture; the list of decoded pictures is process-wide and safe to use from
// any thread.
int32_t DecodePicture(const ByteBuffer& buffer);
// The picture's size in pixels, which is the unit of every window of the program (their device
// contexts map one unit to one pixel). 0 for a handle that names no picture.
int32_t PictureWidth(int32_t handle);
int32_t PictureHeight(int32_t handle);
void UnloadPicture(int32_t handle);

}  // namespace pellucor
