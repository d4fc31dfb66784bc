#pragma once
// Runs the tarnix programme built beside the tests and captures what it printed.

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "support/TempDir.hpp"

namespace tarnix::testing {

struct TarnixRun {
  int status;
  std::string output;
};

/// Runs `tarnix arguments` with standard error joined to standard output; `environment` (for
/// example "TARNIX_HOME='/tmp/x' ") is put before the command.
inline TarnixRun runTarnix(const std::string& arguments, const std::string& environment = "") {
  const auto command = environment + (binaryDir() / "apps" / "tarnix" / "tarnix").string() + " " +
                       arguments + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  std::string output;
  char buffer[512];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

}  // namespace tarnix::testing
