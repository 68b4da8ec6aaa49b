// Runs a program as its own process, the way a shell would: arguments, standard input,
// a working directory; collects standard output, standard error and the exit status. Both
// builds (posix_spawn; CreateProcessW under Wine). Texts are UTF-8.
#pragma once

#include <string>
#include <vector>

namespace pellucor::testing {

struct ProgramRun {
  int exitCode = -1;  // -1: did not start, or was stopped after the time limit
  std::string out, err;
};

// Waits at most `timeoutSeconds`; a program still running then is ended.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::string& input = "", const std::string& directory = "",
                      int timeoutSeconds = 300);

}  // namespace pellucor::testing
