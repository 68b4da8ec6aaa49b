#include "support/child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace pellucor::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& outPath,
                           const std::string& errPath, const std::string& user) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = errPath == outPath
                      ? out
                      : ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const passwd* account = !user.empty() && ::geteuid() == 0 ? ::getpwnam(user.c_str()) : nullptr;
  const uid_t uid = account ? account->pw_uid : 0;
  const gid_t gid = account ? account->pw_gid : 0;
  pid_ = ::fork();
  if (pid_ == 0) {
    if (account && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
      _exit(126);
    // After the change of user, which clears it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::dup2(out, 1);
    ::dup2(err, 2);
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, 0);
    ::execvp(args[0], args.data());
    _exit(127);
  }
  ::close(out);
  if (err != out) ::close(err);
}

ChildProcess::~ChildProcess() {
  Stop();
}

bool ChildProcess::Running() {
  if (pid_ <= 0) return false;
  if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

int ChildProcess::Stop(std::chrono::milliseconds grace, int signal) {
  if (pid_ > 0) {
    ::kill(pid_, signal);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (::waitpid(pid_, &status_, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
  }
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool WaitForText(const std::string& path, const std::string& text,
                 std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (ReadWholeFile(path).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace pellucor::testing
