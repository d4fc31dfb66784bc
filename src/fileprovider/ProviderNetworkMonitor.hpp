#pragma once
// The drive's network monitor as the provider runs it: whether the cloud answers (see
// cloudfs::NetworkMonitor) goes to whoever reports the domain's state (the status provider),
// and the converter asks for a re-check when an operation met an unreachable server. Without
// the feature `networkMonitor` nothing is sent and nothing is reported.
//
// Thread-safe. Reports arrive on the monitor's queue "com.tarnix.NetworkMonitor".

#include <memory>
#include <optional>

#include "base/Clock.hpp"
#include "base/Logger.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "cloudfs/DriveCloudErrorHandler.hpp"
#include "cloudfs/NetworkMonitor.hpp"
#include "common/Drive.hpp"
#include "fileprovider/items/FileProviderConverter.hpp"
#include "fileprovider/listing/ListingService.hpp"

namespace tarnix::fileprovider {

class ProviderNetworkMonitor final : public ReachabilityRechecking {
 public:
  struct Options {
    double pingInterval = cloudfs::NetworkMonitor::kDefaultPingInterval;
    /// The system's when null.
    std::shared_ptr<base::Clock> clock;
    std::shared_ptr<cloudfs::NetworkReachability> reachability;
  };

  ProviderNetworkMonitor(const common::Drive& drive,
                         std::shared_ptr<cloudfs::CloudFSSessionFactory> cfsSessionFactory,
                         std::shared_ptr<cloudfs::DriveCloudErrorHandler> cloudErrorHandler,
                         bool enabled, base::Logger logger, Options options);
  ProviderNetworkMonitor(const common::Drive& drive,
                         std::shared_ptr<cloudfs::CloudFSSessionFactory> cfsSessionFactory,
                         std::shared_ptr<cloudfs::DriveCloudErrorHandler> cloudErrorHandler,
                         bool enabled, base::Logger logger)
      : ProviderNetworkMonitor(drive, std::move(cfsSessionFactory), std::move(cloudErrorHandler),
                               enabled, std::move(logger), Options{}) {}
  /// Stops.
  ~ProviderNetworkMonitor() override;

  bool enabled() const { return monitor_ != nullptr; }
  /// Who hears of changes (held weakly); set before `start`.
  void setReporter(std::weak_ptr<cloudfs::NetworkStatusReportable> reporter);
  void start();
  /// Cancels the timer and the heart beat in flight; nothing is reported afterwards.
  void stop();
  void recheckReachability() override;
  /// None until the first heart beat came back, and always when disabled.
  std::optional<bool> serverReachable() const;

 private:
  class Relay;
  std::shared_ptr<Relay> relay_;
  std::unique_ptr<cloudfs::NetworkMonitor> monitor_;  // null when disabled
};

/// The listing service of a realm, telling the network monitor to check again when a listing
/// found the server unreachable: listings run in the background, so their failures reach no
/// converter that would.
class ReachabilityCheckingListingService final : public ListingServiceInterface {
 public:
  ReachabilityCheckingListingService(std::shared_ptr<ListingServiceInterface> service,
                                     std::weak_ptr<ReachabilityRechecking> networkMonitor)
      : service_(std::move(service)), networkMonitor_(std::move(networkMonitor)) {}

  void refreshListing(const common::SyncItem& folder, ListingOrigin origin, bool force,
                      bool forceRefreshLocks, std::optional<ListingMetadata> metadata,
                      Completion completionHandler) override;
  using ListingServiceInterface::refreshListing;
  void enumerateCloudItems(const common::SyncItem& parentItem,
                           CloudItemsCompletion completionHandler) override;
  void stop() override { service_->stop(); }

 private:
  static void recheckIfUnreachable(const ListingError& error,
                                   const std::weak_ptr<ReachabilityRechecking>& networkMonitor);

  std::shared_ptr<ListingServiceInterface> service_;
  std::weak_ptr<ReachabilityRechecking> networkMonitor_;
};

}  // namespace tarnix::fileprovider
