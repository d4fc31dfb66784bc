#pragma once
// The one entry point for listing a folder again. Requests go through the coordinator (equal
// requests merged, a few at once, first in first out); the scheduler performs each job by
// reading the folder and its listing bookkeeping from the store and handing it to the listing
// service of the folder's realm.
//
// Realms: online folders are listed by the online service. Offline-realm folders (inside an
// offline folder) belong to the offline service; while none is given, their listings fail
// with ListingUnavailable rather than be listed from the cloud over the offline engine's items.
//
// Permission: a folder whose listing fails with permissionDenied logs "Lost permission for
// folder, refreshing the parent." and its parent is listed.
//
// Threads: any thread may call. Jobs run on "com.tarnix.ListingScheduler"; completions run on
// the notify queue "com.tarnix.ListingScheduler.notify", each exactly once.

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/listing/ListingCoordinator.hpp"
#include "fileprovider/listing/ListingMetadataStorage.hpp"
#include "fileprovider/listing/ListingService.hpp"

namespace tarnix::fileprovider {

class ListingScheduler final : public ListingCoordinatorDelegate,
                               public std::enable_shared_from_this<ListingScheduler> {
 public:
  struct Collaborators {
    std::shared_ptr<ListingServiceInterface> listingServiceForOnlineRealm;
    /// Optional (see above).
    std::shared_ptr<ListingServiceInterface> listingServiceForOfflineRealm;
    std::shared_ptr<ListingMetadataStorage> listingMetadataStorage;
    std::shared_ptr<common::SyncItemStorage> itemStorage;
    std::size_t maxActiveListings = ListingCoordinator::kDefaultMaxActiveJobs;
  };

  static std::shared_ptr<ListingScheduler> make(Collaborators collaborators, base::Logger logger);

  /// Lists the folder `identifier` (a file stands for its parent folder). `completion` may be
  /// empty.
  void triggerListing(const common::SyncItemIdentifier& identifier, ListingOrigin origin,
                      bool force, bool forceRefreshLocks, ListingCompletion completion = {});
  /// Files any request.
  void trigger(ListingRequest request, ListingOrigin origin, bool force,
               ListingCompletion completion = {});

  /// Lists no more: waiting and later requests fail with ListingUnavailable, the listings in
  /// flight are cancelled (nothing they list is written), and it returns once every job has
  /// completed and its callbacks have run. Not on the scheduler's or the coordinator's queues.
  void stop();

  /// Set once the domain's initial import has finished. No listing is held back for it: the
  /// store is filled by listings alone on this platform.
  std::atomic<bool> importHasFinished{false};

  const std::shared_ptr<ListingCoordinator>& coordinator() const { return coordinator_; }
  const std::shared_ptr<common::SyncItemStorage>& itemStorage() const { return itemStorage_; }

  // MARK: ListingCoordinatorDelegate

  void listingCoordinator(const ListingRequest& request, ListingOrigin origin, bool force,
                          ListingCompletion completionHandler) override;

 private:
  ListingScheduler(Collaborators collaborators, base::Logger logger);

  void listFolder(const common::SyncFolderIdentifier& folder, ListingOrigin origin, bool force,
                  bool forceRefreshLocks, ListingCompletion completion);
  void listPath(std::string path, ListingOrigin origin, bool force, ListingCompletion completion);
  void walk(common::SyncItem folder, std::vector<std::string> remaining, ListingOrigin origin,
            bool force, ListingCompletion completion);

  std::shared_ptr<ListingServiceInterface> online_;
  std::shared_ptr<ListingServiceInterface> offline_;
  std::shared_ptr<ListingMetadataStorage> metadataStorage_;
  std::shared_ptr<common::SyncItemStorage> itemStorage_;
  base::Logger logger_;
  std::shared_ptr<base::DispatchQueue> notifyQueue_ =
      base::DispatchQueue::make("com.tarnix.ListingScheduler.notify");
  std::shared_ptr<ListingCoordinator> coordinator_;
  base::DispatchQueue serialQueue_{"com.tarnix.ListingScheduler"};
};

}  // namespace tarnix::fileprovider
