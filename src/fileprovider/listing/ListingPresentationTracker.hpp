#pragma once
// The listing side of presentation: a folder that an enumerator starts presenting is listed
// from the cloud (origin `enumerator`, not forced, so a folder listed moments ago is not asked
// again), and when a listing changed a folder's children the framework is signalled for that
// container and for the working set, so that it enumerates the changes.
//
// Threads: any thread. The presentation counts are guarded by one leaf mutex.

#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "base/Logger.hpp"
#include "fileprovider/items/CloudItemPresentationTracker.hpp"
#include "fileprovider/listing/ListingScheduler.hpp"

namespace tarnix::fileprovider {

class ListingPresentationTracker final : public CloudItemPresentationTracker {
 public:
  /// Asks the framework to enumerate the changes of a container (and of the working set).
  using Signal = std::function<void(const common::SyncFolderIdentifier& container)>;

  ListingPresentationTracker(std::weak_ptr<ListingScheduler> scheduler, Signal signal,
                             base::Logger logger);

  void didStartPresenting(const common::SyncItemIdentifier& container) override;
  void didStopPresenting(const common::SyncItemIdentifier& container) override;

  /// A listing changed the store below `folder`.
  void folderDidChange(const common::SyncFolderIdentifier& folder);
  bool isPresented(const common::SyncFolderIdentifier& folder) const;

 private:
  std::weak_ptr<ListingScheduler> scheduler_;
  Signal signal_;
  base::Logger logger_;
  mutable std::mutex mutex_;
  std::map<common::SyncFolderIdentifier, int> presented_;  // guarded by mutex_
};

}  // namespace tarnix::fileprovider
