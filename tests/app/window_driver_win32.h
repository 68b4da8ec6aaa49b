// The Win32 window driver: the program's main window, found among the windows of every process
// on the desktop (test programs running side by side under one Wine prefix show windows of the
// same class), driven by the messages a click or typing sends its controls (BM_CLICK,
// WM_SETTEXT, the mouse's) and read by theirs (WM_GETTEXT). Messages reach the window of
// another process as well as the test's own.
#pragma once

#include <cstring>
#include <optional>
#include <string>

#include "base/utility_win32.h"
#include "window_scenarios.h"

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

class Win32Driver final : public WindowDriver {
 public:
  // The window of process `pid`.
  explicit Win32Driver(DWORD pid) : pid_(pid) {}

  HWND Top() {
    WindowSearch search{pid_, nullptr};
    EnumWindows(MatchMainWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
  }
  // Control ids: 1000 + the control's place in the form table.
  HWND Item(ControlId id) { return GetDlgItem(Top(), 1000 + id); }

  GbkText Text(ControlId id) override { return Narrow(TextOf(Item(id))); }
  void SetText(ControlId id, const GbkText& text) override {
    SetWindowTextW(Item(id), Wide(text).c_str());
  }
  void Type(ControlId id, const GbkText& text) override { SetText(id, text); }
  void Select(ControlId id, int from, int to) override {
    SendMessageW(Item(id), EM_SETSEL, from, to);
  }
  void Click(ControlId id) override {
    const ControlKind kind = FormControls()[id].kind;
    if (kind == ControlKind::Button || kind == ControlKind::RadioBox) {
      SendMessageW(Item(id), BM_CLICK, 0, 0);
    } else {
      SendMessageW(Item(id), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
      SendMessageW(Item(id), WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    }
  }
  void QueueClick(ControlId id) override { PostMessageW(Item(id), BM_CLICK, 0, 0); }
  void SetClipboard(const std::optional<GbkText>& text) override {
    ASSERT_TRUE(OpenClipboard(nullptr));
    EmptyClipboard();
    if (text) {
      const std::wstring clip = Wide(*text);
      HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, (clip.size() + 1) * sizeof(wchar_t));
      std::memcpy(GlobalLock(mem), clip.c_str(), (clip.size() + 1) * sizeof(wchar_t));
      GlobalUnlock(mem);
      SetClipboardData(CF_UNICODETEXT, mem);
    }
    CloseClipboard();
  }
  GbkText Title() override { return Narrow(TextOf(Top())); }
  uint32_t Pixel(ControlId id, int x, int y) override {
    const WindowDc dc(Item(id), GetDC(Item(id)));
    const COLORREF c = GetPixel(dc.get(), x, y);
    return GetRValue(c) << 16 | GetGValue(c) << 8 | GetBValue(c);
  }
  void AppendOnItsOwn(ControlId id, const GbkText& message) override {
    HWND log = Item(id);
    const int length = GetWindowTextLengthW(log);
    SendMessageW(log, EM_SETSEL, length, length);
    SendMessageW(log, EM_SCROLLCARET, 0, 0);
    SendMessageW(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(Wide(message).c_str()));
  }
  std::optional<GbkText> TextFromAnotherThread(ControlId id, int ms) override {
    HWND h = Item(id);
    DWORD_PTR length = 0, copied = 0;
    if (!SendMessageTimeoutW(h, WM_GETTEXTLENGTH, 0, 0, SMTO_BLOCK, ms, &length))
      return std::nullopt;
    std::wstring s(length + 1, L'\0');
    if (!SendMessageTimeoutW(h, WM_GETTEXT, s.size(), reinterpret_cast<LPARAM>(s.data()),
                             SMTO_BLOCK, ms, &copied))
      return std::nullopt;
    s.resize(copied);
    return Narrow(s);
  }
  // Posted, as the system queues a click: handled when the window's thread next takes its
  // queued messages.
  bool QueueUserClick(ControlId id) override {
    QueueClick(id);
    return true;
  }
  std::optional<bool> Hung() override { return IsHungAppWindow(Top()) != FALSE; }
  // The text, the selection, and the first line in view.
  std::string View(ControlId id) override {
    HWND log = Item(id);
    DWORD start = 0, end = 0;
    SendMessageW(log, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    return Utf8FromWide(TextOf(log)) + " selection " + std::to_string(start) + "-" +
           std::to_string(end) + " first line " +
           std::to_string(SendMessageW(log, EM_GETFIRSTVISIBLELINE, 0, 0));
  }

 private:
  // GetWindowText would read only the captions of another process's controls.
  static std::wstring TextOf(HWND h) {
    std::wstring s(static_cast<size_t>(SendMessageW(h, WM_GETTEXTLENGTH, 0, 0)) + 1, L'\0');
    s.resize(static_cast<size_t>(
        SendMessageW(h, WM_GETTEXT, s.size(), reinterpret_cast<LPARAM>(s.data()))));
    return s;
  }

  DWORD pid_;
};

}  // namespace pellucor::testing
