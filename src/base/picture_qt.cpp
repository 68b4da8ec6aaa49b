// BMP, ICO, CUR and GIF through Qt's image readers, JPEG through libjpeg (the Linux build).
// The readers work without an application object, on any thread.
#if defined(_WIN32)
#error "picture_qt.cpp is the Linux back end; Windows uses picture_gdiplus.cpp"
#endif

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>

#include "base/picture_decoders.h"

namespace pellucor {

namespace {

const char* ReaderFormat(PictureFormat format) {
  switch (format) {
    case PictureFormat::Bmp:
      return "bmp";
    case PictureFormat::Ico:
      return "ico";
    case PictureFormat::Cur:
      return "cur";
    case PictureFormat::Gif:
      return "gif";
    default:
      return nullptr;
  }
}

}  // namespace

std::optional<Image> DecodeSystemPicture(PictureFormat format, std::string_view bytes) {
  if (format == PictureFormat::Jpeg) return DecodeJpeg(bytes);
  const char* name = ReaderFormat(format);
  if (!name) return std::nullopt;
  const QByteArray data =
      QByteArray::fromRawData(bytes.data(), static_cast<qsizetype>(bytes.size()));
  QBuffer buffer;
  buffer.setData(data);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer, name);
  reader.setDecideFormatFromContent(false);
  reader.setAutoTransform(false);
  const QSize size = reader.size();
  if (size.isValid() && !PictureSizeAllowed(size.width(), size.height())) return std::nullopt;

  Image image;
  while (static_cast<int>(image.frames.size()) < kMaxPictureFrames) {
    QImage frame = reader.read();
    if (frame.isNull()) break;
    if (image.frames.empty()) {
      image.width = frame.width();
      image.height = frame.height();
    }
    if (frame.size() != QSize(image.width, image.height) ||
        !PictureSizeAllowed(image.width, image.height,
                            static_cast<int64_t>(image.frames.size()) + 1))
      break;
    frame.convertTo(QImage::Format_ARGB32);
    PictureFrame out;
    out.pixels.resize(static_cast<size_t>(image.width) * static_cast<size_t>(image.height));
    for (int y = 0; y < image.height; ++y) {
      const auto* line = reinterpret_cast<const uint32_t*>(frame.constScanLine(y));
      std::copy(line, line + image.width,
                out.pixels.begin() + static_cast<ptrdiff_t>(y) * image.width);
    }
    if (format == PictureFormat::Gif) out.delayMs = reader.nextImageDelay();
    image.frames.push_back(std::move(out));
    if (format != PictureFormat::Gif) break;  // one picture of an icon file, the first
  }
  if (image.frames.empty()) return std::nullopt;
  if (image.frames.size() == 1) image.frames[0].delayMs = 0;
  return image;
}

}  // namespace pellucor
