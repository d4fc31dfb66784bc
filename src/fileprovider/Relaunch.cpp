#include "fileprovider/Relaunch.hpp"

#include <utility>

namespace tarnix::fileprovider {

namespace {
constexpr const char* kOfflineEndpointsKey = "offlineEndpoints";
}

Relaunch::Relaunch(std::shared_ptr<common::DesktopAppGroup> appGroup, base::Logger logger,
                   std::shared_ptr<platform::DistributedNotificationCenter> center,
                   ProcessExit exit)
    : appGroup_(std::move(appGroup)),
      logger_(std::move(logger)),
      distributedNotificationCenter_(std::move(center)),
      exit_(std::move(exit)) {}

void Relaunch::startObserving() {
  if (!appGroup_) return;
  const auto& preferences = appGroup_->preferences();
  cancellables_.push_back(appGroup_->defaults()->observe(
      kOfflineEndpointsKey, [this](const std::optional<base::JSONValue>&) {
        relaunch("Sync service endpoints changed");
      }));
  cancellables_.push_back(preferences->networkProxyPublisher(
      [this](const common::URLSessionProxyConfiguration&) { relaunch("proxy settings update"); }));
  cancellables_.push_back(preferences->logLevelPublisher(
      [this](const std::optional<base::LoggerLevel>&) { relaunch("log-level update"); }));
}

void Relaunch::stopObserving() {
  cancellables_.clear();
}

void Relaunch::relaunch(const std::string& reason) {
  logger_.info("Re-launching due to " + reason);
  if (exit_) exit_(0);
}

}  // namespace tarnix::fileprovider
