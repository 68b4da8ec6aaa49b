// A fresh directory for a test under the system's temporary directory, named by a prefix and
// a suffix no other run uses; its path as GBK text, the way the program's code takes paths.
#pragma once

#include <string>

#include "base/codepage.h"
#include "base/env.h"
#include "support/unique_name.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace pellucor::testing {

inline std::string NewTempDirectory(const std::string& prefix) {
#if defined(_WIN32)
  wchar_t buf[MAX_PATH];
  const std::wstring root(buf, GetTempPathW(MAX_PATH, buf));  // ends with "\"
  const std::string dir =
      Utf16ToGbk(std::u16string(root.begin(), root.end())) + prefix + UniqueSuffix();
#else
  const std::string dir = "/tmp/" + prefix + UniqueSuffix();
#endif
  CreateDirectories(dir);
  return dir;
}

}  // namespace pellucor::testing
