#include "fileprovider/ProviderCloudServices.hpp"

#include "fileprovider/OnlineSyncClient.hpp"
#include "fileprovider/sync/SyncClientProxy.hpp"

namespace tarnix::fileprovider {

void ProviderCloudErrorHandler::authenticationDidExpire() {
  logger_.warning("Cloud rejected the drive's credentials");
  std::function<void()> observer;
  {
    base::MutexLock lock(mutex_);
    observer = observer_;
  }
  if (observer) observer();
}

void ProviderCloudErrorHandler::setAuthenticationObserver(std::function<void()> observer) {
  base::MutexLock lock(mutex_);
  observer_ = std::move(observer);
}

ProviderCloudServices ProviderCloudServices::make(
    const common::Drive& drive, const common::DesktopAppGroup& appGroup,
    const std::shared_ptr<common::SyncItemStorage>& itemStorage, const base::Logger& logger,
    std::string_view version, const std::string& appLifecycleID,
    ProviderUploadCollaborators uploadCollaborators) {
  ProviderCloudServices services;
  auto configuration = cloudfs::TarnixURLSession::Configuration::fromEnvironment();
  configuration.downloadDirectory = appGroup.temporaryDirectoryURL();
  // Mappings of the environment come first: they win over this default.
  if (auto loopback = cloudfs::loopbackSyncBackendMapping(drive.domain)) {
    configuration.hostMappings.push_back(*loopback);
  }
  services.urlSession = std::make_shared<cloudfs::TarnixURLSession>(
      logger.child("TarnixURLSession"),
      cloudfs::TarnixUserAgent(appGroup.deviceIdentifier(), version, version), appLifecycleID,
      appGroup.preferences(), configuration);
  services.cfsSessionFactory = std::make_shared<cloudfs::CloudFSSessionFactory>(
      services.urlSession, logger.child("CloudFSSession"));
  services.cloudErrorHandler =
      std::make_shared<ProviderCloudErrorHandler>(logger.child("DriveCloudErrorHandler"));
  services.cloudClient =
      std::make_shared<SyncCloudClient>(services.cfsSessionFactory, services.cloudErrorHandler,
                                        logger.child("SyncCloudClient"), itemStorage, drive);
  services.analytics = std::make_shared<common::NullAnalyticsSender>();
  services.downloads = std::make_shared<SyncCloudDownloads>(
      services.cloudClient,
      DownloadConfiguration{appGroup.temporaryDirectoryURL() / "ResumeData" / drive.identifier,
                            services.analytics, std::nullopt});
  services.chunkUploadStorage =
      std::make_shared<common::ChunkUploadStorage>(itemStorage->dbQueue());
  services.uploadValidator =
      std::make_shared<SyncUploadValidator>(uploadCollaborators.configurationProvider);
  services.uploadValidator->start();
  services.uploadNotifier = std::make_shared<UploadNotifier>(uploadCollaborators.notificationCenter,
                                                             logger.child("UploadNotifier"));
  UploadConfiguration uploadConfiguration;
  uploadConfiguration.chunkedUpload =
      !uploadCollaborators.featureList ||
      uploadCollaborators.featureList->isEnabled(common::Feature::chunkedUpload);
  uploadConfiguration.chunkSettings = [configuration = uploadCollaborators.configurationProvider] {
    if (!configuration) return ChunkUploadSettings{};
    const auto value = configuration->value();
    return ChunkUploadSettings::clamped(value.recommendedChunkUploadFileSize,
                                        value.recommendedChunkSize);
  };
  uploadConfiguration.progress = [notifier = services.uploadNotifier](const UploadInfo& info) {
    notifier->sendProgressNotification(info);
  };
  uploadConfiguration.listFolderAgain = uploadCollaborators.listFolderAgain;
  services.uploads = std::make_shared<SyncCloudUploads>(
      services.cloudClient, services.chunkUploadStorage,
      std::make_shared<FailedUploadStorage>(
          std::make_shared<common::NewFileFailedUploadStorage>(itemStorage->dbQueue()), itemStorage,
          logger.child("FailedUploadStorage")),
      services.uploadValidator, std::move(uploadConfiguration));
  // No offline folders on this drive yet: the offline realm has no client.
  services.syncClient = std::make_shared<SyncClientProxy>(
      std::make_shared<OnlineSyncClient>(services.cloudClient, services.downloads, services.uploads,
                                         itemStorage, services.uploadNotifier),
      nullptr, logger.child("SyncClientProxy"));
  return services;
}

}  // namespace tarnix::fileprovider
