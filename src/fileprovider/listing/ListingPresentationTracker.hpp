#pragma once
// The listing side of presentation: a folder that an enumerator starts presenting is listed
// from the cloud (origin `enumerator`, not forced, so a folder listed moments ago is not asked
// again), and when a listing changed a folder's children the framework is signalled for that
// container and for the working set, so that it enumerates the changes. Each start of a
// presentation asks for a listing; a host that must show the children as they are now waits
// for the latest one (whenPresentationListed) and learns how it ended.
//
// Threads: any thread. The presentations are guarded by one leaf mutex; completions run
// outside it.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "base/Logger.hpp"
#include "base/Mutex.hpp"
#include "fileprovider/items/CloudItemPresentationTracker.hpp"
#include "fileprovider/listing/ListingScheduler.hpp"

namespace tarnix::fileprovider {

class ListingPresentationTracker final
    : public CloudItemPresentationTracker,
      public std::enable_shared_from_this<ListingPresentationTracker> {
 public:
  /// Asks the framework to enumerate the changes of a container (and of the working set).
  using Signal = std::function<void(const common::SyncFolderIdentifier& container)>;

  ListingPresentationTracker(std::weak_ptr<ListingScheduler> scheduler, Signal signal,
                             base::Logger logger);

  void didStartPresenting(const common::SyncItemIdentifier& container) override;
  void didStopPresenting(const common::SyncItemIdentifier& container) override;
  void whenPresentationListed(const common::SyncItemIdentifier& container,
                              ListedCompletion completion) override;

  /// A listing changed the store below `folder`.
  void folderDidChange(const common::SyncFolderIdentifier& folder);
  bool isPresented(const common::SyncFolderIdentifier& folder) const;

 private:
  struct Presentation {
    int presenters = 0;
    /// Listings asked for by starts of presentation, numbered from 1; the latest that ended
    /// and how.
    std::uint64_t asked = 0;
    std::uint64_t ended = 0;
    std::optional<PresentationListingFailure> failure;
    /// Each waits for the listing of its number.
    std::vector<std::pair<std::uint64_t, ListedCompletion>> waiters;
  };

  void listingEnded(const common::SyncFolderIdentifier& folder, std::uint64_t number,
                    const ListingResult<void>& result);
  /// Forgets a presentation nobody presents or waits for any more.
  void pruneLocked(std::map<common::SyncFolderIdentifier, Presentation>::iterator found)
      TARNIX_REQUIRES(mutex_);

  std::weak_ptr<ListingScheduler> scheduler_;
  Signal signal_;
  base::Logger logger_;
  mutable base::Mutex mutex_;
  std::map<common::SyncFolderIdentifier, Presentation> presentations_ TARNIX_GUARDED_BY(mutex_);
};

}  // namespace tarnix::fileprovider
