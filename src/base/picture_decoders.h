// The decoders behind DecodeImage. One back end per platform decodes the formats the system
// reads (picture_gdiplus.cpp on Windows; picture_qt.cpp with picture_libjpeg.cpp elsewhere);
// PCX is ours on both.
#pragma once

#include <optional>
#include <string_view>

#include "base/picture.h"

namespace pellucor {

// JPEG, BMP, ICO, CUR or GIF, already recognised by its signature.
std::optional<Image> DecodeSystemPicture(PictureFormat format, std::string_view bytes);

// JPEG through libjpeg (the back end without a system JPEG decoder of its own).
std::optional<Image> DecodeJpeg(std::string_view bytes);

// PCX with 8 bits per pixel (1, 3 or 4 planes) or 1 bit per pixel (1 or 4 planes).
std::optional<Image> DecodePcx(std::string_view bytes);

// Whether a picture of this size may be decoded (see kMaxPictureSide, kMaxPicturePixels).
bool PictureSizeAllowed(int64_t width, int64_t height, int64_t frames = 1);

}  // namespace pellucor
