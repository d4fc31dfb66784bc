#pragma once
// The drive's locking: the lock requests over the provider's cloud session, the local lock and
// open-file tables of the drive database, the locking service, the synchroniser of open files
// and locks (its open-file source is set by whoever knows the open files: the mount), the
// upload tracker, the already-locked notifier, the listing's lock-removal detector and the
// context menu's manual locks.
//
// Immutable after make(); any thread. The synchroniser runs once start() was called.

#include <memory>

#include "base/Clock.hpp"
#include "base/Logger.hpp"
#include "common/DatabaseQueue.hpp"
#include "common/DesktopAppGroup.hpp"
#include "common/DriveConfigurationProvider.hpp"
#include "fileprovider/ProviderCloudServices.hpp"
#include "fileprovider/locking/AlreadyLockedNotifier.hpp"
#include "fileprovider/locking/ContextMenuLockingService.hpp"
#include "fileprovider/locking/LocalLockRemovalDetector.hpp"
#include "fileprovider/locking/LocalLockStorage.hpp"
#include "fileprovider/locking/LockingCloudClient.hpp"
#include "fileprovider/locking/LockingService.hpp"
#include "fileprovider/locking/LockingSynchronizer.hpp"
#include "fileprovider/locking/LockingUploadTracker.hpp"
#include "fileprovider/locking/LockingUploadsObserver.hpp"
#include "fileprovider/locking/OpenFilesStorage.hpp"
#include "fileprovider/locking/OpenFilesTracker.hpp"

namespace tarnix::fileprovider {

struct ProviderLockingServices {
  std::shared_ptr<LockingCloudClient> cloudClient;
  std::shared_ptr<LocalLockStorage> localLockStorage;
  std::shared_ptr<OpenFilesStorage> openFilesStorage;
  std::shared_ptr<AlreadyLockedNotifier> alreadyLockedNotifier;
  std::shared_ptr<LockingService> lockingService;
  std::shared_ptr<LockingUploadTracker> uploadTracker;
  /// Feeds the drive's uploads (as their progress and completion are posted) to the tracker.
  std::shared_ptr<LockingUploadsObserver> uploadsObserver;
  std::shared_ptr<ForwardingOpenFilesSource> openFilesSource;
  std::shared_ptr<OpenFilesTracker> openFilesTracker;
  std::shared_ptr<LockingSynchronizer> synchronizer;
  std::shared_ptr<LocalLockRemovalDetector> removalDetector;
  std::shared_ptr<ContextMenuLockingService> contextMenuLockingService;

  static ProviderLockingServices make(
      const common::Drive& drive, const common::DesktopAppGroup& appGroup,
      const std::shared_ptr<common::SyncItemStorage>& itemStorage,
      const std::shared_ptr<common::DatabaseQueue>& dbQueue, const ProviderCloudServices& cloud,
      const std::shared_ptr<common::DriveConfigurationProvider>& configurationProvider,
      const std::shared_ptr<platform::DistributedNotificationCenter>& notificationCenter,
      const std::shared_ptr<base::Clock>& clock, const base::Logger& logger);

  void start();
  void stop() const;
  /// Sets who answers which files are open; once started, a pass runs at once, so that locks
  /// left by processes that ended while nobody watched are released without waiting.
  void setOpenFilesSource(std::shared_ptr<OpenFilesSource> source) const;

 private:
  bool started_ = false;
};

}  // namespace tarnix::fileprovider
