#pragma once
// The provider's way to the cloud: the URL session (the process's trust and proxy settings,
// downloads into the container's temporary folder), the cloud session factory, the drive's
// cloud error handler, the SyncCloudClient over them, its content downloads (resume data in
// "<temporary folder>/ResumeData/<drive>"), its uploads (chunk sessions and failed-upload
// records in the drive database, the upload validator, progress and completion notifications)
// and the sync client over them (the proxy that routes by realm). The provider builds the sync
// service over that client.
//
// Immutable after make(); any thread.

#include <functional>
#include <memory>

#include "base/Logger.hpp"
#include "base/Mutex.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "cloudfs/DriveCloudErrorHandler.hpp"
#include "common/AnalyticsSender.hpp"
#include "common/ChunkUploadStorage.hpp"
#include "common/DesktopAppGroup.hpp"
#include "common/Drive.hpp"
#include "common/DriveConfigurationProvider.hpp"
#include "common/FeatureList.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/cloud/SyncCloudClient.hpp"
#include "fileprovider/content/SyncCloudDownloads.hpp"
#include "fileprovider/sync/SyncService.hpp"
#include "fileprovider/upload/SyncCloudUploads.hpp"
#include "fileprovider/upload/SyncUploadValidator.hpp"
#include "fileprovider/upload/UploadNotifier.hpp"
#include "platform/DistributedNotificationCenter.hpp"

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

/// What the drive's uploads are made from.
struct ProviderUploadCollaborators {
  /// The chunk size and threshold are read from it for each upload; may be null (defaults).
  std::shared_ptr<common::DriveConfigurationProvider> configurationProvider;
  /// The "chunked-upload" feature; may be null (on).
  std::shared_ptr<const common::FeatureList> featureList;
  /// Where progress and completion are posted; may be null.
  std::shared_ptr<platform::DistributedNotificationCenter> notificationCenter;
  /// Asks for a folder to be listed again (the cloud holds content this client did not send).
  std::function<void(const common::SyncFolderIdentifier&)> listFolderAgain;
};

struct ProviderCloudServices {
  std::shared_ptr<cloudfs::TarnixURLSession> urlSession;
  std::shared_ptr<cloudfs::CloudFSSessionFactory> cfsSessionFactory;
  std::shared_ptr<ProviderCloudErrorHandler> cloudErrorHandler;
  std::shared_ptr<SyncCloudClient> cloudClient;
  std::shared_ptr<SyncCloudDownloads> downloads;
  std::shared_ptr<SyncClientProtocol> syncClient;
  /// Chunk sessions of the drive's uploads (in the drive database).
  std::shared_ptr<common::ChunkUploadStorage> chunkUploadStorage;
  /// Started by make(); stopped by the provider's invalidation.
  std::shared_ptr<SyncUploadValidator> uploadValidator;
  std::shared_ptr<UploadNotifier> uploadNotifier;
  std::shared_ptr<SyncCloudUploads> uploads;
  /// Set by the provider.
  std::shared_ptr<SyncService> syncService;
  /// No analytics store yet: events are dropped.
  std::shared_ptr<common::AnalyticsSender> analytics;

  /// Every request carries `appLifecycleID` (the process's run, as its start-up line logged it).
  static ProviderCloudServices make(const common::Drive& drive,
                                    const common::DesktopAppGroup& appGroup,
                                    const std::shared_ptr<common::SyncItemStorage>& itemStorage,
                                    const base::Logger& logger, std::string_view version,
                                    const std::string& appLifecycleID,
                                    ProviderUploadCollaborators uploadCollaborators = {});
};

}  // namespace tarnix::fileprovider
