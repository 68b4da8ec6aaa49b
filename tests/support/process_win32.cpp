// The process runner on Windows (and under Wine): both uses start their program through Start
// (CreateProcessW).
#if !defined(_WIN32)
#error "process_win32.cpp is the Windows back end; other builds use process_posix.cpp"
#endif

#include <algorithm>
#include <memory>

#include "base/utility_win32.h"
#include "support/process.h"

namespace pellucor::testing {
namespace {

// One argument quoted the way CommandLineToArgvW reads it back.
std::wstring Quoted(const std::wstring& arg) {
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(2 * backslashes, L'\\');
  return out + L"\"";
}

// Starts `argv`; with `handles` (standard input, output, error; inheritable) the program gets
// them, else none of the test's. False when it could not be started.
bool Start(const std::vector<std::string>& argv, const HANDLE* handles,
           const std::string& directory, PROCESS_INFORMATION* pi) {
  std::wstring command;
  for (const std::string& a : argv)
    command += (command.empty() ? L"" : L" ") + Quoted(WideFromUtf8(a));
  STARTUPINFOW si{};
  si.cb = sizeof si;
  if (handles) {
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = handles[0];
    si.hStdOutput = handles[1];
    si.hStdError = handles[2];
  }
  const std::wstring dir = WideFromUtf8(directory);
  return CreateProcessW(nullptr, command.data(), nullptr, nullptr, handles != nullptr, 0, nullptr,
                        dir.empty() ? nullptr : dir.c_str(), &si, pi);
}

// Reads what the pipe holds now, without waiting; false when it held nothing.
bool ReadAvailable(HANDLE h, std::string* into) {
  DWORD available = 0;
  if (!PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr) || available == 0) return false;
  char buf[65536];
  DWORD n = 0;
  if (!ReadFile(h, buf, std::min<DWORD>(available, sizeof buf), &n, nullptr)) return false;
  into->append(buf, n);
  return n > 0;
}

// An EnumWindows callback (stdcall on 32-bit Windows, which a lambda cannot be): asks each
// window the process `p` shows to close, as a user would.
BOOL CALLBACK CloseWindowOf(HWND h, LPARAM p) {
  DWORD owner = 0;
  GetWindowThreadProcessId(h, &owner);
  if (owner == static_cast<DWORD>(p) && IsWindowVisible(h)) PostMessageW(h, WM_CLOSE, 0, 0);
  return TRUE;
}

}  // namespace

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options) {
  ProgramRun run;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  // Our ends of the pipes, and theirs (closed once the program has them).
  HANDLE pipes[6] = {};
  CreatePipe(&pipes[0], &pipes[1], &inherit, 0);
  CreatePipe(&pipes[2], &pipes[3], &inherit, 0);
  CreatePipe(&pipes[4], &pipes[5], &inherit, 0);
  ScopedHandle inRead(pipes[0]), inWrite(pipes[1]), outRead(pipes[2]), outWrite(pipes[3]),
      errRead(pipes[4]), errWrite(pipes[5]);
  for (HANDLE ours : {inWrite.get(), outRead.get(), errRead.get()})
    SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0);
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  const HANDLE theirs[3] = {inRead.get(), outWrite.get(), errWrite.get()};
  PROCESS_INFORMATION pi{};
  const bool started = Start(argv, theirs, options.directory, &pi);
  const ScopedHandle process(pi.hProcess), thread(pi.hThread);
  for (ScopedHandle* h : {&inRead, &outWrite, &errWrite}) h->Close();
  // Fed from a thread of its own that owns what it needs: a program that reads no input must
  // not hold up the test.
  std::thread([h = std::make_shared<ScopedHandle>(std::move(inWrite)), input = options.input,
               started] {
    DWORD written;
    if (started && !input.empty())
      WriteFile(h->get(), input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
  }).detach();
  // The outputs are read until the program has ended and its pipes are empty, not until they
  // close: a Wine process the program starts (explorer.exe for the desktop) inherits them and
  // keeps them open.
  if (started) {
    const DWORD begin = GetTickCount();
    bool timedOut = false;
    for (;;) {
      const bool ended = WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
      const bool got =
          ReadAvailable(outRead.get(), &run.out) | ReadAvailable(errRead.get(), &run.err);
      if (ended && !got) break;
      if (GetTickCount() - begin > static_cast<DWORD>(options.timeoutSeconds) * 1000) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), INFINITE);
        timedOut = true;
        break;
      }
      if (!got) Sleep(2);
    }
    DWORD code = 0;
    if (!timedOut && GetExitCodeProcess(process.get(), &code))
      run.exitCode = static_cast<int>(code);
  }
  return run;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string&,
                           const std::string&, const std::string&) {
  PROCESS_INFORMATION pi{};
  if (!Start(argv, nullptr, "", &pi)) return;
  CloseHandle(pi.hThread);
  process_ = pi.hProcess;
  pid_ = static_cast<int>(pi.dwProcessId);
}

ChildProcess::~ChildProcess() {
  Stop();
  if (process_) CloseHandle(process_);
}

bool ChildProcess::Running() {
  return pid_ > 0 && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

int ChildProcess::Stop(std::chrono::milliseconds grace, int signal) {
  if (pid_ > 0) {
    if (signal == SIGTERM) EnumWindows(CloseWindowOf, static_cast<LPARAM>(pid_));
    const DWORD wait = signal == SIGTERM ? static_cast<DWORD>(grace.count()) : 0;
    if (WaitForSingleObject(process_, wait) != WAIT_OBJECT_0) {
      TerminateProcess(process_, 1);
      WaitForSingleObject(process_, INFINITE);
      status_ = -1;
    } else {
      DWORD code = 0;
      status_ = GetExitCodeProcess(process_, &code) ? static_cast<int>(code) : -1;
    }
    pid_ = -1;
  }
  return status_;
}

}  // namespace pellucor::testing
