#include "base/picture.h"

#include <map>
#include <memory>
#include <mutex>

#include "base/picture_decoders.h"

namespace pellucor {

namespace {

unsigned Byte(std::string_view b, size_t i) {
  return static_cast<unsigned char>(b[i]);
}

}  // namespace

PictureFormat PictureFormatOf(std::string_view b) {
  if (b.size() < 6) return PictureFormat::None;
  if (Byte(b, 0) == 0xFF && Byte(b, 1) == 0xD8) return PictureFormat::Jpeg;
  if (b[0] == 'B' && b[1] == 'M') return PictureFormat::Bmp;
  if (Byte(b, 0) == 0 && Byte(b, 1) == 0 && Byte(b, 3) == 0 && (Byte(b, 4) | Byte(b, 5)) != 0) {
    if (Byte(b, 2) == 1) return PictureFormat::Ico;
    if (Byte(b, 2) == 2) return PictureFormat::Cur;
  }
  if (b.substr(0, 6) == "GIF87a" || b.substr(0, 6) == "GIF89a") return PictureFormat::Gif;
  if (Byte(b, 0) == 0x0A) {
    if (Byte(b, 1) == 3 && Byte(b, 2) == 1 && Byte(b, 3) == 1) return PictureFormat::Pcx1;
    if (Byte(b, 1) <= 5 && Byte(b, 2) == 1 && Byte(b, 3) == 8) return PictureFormat::Pcx8;
  }
  return PictureFormat::None;
}

bool PictureSizeAllowed(int64_t width, int64_t height, int64_t frames) {
  return width > 0 && height > 0 && frames > 0 && width <= kMaxPictureSide &&
         height <= kMaxPictureSide && width * height * frames <= kMaxPicturePixels;
}

std::optional<Image> DecodeImage(std::string_view bytes) {
  std::optional<Image> image;
  switch (const PictureFormat format = PictureFormatOf(bytes)) {
    case PictureFormat::None:
      return std::nullopt;
    case PictureFormat::Pcx8:
    case PictureFormat::Pcx1:
      image = DecodePcx(bytes);
      break;
    default:
      image = DecodeSystemPicture(format, bytes);
      break;
  }
  // Every decoder promises whole frames of the announced size; a picture that breaks that is
  // not handed on.
  if (!image || image->frames.empty() ||
      !PictureSizeAllowed(image->width, image->height, static_cast<int64_t>(image->frames.size())))
    return std::nullopt;
  const size_t pixels = static_cast<size_t>(image->width) * static_cast<size_t>(image->height);
  for (const PictureFrame& f : image->frames)
    if (f.pixels.size() != pixels) return std::nullopt;
  return image;
}

namespace {

struct PictureList {
  std::mutex mutex;
  std::map<int32_t, std::shared_ptr<const Image>> pictures;
  int32_t next = 1;
};

// Never destroyed: a detached thread may still decode while the process exits.
PictureList& Pictures() {
  static PictureList& list = *new PictureList;
  return list;
}

std::shared_ptr<const Image> FindPicture(int32_t handle) {
  PictureList& list = Pictures();
  std::lock_guard lock(list.mutex);
  const auto it = list.pictures.find(handle);
  return it == list.pictures.end() ? nullptr : it->second;
}

}  // namespace

int32_t DecodePicture(const ByteBuffer& buffer) {
  std::optional<Image> image = DecodeImage(buffer.view());
  if (!image) return 0;
  auto shared = std::make_shared<const Image>(std::move(*image));
  PictureList& list = Pictures();
  std::lock_guard lock(list.mutex);
  // Handles count up from 1; after wrapping round they skip 0, negatives and those in use.
  while (list.next <= 0 || list.pictures.count(list.next))
    list.next = list.next <= 0 ? 1 : list.next + 1;
  const int32_t handle = list.next++;
  list.pictures.emplace(handle, std::move(shared));
  return handle;
}

int32_t PictureWidth(int32_t handle) {
  const auto picture = FindPicture(handle);
  return picture ? picture->width : 0;
}

int32_t PictureHeight(int32_t handle) {
  const auto picture = FindPicture(handle);
  return picture ? picture->height : 0;
}

void UnloadPicture(int32_t handle) {
  PictureList& list = Pictures();
  std::lock_guard lock(list.mutex);
  list.pictures.erase(handle);
}

}  // namespace pellucor
