// Whether a Windows test program runs under Wine, for the few cases where Wine's components
// differ from Windows' own (each such case says how).
#pragma once

#if defined(_WIN32)
#include <windows.h>
#endif

namespace pellucor::testing {

inline bool UnderWine() {
#if defined(_WIN32)
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace pellucor::testing
