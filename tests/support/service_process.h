// pellucor-service started as a user would, on a port of its own choosing on 127.0.0.1, its
// output in files under `dir`. The test's build defines PELLUCOR_SERVICE_BINARY.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace pellucor::testing {

class ServiceProcess {
 public:
  // `args` come after --listen, --data DIR/data and --no-advert (a later --data wins).
  ServiceProcess(const std::filesystem::path& dir, std::vector<std::string> args) : dir_(dir) {
    std::filesystem::create_directories(dir);
    args.insert(args.begin(), {PELLUCOR_SERVICE_BINARY, "--listen", "127.0.0.1:0", "--data",
                               (dir / "data").string(), "--no-advert"});
    process_ = std::make_unique<ChildProcess>(args, Out(), Err());
    const std::string marker = "serving http://127.0.0.1:";
    if (WaitForText(Out(), marker, std::chrono::seconds(10))) {
      const std::string out = ReadWholeFile(Out());
      port_ = std::atoi(out.c_str() + out.find(marker) + marker.size());
    }
  }
  int Port() const { return port_; }
  pid_t Pid() const { return process_->Pid(); }
  std::string Log() const { return ReadWholeFile(Err()); }
  std::string Said() const { return ReadWholeFile(Out()); }
  // SIGTERM (or `signal`), SIGKILL after `grace`; the exit status, -1 when killed.
  int Stop(std::chrono::milliseconds grace = std::chrono::seconds(10), int signal = SIGTERM) {
    return process_->Stop(grace, signal);
  }

  std::string Out() const { return (dir_ / "out.txt").string(); }
  std::string Err() const { return (dir_ / "err.txt").string(); }

 private:
  std::filesystem::path dir_;
  std::unique_ptr<ChildProcess> process_;
  int port_ = 0;
};

}  // namespace pellucor::testing
