#pragma once
// Carries out the deletions the sync service hands it. Most go to the cloud at once. A file
// whose extension the drive's configuration lists ("delayedDeletionExtensions", for the
// safe-save pattern of applications that delete and re-create a file) is deferred: it is
// marked as a delayed deletion in the item store (dead = 2), the request completes at once, and
// a worker sends the deletion later, retrying with a capped exponential back-off. Delayed
// deletions survive restarts (activate() restores them from the store).
//
// A deletion names the content version it means, so a newer version on the cloud is never
// deleted by it; such a conflict, a lock held elsewhere or lost permission put the item back
// (and have its folder listed again). A creation at the same place while a deletion waits
// cancels that deletion (cancelDelayedDeletion).
//
// Threads: any thread may call; the state lives on the serial queue
// "com.tarnix.DeletionManager", where completions of deleteItem's deferral and the worker run.
// stop() cancels the timer and waits for the attempts in flight.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Clock.hpp"
#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/cloud/SyncClientProtocol.hpp"

namespace tarnix::fileprovider {

struct DeletionManagerSettings {
  bool delayedDeletionsEnabled = false;
  /// The drive configuration's "delayedDeletionExtensions" (compared in lower case).
  std::vector<std::string> delayedDeletionExtensions;
  /// From the mark to the first attempt.
  std::chrono::milliseconds delayedDeletionPeriod{std::chrono::seconds(10)};
  /// Delayed deletions sent at once.
  int delayedDeletionPipelineDepth = 4;
  /// The longest wait between two attempts.
  std::chrono::milliseconds maximumBackoff{std::chrono::minutes(15)};
};

/// Whether the deletion of `item` is deferred: delayed deletions on, a file, and its lower-cased
/// path extension in `extensions`.
bool shouldDeferDeletion(const common::SyncItem& item, const DeletionManagerSettings& settings);
/// The wait after the `attempts`-th failed attempt: 3 × 2^(attempts − 1) seconds, at most
/// `maximum`.
std::chrono::milliseconds delayedDeletionBackoff(int attempts, std::chrono::milliseconds maximum);

/// What a failed attempt of a delayed deletion leads to.
enum class DelayedDeletionOutcome {
  /// Deleted (also when the cloud no longer had it).
  done,
  /// Tried again after the back-off.
  retry,
  /// The item is live again: permission lost.
  revert,
  /// The item is live again and its folder listed: the cloud's file changed since or is locked.
  revertAndRelist,
};
DelayedDeletionOutcome delayedDeletionOutcome(const SyncCloudResult<void>& result);

class DeletionManager final : public std::enable_shared_from_this<DeletionManager> {
 public:
  /// Lists a folder again (forced); called after a reverted deletion.
  using FolderRefresher = std::function<void(const common::SyncFolderIdentifier&)>;
  /// Told after every change of the pending set (for waiting in tools and tests).
  using Listener = std::function<void()>;

  DeletionManager(std::shared_ptr<SyncClientProtocol> syncClient,
                  std::shared_ptr<common::SyncItemStorage> itemStorage,
                  DeletionManagerSettings settings, FolderRefresher refreshFolder,
                  std::shared_ptr<base::Clock> clock, base::Logger logger);
  ~DeletionManager();

  /// Deletes now or defers (see above). On success of an immediate deletion the item (and its
  /// subtree) is dead in the store; a deferred one is marked and completes at once.
  void deleteItem(const common::SyncItem& item,
                  std::optional<common::CloudEntryIdentifier> baseContentVersion,
                  SyncClientProtocol::ResultHandler<void> completionHandler);
  /// The immediate path: the client's deletion, then the store.
  void deleteItemOnCloud(const common::SyncItem& item,
                         std::optional<common::CloudEntryIdentifier> baseContentVersion,
                         SyncClientProtocol::ResultHandler<void> completionHandler);

  /// Restores the delayed deletions of the store and starts the worker (when delayed deletions
  /// are on). Call once.
  void activate();
  /// Cancels the timer, stops starting attempts and waits for those in flight. Idempotent.
  void stop();

  /// A new item named `filename` (compared without case) is being created in `parent`: a
  /// delayed deletion waiting there is dropped and will not be sent. Returns the item whose
  /// deletion was dropped.
  std::optional<common::SyncItemIdentifier> cancelDelayedDeletion(
      const common::SyncFolderIdentifier& parent, const std::string& filename);

  /// Holds back the delayed deletion of `item` while another change of it is being sent.
  std::uint64_t registerConflictingPropagation(const common::SyncItemIdentifier& item);
  void unregisterConflictingPropagation(std::uint64_t token);

  /// The drive's configuration changed: applies to deletions requested from now on.
  void setDelayedDeletionExtensions(std::vector<std::string> extensions);

  /// The delayed deletions not yet sent.
  std::vector<common::SyncItemIdentifier> pendingDelayedDeletions();
  void setListener(Listener listener);

 private:
  struct DelayedDeletion {
    common::SyncItem item;
    int attempts = 0;
    base::Clock::SteadyTime backoffDeadline;
    std::optional<SyncCloudError> lastError;
    int conflictingPropagationsCount = 0;
    bool inFlight = false;
  };

  // On queue_.
  void addDelayedDeletion(common::SyncItem item);
  void runWorker();
  void scheduleWakeUp();
  void propagate(const common::SyncItemIdentifier& identifier);
  void finishPropagation(const common::SyncItemIdentifier& identifier,
                         SyncCloudResult<void> result);
  void notifyListener();

  std::shared_ptr<SyncClientProtocol> syncClient_;
  std::shared_ptr<common::SyncItemStorage> itemStorage_;
  DeletionManagerSettings settings_;  // on queue_
  FolderRefresher refreshFolder_;
  std::shared_ptr<base::Clock> clock_;
  base::Logger logger_;
  std::shared_ptr<base::DispatchQueue> queue_;

  // On queue_.
  std::map<common::SyncItemIdentifier, DelayedDeletion> delayedDeletions_;
  std::map<std::uint64_t, common::SyncItemIdentifier> conflictingPropagations_;
  std::uint64_t tokenCounter_ = 0;
  int inFlight_ = 0;
  bool active_ = false;
  bool stopped_ = false;
  std::shared_ptr<base::DispatchWorkItem> timer_;
  base::Clock::SteadyTime timerDeadline_{};
  Listener listener_;
  base::DispatchGroup attempts_;
};

}  // namespace tarnix::fileprovider
