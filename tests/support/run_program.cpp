#include "support/run_program.h"

#include <algorithm>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
extern char** environ;
#endif

namespace pellucor::testing {

#if defined(_WIN32)
namespace {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  std::wstring w(static_cast<size_t>(MultiByteToWideChar(
                     CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0)),
                 L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(),
                      static_cast<int>(w.size()));
  return w;
}

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

}  // namespace

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::string& input, const std::string& directory, int timeoutSeconds) {
  ProgramRun run;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE inRead, inWrite, outRead, outWrite, errRead, errWrite;
  CreatePipe(&inRead, &inWrite, &inherit, 0);
  CreatePipe(&outRead, &outWrite, &inherit, 0);
  CreatePipe(&errRead, &errWrite, &inherit, 0);
  for (HANDLE ours : {inWrite, outRead, errRead})
    SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = inRead;
  si.hStdOutput = outWrite;
  si.hStdError = errWrite;
  std::wstring command = Quoted(Wide(program));
  for (const std::string& a : args) command += L" " + Quoted(Wide(a));
  PROCESS_INFORMATION pi{};
  const std::wstring dir = Wide(directory);
  const bool started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      dir.empty() ? nullptr : dir.c_str(), &si, &pi);
  for (HANDLE theirs : {inRead, outWrite, errWrite}) CloseHandle(theirs);
  // Fed from a thread of its own that owns what it needs: a program that reads no input must
  // not hold up the test.
  std::thread([h = inWrite, input, started] {
    DWORD written;
    if (started && !input.empty())
      WriteFile(h, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
    CloseHandle(h);
  }).detach();
  // The outputs are read until the program has ended and its pipes are empty, not until they
  // close: a Wine process the program starts (explorer.exe for the desktop) inherits them and
  // keeps them open.
  if (started) {
    const DWORD begin = GetTickCount();
    bool timedOut = false;
    for (;;) {
      const bool ended = WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0;
      const bool got = ReadAvailable(outRead, &run.out) | ReadAvailable(errRead, &run.err);
      if (ended && !got) break;
      if (GetTickCount() - begin > static_cast<DWORD>(timeoutSeconds) * 1000) {
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, INFINITE);
        timedOut = true;
        break;
      }
      if (!got) Sleep(2);
    }
    DWORD code = 0;
    if (!timedOut && GetExitCodeProcess(pi.hProcess, &code)) run.exitCode = static_cast<int>(code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  CloseHandle(outRead);
  CloseHandle(errRead);
  return run;
}

#else

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::string& input, const std::string& directory, int timeoutSeconds) {
  ProgramRun run;
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  const bool started =
      ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  // Feed standard input and read both outputs at once, so no pipe fills up and blocks.
  ::signal(SIGPIPE, SIG_IGN);
  size_t fed = 0;
  if (input.empty()) ::close(in[1]);
  pollfd fds[3] = {
      {out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {input.empty() ? -1 : in[1], POLLOUT, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  timespec begin;
  ::clock_gettime(CLOCK_MONOTONIC, &begin);
  bool timedOut = false;
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - begin.tv_sec > timeoutSeconds) {
      timedOut = true;
      if (started) ::kill(pid, SIGKILL);
      break;
    }
    if (::poll(fds, 3, 1000) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
    if (fds[2].fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t n = ::write(in[1], input.data() + fed, input.size() - fed);
      if (n > 0) fed += static_cast<size_t>(n);
      if (n <= 0 || fed == input.size()) {
        ::close(in[1]);
        fds[2].fd = -1;
      }
    }
  }
  for (int i = 0; i < 3; ++i)
    if (fds[i].fd >= 0) ::close(fds[i].fd);
  if (!started) return run;
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!timedOut && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  return run;
}

#endif

}  // namespace pellucor::testing
