// Finding the program's main window among the windows of every process on the desktop:
// test programs running side by side under one Wine prefix show windows of the same class.
#pragma once

#include <windows.h>

#include <string>

namespace pellucor::testing {

// The main window of process `pid`.
inline HWND MainWindowOf(DWORD pid) {
  struct Search {
    DWORD pid;
    HWND found;
  } search{pid, nullptr};
  EnumWindows(
      [](HWND h, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        DWORD owner = 0;
        GetWindowThreadProcessId(h, &owner);
        wchar_t cls[64] = {};
        GetClassNameW(h, cls, 64);
        if (owner != s->pid || std::wstring(cls) != L"PellucorMainWindow") return TRUE;
        s->found = h;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace pellucor::testing
