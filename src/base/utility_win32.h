// What every Windows file needs around the Win32 API: GBK text as UTF-16 for the *W functions
// and back, and owners that release a handle, a GDI object, a device context or a COM
// reference when they go out of scope (or when given another).
//   CreateFileW(Wide(path).c_str(), ...)       GbkText name = Narrow(findData.cFileName);
//   ScopedHandle file(CreateFileW(...));       if (!file) return;   (closed on every path)
#pragma once

#if !defined(_WIN32)
#error "utility_win32.h is for the Windows build"
#endif

#include <windows.h>
// after windows.h, which they need
#include <ole2.h>
#include <wininet.h>

#include <string>
#include <string_view>
#include <utility>

#include "base/codepage.h"
#include "base/text.h"

namespace pellucor {

// ---- text ----

// GBK text as the UTF-16 of the wide API (right whatever the system's ANSI code page is).
inline std::wstring Wide(const GbkText& text) {
  const std::u16string u = GbkToUtf16(text.view());
  return std::wstring(u.begin(), u.end());
}
// UTF-16 from the wide API as GBK; *lossy is set when a character GBK lacks became "?".
inline GbkText Narrow(std::wstring_view wide, bool* lossy = nullptr) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t));
  return GbkText(Utf16ToGbk(
      std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()), 0, lossy));
}
// UTF-8 (the tests' and the console's byte form) as UTF-16, and back.
inline std::wstring WideFromUtf8(std::string_view utf8) {
  const std::u16string u = Utf8ToUtf16(utf8);
  return std::wstring(u.begin(), u.end());
}
inline std::string Utf8FromWide(std::wstring_view wide) {
  return Utf16ToUtf8(
      std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

// ---- owners ----

// Owns one resource described by Traits (Handle, Valid(h), Close(h)); move-only.
template <typename Traits>
class Scoped {
 public:
  using Handle = typename Traits::Handle;
  Scoped() = default;
  explicit Scoped(Handle h) : h_(h) {}
  ~Scoped() { Close(); }
  Scoped(Scoped&& o) noexcept : h_(o.Release()) {}
  Scoped& operator=(Scoped&& o) noexcept {
    if (this != &o) Reset(o.Release());
    return *this;
  }
  Scoped(const Scoped&) = delete;
  Scoped& operator=(const Scoped&) = delete;

  Handle get() const { return h_; }
  explicit operator bool() const { return Traits::Valid(h_); }
  // Releases the one held and takes `h`.
  void Reset(Handle h = Handle()) {
    Close();
    h_ = h;
  }
  // Gives the handle up without releasing it.
  Handle Release() { return std::exchange(h_, Handle()); }
  // Releases it now; false when releasing failed (for a file: bytes that never reached it).
  bool Close() {
    const bool ok = !Traits::Valid(h_) || Traits::Close(h_);
    h_ = Handle();
    return ok;
  }

 private:
  Handle h_ = Handle();
};

struct KernelHandleTraits {
  using Handle = HANDLE;
  static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static bool Close(HANDLE h) { return CloseHandle(h); }
};
// A kernel handle: file, process, thread, pipe, event (null and INVALID_HANDLE_VALUE are none).
using ScopedHandle = Scoped<KernelHandleTraits>;

struct InternetHandleTraits {
  using Handle = HINTERNET;
  static bool Valid(HINTERNET h) { return h != nullptr; }
  static bool Close(HINTERNET h) { return InternetCloseHandle(h); }
};
// A WinInet session, connection or request.
using InternetHandle = Scoped<InternetHandleTraits>;

template <typename T>
struct GdiObjectTraits {
  using Handle = T;
  static bool Valid(T h) { return h != nullptr; }
  static bool Close(T h) { return DeleteObject(h); }
};
// A font, brush, pen or bitmap (DeleteObject).
template <typename T>
using GdiObject = Scoped<GdiObjectTraits<T>>;

struct LocalMemoryTraits {
  using Handle = void*;
  static bool Valid(void* p) { return p != nullptr; }
  static bool Close(void* p) { return LocalFree(p) == nullptr; }
};
// Memory that a system function allocated with LocalAlloc (CommandLineToArgvW).
using LocalMemory = Scoped<LocalMemoryTraits>;

// A window's device context from GetWindowDC or GetDC, released to its window.
class WindowDc {
 public:
  WindowDc(HWND window, HDC dc) : window_(window), dc_(dc) {}
  ~WindowDc() {
    if (dc_) ReleaseDC(window_, dc_);
  }
  WindowDc(const WindowDc&) = delete;
  WindowDc& operator=(const WindowDc&) = delete;
  HDC get() const { return dc_; }
  explicit operator bool() const { return dc_ != nullptr; }

 private:
  HWND window_;
  HDC dc_;
};

// WM_PAINT's BeginPaint / EndPaint.
class PaintDc {
 public:
  explicit PaintDc(HWND window) : window_(window), dc_(BeginPaint(window, &paint_)) {}
  ~PaintDc() { EndPaint(window_, &paint_); }
  PaintDc(const PaintDc&) = delete;
  PaintDc& operator=(const PaintDc&) = delete;
  HDC get() const { return dc_; }

 private:
  HWND window_;
  PAINTSTRUCT paint_;
  HDC dc_;
};

// An object selected into a device context, the previous one selected back at the end.
class SelectedObject {
 public:
  SelectedObject(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
  ~SelectedObject() { SelectObject(dc_, previous_); }
  SelectedObject(const SelectedObject&) = delete;
  SelectedObject& operator=(const SelectedObject&) = delete;

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

// One reference to a COM interface, released when emptied or destroyed.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  explicit ComPtr(T* adopted) : p_(adopted) {}  // takes over a reference the caller holds
  ~ComPtr() { Reset(); }
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ComPtr& operator=(ComPtr&& o) noexcept {
    if (this != &o) {
      Reset();
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;

  void Reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For the functions that hand out a new reference through a T**: the one held is released.
  T** Receive() {
    Reset();
    return &p_;
  }

 private:
  T* p_ = nullptr;
};

// One VARIANT, cleared when destroyed.
class Variant {
 public:
  Variant() { VariantInit(&v_); }
  ~Variant() { VariantClear(&v_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  VARIANT* get() { return &v_; }
  const VARIANT* get() const { return &v_; }
  void Clear() { VariantClear(&v_); }

 private:
  VARIANT v_;
};

// The calling thread's COM apartment for the life of the object (CoInitialize, or
// OleInitialize for a thread that also uses the clipboard and drag and drop).
class ComApartment {
 public:
  enum class Kind { Com, Ole };
  explicit ComApartment(Kind kind = Kind::Com) : kind_(kind) {
    entered_ = SUCCEEDED(kind == Kind::Ole ? OleInitialize(nullptr) : CoInitialize(nullptr));
  }
  ~ComApartment() {
    if (!entered_) return;
    if (kind_ == Kind::Ole) {
      OleUninitialize();
    } else {
      CoUninitialize();
    }
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  Kind kind_;
  bool entered_;
};

}  // namespace pellucor
