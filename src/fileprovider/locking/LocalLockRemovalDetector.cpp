#include "fileprovider/locking/LocalLockRemovalDetector.hpp"

namespace tarnix::fileprovider {

LocalLockRemovalDetector::LocalLockRemovalDetector(
    std::shared_ptr<LocalLockStorage> localLockStorage,
    std::shared_ptr<platform::DistributedNotificationCenter> distributedNotificationCenter,
    std::int64_t currentUserIdentifier, base::Logger logger)
    : localLockStorage_(std::move(localLockStorage)),
      distributedNotificationCenter_(std::move(distributedNotificationCenter)),
      currentUserIdentifier_(currentUserIdentifier),
      logger_(std::move(logger)) {}

void LocalLockRemovalDetector::cloudLocksRemoved(const std::vector<common::SyncItem>& items,
                                                 bool userLockRemovedRemotely) {
  if (userLockRemovedRemotely) logger_.info("Local lock was removed remotely");
  for (const auto& item : items) {
    const auto* file = item.itemIdentifier.file();
    if (!file) continue;
    // The cloud holds no lock on the file any more: a lock this machine took is gone, whether
    // or not the listing knew it was ours.
    auto local = localLockStorage_->lock(*file);
    if (!local || !*local) continue;
    if (!localLockStorage_->remove(*file)) continue;
    logger_.info(
        "[LOCKING] Local lock was removed remotely",
        {{"itemID", file->description()},
         {"heldByUser", item.lockInfo && item.lockInfo->isHeldBy(currentUserIdentifier_)}});
    if (distributedNotificationCenter_) {
      distributedNotificationCenter_->post(kLockHasBeenRemovedRemotelyNotification,
                                           file->description());
    }
  }
}

}  // namespace tarnix::fileprovider
