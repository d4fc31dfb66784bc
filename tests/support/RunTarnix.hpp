#pragma once
// Runs the built tarnix programme the way a user does, for tests of its commands.

#include <string>

namespace tarnix::testing {

struct ProgramRun {
  /// The exit status (-1 when it did not exit normally).
  int status = -1;
  /// Standard output and standard error, interleaved.
  std::string output;
};

/// Runs `<environment> tarnix <arguments>` through the shell (posix_spawn, safe in a threaded
/// test); `environment` is a list of NAME='value' words or empty.
ProgramRun runTarnix(const std::string& arguments, const std::string& environment = {});

}  // namespace tarnix::testing
