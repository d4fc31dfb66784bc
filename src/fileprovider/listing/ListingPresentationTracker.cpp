#include "fileprovider/listing/ListingPresentationTracker.hpp"

namespace tarnix::fileprovider {

ListingPresentationTracker::ListingPresentationTracker(std::weak_ptr<ListingScheduler> scheduler,
                                                       Signal signal, base::Logger logger)
    : scheduler_(std::move(scheduler)), signal_(std::move(signal)), logger_(std::move(logger)) {}

void ListingPresentationTracker::didStartPresenting(const common::SyncItemIdentifier& container) {
  const auto* folder = container.folder();
  if (!folder) return;
  {
    std::lock_guard lock(mutex_);
    ++presented_[*folder];
  }
  if (auto scheduler = scheduler_.lock()) {
    scheduler->triggerListing(container, ListingOrigin::enumerator, false, false);
  }
}

void ListingPresentationTracker::didStopPresenting(const common::SyncItemIdentifier& container) {
  const auto* folder = container.folder();
  if (!folder) return;
  std::lock_guard lock(mutex_);
  auto found = presented_.find(*folder);
  if (found == presented_.end()) return;
  if (--found->second <= 0) presented_.erase(found);
}

void ListingPresentationTracker::folderDidChange(const common::SyncFolderIdentifier& folder) {
  TLOG_DEBUG(logger_, "Folder changed by listing, signalling enumerators",
             {{"itemID", folder.description()}});
  if (signal_) signal_(folder);
}

bool ListingPresentationTracker::isPresented(const common::SyncFolderIdentifier& folder) const {
  std::lock_guard lock(mutex_);
  return presented_.contains(folder);
}

}  // namespace tarnix::fileprovider
