#pragma once
// The places where other services join the listing: the lock-removal detector (locking) and
// the deletion manager (deferred deletions). Until those services exist the listing runs
// without them: lock removals are only written to the store, and items gone from the cloud
// become tombstones at once.

#include <vector>

#include "common/SyncItem.hpp"

namespace tarnix::fileprovider {

/// Hears of cloud locks that a listing found released.
class LockRemovalDetector {
 public:
  virtual ~LockRemovalDetector() = default;
  /// Called after the listing's transaction committed, on the listing service's queue; must
  /// not block. `items` are the files as they were stored (with the lock they had);
  /// `userLockRemovedRemotely` says one of them was held by this drive's user.
  virtual void cloudLocksRemoved(const std::vector<common::SyncItem>& items,
                                 bool userLockRemovedRemotely) = 0;
};

/// Decides what happens to stored items that the cloud no longer lists in their folder.
class ListingDeletionManager {
 public:
  virtual ~ListingDeletionManager() = default;
  /// Called on the listing service's queue before its transaction. Returns the items to
  /// remove from the store with this listing; the manager takes over the others.
  virtual std::vector<common::SyncItem> itemsGoneFromCloud(
      const common::SyncFolderIdentifier& folder, std::vector<common::SyncItem> items) = 0;
};

}  // namespace tarnix::fileprovider
