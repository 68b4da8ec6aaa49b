// A program started by a test (POSIX): its standard output and error go to files, and it is
// stopped with SIGTERM (SIGKILL after a grace time) when the object goes. It never outlives the
// thread that started it, even one that crashed (the kernel sends it SIGKILL): start programs
// from the test's main thread.
#pragma once

#include <sys/types.h>

#include <csignal>

#include <chrono>
#include <string>
#include <vector>

namespace pellucor::testing {

class ChildProcess {
 public:
  // Starts `argv[0]` (looked up in PATH when it has no slash). Output lands in `outPath` and
  // `errPath` (standard output and error; one file if they are the same). With `user`, a
  // program started by root runs as that user (programs that refuse to run as root).
  ChildProcess(const std::vector<std::string>& argv, const std::string& outPath,
               const std::string& errPath, const std::string& user = "");
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Running();
  pid_t Pid() const { return pid_; }
  // `signal` (SIGTERM), then waits up to `grace` before SIGKILL; the exit status (-1 when
  // killed by a signal).
  int Stop(std::chrono::milliseconds grace = std::chrono::seconds(10), int signal = SIGTERM);

 private:
  pid_t pid_ = -1;
  int status_ = 0;
};

// The whole content of a file ("" when it cannot be read).
std::string ReadWholeFile(const std::string& path);

// Waits until the file at `path` holds `text`, up to `limit`.
bool WaitForText(const std::string& path, const std::string& text, std::chrono::milliseconds limit);

}  // namespace pellucor::testing
