#include "fileprovider/ProviderNetworkMonitor.hpp"

#include "base/Mutex.hpp"

namespace tarnix::fileprovider {

// Hands the monitor's reports to the reporter of the moment, which the monitor does not own.
class ProviderNetworkMonitor::Relay final : public cloudfs::NetworkStatusReportable {
 public:
  void setReporter(std::weak_ptr<cloudfs::NetworkStatusReportable> reporter) {
    base::MutexLock lock(mutex_);
    reporter_ = std::move(reporter);
  }
  void serverReachabilityDidChange(bool serverReachable) override {
    std::shared_ptr<cloudfs::NetworkStatusReportable> reporter;
    {
      base::MutexLock lock(mutex_);
      reporter = reporter_.lock();
    }
    if (reporter) reporter->serverReachabilityDidChange(serverReachable);
  }

 private:
  base::Mutex mutex_;
  std::weak_ptr<cloudfs::NetworkStatusReportable> reporter_ TARNIX_GUARDED_BY(mutex_);
};

ProviderNetworkMonitor::ProviderNetworkMonitor(
    const common::Drive& drive, std::shared_ptr<cloudfs::CloudFSSessionFactory> cfsSessionFactory,
    std::shared_ptr<cloudfs::DriveCloudErrorHandler> cloudErrorHandler, bool enabled,
    base::Logger logger, Options options)
    : relay_(std::make_shared<Relay>()) {
  if (!enabled) return;
  monitor_ = std::make_unique<cloudfs::NetworkMonitor>(
      cloudfs::CloudFSSessionConfiguration::forDrive(drive), std::move(cfsSessionFactory), relay_,
      std::move(cloudErrorHandler), std::move(logger), options.pingInterval,
      std::move(options.clock), std::move(options.reachability));
}

ProviderNetworkMonitor::~ProviderNetworkMonitor() {
  stop();
}

void ProviderNetworkMonitor::setReporter(std::weak_ptr<cloudfs::NetworkStatusReportable> reporter) {
  relay_->setReporter(std::move(reporter));
}

void ProviderNetworkMonitor::start() {
  if (monitor_) monitor_->start();
}

void ProviderNetworkMonitor::stop() {
  if (monitor_) monitor_->stop();
  relay_->setReporter({});
}

void ProviderNetworkMonitor::recheckReachability() {
  if (monitor_) monitor_->recheckReachability();
}

std::optional<bool> ProviderNetworkMonitor::serverReachable() const {
  if (!monitor_) return std::nullopt;
  return monitor_->serverReachable();
}

void ReachabilityCheckingListingService::refreshListing(const common::SyncItem& folder,
                                                        ListingOrigin origin, bool force,
                                                        bool forceRefreshLocks,
                                                        std::optional<ListingMetadata> metadata,
                                                        Completion completionHandler) {
  service_->refreshListing(
      folder, origin, force, forceRefreshLocks, std::move(metadata),
      [monitor = networkMonitor_,
       completionHandler = std::move(completionHandler)](ListingResult<ListingMetadata> result) {
        if (!result) recheckIfUnreachable(result.error(), monitor);
        completionHandler(std::move(result));
      });
}

void ReachabilityCheckingListingService::enumerateCloudItems(
    const common::SyncItem& parentItem, CloudItemsCompletion completionHandler) {
  service_->enumerateCloudItems(
      parentItem, [monitor = networkMonitor_, completionHandler = std::move(completionHandler)](
                      ListingResult<std::vector<common::CloudItem>> result) {
        if (!result) recheckIfUnreachable(result.error(), monitor);
        completionHandler(std::move(result));
      });
}

void ReachabilityCheckingListingService::recheckIfUnreachable(
    const ListingError& error, const std::weak_ptr<ReachabilityRechecking>& networkMonitor) {
  const auto* sync = error.syncError();
  if (!sync || sync->code() != common::SyncError::Code::serverUnreachable) return;
  if (auto monitor = networkMonitor.lock()) monitor->recheckReachability();
}

}  // namespace tarnix::fileprovider
