#pragma once
// The domain's current condition as the framework should show it: not authenticated (-1000)
// while the drive's account needs to sign in again, else server unreachable (-1004) while the
// network monitor says so, else none.
//
// Threads: `currentError` may be called from any thread. The flags change only on the serial
// queue "com.tarnix.FileProviderStatusProvider"; each change signals the working set so that
// the framework asks again.

#include <atomic>
#include <memory>
#include <optional>

#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "cloudfs/NetworkMonitor.hpp"
#include "common/Drive.hpp"
#include "common/DriveRepository.hpp"
#include "common/FeatureList.hpp"
#include "platform/DistributedNotificationCenter.hpp"
#include "platform/fileprovider/Error.hpp"
#include "platform/fileprovider/Manager.hpp"

namespace tarnix::fileprovider {

namespace fp = platform::fileprovider;

class FileProviderStatusProvider final
    : public cloudfs::NetworkStatusReportable,
      public std::enable_shared_from_this<FileProviderStatusProvider> {
 public:
  /// `notificationCenter` carries the repository's drive changes.
  static std::shared_ptr<FileProviderStatusProvider> make(
      fp::ManagerPtr fileProviderManager, std::shared_ptr<common::DriveRepository> driveRepository,
      common::Drive drive, std::shared_ptr<const common::FeatureList> featureList,
      base::Logger logger,
      std::shared_ptr<platform::DistributedNotificationCenter> notificationCenter);
  ~FileProviderStatusProvider() override;

  /// Starts following the drive's authentication state (read once at once).
  void start();
  /// Ends the monitoring and waits for work in flight. Not on the provider's queue.
  void stop();

  std::optional<fp::Error> currentError() const;
  bool needsReauthentication() const { return needsReauthentication_.load(); }
  bool serverIsReachable() const { return serverIsReachable_.load(); }

  /// Re-reads the drive's reauthentication flag from the repository.
  void reloadAuthenticationStatus();
  void serverReachabilityChanged(bool isReachable);
  void serverReachabilityDidChange(bool serverReachable) override {
    serverReachabilityChanged(serverReachable);
  }

 private:
  FileProviderStatusProvider(fp::ManagerPtr manager,
                             std::shared_ptr<common::DriveRepository> driveRepository,
                             common::Drive drive,
                             std::shared_ptr<const common::FeatureList> featureList,
                             base::Logger logger,
                             std::shared_ptr<platform::DistributedNotificationCenter> center);
  void signalWorkingSet();

  fp::ManagerPtr fileProviderManager_;
  std::shared_ptr<common::DriveRepository> driveRepository_;
  common::Drive drive_;
  // The provider's network monitor reports to serverReachabilityDidChange; the deletion manager
  // joins with its service.
  std::shared_ptr<const common::FeatureList> featureList_;
  base::Logger logger_;
  std::shared_ptr<platform::DistributedNotificationCenter> notificationCenter_;
  base::DispatchQueue serialQueue_{"com.tarnix.FileProviderStatusProvider"};
  std::atomic<bool> needsReauthentication_{false};
  std::atomic<bool> serverIsReachable_{true};
  std::atomic<bool> stopped_{false};
  /// The drive-change subscription; released by stop().
  std::shared_ptr<void> monitorTask_;
};

}  // namespace tarnix::fileprovider
