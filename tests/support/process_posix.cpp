// The process runner on POSIX: both uses start their program through Spawn (fork and exec).
#if defined(_WIN32)
#error "process_posix.cpp is the POSIX back end; Windows builds use process_win32.cpp"
#endif

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/process.h"

namespace pellucor::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Starts `argv` with `in` as its standard input (/dev/null when -1) and `out` and `err` as its
// outputs, in `directory` unless it is empty, as `user` when root starts it. The process id;
// -1 when the program could not be started (its exec failed).
pid_t Spawn(const std::vector<std::string>& argv, int in, int out, int err,
            const std::string& directory, const std::string& user) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // Looked up before the fork: between fork and exec only async-signal-safe calls are made.
  const passwd* account = !user.empty() && ::geteuid() == 0 ? ::getpwnam(user.c_str()) : nullptr;
  const uid_t uid = account ? account->pw_uid : 0;
  const gid_t gid = account ? account->pw_gid : 0;
  // The child reports a failed exec through this pipe; a successful one closes it.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (account && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
      _exit(126);
    // After the change of user, which clears it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::signal(SIGPIPE, SIG_DFL);  // the test may ignore it; the program starts as a shell's would
    ::dup2(in < 0 ? ::open("/dev/null", O_RDONLY) : in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (!directory.empty() && ::chdir(directory.c_str()) != 0) _exit(126);
    ::execvp(args[0], args.data());
    (void)!::write(report[1], "x", 1);
    _exit(127);
  }
  ::close(report[1]);
  char failed;
  const bool execFailed = pid > 0 && ::read(report[0], &failed, 1) > 0;
  ::close(report[0]);
  if (execFailed) ::waitpid(pid, nullptr, 0);
  return pid > 0 && !execFailed ? pid : -1;
}

}  // namespace

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options) {
  ProgramRun run;
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    return run;
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  const pid_t pid = Spawn(argv, in[0], out[1], err[1], options.directory, options.user);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  // Feed standard input and read both outputs at once, so no pipe fills up and blocks.
  ::signal(SIGPIPE, SIG_IGN);
  const std::string& input = options.input;
  size_t fed = 0;
  if (input.empty()) ::close(in[1]);
  pollfd fds[3] = {
      {out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {input.empty() ? -1 : in[1], POLLOUT, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(options.timeoutSeconds);
  bool timedOut = false;
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (Clock::now() > deadline) {
      timedOut = true;
      if (pid > 0) ::kill(pid, SIGKILL);
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
  for (pollfd& p : fds)
    if (p.fd >= 0) ::close(p.fd);
  if (pid < 0) return run;
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!timedOut && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  return run;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& outPath,
                           const std::string& errPath, const std::string& user) {
  auto create = [](const std::string& path) {
    return path.empty() ? ::open("/dev/null", O_WRONLY | O_CLOEXEC)
                        : ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  };
  const int out = create(outPath);
  const int err = errPath == outPath ? out : create(errPath);
  pid_ = Spawn(argv, -1, out, err, "", user);
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
    const Clock::time_point deadline = Clock::now() + grace;
    while (::waitpid(pid_, &status_, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
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

}  // namespace pellucor::testing
