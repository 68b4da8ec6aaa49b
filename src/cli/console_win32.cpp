// The standard streams on Windows: the wide command line, the wide console API for a console,
// UTF-8 bytes for pipes and files.
#if !defined(_WIN32)
#error "console_win32.cpp is the Windows back end; other systems use console_posix.cpp"
#endif

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <algorithm>

#include "base/codepage.h"
#include "cli/console.h"

namespace pellucor {

const char kLineEnd[] = "\r\n";

namespace {

HANDLE Handle(StandardStream stream) {
  return GetStdHandle(stream == StandardStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

bool IsConsole(HANDLE h) {
  DWORD mode;
  return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode);
}

}  // namespace

std::vector<Argument> CommandLineArguments(int, char**) {
  std::vector<Argument> args;
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!argv) return args;
  for (int i = 1; i < count; ++i) {
    const std::wstring_view w(argv[i]);
    bool lossy = false;
    GbkText text(Utf16ToGbk(
        std::u16string_view(reinterpret_cast<const char16_t*>(w.data()), w.size()), 0, &lossy));
    args.push_back({std::move(text), !lossy});
  }
  LocalFree(argv);
  return args;
}

bool IsTerminal(StandardStream stream) {
  return IsConsole(Handle(stream));
}

void WriteUtf8(StandardStream stream, std::string_view utf8) {
  const HANDLE h = Handle(stream);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
  const std::string bytes = WithPlatformLineEnds(utf8);
  if (IsConsole(h)) {
    // UTF-16 straight to the console: right whatever its code page.
    const std::u16string units = Utf8ToUtf16(bytes);
    const wchar_t* p = reinterpret_cast<const wchar_t*>(units.data());
    size_t left = units.size();
    while (left > 0) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(left, 8192));
      if (!WriteConsoleW(h, p, chunk, &written, nullptr) || written == 0) return;
      p += written;
      left -= written;
    }
    return;
  }
  std::string_view rest = bytes;
  while (!rest.empty()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(rest.size(), 1u << 20));
    if (!WriteFile(h, rest.data(), chunk, &written, nullptr) || written == 0) return;
    rest.remove_prefix(written);
  }
}

std::optional<std::string> ReadStandardInput() {
  const HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string bytes;
  if (IsConsole(h)) {
    // Typed lines, until Ctrl+Z.
    std::u16string units;
    wchar_t buf[4096];
    for (;;) {
      DWORD n = 0;
      if (!ReadConsoleW(h, buf, 4096, &n, nullptr)) return std::nullopt;
      if (n == 0) break;
      const std::u16string_view got(reinterpret_cast<const char16_t*>(buf), n);
      const size_t stop = got.find(u'\x1A');
      units.append(got.substr(0, stop));
      if (stop != std::u16string_view::npos) break;
    }
    return Utf16ToUtf8(units);
  }
  char buf[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h, buf, sizeof buf, &n, nullptr)) {
      // The writer closed its end: that is the end of the input.
      if (GetLastError() == ERROR_BROKEN_PIPE) return bytes;
      return std::nullopt;
    }
    if (n == 0) return bytes;
    bytes.append(buf, n);
  }
}

}  // namespace pellucor
