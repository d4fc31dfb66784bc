#include "fileprovider/ProviderLocking.hpp"

namespace tarnix::fileprovider {

ProviderLockingServices ProviderLockingServices::make(
    const common::Drive& drive, const common::DesktopAppGroup& appGroup,
    const std::shared_ptr<common::SyncItemStorage>& itemStorage,
    const std::shared_ptr<common::DatabaseQueue>& dbQueue, const ProviderCloudServices& cloud,
    const std::shared_ptr<common::DriveConfigurationProvider>& configurationProvider,
    const std::shared_ptr<platform::DistributedNotificationCenter>& notificationCenter,
    const std::shared_ptr<base::Clock>& clock, const base::Logger& logger) {
  ProviderLockingServices s;
  s.cloudClient = std::make_shared<LockingCloudClient>(
      cloud.cloudClient->cfsSession(), cloud.cloudErrorHandler, logger.child("LockingCloudClient"));
  s.localLockStorage =
      std::make_shared<LocalLockStorage>(dbQueue, logger.child("LocalLockStorage"));
  s.openFilesStorage =
      std::make_shared<OpenFilesStorage>(dbQueue, logger.child("OpenFilesStorage"));
  s.alreadyLockedNotifier = std::make_shared<AlreadyLockedNotifier>(
      desktopAlreadyLockedCenter(logger.child("AlreadyLockedNotifier")),
      logger.child("AlreadyLockedNotifier"));

  LockingService::Collaborators services;
  services.lockingCloudClient = s.cloudClient;
  services.localLockStorage = s.localLockStorage;
  services.syncItemStorage = itemStorage;
  services.currentUserLock.identifier = drive.userIdentifier;
  services.timeProvider = clock;
  services.manualLockDuration = [preferences = appGroup.preferences()]() -> std::optional<double> {
    if (!preferences) return std::nullopt;
    return preferences->manualLockDuration().value(0);
  };
  services.alreadyLockedNotifier = s.alreadyLockedNotifier;
  s.lockingService =
      std::make_shared<LockingService>(std::move(services), logger.child("LockingService"));

  s.uploadTracker = std::make_shared<LockingUploadTracker>(LockingUploadTracker::Configuration{},
                                                           logger.child("LockingUploadTracker"));
  s.uploadsObserver = std::make_shared<LockingUploadsObserver>(
      drive, itemStorage, s.uploadTracker, clock, logger.child("LockingUploadsObserver"));
  if (notificationCenter) s.uploadsObserver->observe(*notificationCenter);
  s.openFilesSource = std::make_shared<ForwardingOpenFilesSource>();
  s.openFilesTracker = std::make_shared<OpenFilesTracker>(notificationCenter, clock,
                                                          logger.child("OpenFilesTracker"));

  LockingSynchronizer::Collaborators sync;
  sync.lockingService = s.lockingService;
  sync.localLockStorage = s.localLockStorage;
  sync.openFilesStorage = s.openFilesStorage;
  sync.syncItemStorage = itemStorage;
  sync.uploadTracker = s.uploadTracker;
  sync.openFilesSource = s.openFilesSource;
  sync.timeProvider = clock;
  sync.isRootUnderPrivate =
      drive.cloudStartPath == "/Private" || drive.cloudStartPath.starts_with("/Private/");
  sync.configuration = [configurationProvider, preferences = appGroup.preferences()] {
    LockingSynchronizerConfiguration configuration;
    std::vector<std::string> excluded;
    if (preferences) excluded = preferences->processesExcludedFromLocking();
    if (configurationProvider) {
      const auto value = configurationProvider->value();
      configuration.disableOfflineLocking = value.disableOfflineLocking;
      configuration.disablePrivateDirectoryLocking = value.disablePrivateDirectoryLocking;
      excluded.insert(excluded.end(), value.excludedFromLocking.begin(),
                      value.excludedFromLocking.end());
      if (value.lsofInterval > 0) {
        configuration.lsofInterval =
            std::chrono::milliseconds(static_cast<std::int64_t>(value.lsofInterval * 1000));
      }
    }
    configuration.blocklist = LockingBlocklist::make(excluded);
    return configuration;
  };
  s.synchronizer =
      std::make_shared<LockingSynchronizer>(std::move(sync), logger.child("LockingSynchronizer"));
  std::weak_ptr<LockingSynchronizer> weak = s.synchronizer;
  auto trigger = [weak] {
    if (auto synchronizer = weak.lock()) synchronizer->synchronize();
  };
  s.uploadTracker->setLockSyncSignal(trigger);
  s.openFilesTracker->setPublisher(trigger);

  s.removalDetector = std::make_shared<LocalLockRemovalDetector>(
      s.localLockStorage, notificationCenter, drive.userIdentifier,
      logger.child("LockRemovalDetector"));
  s.contextMenuLockingService = std::make_shared<ContextMenuLockingService>(
      s.lockingService, cloud.analytics, itemStorage, logger.child("ContextMenuLockingService"));
  return s;
}

void ProviderLockingServices::start() {
  if (!synchronizer) return;
  started_ = true;
  synchronizer->start();
}

void ProviderLockingServices::setOpenFilesSource(std::shared_ptr<OpenFilesSource> source) const {
  openFilesSource->setTarget(std::move(source));
  if (started_) synchronizer->synchronize();
}

void ProviderLockingServices::stop() const {
  if (synchronizer) synchronizer->stop();
}

}  // namespace tarnix::fileprovider
