// Environment services on Windows. Paths cross the file-system boundary as UTF-16 through the
// wide API, so Chinese names are right whatever the system's ANSI code page is.
#if !defined(_WIN32)
#error "env_win32.cpp is the Windows back end; other systems use env_posix.cpp"
#endif

#include <atomic>
#include <cstdio>
#include <optional>
#include <string>

#include "base/env.h"
#include "base/runtime_fault.h"
#include "base/utility_win32.h"

namespace pellucor {

const char kPathSeparator[] = "\\";
const char kUserCacheDirectoryShown[] = "%LOCALAPPDATA%\\Pellucor";

namespace {

bool WriteAll(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

}  // namespace

void PresentFaultOnPlatform(const GbkText& text) {
  MessageBoxW(nullptr, Wide(text).c_str(), Wide("信息：").c_str(),
              MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

GbkText RunDirectory() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) {
      buf.resize(n);
      break;
    }
    buf.resize(buf.size() * 2);
  }
  // Cut in UTF-16: in GBK the byte 5C ("\") can also be the trail byte of a character.
  const size_t slash = buf.rfind(L'\\');
  return Narrow(slash == std::wstring::npos ? std::wstring_view()
                                            : std::wstring_view(buf).substr(0, slash));
}

GbkText SaveDirectory() {
  return RunDirectory();
}

GbkText UserCacheDirectory() {
  wchar_t buf[MAX_PATH];
  const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", buf, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  return Narrow(std::wstring(buf, n) + L"\\Pellucor");
}

bool ChangeCurrentDirectory(const GbkText& dir) {
  return !dir.empty() && SetCurrentDirectoryW(Wide(dir).c_str());
}

namespace {

// Writes the buffers to a new temporary file beside `target` (".pellucor-PID-N.part": a short
// name that no other writer uses, so it fits whatever the target's length), flushed to disk.
// Its name, or nothing when it could not be written (then it is gone).
std::optional<std::wstring> WriteTemporaryFile(const std::wstring& target,
                                               std::initializer_list<ByteBuffer> buffers) {
  static std::atomic<unsigned> sequence{0};
  const size_t slash = target.find_last_of(L"\\/");
  const std::wstring dir =
      slash == std::wstring::npos ? std::wstring() : target.substr(0, slash + 1);
  std::wstring temp;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 16 && h == INVALID_HANDLE_VALUE; ++attempt) {
    temp = dir + L".pellucor-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(sequence++) + L".part";
    // No sharing while the bytes go in.
    h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                    nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return std::nullopt;
  }
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;

  ScopedHandle file(h);
  bool ok = true;
  for (const ByteBuffer& b : buffers)
    if (ok && b.size() > 0) ok = WriteAll(file.get(), b.view());
  ok = ok && FlushFileBuffers(file.get());
  ok = file.Close() && ok;
  if (!ok) {
    DeleteFileW(temp.c_str());
    return std::nullopt;
  }
  return temp;
}

}  // namespace

bool WriteBytesToFile(const GbkText& path, std::initializer_list<ByteBuffer> buffers) {
  if (path.empty()) return false;
  const std::wstring target = Wide(path);
  const std::optional<std::wstring> temp = WriteTemporaryFile(target, buffers);
  if (!temp) return false;
  if (MoveFileExW(temp->c_str(), target.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  DeleteFileW(temp->c_str());
  return false;
}

NewFileResult WriteNewFile(const GbkText& path, const ByteBuffer& bytes) {
  if (path.empty()) return NewFileResult::Failed;
  const std::wstring target = Wide(path);
  if (GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) return NewFileResult::Exists;
  const std::optional<std::wstring> temp = WriteTemporaryFile(target, {bytes});
  if (!temp) return NewFileResult::Failed;
  // Without MOVEFILE_REPLACE_EXISTING the move fails where anything stands already: two writers
  // racing for one name (threads or processes) cannot both win.
  if (MoveFileExW(temp->c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH))
    return NewFileResult::Written;
  const DWORD error = GetLastError();
  DeleteFileW(temp->c_str());
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? NewFileResult::Exists
                                                                     : NewFileResult::Failed;
}

bool PathExists(const GbkText& path) {
  return !path.empty() && GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CreateDirectories(const GbkText& path) {
  if (path.empty()) return false;
  // Cut in UTF-16, where a separator cannot be the trail byte of a character. Each leading
  // part in turn; a drive ("C:"), a share or a directory that exists makes the call fail,
  // which is fine: only the end result counts.
  const std::wstring p = Wide(path);
  for (size_t sep = p.find_first_of(L"\\/", 1); sep != std::wstring::npos;
       sep = p.find_first_of(L"\\/", sep + 1))
    CreateDirectoryW(p.substr(0, sep).c_str(), nullptr);
  CreateDirectoryW(p.c_str(), nullptr);
  const DWORD attributes = GetFileAttributesW(p.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::optional<ByteBuffer> ReadBytesFromFile(const GbkText& path) {
  if (path.empty()) return std::nullopt;
  // FILE_SHARE_DELETE as well: a writer that has just moved its finished file here still holds
  // it open with delete access for a moment, and a reader that refused to share that would
  // fail on a complete file.
  ScopedHandle file(CreateFileW(Wide(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  std::string bytes;
  char buf[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file.get(), buf, sizeof buf, &n, nullptr)) return std::nullopt;
    if (n == 0) break;
    bytes.append(buf, n);
  }
  return ByteBuffer(std::move(bytes));
}

void EndProcess(int exitCode) {
  std::fflush(nullptr);
  // Stops the other threads first, then the process; the program's own exit-time destructors
  // (run by exit(), not here) are skipped.
  ExitProcess(static_cast<UINT>(exitCode));
}

uint32_t TickCount() {
  return GetTickCount();
}

}  // namespace pellucor
