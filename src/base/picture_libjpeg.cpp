// JPEG through libjpeg (the Linux build; Windows decodes JPEG with GDI+).
#if defined(_WIN32)
#error "picture_libjpeg.cpp is the Linux JPEG decoder; Windows uses picture_gdiplus.cpp"
#endif

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

#include "base/picture_decoders.h"

namespace pellucor {

namespace {

// libjpeg reports a fatal error through error_exit, which must not return: it jumps back to
// DecodeJpeg, whose objects with destructors all live outside the jump's reach.
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

void OnFatalError(j_common_ptr info) {
  std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

void OnMessage(j_common_ptr, int) {}  // warnings (corrupt data that can still be shown) are quiet

// Fills `image` or leaves it as it was; false on any failure. Kept apart from the caller so
// that nothing between setjmp and longjmp has a destructor.
bool DecodeInto(std::string_view bytes, Image& image, std::vector<uint8_t>& row) {
  jpeg_decompress_struct info;
  ErrorManager errors;
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = OnFatalError;
  errors.base.emit_message = OnMessage;
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()),
               static_cast<unsigned long>(bytes.size()));
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK ||
      !PictureSizeAllowed(info.image_width, info.image_height)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  // Adobe's CMYK/YCCK JPEGs can only come out as CMYK; everything else as RGB.
  const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
  info.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
  jpeg_start_decompress(&info);
  const size_t width = info.output_width;
  const unsigned components = info.output_components;
  image.width = static_cast<int>(info.output_width);
  image.height = static_cast<int>(info.output_height);
  image.frames.resize(1);
  std::vector<uint32_t>& pixels = image.frames[0].pixels;
  pixels.resize(width * info.output_height);
  row.resize(width * components);
  while (info.output_scanline < info.output_height) {
    JSAMPROW rows[1] = {row.data()};
    const size_t y = info.output_scanline;
    jpeg_read_scanlines(&info, rows, 1);
    uint32_t* out = &pixels[y * width];
    for (size_t x = 0; x < width; ++x) {
      const uint8_t* p = &row[x * components];
      unsigned r, g, b;
      if (cmyk) {  // Adobe writes the inks inverted
        r = p[0] * p[3] / 255;
        g = p[1] * p[3] / 255;
        b = p[2] * p[3] / 255;
      } else {
        r = p[0];
        g = p[1];
        b = p[2];
      }
      out[x] = 0xFF000000u | r << 16 | g << 8 | b;
    }
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

}  // namespace

std::optional<Image> DecodeJpeg(std::string_view bytes) {
  Image image;
  std::vector<uint8_t> row;
  if (!DecodeInto(bytes, image, row)) return std::nullopt;
  return image;
}

}  // namespace pellucor
