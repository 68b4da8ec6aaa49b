// Names for test directories that no earlier run has left behind and no test running beside
// this one uses: the tick count, a counter, and a random number (process ids repeat under Wine,
// and test programs started side by side by ctest share their tick).
#pragma once

#include <atomic>
#include <random>
#include <string>

#include "base/env.h"

namespace pellucor::testing {

inline std::string UniqueSuffix() {
  static std::atomic<int> n{0};
  static const unsigned salt = std::random_device{}();
  return std::to_string(TickCount()) + "-" + std::to_string(salt) + "-" + std::to_string(n++);
}

inline std::wstring UniqueSuffixW() {
  const std::string s = UniqueSuffix();
  return std::wstring(s.begin(), s.end());
}

}  // namespace pellucor::testing
