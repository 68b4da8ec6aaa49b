#include <cstdlib>

#include "base/picture.h"
#include "fuzz_input.h"

using namespace pellucor;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("QT_LOGGING_RULES", "*=false", 1);  // the readers' warnings about broken files
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::optional<Image> image = DecodeImage(bytes);
  // Only the signature table leads to a picture, and a picture is whole and within bounds.
  if (PictureFormatOf(bytes) == PictureFormat::None) Check(!image);
  if (image) {
    Check(image->width > 0 && image->height > 0 && image->width <= kMaxPictureSide &&
          image->height <= kMaxPictureSide && !image->frames.empty());
    for (const PictureFrame& f : image->frames)
      Check(f.pixels.size() == static_cast<size_t>(image->width) * image->height && f.delayMs >= 0);
  }
  const int32_t handle = DecodePicture(ByteBuffer(bytes.data(), bytes.size()));
  Check((handle != 0) == image.has_value());
  Check(PictureWidth(handle) == (image ? image->width : 0));
  Check(PictureHeight(handle) == (image ? image->height : 0));
  UnloadPicture(handle);
  Check(PictureWidth(handle) == 0);
  return 0;
}
