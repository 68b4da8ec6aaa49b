// Finding the program's main window among the windows of every process on the desktop:
// test programs running side by side under one Wine prefix show windows of the same class.
#pragma once

#include <windows.h>

#include <string>

namespace pellucor::testing {

struct WindowSearch {
  DWORD pid;
  HWND found;
};

// An EnumWindows callback (stdcall on 32-bit Windows, which a lambda cannot be).
inline BOOL CALLBACK MatchMainWindow(HWND h, LPARAM p) {
  auto* search = reinterpret_cast<WindowSearch*>(p);
  DWORD owner = 0;
  GetWindowThreadProcessId(h, &owner);
  wchar_t cls[64] = {};
  GetClassNameW(h, cls, 64);
  if (owner != search->pid || std::wstring(cls) != L"PellucorMainWindow") return TRUE;
  search->found = h;
  return FALSE;
}

// The main window of process `pid`.
inline HWND MainWindowOf(DWORD pid) {
  WindowSearch search{pid, nullptr};
  EnumWindows(MatchMainWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace pellucor::testing
