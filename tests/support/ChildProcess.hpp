#pragma once
// A program started by a test and ended (SIGTERM, then waited for) when the object goes.

#include <sys/types.h>

#include <string>
#include <vector>

namespace tarnix::testing {

class ChildProcess {
 public:
  /// Starts `arguments[0]` (looked up in PATH) with its output sent to /dev/null. `pid()` is -1
  /// when it could not be started.
  explicit ChildProcess(const std::vector<std::string>& arguments);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

/// True once something accepts TCP connections on 127.0.0.1:`port` (tries for up to 10 s).
bool waitForLoopbackPort(int port);

}  // namespace tarnix::testing
