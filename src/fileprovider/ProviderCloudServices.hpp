#pragma once
// The provider's way to the cloud: the URL session (the process's trust and proxy settings,
// downloads into the container's temporary folder), the cloud session factory, the drive's
// cloud error handler, the SyncCloudClient over them, its content downloads (resume data in
// "<temporary folder>/ResumeData/<drive>") and the sync client over both (the proxy that routes
// by realm). The provider builds the sync service over that client.
//
// Immutable after make(); any thread.

#include <functional>
#include <memory>

#include "base/Logger.hpp"
#include "base/Mutex.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "cloudfs/DriveCloudErrorHandler.hpp"
#include "common/AnalyticsSender.hpp"
#include "common/DesktopAppGroup.hpp"
#include "common/Drive.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/cloud/SyncCloudClient.hpp"
#include "fileprovider/content/SyncCloudDownloads.hpp"
#include "fileprovider/sync/SyncService.hpp"

namespace tarnix::fileprovider {

/// What the drive does when the cloud rejects its credentials: logs it and tells whoever
/// follows the drive's authentication state (set once that exists).
class ProviderCloudErrorHandler final : public cloudfs::DriveCloudErrorHandler {
 public:
  explicit ProviderCloudErrorHandler(base::Logger logger) : logger_(std::move(logger)) {}
  void authenticationDidExpire() override;
  void setAuthenticationObserver(std::function<void()> observer);

 private:
  base::Logger logger_;
  base::Mutex mutex_;
  std::function<void()> observer_ TARNIX_GUARDED_BY(mutex_);
};

struct ProviderCloudServices {
  std::shared_ptr<cloudfs::TarnixURLSession> urlSession;
  std::shared_ptr<cloudfs::CloudFSSessionFactory> cfsSessionFactory;
  std::shared_ptr<ProviderCloudErrorHandler> cloudErrorHandler;
  std::shared_ptr<SyncCloudClient> cloudClient;
  std::shared_ptr<SyncCloudDownloads> downloads;
  std::shared_ptr<SyncClientProtocol> syncClient;
  /// Set by the provider.
  std::shared_ptr<SyncService> syncService;
  /// No analytics store yet: events are dropped.
  std::shared_ptr<common::AnalyticsSender> analytics;

  /// Every request carries `appLifecycleID` (the process's run, as its start-up line logged it).
  static ProviderCloudServices make(const common::Drive& drive,
                                    const common::DesktopAppGroup& appGroup,
                                    const std::shared_ptr<common::SyncItemStorage>& itemStorage,
                                    const base::Logger& logger, std::string_view version,
                                    const std::string& appLifecycleID);
};

}  // namespace tarnix::fileprovider
