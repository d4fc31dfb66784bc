#pragma once
// Keeps the item store in step with the cloud, folder by folder: decides whether a folder
// needs listing, lists it conditionally with the entity tag of its last listing, and writes
// what changed (created, modified and vanished children, unwanted names as skips, the new
// listing bookkeeping) in one transaction. A listing says only whether a file is locked; the
// holders of locks not known yet are then asked of the cloud (file metadata with locks), and
// the listing completes once they are named. A failed listing leaves the stored children and
// the `Listings` row as they were.
//
// Threads: any thread may call; the work and every completion run on the service's serial
// queue "com.tarnix.ListingService". Completions run exactly once.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "base/Clock.hpp"
#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "common/SkipsService.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/cloud/SyncCloudClient.hpp"
#include "fileprovider/listing/ListingCollaborators.hpp"
#include "fileprovider/listing/ListingError.hpp"
#include "fileprovider/listing/ListingMetadataStorage.hpp"
#include "fileprovider/listing/ListingPatch.hpp"
#include "fileprovider/listing/ListingRequest.hpp"

namespace tarnix::fileprovider {

/// What lists the folders of one realm (the online realm from the cloud; the offline realm
/// from the desktop sync service).
class ListingServiceInterface {
 public:
  using Completion = std::function<void(ListingResult<ListingMetadata>)>;
  virtual ~ListingServiceInterface() = default;

  /// Lists `folder` unless the decision rules say it is current; gives the folder's listing
  /// bookkeeping afterwards (the stored one when nothing was listed).
  virtual void refreshListing(const common::SyncItem& folder, ListingOrigin origin, bool force,
                              bool forceRefreshLocks, std::optional<ListingMetadata> metadata,
                              Completion completionHandler) = 0;
  /// A forced listing.
  void refreshListing(const common::SyncItem& folder, Completion completionHandler) {
    refreshListing(folder, ListingOrigin::enumerator, true, false, std::nullopt,
                   std::move(completionHandler));
  }

  using CloudItemsCompletion = std::function<void(ListingResult<std::vector<common::CloudItem>>)>;
  /// The children of the folder `parentItem` as they are listed now, unsafe and unwanted names
  /// left out; nothing is written to the store.
  virtual void enumerateCloudItems(const common::SyncItem& parentItem,
                                   CloudItemsCompletion completionHandler) = 0;

  /// Ends the listings in flight (their completions get the cancellation, and what they list is
  /// not written) and refuses later ones with ListingUnavailable. Returns at once; completions
  /// follow. A service that has nothing in flight of its own needs no more than this default.
  virtual void stop() {}
};

/// What computeListingChanges compares a listing of `folder` with: the folder as stored, its
/// alive children, and those plus the listed items stored elsewhere (moved into the folder).
struct StoredListingState {
  common::SyncItem folder;
  std::vector<common::SyncItem> children;
  std::vector<common::SyncItem> known;
};
ListingResult<StoredListingState> readStoredListingState(common::SyncItemStorage& storage,
                                                         const common::SyncItem& folder,
                                                         const SyncCloudFolderItems& listing);

class ListingService final : public ListingServiceInterface,
                             public std::enable_shared_from_this<ListingService> {
 public:
  /// Told, on the service's queue, after a listing changed the store below `folder`.
  using ChangeHandler = std::function<void(const common::SyncFolderIdentifier& folder)>;

  struct Collaborators {
    std::shared_ptr<common::SyncItemStorage> itemStorage;
    std::shared_ptr<SyncCloudClient> cloudClient;
    std::shared_ptr<ListingMetadataStorage> metadataStorage;
    /// Optional: without it lock removals are only written to the store.
    std::shared_ptr<LockRemovalDetector> lockRemovalDetector;
    /// Optional: without it unwanted names are filtered out but no skip is recorded.
    std::shared_ptr<common::SkipsService> skipsService;
    /// Optional: without it items gone from the cloud become tombstones at once.
    std::shared_ptr<ListingDeletionManager> deletionManager;
    /// The drive's user, to tell the user's own cloud locks apart.
    std::int64_t currentUserIdentifier = 0;
    /// What "recently listed" and a listing's time are measured by; null: the system's.
    std::shared_ptr<base::Clock> clock;
  };

  ListingService(Collaborators collaborators, base::Logger logger);

  /// Set once before the first listing.
  void setChangeHandler(ChangeHandler handler) { changeHandler_ = std::move(handler); }

  void refreshListing(const common::SyncItem& folder, ListingOrigin origin, bool force,
                      bool forceRefreshLocks, std::optional<ListingMetadata> metadata,
                      Completion completionHandler) override;
  using ListingServiceInterface::refreshListing;
  /// Lists from the cloud, unconditionally; completes on the service's queue.
  void enumerateCloudItems(const common::SyncItem& parentItem,
                           CloudItemsCompletion completionHandler) override;
  void stop() override;

 private:
  /// On the queue: remembers the cloud request of a listing until its answer is back.
  std::uint64_t track(cloudfs::CloudFSSessionTask task);
  /// On the queue: true (and `completionHandler` failed) once stopped.
  template <class Handler>
  bool refuseWhenStopped(Handler& completionHandler);
  void listed(const common::SyncItem& folder, std::optional<ListingMetadata> metadata,
              SyncCloudResult<SyncCloudListing> result, bool forceRefreshLocks,
              Completion completionHandler);
  /// Asks the cloud who holds the locks of the folder's files whose holder is not known yet
  /// (every locked file's with `everyLock`) and stores the answers; then `done`, on the
  /// service's queue. A holder the cloud does not name stays unknown until the next listing.
  void nameLockHolders(const common::SyncItem& folder, bool everyLock, std::function<void()> done);
  void storeLockHolders(
      const common::SyncItem& folder,
      const std::vector<std::pair<common::SyncItem, cloudfs::FileMetadataResponse>>& answers);
  ListingResult<ListingMetadata> applyListing(const common::SyncItem& folder,
                                              SyncCloudFolderItems listing);
  /// The drive's root folder, listed by path until it has its cloud identifier.
  bool isDriveRoot(const common::SyncItem& folder);
  base::Date now() const { return clock_->now(); }

  std::shared_ptr<common::SyncItemStorage> itemStorage_;
  std::shared_ptr<SyncCloudClient> cloudClient_;
  std::shared_ptr<ListingMetadataStorage> metadataStorage_;
  std::shared_ptr<LockRemovalDetector> lockRemovalDetector_;
  std::shared_ptr<common::SkipsService> skipsService_;
  std::shared_ptr<ListingDeletionManager> deletionManager_;
  std::int64_t currentUserIdentifier_ = 0;
  std::shared_ptr<base::Clock> clock_;
  base::Logger logger_;
  ChangeHandler changeHandler_;
  base::DispatchQueue serialQueue_{"com.tarnix.ListingService"};
  // On serialQueue_ only.
  bool stopped_ = false;
  std::uint64_t nextTask_ = 0;
  std::map<std::uint64_t, cloudfs::CloudFSSessionTask> inFlight_;
};

}  // namespace tarnix::fileprovider
