// pellucor-service started as a user would, on a port of its own choosing on 127.0.0.1, its
// output in files under `dir`; stopped as any ChildProcess. The test's build defines
// PELLUCOR_SERVICE_BINARY.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/process.h"

namespace pellucor::testing {

class ServiceProcess : public ChildProcess {
 public:
  // `args` come after --listen, --data DIR/data and --no-advert (a later --data wins).
  ServiceProcess(const std::filesystem::path& dir, std::vector<std::string> args)
      : ChildProcess(Command(dir, std::move(args)), (dir / "out.txt").string(),
                     (dir / "err.txt").string()),
        dir_(dir) {
    const std::string marker = "serving http://127.0.0.1:";
    if (WaitForText(Out(), marker, std::chrono::seconds(10))) {
      const std::string out = ReadWholeFile(Out());
      port_ = std::atoi(out.c_str() + out.find(marker) + marker.size());
    }
  }
  int Port() const { return port_; }
  std::string Log() const { return ReadWholeFile(Err()); }
  // How many times the log holds `text`.
  int LogCount(const std::string& text) const {
    const std::string log = Log();
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
  std::string Said() const { return ReadWholeFile(Out()); }

  std::string Out() const { return (dir_ / "out.txt").string(); }
  std::string Err() const { return (dir_ / "err.txt").string(); }

 private:
  // The command line; makes `dir`, where the output files go.
  static std::vector<std::string> Command(const std::filesystem::path& dir,
                                          std::vector<std::string> args) {
    std::filesystem::create_directories(dir);
    args.insert(args.begin(), {PELLUCOR_SERVICE_BINARY, "--listen", "127.0.0.1:0", "--data",
                               (dir / "data").string(), "--no-advert"});
    return args;
  }

  std::filesystem::path dir_;
  int port_ = 0;
};

}  // namespace pellucor::testing
