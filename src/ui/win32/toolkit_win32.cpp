// The window toolkit on raw Win32 (the Windows build). Text crosses as UTF-16 (the *W
// functions), converted from and to GBK explicitly, so captions are right on any system locale.
#if !defined(_WIN32)
#error "toolkit_win32.cpp is the Windows back end; other builds use ui/qt/"
#endif

#include "base/utility_win32.h"
// after windows.h (from utility_win32.h)
#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include <memory>
#include <string>

#include "base/env.h"
#include "base/picture.h"
#include "base/runtime_fault.h"
#include "ui/toolkit.h"

namespace pellucor {
namespace {

constexpr COLORREF kSkinFrame = RGB(123, 158, 189);
constexpr COLORREF kLinkColour = RGB(88, 48, 224);
constexpr COLORREF kLinkHoverColour = RGB(255, 0, 0);
constexpr UINT kRunTaskMessage = WM_APP + 1;
constexpr int kFirstControlId = 1000;
constexpr UINT_PTR kAnimationTimer = 1;

std::wstring WindowTextOf(HWND h) {
  std::wstring s(static_cast<size_t>(GetWindowTextLengthW(h)) + 1, L'\0');
  s.resize(static_cast<size_t>(GetWindowTextW(h, s.data(), static_cast<int>(s.size()))));
  return s;
}

struct Control {
  ControlSpec layout;
  HWND hwnd = nullptr;
  GdiObject<HFONT> font;
  std::function<void()> onClick;
  bool hover = false;
  WNDPROC original = nullptr;
  std::shared_ptr<const Image> picture;  // a picture box's picture
  size_t frame = 0;                      // the frame on show
};

class Win32Toolkit final : public Toolkit {
 public:
  Win32Toolkit() {
    INITCOMMONCONTROLSEX icc{};
    icc.dwSize = sizeof icc;
    icc.dwICC = ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&icc);
  }
  ~Win32Toolkit() override { DestroyMainWindow(); }

  bool CreateMainWindow(const GbkText& caption, int clientWidth, int clientHeight,
                        const std::vector<ControlSpec>& specs) override {
    static bool registered = false;
    HINSTANCE instance = GetModuleHandleW(nullptr);
    if (!registered) {
      WNDCLASSEXW wc{};
      wc.cbSize = sizeof wc;
      wc.lpfnWndProc = WindowProc;
      wc.hInstance = instance;
      wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
      wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
      wc.lpszClassName = L"PellucorMainWindow";
      if (!RegisterClassExW(&wc)) return false;
      registered = true;
    }
    DestroyMainWindow();
    controls_.clear();
    // Fixed border, title bar, system menu and close button; no minimise or maximise.
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
    RECT r{0, 0, clientWidth, clientHeight};
    AdjustWindowRectEx(&r, style, FALSE, 0);
    const int width = r.right - r.left, height = r.bottom - r.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    window_ = CreateWindowExW(0, L"PellucorMainWindow", Wide(caption).c_str(), style, x, y, width,
                              height, nullptr, nullptr, instance, this);
    if (!window_) return false;

    controls_.reserve(specs.size());
    bool firstRadio = true;
    for (size_t i = 0; i < specs.size(); ++i) {
      const ControlSpec& s = specs[i];
      Control c;
      c.layout = s;
      const wchar_t* cls = L"STATIC";
      DWORD st = WS_CHILD | (s.hidden ? 0 : WS_VISIBLE);
      DWORD ex = 0;
      switch (s.kind) {
        case ControlKind::Label:
          st |= SS_LEFT | SS_NOTIFY;
          break;
        case ControlKind::SuperBtn:
          cls = L"BUTTON";
          st |= BS_OWNERDRAW;
          break;
        case ControlKind::EditBox:
          cls = L"EDIT";
          ex = WS_EX_CLIENTEDGE;
          st |=
              WS_TABSTOP | (s.multiline ? ES_MULTILINE | ES_AUTOVSCROLL | WS_VSCROLL | ES_WANTRETURN
                                        : ES_AUTOHSCROLL);
          break;
        case ControlKind::RadioBox:
          cls = L"BUTTON";
          st |= BS_AUTORADIOBUTTON | WS_TABSTOP | (firstRadio ? WS_GROUP : 0);
          firstRadio = false;
          break;
        case ControlKind::Button:
          cls = L"BUTTON";
          st |= BS_PUSHBUTTON | WS_TABSTOP;
          break;
        case ControlKind::DrawPanel:
          break;
        case ControlKind::PicBox:
          st |= SS_NOTIFY | WS_BORDER;  // painted here: see PaintPicture
          break;
      }
      c.hwnd = CreateWindowExW(
          ex, cls, Wide(s.caption).c_str(), st, s.left, s.top, s.width, s.height, window_,
          reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstControlId + i)), instance, nullptr);
      if (!c.hwnd) return false;
      if (s.kind == ControlKind::EditBox) SendMessageW(c.hwnd, EM_SETLIMITTEXT, 0, 0);  // no limit
      if (s.kind == ControlKind::RadioBox && s.checked)
        SendMessageW(c.hwnd, BM_SETCHECK, BST_CHECKED, 0);
      c.font.Reset(CreateFontW(-s.fontPixels, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                               GB2312_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                               DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"微软雅黑"));
      SendMessageW(c.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(c.font.get()), TRUE);
      controls_.push_back(std::move(c));
    }
    // Subclass after the vector stops moving: the procedures find their control by pointer.
    for (Control& c : controls_) {
      SetWindowLongPtrW(c.hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&c));
      c.original = reinterpret_cast<WNDPROC>(
          SetWindowLongPtrW(c.hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ControlProc)));
    }
    return true;
  }

  void Show() override {
    ShowWindow(window_, SW_SHOWNORMAL);
    UpdateWindow(window_);
  }

  int RunMessageLoop() override {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      if (IsDialogMessageW(window_, &msg)) continue;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    return 0;
  }

  GbkText Text(ControlId id) override { return Narrow(WindowTextOf(controls_[id].hwnd)); }
  void SetText(ControlId id, const GbkText& text) override {
    SetWindowTextW(controls_[id].hwnd, Wide(text).c_str());
  }
  bool IsChecked(ControlId id) override {
    return SendMessageW(controls_[id].hwnd, BM_GETCHECK, 0, 0) == BST_CHECKED;
  }
  void SetVisible(ControlId id, bool visible) override {
    ShowWindow(controls_[id].hwnd, visible ? SW_SHOWNA : SW_HIDE);
  }
  bool IsVisible(ControlId id) override {
    return (GetWindowLongW(controls_[id].hwnd, GWL_STYLE) & WS_VISIBLE) != 0;
  }
  void SetSize(ControlId id, int width, int height) override {
    SetWindowPos(controls_[id].hwnd, nullptr, 0, 0, width, height,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  Rect Geometry(ControlId id) override {
    RECT r;
    GetWindowRect(controls_[id].hwnd, &r);
    MapWindowPoints(HWND_DESKTOP, window_, reinterpret_cast<POINT*>(&r), 2);
    return {r.left, r.top, r.right - r.left, r.bottom - r.top};
  }
  int ClientHeight() override {
    RECT r;
    GetClientRect(window_, &r);
    return r.bottom;
  }
  void SetClientHeight(int height) override {
    RECT client, outer;
    GetClientRect(window_, &client);
    GetWindowRect(window_, &outer);
    SetWindowPos(window_, nullptr, 0, 0, outer.right - outer.left,
                 (outer.bottom - outer.top) + (height - client.bottom), SWP_NOMOVE | SWP_NOZORDER);
  }

  void SetPicture(ControlId id, const ByteBuffer& bytes) override {
    Control& c = controls_[id];
    KillTimer(c.hwnd, kAnimationTimer);
    std::optional<Image> image = DecodeImage(bytes.view());
    c.picture = image ? std::make_shared<const Image>(std::move(*image)) : nullptr;
    c.frame = 0;
    if (c.picture && c.picture->frames.size() > 1)
      SetTimer(c.hwnd, kAnimationTimer, static_cast<UINT>(ShownDelayMs(c.picture->frames[0])),
               nullptr);
    InvalidateRect(c.hwnd, nullptr, FALSE);
  }

  void AppendText(ControlId id, const std::vector<GbkText>& texts) override {
    // The edit control keeps the units as they come, so the texts joined after conversion are
    // what replacing the selection by each in turn would leave.
    std::wstring joined;
    for (const GbkText& text : texts) joined += Wide(text);
    HWND h = controls_[id].hwnd;
    const int length = GetWindowTextLengthW(h);
    SendMessageW(h, EM_SETSEL, length, length);
    SendMessageW(h, EM_SCROLLCARET, 0, 0);
    SendMessageW(h, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(joined.c_str()));  // no undo
  }

  void OnClick(ControlId id, std::function<void()> handler) override {
    controls_[id].onClick = std::move(handler);
  }

  void OpenUrl(const GbkText& url) override {
    ShellExecuteW(nullptr, L"open", Wide(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  }

  GbkText ClipboardText() override {
    // The Unicode form of the clipboard text, so that Chinese text survives on any locale.
    if (!OpenClipboard(nullptr)) return {};
    GbkText text;
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
      if (const auto* p = static_cast<const wchar_t*>(GlobalLock(data))) {
        text = Narrow(p);
        GlobalUnlock(data);
      }
    }
    CloseClipboard();
    return text;
  }

  int ShowMessageBox(const GbkText& text, int style, const GbkText& caption) override {
    UINT s = static_cast<UINT>(style);
    if (!(s & MB_SYSTEMMODAL)) s |= MB_TASKMODAL;
    const int pressed = MessageBoxW(nullptr, Wide(text).c_str(), Wide(caption).c_str(), s);
    switch (pressed) {
      case IDCANCEL:
        return 1;
      case IDABORT:
        return 2;
      case IDRETRY:
        return 3;
      case IDIGNORE:
        return 4;
      case IDYES:
        return 5;
      case IDNO:
        return 6;
      default:
        return 0;
    }
  }

  void ProcessPendingEvents() override {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(msg.wParam));  // left for the message loop
        return;
      }
      if (IsDialogMessageW(window_, &msg)) continue;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }

  void RunWhilePainting(const std::function<void()>& work) override {
    ScopedHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE event = done.get();
    if (!event || !StartThread([&work, event](intptr_t) {
          work();
          SetEvent(event);
        })) {
      work();
      return;
    }
    for (;;) {
      // Woken for paint, timer and sent messages only: clicks and keys stay in the queue.
      const DWORD woke = MsgWaitForMultipleObjects(1, &event, FALSE, INFINITE,
                                                   QS_PAINT | QS_TIMER | QS_SENDMESSAGE);
      if (woke == WAIT_OBJECT_0) return;
      if (woke == WAIT_FAILED) {
        WaitForSingleObject(event, INFINITE);
        return;
      }
      // Any PeekMessage call delivers the messages other threads sent (the system's "are you
      // responding?" among them); only paint and timer messages are taken off the queue.
      // Bounded: a window that never validates its region would otherwise keep this loop busy.
      MSG msg;
      for (int i = 0; i < 64 && PeekMessageW(&msg, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE); ++i)
        DispatchMessageW(&msg);
      for (int i = 0; i < 64 && PeekMessageW(&msg, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE); ++i)
        DispatchMessageW(&msg);
    }
  }

  void RunOnUiThread(std::function<void()> task) override {
    PostMessageW(window_, kRunTaskMessage, 0,
                 reinterpret_cast<LPARAM>(new std::function<void()>(std::move(task))));
  }

 private:
  // Destroyed by the program, not closed by the user: no quit message for the loop.
  void DestroyMainWindow() {
    HWND w = window_;
    window_ = nullptr;
    if (w) DestroyWindow(w);
  }

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<Win32Toolkit*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    switch (msg) {
      case WM_NCCREATE:
        SetWindowLongPtrW(
            hwnd, GWLP_USERDATA,
            reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams));
        break;
      case WM_COMMAND:
        if (self && HIWORD(wp) == BN_CLICKED) {
          const int index = LOWORD(wp) - kFirstControlId;
          if (index >= 0 && index < static_cast<int>(self->controls_.size()) &&
              (self->controls_[index].layout.kind == ControlKind::Button ||
               self->controls_[index].layout.kind == ControlKind::SuperBtn) &&
              self->controls_[index].onClick) {
            auto handler = self->controls_[index].onClick;  // a copy: the handler may run long
            handler();
          }
          return 0;
        }
        break;
      case WM_DRAWITEM:
        if (self) {
          self->DrawLink(reinterpret_cast<DRAWITEMSTRUCT*>(lp));
          return TRUE;
        }
        break;
      case WM_CTLCOLOREDIT:
      case WM_CTLCOLORSTATIC:
        break;
      case kRunTaskMessage: {
        std::unique_ptr<std::function<void()>> task(reinterpret_cast<std::function<void()>*>(lp));
        (*task)();
        return 0;
      }
      case WM_DESTROY:
        if (self && self->window_ == hwnd) {
          self->window_ = nullptr;
          PostQuitMessage(0);
        }
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
  }

  // The controls' own procedure in front of the system one: the hand pointer, the link
  // button's hover colour and the flat skin frame.
  static LRESULT CALLBACK ControlProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* c = reinterpret_cast<Control*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    switch (msg) {
      case WM_SETCURSOR:
        if (c->layout.hand) {
          SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32649)));  // IDC_HAND
          return TRUE;
        }
        break;
      case WM_MOUSEMOVE:
        if (c->layout.kind == ControlKind::SuperBtn && !c->hover) {
          c->hover = true;
          TRACKMOUSEEVENT t{};
          t.cbSize = sizeof t;
          t.dwFlags = TME_LEAVE;
          t.hwndTrack = hwnd;
          TrackMouseEvent(&t);
          InvalidateRect(hwnd, nullptr, TRUE);
        }
        break;
      case WM_LBUTTONUP:
        // The picture box reacts to the release of the left button over it.
        if (c->layout.kind == ControlKind::PicBox && c->onClick) {
          auto handler = c->onClick;
          handler();
          return 0;
        }
        break;
      case WM_MOUSELEAVE:
        c->hover = false;
        InvalidateRect(hwnd, nullptr, TRUE);
        break;
      case WM_TIMER:
        if (wp == kAnimationTimer && c->picture && c->picture->frames.size() > 1) {
          c->frame = (c->frame + 1) % c->picture->frames.size();
          SetTimer(hwnd, kAnimationTimer,
                   static_cast<UINT>(ShownDelayMs(c->picture->frames[c->frame])), nullptr);
          InvalidateRect(hwnd, nullptr, FALSE);
          return 0;
        }
        break;
      case WM_ERASEBKGND:
        if (c->layout.kind == ControlKind::PicBox) return 1;  // WM_PAINT covers every pixel
        break;
      case WM_NCPAINT:
      case WM_PAINT: {
        if (msg == WM_PAINT && c->layout.kind == ControlKind::PicBox) {
          PaintPicture(hwnd, *c);
          return 0;
        }
        const LRESULT r = CallWindowProcW(c->original, hwnd, msg, wp, lp);
        if (c->layout.kind == ControlKind::Button || c->layout.kind == ControlKind::EditBox)
          DrawSkinFrame(hwnd);
        return r;
      }
    }
    return CallWindowProcW(c->original, hwnd, msg, wp, lp);
  }

  // The picture box: its frame stretched over the whole client area, drawn over the window's
  // background colour where the picture is transparent.
  static void PaintPicture(HWND hwnd, const Control& c) {
    const PaintDc paint(hwnd);
    const HDC dc = paint.get();
    RECT r;
    GetClientRect(hwnd, &r);
    if (!c.picture) {
      FillRect(dc, &r, GetSysColorBrush(COLOR_BTNFACE));
      return;
    }
    const Image& image = *c.picture;
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    const unsigned faceRgb[3] = {GetRValue(face), GetGValue(face), GetBValue(face)};
    const std::vector<uint32_t>& pixels = image.frames[c.frame].pixels;
    std::vector<uint32_t> composed(pixels.size());
    for (size_t i = 0; i < pixels.size(); ++i) {
      const uint32_t p = pixels[i];
      const unsigned a = p >> 24;
      uint32_t out = 0;
      for (int ch = 0; ch < 3; ++ch) {
        const unsigned v = p >> (16 - 8 * ch) & 0xFF;
        out |= ((v * a + faceRgb[ch] * (255 - a) + 127) / 255) << (16 - 8 * ch);
      }
      composed[i] = out;
    }
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = image.width;
    bi.bmiHeader.biHeight = -image.height;  // rows top to bottom
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    SetStretchBltMode(dc, HALFTONE);
    SetBrushOrgEx(dc, 0, 0, nullptr);
    StretchDIBits(dc, 0, 0, r.right, r.bottom, 0, 0, image.width, image.height, composed.data(),
                  &bi, DIB_RGB_COLORS, SRCCOPY);
  }

  // ControlSkin scheme 1: a flat frame in RGB(123,158,189) over the control's own border.
  static void DrawSkinFrame(HWND hwnd) {
    const WindowDc dc(hwnd, GetWindowDC(hwnd));
    RECT r;
    GetWindowRect(hwnd, &r);
    OffsetRect(&r, -r.left, -r.top);
    const GdiObject<HBRUSH> brush(CreateSolidBrush(kSkinFrame));
    FrameRect(dc.get(), &r, brush.get());
  }

  void DrawLink(const DRAWITEMSTRUCT* d) {
    Control* c = nullptr;
    for (Control& x : controls_)
      if (x.hwnd == d->hwndItem) c = &x;
    if (!c) return;
    FillRect(d->hDC, &d->rcItem, GetSysColorBrush(COLOR_BTNFACE));
    LOGFONTW lf;
    GetObjectW(c->font.get(), sizeof lf, &lf);
    lf.lfUnderline = TRUE;
    const GdiObject<HFONT> underlined(CreateFontIndirectW(&lf));
    const SelectedObject selected(d->hDC, underlined.get());
    SetBkMode(d->hDC, TRANSPARENT);
    SetTextColor(d->hDC, c->hover ? kLinkHoverColour : kLinkColour);
    std::wstring text = WindowTextOf(d->hwndItem);
    RECT r = d->rcItem;
    DrawTextW(d->hDC, text.c_str(), static_cast<int>(text.size()), &r,
              DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  }

  // Drag and drop and the clipboard want an OLE apartment on the window's thread.
  const ComApartment ole_{ComApartment::Kind::Ole};
  HWND window_ = nullptr;
  std::vector<Control> controls_;
};

void ShowFaultBox(const GbkText& text) {
  MessageBoxW(nullptr, Wide(text).c_str(), Wide("信息：").c_str(),
              MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

}  // namespace

std::unique_ptr<Toolkit> NewToolkit(int&, char**) {
  SetFaultPresenter(ShowFaultBox);
  return std::make_unique<Win32Toolkit>();
}

}  // namespace pellucor
