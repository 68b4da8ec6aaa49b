// JPEG, BMP, ICO, CUR and GIF through GDI+ (the Windows build), every GIF frame with its delay.
#if !defined(_WIN32)
#error "picture_gdiplus.cpp is the Windows back end; other builds use picture_qt.cpp"
#endif

#include "base/utility_win32.h"
// after windows.h (from utility_win32.h)
#include <shlwapi.h>
// GDI+ needs min and max from windows.h's macros, and its headers need IStream.
#include <algorithm>
namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus
#include <gdiplus.h>

#include <memory>
#include <mutex>
#include <string>

#include "base/picture_decoders.h"

namespace pellucor {

namespace {

namespace gp = Gdiplus::DllExports;

// {6aedbd6d-3fb5-418a-83a6-7f45229dc872}: the frames of an animation.
constexpr GUID kFrameDimensionTime = {
    0x6aedbd6d, 0x3fb5, 0x418a, {0x83, 0xa6, 0x7f, 0x45, 0x22, 0x9d, 0xc8, 0x72}};
constexpr PROPID kFrameDelay = 0x5100;  // one LONG a frame, in hundredths of a second

// GDI+ is started once and stays for the life of the process: pictures are decoded on any
// thread, and shutting it down while another thread decodes would pull it from under them.
bool StartGdiplus() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    started = Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok;
  });
  return started;
}

struct BitmapTraits {
  using Handle = Gdiplus::GpBitmap*;
  static bool Valid(Handle b) { return b != nullptr; }
  static bool Close(Handle b) { return gp::GdipDisposeImage(b) == Gdiplus::Ok; }
};
using ScopedBitmap = Scoped<BitmapTraits>;

// Frame delays in milliseconds, one a frame; empty when the picture carries none.
std::vector<int> FrameDelays(Gdiplus::GpBitmap* bitmap) {
  UINT size = 0;
  if (gp::GdipGetPropertyItemSize(bitmap, kFrameDelay, &size) != Gdiplus::Ok ||
      size < sizeof(Gdiplus::PropertyItem))
    return {};
  std::vector<unsigned char> storage(size);
  auto* item = reinterpret_cast<Gdiplus::PropertyItem*>(storage.data());
  if (gp::GdipGetPropertyItem(bitmap, kFrameDelay, size, item) != Gdiplus::Ok) return {};
  const auto* values = static_cast<const LONG*>(item->value);
  const size_t count = std::min<size_t>(item->length / sizeof(LONG),
                                        (size - sizeof(Gdiplus::PropertyItem)) / sizeof(LONG));
  std::vector<int> delays;
  for (size_t i = 0; i < count; ++i) delays.push_back(static_cast<int>(values[i]) * 10);
  return delays;
}

bool CopyFrame(Gdiplus::GpBitmap* bitmap, int width, int height, PictureFrame& frame) {
  Gdiplus::GpRect rect(0, 0, width, height);
  Gdiplus::BitmapData data{};
  if (gp::GdipBitmapLockBits(bitmap, &rect, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB,
                             &data) != Gdiplus::Ok)
    return false;
  frame.pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
  for (int y = 0; y < height; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(
        static_cast<const unsigned char*>(data.Scan0) + static_cast<ptrdiff_t>(y) * data.Stride);
    std::copy(row, row + width, frame.pixels.begin() + static_cast<ptrdiff_t>(y) * width);
  }
  gp::GdipBitmapUnlockBits(bitmap, &data);
  return true;
}

}  // namespace

std::optional<Image> DecodeSystemPicture(PictureFormat format, std::string_view bytes) {
  if (!StartGdiplus() || bytes.size() > 0x7FFFFFFF) return std::nullopt;
  std::string data(bytes);
  // A cursor file is an icon file whose directory holds hot spots: GDI+ reads it as an icon.
  if (format == PictureFormat::Cur) data[2] = 1;
  const ComPtr<IStream> stream(SHCreateMemStream(reinterpret_cast<const BYTE*>(data.data()),
                                                 static_cast<UINT>(data.size())));
  if (!stream) return std::nullopt;
  Gdiplus::GpBitmap* raw = nullptr;
  const Gdiplus::Status status = gp::GdipCreateBitmapFromStream(stream.get(), &raw);
  const ScopedBitmap bitmap(raw);
  if (status != Gdiplus::Ok || !bitmap) return std::nullopt;

  UINT width = 0, height = 0;
  if (gp::GdipGetImageWidth(bitmap.get(), &width) != Gdiplus::Ok ||
      gp::GdipGetImageHeight(bitmap.get(), &height) != Gdiplus::Ok ||
      !PictureSizeAllowed(width, height))
    return std::nullopt;
  UINT frames = 1;
  if (format != PictureFormat::Gif ||
      gp::GdipImageGetFrameCount(bitmap.get(), &kFrameDimensionTime, &frames) != Gdiplus::Ok ||
      frames == 0)
    frames = 1;
  frames = std::min<UINT>(frames, kMaxPictureFrames);
  while (frames > 1 && !PictureSizeAllowed(width, height, frames)) --frames;

  Image image;
  image.width = static_cast<int>(width);
  image.height = static_cast<int>(height);
  const std::vector<int> delays = frames > 1 ? FrameDelays(bitmap.get()) : std::vector<int>();
  for (UINT i = 0; i < frames; ++i) {
    if (frames > 1 &&
        gp::GdipImageSelectActiveFrame(bitmap.get(), &kFrameDimensionTime, i) != Gdiplus::Ok)
      break;
    PictureFrame frame;
    if (!CopyFrame(bitmap.get(), image.width, image.height, frame)) break;
    if (frames > 1) frame.delayMs = i < delays.size() ? delays[i] : 0;
    image.frames.push_back(std::move(frame));
  }
  if (image.frames.empty()) return std::nullopt;
  return image;
}

}  // namespace pellucor
