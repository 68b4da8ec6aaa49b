// Names for test directories that no earlier run has left behind (process ids repeat under
// Wine, so they alone are not enough).
#pragma once

#include <string>

#include "base/env.h"

namespace pellucor::testing {

inline std::string UniqueSuffix() {
  static int n = 0;
  return std::to_string(TickCount()) + "-" + std::to_string(n++);
}

inline std::wstring UniqueSuffixW() {
  const std::string s = UniqueSuffix();
  return std::wstring(s.begin(), s.end());
}

}  // namespace pellucor::testing
