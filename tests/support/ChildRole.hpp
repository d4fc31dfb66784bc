#pragma once
// A second process for tests that need one: this test binary started afresh (posix_spawn,
// never fork of this threaded process) in a named role. Register the role at namespace scope:
//
//   const bool kSenderRole = tarnix::testing::registerChildRole(
//       "bus-sender", [](const std::string& argument) { ...; return 0; });
//
// and run it with runChildRole("bus-sender", "some argument"). In the child, the role runs
// before the first test would, with every static of the programme set up; its return value
// is the child's exit status. Every run has a time limit.

#include <chrono>
#include <functional>
#include <string>

#include "support/ProgramRun.hpp"

namespace tarnix::testing {

using ChildRoleBody = std::function<int(const std::string& argument)>;

/// Makes `name` a role of this binary. Returns true (for a namespace-scope initializer).
bool registerChildRole(const std::string& name, ChildRoleBody body);

/// Starts this binary in role `name` with `argument` and waits for it, at most `timeout`
/// (then it is killed and `timedOut` is set). `output` holds what the role printed.
ProgramResult runChildRole(const std::string& name, const std::string& argument = {},
                           std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace tarnix::testing
