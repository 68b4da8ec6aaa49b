#include "base/codepage.h"
#include "fuzz_input.h"
#include "http/decode.h"

using namespace pellucor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::u16string units = Utf8ToUtf16(std::string_view(bytes));
  Check(units.size() <= bytes.size());  // at most one unit per byte
  // The decoder never leaves a lone surrogate, so UTF-8 written back decodes to the same units.
  Check(Utf8ToUtf16(std::string_view(Utf16ToUtf8(units))) == units);
  const ByteBuffer gbk = Utf8ToGbk(ByteBuffer(bytes));
  Check(static_cast<size_t>(gbk.size()) <= 2 * units.size());
  Check(Utf8ToUtf16(ByteBuffer(bytes)).size() == static_cast<int32_t>(2 * units.size()));
  Utf8TextToGbk(GbkText(bytes));
  // Any bytes read as GBK convert back without growing.
  Check(Utf16ToGbk(GbkToUtf16(bytes)).size() <= bytes.size());
  return 0;
}
