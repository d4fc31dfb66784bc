#pragma once
// Ends the extension process with status 0 when a setting changes that it reads only at
// start, so that the system starts a fresh one: the sync service's endpoints
// ("offlineEndpoints"), the proxy settings and the log level of the shared preferences, and a
// drive that could not be connected after an upgrade.
//
// Observers run on the preferences' delivery thread; the exit is injected so that hosts and
// tests decide what ending the process means.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/Logger.hpp"
#include "common/DesktopAppGroup.hpp"
#include "platform/DistributedNotificationCenter.hpp"

namespace tarnix::fileprovider {

/// Ends the process with the status (std::exit in production).
using ProcessExit = std::function<void(int status)>;

class Relaunch {
 public:
  Relaunch(std::shared_ptr<common::DesktopAppGroup> appGroup, base::Logger logger,
           std::shared_ptr<platform::DistributedNotificationCenter> distributedNotificationCenter,
           ProcessExit exit);

  /// Subscribes to the changes above; until then nothing ends the process.
  void startObserving();
  void stopObserving();
  void relaunchDueToFailureToConnectDriveAfterUpgrade() {
    relaunch("failure to connect drive after upgrading");
  }

 private:
  /// Logs "Re-launching due to " + reason and exits with status 0.
  void relaunch(const std::string& reason);

  std::shared_ptr<common::DesktopAppGroup> appGroup_;
  base::Logger logger_;
  std::shared_ptr<platform::DistributedNotificationCenter> distributedNotificationCenter_;
  ProcessExit exit_;
  std::vector<std::shared_ptr<void>> cancellables_;
};

}  // namespace tarnix::fileprovider
