#pragma once
// Runs a programme to its end for a test: a fresh process (posix_spawn, never fork of this
// possibly threaded one), standard input from a string, standard output and error captured
// separately, and a time limit after which it is killed.

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace tarnix::testing {

struct ProgramResult {
  /// The exit status; -1 when it was killed by a signal, did not start or timed out.
  int exitStatus = -1;
  bool timedOut = false;
  std::string output;  // standard output
  std::string errors;  // standard error
};

/// Runs `arguments[0]` (a path) with this process's environment changed by `environment`
/// (a name mapped to "" is removed) and `input` on standard input.
ProgramResult runProgram(const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string>& environment = {},
                         const std::string& input = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

/// The built `tarnix` programme.
std::string tarnixProgram();

}  // namespace tarnix::testing
