#include "convert/magnet.h"
#include "fuzz_input.h"

using namespace pellucor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const GbkText box(std::string(reinterpret_cast<const char*>(data), size));
  if (!CheckMagnetText(box)) return 0;
  const int32_t length = TextLength(TrimBoth(box));
  const GbkText first = TakeMagnetHash(Route::First, box);
  const GbkText second = TakeMagnetHash(Route::Second, box);
  if (length == 40 || length == 60) {
    // Taken as the length rule takes it: never longer than the box, the prefix cut out.
    Check(first.size() <= box.size() && second.size() <= length);
    return 0;
  }
  // A magnet URI: both routes send the same 40 upper-case hex digits.
  Check(first == second && first.size() == 40);
  for (char c : first.view()) Check((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
  return 0;
}
