#include "fuzz_input.h"
#include "http/url.h"

using namespace pellucor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto f = Fields(data, size, 4);
  const GbkText text(f[0]);
  const std::optional<int32_t> start =
      f[3].empty() ? std::nullopt : std::optional<int32_t>(static_cast<int8_t>(f[3][0]));
  for (bool caseSensitive : {false, true}) {
    const GbkText between = TextBetween(text, f[1], f[2], start, caseSensitive);
    // The result is always a piece of the text.
    Check(between.empty() || text.view().find(between.view()) != std::string_view::npos);
  }
  const GbkText value = HeaderValue(text);
  Check(value.empty() || text.view().find(value.view()) != std::string_view::npos);
  return 0;
}
