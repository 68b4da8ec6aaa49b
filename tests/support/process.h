// Programs a test starts as processes of their own, the way a shell would, on both builds
// (fork and exec on POSIX; CreateProcessW on Windows, under Wine). Two uses:
//  - RunProgram: run to its end, standard input fed, both outputs collected, a time limit;
//  - ChildProcess: started in the background, its outputs in files, stopped when the test is
//    done with it (or when the object goes).
//   ProgramRun run = RunProgram(PELLUCOR_CONVERT_PROGRAM, {"-i", "-"}, {.input = links});
//   ChildProcess nginx({"/usr/sbin/nginx", "-c", conf}, dir + "/out.txt", dir + "/out.txt");
// A POSIX program never outlives the thread that started it, even one that crashed (the kernel
// sends it SIGKILL): start programs from the test's main thread. Texts are UTF-8.
#pragma once

#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>  // also std::chrono's clocks; <chrono> itself needs UTF-8 literals
#include <vector>

namespace pellucor::testing {

// Each has a default (so that callers name only what they set: {.input = links}).
struct RunOptions {
  std::string input{};       // standard input
  std::string directory{};   // the working directory; "" keeps the test's
  int timeoutSeconds = 300;  // a program still running then is ended
  std::string user{};        // POSIX, started by root: the account to run as
};

struct ProgramRun {
  int exitCode = -1;  // -1: did not start, or was ended after the time limit
  std::string out, err;
};

// Runs `program` (a path) with `args` to its end.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options = {});

class ChildProcess {
 public:
  // Starts `argv[0]` (looked up in PATH when it has no slash) with the rest of `argv`. POSIX:
  // standard output and error land in `outPath` and `errPath` (one file when they are the same;
  // empty: not kept), standard input is empty, and with `user` a program started by root runs
  // as that account (programs that refuse to run as root). Windows: the program gets none of
  // the test's handles (the one use is a window program).
  explicit ChildProcess(const std::vector<std::string>& argv, const std::string& outPath = "",
                        const std::string& errPath = "", const std::string& user = "");
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Running();
  int Pid() const { return pid_; }
  // Asks the program to end, waits up to `grace`, then ends it by force; its exit status, -1
  // when it was ended by force or by a signal. POSIX asks with `signal`; Windows with WM_CLOSE
  // to the program's windows when `signal` is SIGTERM, and by force at once otherwise.
  int Stop(std::chrono::milliseconds grace = std::chrono::seconds(10), int signal = SIGTERM);

 private:
  int pid_ = -1;  // -1 once the program has ended (or never started)
  int status_ = -1;
#if defined(_WIN32)
  void* process_ = nullptr;  // the process handle
#endif
};

// The whole content of a file ("" when it cannot be read).
inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The lines of a program's output, each without its line feed; an unfinished last line is left
// out.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t lf; (lf = text.find('\n', start)) != std::string::npos; start = lf + 1)
    lines.push_back(text.substr(start, lf - start));
  return lines;
}

// Waits until the file at `path` holds `text`, up to `limit`.
inline bool WaitForText(const std::string& path, const std::string& text,
                        std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (ReadWholeFile(path).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace pellucor::testing
