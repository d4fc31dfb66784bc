#pragma once
// Joins the listing: when a listing finds that a file is no longer locked on the cloud, the
// local lock of that file goes too ("[LOCKING] Local lock was removed remotely"), whoever
// released it (the user elsewhere, an administrator, the lock's expiry), and the desktop
// application hears of it ("com.tarnix.LockHasBeenRemovedRemotely", object: the item
// identifier) so that it can check its own view of the locks.
//
// Threads: called on the listing service's queue; must not block (one small write).

#include <memory>

#include "base/Logger.hpp"
#include "fileprovider/listing/ListingCollaborators.hpp"
#include "fileprovider/locking/LocalLockStorage.hpp"
#include "platform/DistributedNotificationCenter.hpp"

namespace tarnix::fileprovider {

inline constexpr const char* kLockHasBeenRemovedRemotelyNotification =
    "com.tarnix.LockHasBeenRemovedRemotely";

class LocalLockRemovalDetector final : public LockRemovalDetector {
 public:
  /// `distributedNotificationCenter` may be null.
  LocalLockRemovalDetector(
      std::shared_ptr<LocalLockStorage> localLockStorage,
      std::shared_ptr<platform::DistributedNotificationCenter> distributedNotificationCenter,
      std::int64_t currentUserIdentifier, base::Logger logger);

  void cloudLocksRemoved(const std::vector<common::SyncItem>& items,
                         bool userLockRemovedRemotely) override;

 private:
  std::shared_ptr<LocalLockStorage> localLockStorage_;
  std::shared_ptr<platform::DistributedNotificationCenter> distributedNotificationCenter_;
  std::int64_t currentUserIdentifier_;
  base::Logger logger_;
};

}  // namespace tarnix::fileprovider
