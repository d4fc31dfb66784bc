#pragma once
// Takes, renews and releases the cloud locks of one drive and keeps LocalLocks in step:
// a lock is stored with its token once the cloud granted it (uploads of the file then send
// the token), and removed once the cloud released it or no longer knows it.
//
// Threads: any thread may call. Bookkeeping after each cloud answer runs on the service's
// serial queue ("com.tarnix.LockingService"); each completion runs exactly once, on that
// queue.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "base/Clock.hpp"
#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/locking/AlreadyLockedNotifier.hpp"
#include "fileprovider/locking/LocalLockStorage.hpp"
#include "fileprovider/locking/LockingCloudClient.hpp"
#include "fileprovider/locking/LockingTypes.hpp"

namespace tarnix::fileprovider {

class LockingService : public std::enable_shared_from_this<LockingService> {
 public:
  struct Collaborators {
    std::shared_ptr<LockingCloudClient> lockingCloudClient;
    std::shared_ptr<LocalLockStorage> localLockStorage;
    std::shared_ptr<common::SyncItemStorage> syncItemStorage;
    /// The signed-in user as a lock holder.
    common::CloudLockInfo currentUserLock;
    std::shared_ptr<base::Clock> timeProvider;
    /// "manualLockDuration" (seconds); none or 0 for the default. May be empty.
    std::function<std::optional<double>()> manualLockDuration;
    /// May be null.
    std::shared_ptr<AlreadyLockedNotifier> alreadyLockedNotifier;
  };
  using LockCompletion = std::function<void(LockingResult<common::LocalLock>)>;
  using Completion = std::function<void(LockingResult<void>)>;

  LockingService(Collaborators collaborators, base::Logger logger);

  const common::CloudLockInfo& currentUserLock() const { return c_.currentUserLock; }
  std::chrono::seconds lockTimeout(common::LocalLockSource source) const;

  /// Locks `file` for `source`. Refused without a request: excluded files (lockingDenied,
  /// "Refusing locking of an excluded file"), files locked by somebody else (alreadyLocked,
  /// "Locking skipped - locked by somebody else"), read-only files (lockingDenied, "Locking
  /// skipped - read-only file"). A refusal by the cloud because somebody else holds the lock
  /// is reported once per file through the already-locked notifier.
  void lockFile(const common::SyncFileIdentifier& file, common::LocalLockSource source,
                std::vector<common::LockingApplicationData> lockingApplications,
                LockCompletion completion);
  /// Releases the lock of `file` with its stored token and removes the local lock. A lock the
  /// cloud no longer knows is removed locally too (and the call succeeds).
  void unlockFile(const common::SyncFileIdentifier& file, common::LocalLockSource source,
                  Completion completion);
  /// Sends `lock` again with its own token; the stored lock gets new dates. A lock that
  /// somebody else holds now, or whose token the cloud no longer knows, is removed locally.
  void renewLock(const common::LocalLock& lock, LockRenewalReason reason,
                 LockCompletion completion);
  /// Removes the local lock ("[LOCKING] Cleaning local lock done").
  void cleanLock(const common::SyncFileIdentifier& file, Completion completion);
  /// Removes the local lock when the cloud shows the file locked by somebody else.
  void clearIfRelockedByOtherUser(const common::SyncFileIdentifier& file, Completion completion);
  /// Unlocks every manual lock ("[LOCKING] Removing manual lock failed" per failure); fails
  /// with the first failure after trying all.
  void unlockManualLocks(Completion completion);

  void setExcludedFromLocking(std::vector<common::SyncFileIdentifier> files);

 private:
  void lockFileOnCloud(const common::SyncItem& item, common::LocalLockSource source,
                       cloudfs::LockRequestOptions options, LockCompletion completion);
  void reportAlreadyLocked(const common::SyncItem& item, const common::CloudLockInfo& holder);
  /// Runs `completion(result)` on the serial queue.
  template <class T>
  void finish(std::function<void(LockingResult<T>)> completion, LockingResult<T> result);

  Collaborators c_;
  base::Logger logger_;
  std::shared_ptr<base::DispatchQueue> serialQueue_;
  std::mutex excludedMutex_;
  std::set<common::SyncFileIdentifier> excludedFromLocking_;  // guarded by excludedMutex_
};

}  // namespace tarnix::fileprovider
