// Cuts a fuzzer's input into fields at zero bytes, so one input can carry several texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace pellucor {

inline std::vector<std::string> Fields(const uint8_t* data, size_t size, size_t count) {
  std::vector<std::string> fields(count);
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  for (size_t i = 0; i < count; ++i) {
    const size_t zero = i + 1 < count ? rest.find('\0') : std::string_view::npos;
    fields[i] = std::string(rest.substr(0, zero));
    rest = zero == std::string_view::npos ? std::string_view() : rest.substr(zero + 1);
  }
  return fields;
}

// Stops the run with a finding when an invariant does not hold.
inline void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace pellucor
