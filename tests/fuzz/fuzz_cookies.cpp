#include "fuzz_input.h"
#include "http/cookies.h"

using namespace pellucor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto f = Fields(data, size, 2);
  GbkText cookies(f[0]), fresh(f[1]);
  const GbkText merged = MergeCookies(cookies, fresh);
  Check(merged == cookies);
  // No item is there twice, and none is a deleted cookie.
  const TextArray items = SplitText(merged, "; ");
  TextArray seen;
  for (int32_t i = 1; i <= ElementCount(items); ++i) {
    Check(RightPart(items[i], 8) != GbkText("=deleted"));
    if (items[i].empty()) continue;
    Check(!HasItem(seen, items[i]));
    AppendElement(seen, items[i]);
  }
  // Blanks are gone from both texts (as characters: 0x20 can also be a trail byte).
  Check(RemoveBlanks(fresh) == fresh);
  return 0;
}
